#include "SignalViewer.h"

SignalViewer::SignalViewer(QWidget* parent) : ProcessWidget(parent) {}

void SignalViewer::process(const double* data, bool /*channelMajor*/) { setData(data); }

void SignalViewer::setData(const double* /*data*/) {}
