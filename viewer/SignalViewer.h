#pragma once

#include "ProcessWidget.h"

#include <QObject>

// Base of the viewers that paint themselves: they only need the block's first values, whatever its layout.
class SignalViewer : public ProcessWidget {
    Q_OBJECT
public:
    explicit SignalViewer(QWidget* parent = nullptr);

    void process(const double* data, bool channelMajor) override;
    void reset() override {}
    virtual void setData(const double* data);
};
