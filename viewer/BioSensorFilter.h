#pragma once

#include <QMetaType>
#include <vector>

namespace BioSensor {

// One display filter: a Butterworth design applied to what a viewer shows, never to recorded data.
struct BioSensorFilter {
    enum Type { NOTCH = 0, LOWPASS = 1, HIGHPASS = 2, BANDPASS = 3 };

    int type = NOTCH;
    double high = 0.0;  // upper edge; the cut-off of a low-pass
    double low = 0.0;   // lower edge; the cut-off of a high-pass
    int order = 0;

    bool operator==(const BioSensorFilter& o) const
    {
        return type == o.type && high == o.high && low == o.low && order == o.order;
    }
    bool operator!=(const BioSensorFilter& o) const { return !(*this == o); }
};

// Registers "std::vector<BioSensor::BioSensorFilter>" so that lists of filters can travel through signals
// connected by name. Safe to call more than once.
void registerFilterListMetaType();

}  // namespace BioSensor

Q_DECLARE_METATYPE(BioSensor::BioSensorFilter)
Q_DECLARE_METATYPE(std::vector<BioSensor::BioSensorFilter>)
