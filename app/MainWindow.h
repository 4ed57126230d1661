#pragma once

#include "CsvWriter.h"
#include "PropertyMap.h"
#include "ReadBT.h"
#include "RecordingNames.h"
#include "RecordingSession.h"

#include <QDateTime>
#include <QFuture>
#include <QFutureWatcher>
#include <QPointer>
#include <QString>
#include <QElapsedTimer>
#include <QWidget>
#include <memory>
#include <string>
#include <vector>

class QAction;
class QCheckBox;
class QCloseEvent;
class QDragEnterEvent;
class QDropEvent;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QSplitter;
class QSystemTrayIcon;
class QMessageBox;
class QThread;
class DeviceModel;
class LslOutletSet;
class SignalsWidget;


// The program's only top-level window: device controls on top, the signal viewers below, a status line at
// the bottom, and a tray icon that can hide and restore it.
class MainWindow : public QWidget {
    Q_OBJECT
public:
    // What the background configuration hands back to the window.
    struct ConfigurationResult {
        bool success = false;
        bool autostart = false;
        bool hide = false;
        std::string harddrivePath;
        std::string message;
        // Built and connected by the task, installed (and owned from then on) by the window on its own thread.
        DeviceModel* model = nullptr;
        int sensorType = -1;  // -1: unchanged
    };

    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    static QString windowTitleText();

    // Closes as the window's close does, but without a question: a running acquisition is stopped and its
    // record closed whole. For the termination signals (logout, shutdown, Ctrl+C).
    void closeWithoutQuestions();

public slots:
    void configure(const char* configuration_filename);
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private slots:
    void onConnectButtonClicked();
    void onDisconnectButtonClicked();
    void onReconnectButtonClicked();
    void onOpenButtonClicked();
    void onImportButtonClicked();
    void onStartButtonClicked();
    void onStopButtonClicked();
    void onSDCardBoxStateChanged(int state);
    void onSDCardPathInputChanged(QString text);
    void onHDBoxStateChanged(int state);
    void onHDFolderButtonClicked();
    void onNewDataReceived(std::vector<double> data, int seq, short battLevel, ushort flags, qlonglong timestamp,
                           qlonglong utc);
    void onSignalModeChanged(int signal, int mode);
    void onLostConnection();
    void onNoData();
    void onDongleFound(uint port);
    void onDongleLost();
    void onSignalEnd();
    void setErrorMessage(QString title, QString short_message, QString long_message);
    void applyConnection(std::string type, PropertyMap properties, std::vector<PropertyMap> other_devices,
                         bool requires_dongle);
    void onConnected(bool success);
    void onConfigured();
    ConfigurationResult do_configure(const char* configuration_filename);
    // Hands the blocks that wait for the display to onNewDataReceived, oldest first.
    void showPendingBlocks();

private:
    void buildWidgets();
    void connectSignals();
    void toggleVisibility();
    void resetDeviceControls();
    void refreshDeviceControls();
    // Yes stops, No abandons the acquisition without the Stop steps; false when the user cancelled.
    bool settleRunningAcquisition(const QString& question);
    // Connect and Open: settle a running acquisition, then disconnect the current device. False when cancelled.
    bool releaseCurrentDevice(const QString& question);
    bool connectAttemptUses(const DeviceModel* candidate) const;
    // Joins the acquisition thread, however long the model's current call takes.
    void stopReadThread();
    bool acquisitionInProgress() const;
    // Ends an acquisition without touching the model: the thread joined, the record and the streams closed
    // whole. Nothing may stop, clear, replace or delete the model before this.
    void abandonAcquisition();
    // After the acquisition thread ended: the session lets go of its sinks, which are then closed whole.
    void endRecordingSession();
    void hardDriveRecordFailed(const QString& reason);
    void showNonModalWarning(const QString& title, const QString& text);
    // Installs a new model (and its outlet set); the previous one goes, once no connect attempt still uses it.
    void replaceModel(DeviceModel* newModel);
    void startConnectWorker();
    void trayMessage(const QString& title, const QString& text);
    QString modelName() const;

    bool setupSdCardRecord(const QDateTime& start);
    bool setupHardDriveRecord(const QDateTime& start);
    void closeHardDriveRecord();
    // `closing` adds the gaps found in the record.
    void writeSignalsInfo(QDateTime startTime, QString folder, bool withUtc, bool closing = false);
    void finishSignalsInfo();
    std::vector<KvnSignal> csvSignalList() const;

    void showRecordingTime(QString suffix);
    void showBatteryLevel(short level);
    void warnLslUnavailableOnce();

    std::unique_ptr<DeviceModel> model;
    PropertyMap lastConnection;
    int sensorType = 0;
    ReadBT readThread;
    CsvWriter csvWriter;
    // Takes every block on the acquisition thread for the record and the streams; the display's share waits in
    // its bounded queue.
    RecordingSession session;
    QDateTime recordStart;
    QString recordFolder;
    std::unique_ptr<LslOutletSet> outlets;
    QPointer<QMessageBox> configurationBox;
    QFutureWatcher<ConfigurationResult> configurationWatcher;
    QFuture<ConfigurationResult> configurationFuture;
    // Connect attempts still running, each with the model it uses; such a model is deleted only after its attempt.
    std::vector<std::pair<QThread*, DeviceModel*>> connectWorkers;
    bool lslWarningShown = false;
    bool askBeforeClosing = true;
    // Why the hard-drive record of the running acquisition stopped; shown with the recording time.
    QString recordProblem;
    // From a successful Start to Stop. Blocks are accepted on this, not on the model's running state: during a
    // link drop the device does not report running, yet the blocks read before the drop are real and recorded.
    bool acquiring = false;

    qint64 blockCounter = 0;
    // Blocks of this acquisition the display had to let go, and since when none was let go.
    qint64 blocksNotShown = 0;
    QElapsedTimer sinceBlocksNotShown;
    bool noDataShown = false;
    QElapsedTimer noDataSince;

    QPointer<QGroupBox> deviceBox;
    QPointer<QPushButton> connectButton;
    QPointer<QPushButton> openButton;
    QPointer<QPushButton> disconnectButton;
    QPointer<QPushButton> importButton;
    QPointer<QPushButton> reconnectButton;
    QPointer<QCheckBox> sdCardBox;
    QPointer<QLineEdit> sdCardPathInput;
    QPointer<QCheckBox> hdBox;
    QPointer<QLineEdit> hdFolderInput;
    QPointer<QPushButton> selectFolderButton;
    QPointer<QCheckBox> lslBox;
    QPointer<QPushButton> startButton;
    QPointer<QPushButton> stopButton;
    QPointer<QSplitter> splitter;
    QPointer<SignalsWidget> signalsWidget;
    QPointer<QLabel> deviceLabel;
    QPointer<QLabel> batteryLabel;

    QPointer<QSystemTrayIcon> trayIcon;
    QPointer<QMenu> trayMenu;
    QPointer<QAction> minimizeAction;
    QPointer<QAction> maximizeAction;
    QPointer<QAction> restoreAction;
    QPointer<QAction> quitAction;
};
