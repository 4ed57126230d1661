#include "BioSensorFilter.h"

namespace BioSensor {

void registerFilterListMetaType()
{
    qRegisterMetaType<std::vector<BioSensorFilter>>("std::vector<BioSensor::BioSensorFilter>");
}

}  // namespace BioSensor
