#include "MainWindow.h"

#include "DataBlock.h"
#include "DeviceModel.h"
#include "LslOutletSet.h"
#include "SignalsWidget.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSplitter>
#include <QSystemTrayIcon>
#include <QThread>
#include <QVBoxLayout>
#include <vector>

static const char* const kVersionText = "1.7";

QString MainWindow::windowTitleText()
{
    return QStringLiteral("Lumetra device viewer ") + QLatin1String(kVersionText);
}

MainWindow::MainWindow(QWidget* parent) : QWidget(parent), readThread(this)
{
    readThread.setObjectName(QStringLiteral("readThread"));
    qRegisterMetaType<std::vector<double>>("std::vector<double>");
    qRegisterMetaType<std::vector<DataBlock>>("std::vector<DataBlock>");
    sensorType = 0;
    setAcceptDrops(true);
    // The program ends through this window's close only: with the window hidden ("hide" in a configuration,
    // the tray), dismissing a message box would otherwise count as closing the last window and quit mid-record.
    QApplication::setQuitOnLastWindowClosed(false);

    buildWidgets();
    connectSignals();

    setWindowTitle(windowTitleText());
    showMaximized();
}

MainWindow::~MainWindow()
{
    readThread.requestInterruption();
    // A QThread destroyed while running aborts the program; the thread ends within one read.
    if (!readThread.wait(1000)) readThread.wait();
    if (model && model->is_connected()) {
        model->disconnect_device(false);
        model->clear();
    }
    configurationWatcher.disconnect(this);
    configurationFuture.waitForFinished();
    // A result the window never applied still owns the device the task built and connected.
    if (!configurationWatcher.isFinished() && configurationFuture.resultCount() > 0) {
        DeviceModel* unused = configurationFuture.result().model;
        if (unused && unused != model.get()) {
            if (unused->is_connected()) {
                unused->disconnect_device(false);
                unused->clear();
            }
            delete unused;
        }
    }
    // A connect attempt still running uses its model: it must end before any model goes.
    for (auto& worker : connectWorkers) {
        worker.first->wait();
        delete worker.first;
        if (worker.second != model.get()) delete worker.second;
    }
    connectWorkers.clear();
    delete signalsWidget.data();
    outlets.reset();
    model.reset();
}

void MainWindow::buildWidgets()
{
    auto fixedButton = [this](const QString& text) {
        auto* b = new QPushButton(text, this);
        b->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        return b;
    };

    deviceBox = new QGroupBox(tr("Device"), this);
    auto* boxLayout = new QHBoxLayout(deviceBox);

    auto* left = new QVBoxLayout;
    connectButton = fixedButton(tr("Connect"));
    openButton = fixedButton(tr("Open"));
    disconnectButton = fixedButton(tr("Disconnect"));
    importButton = fixedButton(tr("Import record"));
    for (QPushButton* b : {connectButton.data(), openButton.data(), disconnectButton.data(), importButton.data()})
        left->addWidget(b, 0, Qt::AlignTop);
    // Kept for the reconnection slot; it is in no layout and never shown.
    reconnectButton = new QPushButton(tr("Reconnect"), this);
    reconnectButton->hide();

    auto* right = new QVBoxLayout;
    auto* sdRow = new QHBoxLayout;
    sdCardBox = new QCheckBox(tr("SD card record"), deviceBox);
    sdCardPathInput = new QLineEdit(deviceBox);
    sdCardPathInput->setPlaceholderText(tr("id of the recording (e.g. r005)"));
    sdRow->addWidget(sdCardBox);
    sdRow->addWidget(sdCardPathInput);

    auto* hdRow = new QHBoxLayout;
    hdBox = new QCheckBox(tr("Hard drive record"), deviceBox);
    hdFolderInput = new QLineEdit(deviceBox);
    selectFolderButton = new QPushButton(tr("Select folder"), deviceBox);
    hdRow->addWidget(hdBox);
    hdRow->addWidget(hdFolderInput);
    hdRow->addWidget(selectFolderButton);

    auto* lslRow = new QHBoxLayout;
    lslBox = new QCheckBox(tr("Enable LSL server"), deviceBox);
    lslRow->addWidget(lslBox);

    auto* runRow = new QHBoxLayout;
    startButton = fixedButton(tr("Start"));
    stopButton = fixedButton(tr("Stop"));
    runRow->addWidget(startButton, 0, Qt::AlignLeft);
    runRow->addWidget(stopButton, 0, Qt::AlignLeft);

    for (QCheckBox* box : {sdCardBox.data(), hdBox.data(), lslBox.data()})
        box->setLayoutDirection(Qt::RightToLeft);

    right->addLayout(sdRow);
    right->setAlignment(sdRow, Qt::AlignLeft);
    right->addLayout(hdRow);
    right->setAlignment(hdRow, Qt::AlignLeft);
    right->addLayout(lslRow);
    right->setAlignment(lslRow, Qt::AlignLeft);
    right->addLayout(runRow);
    right->setAlignment(runRow, Qt::AlignCenter);

    boxLayout->addLayout(left);
    boxLayout->setAlignment(left, Qt::AlignCenter);
    boxLayout->addLayout(right);
    boxLayout->setAlignment(right, Qt::AlignCenter);

    signalsWidget = new SignalsWidget(this);
    signalsWidget->setMinimumSize(600, 400);

    splitter = new QSplitter(Qt::Vertical, this);
    splitter->setChildrenCollapsible(false);
    splitter->addWidget(deviceBox);
    splitter->addWidget(signalsWidget);
    splitter->setSizes({1, 1000});

    auto* bottom = new QHBoxLayout;
    deviceLabel = new QLabel(tr("No device connected"), this);
    batteryLabel = new QLabel(tr("Battery: ? %"), this);
    bottom->addWidget(deviceLabel, 1);
    bottom->addWidget(batteryLabel, 0, Qt::AlignRight);

    auto* main = new QVBoxLayout(this);
    main->addWidget(splitter, 1);
    main->addLayout(bottom);

    minimizeAction = new QAction(tr("Mi&nimize"), this);
    maximizeAction = new QAction(tr("Ma&ximize"), this);
    restoreAction = new QAction(tr("Restore"), this);
    quitAction = new QAction(tr("&Quit"), this);
    trayMenu = new QMenu(this);
    trayMenu->addAction(minimizeAction);
    trayMenu->addAction(maximizeAction);
    trayMenu->addAction(restoreAction);
    trayMenu->addSeparator();
    trayMenu->addAction(quitAction);
    trayIcon = new QSystemTrayIcon(QIcon(QStringLiteral(":/img/viewer.png")), this);
    trayIcon->setContextMenu(trayMenu);
    trayIcon->setVisible(true);
    setWindowIcon(QIcon(QStringLiteral(":/img/viewer.png")));

    // Names let style sheets and tests find the controls.
    sdCardBox->setObjectName(QStringLiteral("sdCardBox"));
    sdCardPathInput->setObjectName(QStringLiteral("sdCardPathInput"));
    hdBox->setObjectName(QStringLiteral("hdBox"));
    hdFolderInput->setObjectName(QStringLiteral("hdFolderInput"));
    lslBox->setObjectName(QStringLiteral("lslBox"));
    deviceLabel->setObjectName(QStringLiteral("deviceLabel"));
    batteryLabel->setObjectName(QStringLiteral("batteryLabel"));

    // The no-device state.
    disconnectButton->setEnabled(false);
    startButton->setEnabled(false);
    stopButton->setEnabled(false);
    sdCardBox->setEnabled(false);
    sdCardPathInput->setEnabled(false);
    hdBox->setEnabled(false);
    hdFolderInput->setEnabled(false);
    selectFolderButton->setEnabled(false);
    lslBox->setEnabled(false);
}

