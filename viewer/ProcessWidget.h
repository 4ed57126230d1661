#pragma once

#include <QWidget>

// What the signals widget needs from any viewer: feed it one block, or make it forget what it shows.
// Deliberately not a Q_OBJECT, so concrete viewers choose their own meta-object.
class ProcessWidget : public QWidget {
public:
    explicit ProcessWidget(QWidget* parent = nullptr) : QWidget(parent) {}
    ~ProcessWidget() override = default;

    // One block of this viewer's signal. Sample-major (data[s * channels + c]) unless channelMajor is set,
    // in which case data[c * samplesPerBlock + s]. The pointer is only valid during the call.
    virtual void process(const double* data, bool channelMajor) = 0;
    virtual void reset() = 0;
};
