#pragma once

#include "SigViewerRt.h"

#include <KvnSignal.h>
#include <QWidget>
#include <map>
#include <string>
#include <vector>

class DeviceModel;
class QLabel;
class QStackedLayout;
class QTabWidget;

// The central display: one tab per displayable signal of the device, each with a viewer suited to the
// signal's kind, fed from every block the acquisition delivers.
class SignalsWidget : public QWidget {
    Q_OBJECT
public:
    explicit SignalsWidget(QWidget* parent = nullptr);

    void configureSignals(DeviceModel& model, int eegSensorType);
    void dispatchData(DeviceModel& model, const std::vector<double>& data);
    // Keeps the viewers moving while a positioning device is out of reach.
    void dispatchZeros(DeviceModel& model);
    void resetViewers();
    void setSignalTabsEnabled(int signal, int mode);
    void clear();
    bool isEmpty() const;

    // Display defaults for a signal's kind; blockRate is the device's blocks per second.
    static Vesk::SigViewerRtConfig buildViewerConfig(const KvnSignal& signal, uint16_t blockRate);

    QTabWidget* tabs() const { return tabs_; }
    QLabel* emptyLabel() const { return emptyLabel_; }
    bool showsTabs() const;
    // Signal index -> tab index; several entries for the IMUs of a digital aux input, in IMU order.
    const std::multimap<int, int>& signalTabs() const { return signalTabs_; }

private:
    int addSignalTab(QWidget* widget, const QString& title, bool enabled);
    void showFirstEnabledTab();
    template <typename Slice>
    void walkSignals(DeviceModel& model, std::size_t available, Slice slice);

    QStackedLayout* stack_;
    QLabel* emptyLabel_;
    QTabWidget* tabs_;
    std::multimap<int, int> signalTabs_;
};