void MainWindow::connectSignals()
{
    connect(connectButton, &QPushButton::clicked, this, &MainWindow::onConnectButtonClicked);
    connect(disconnectButton, &QPushButton::clicked, this, &MainWindow::onDisconnectButtonClicked);
    connect(openButton, &QPushButton::clicked, this, &MainWindow::onOpenButtonClicked);
    connect(importButton, &QPushButton::clicked, this, &MainWindow::onImportButtonClicked);
    connect(startButton, &QPushButton::clicked, this, &MainWindow::onStartButtonClicked);
    connect(stopButton, &QPushButton::clicked, this, &MainWindow::onStopButtonClicked);
    connect(sdCardBox, &QCheckBox::stateChanged, this, &MainWindow::onSDCardBoxStateChanged);
    connect(sdCardPathInput, &QLineEdit::textChanged, this, &MainWindow::onSDCardPathInputChanged);
    connect(hdBox, &QCheckBox::stateChanged, this, &MainWindow::onHDBoxStateChanged);
    connect(selectFolderButton, &QPushButton::clicked, this, &MainWindow::onHDFolderButtonClicked);
    // Straight from the acquisition thread into the session: the record and the streams never wait for this
    // window's event queue; the display gets its blocks from the session.
    connect(&readThread, &ReadBT::resultReady, &session, &RecordingSession::addBlock, Qt::DirectConnection);
    connect(&session, &RecordingSession::displayPending, this, &MainWindow::showPendingBlocks, Qt::QueuedConnection);
    connect(&session, &RecordingSession::recordFailed, this, [this] {
        const QString reason = session.takeRecordFailure();
        if (!reason.isEmpty()) hardDriveRecordFailed(reason);
    }, Qt::QueuedConnection);
    connect(&readThread, &ReadBT::lostConnnection, this, &MainWindow::onLostConnection);
    connect(&readThread, &ReadBT::noData, this, &MainWindow::onNoData);
    connect(reconnectButton, &QPushButton::clicked, this, &MainWindow::onReconnectButtonClicked);
    connect(&readThread, &ReadBT::dongleLost, this, &MainWindow::onDongleLost);
    connect(&readThread, &ReadBT::signalEnd, this, &MainWindow::onSignalEnd);
    connect(minimizeAction, &QAction::triggered, this, &QWidget::hide);
    connect(maximizeAction, &QAction::triggered, this, &QWidget::showMaximized);
    connect(restoreAction, &QAction::triggered, this, &QWidget::showNormal);
    connect(quitAction, &QAction::triggered, this, &QWidget::close);
    connect(trayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger) toggleVisibility();
    });
    connect(&configurationWatcher, &QFutureWatcher<ConfigurationResult>::finished, this, &MainWindow::onConfigured);
}

void MainWindow::toggleVisibility()
{
    if (isVisible())
        hide();
    else
        showMaximized();
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (model && (model->is_connected() || acquisitionInProgress())) onDisconnectButtonClicked();
    if (acquisitionInProgress()) {
        // The user cancelled the question: the acquisition goes on, and so does the window.
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
    QCoreApplication::quit();
}

void MainWindow::closeWithoutQuestions()
{
    askBeforeClosing = false;
    close();
    askBeforeClosing = true;
}

void MainWindow::trayMessage(const QString& title, const QString& text)
{
    if (trayIcon) trayIcon->showMessage(title, text, QSystemTrayIcon::Information, 1000);
}

