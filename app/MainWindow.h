#pragma once

#include <QPointer>
#include <QString>
#include <QTime>
#include <QWidget>

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

// The program's only top-level window: device controls on top, the signal viewers below, a status line at
// the bottom, and a tray icon that can hide and restore it.
class MainWindow : public QWidget {
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    static QString windowTitleText();

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
    void onSignalModeChanged(int signal, int mode);
    void onLostConnection();
    void onNoData();
    void onDongleFound(uint port);
    void onDongleLost();
    void onSignalEnd();
    void setErrorMessage(QString title, QString short_message, QString long_message);
    void onConnected(bool success);
    void onConfigured();

private:
    void buildWidgets();
    void connectSignals();
    void toggleVisibility();
    void resetDeviceControls();
    void refreshDeviceControls();

    int sensorType = 0;
    qint64 blockCounter = 0;
    bool noDataShown = false;
    QTime noDataSince;

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
    QPointer<QWidget> signalsWidget;
    QPointer<QLabel> deviceLabel;
    QPointer<QLabel> batteryLabel;

    QPointer<QSystemTrayIcon> trayIcon;
    QPointer<QMenu> trayMenu;
    QPointer<QAction> minimizeAction;
    QPointer<QAction> maximizeAction;
    QPointer<QAction> restoreAction;
    QPointer<QAction> quitAction;
};
