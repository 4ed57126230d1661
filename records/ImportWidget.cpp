#include "ImportWidget.h"

#include "BdfExportRun.h"
#include "BdfExporter.h"
#include "ImportConfiguration.h"
#include "ImportWorker.h"
#include "Importer.h"
#include "RecordTexts.h"
#include "SignalLayout.h"
#include "SignalNames.h"

#include <QCheckBox>
#include <QColor>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QApplication>
#include <QDesktopWidget>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStringList>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>

#include <vector>

namespace {

QTableWidgetItem* centred(const QString& text, bool grey)
{
    auto* item = new QTableWidgetItem(text);
    item->setTextAlignment(Qt::AlignCenter);
    if (grey) item->setForeground(QColor(128, 128, 128));
    return item;
}

}  // namespace

ImportWidget::ImportWidget(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(tr("Import SD record"));

    tabs = new QTabWidget(this);
    singlePicker = new SimpleImportConfiguration([](const QByteArray&, const QByteArray&) { return true; });
    singlePicker->setObjectName("singlePicker");
    eeg64Picker = new Eeg64ImportConfiguration;
    eeg64Picker->setObjectName("eeg64Picker");
    tabs->addTab(singlePicker, tr("Single device"));
    tabs->addTab(eeg64Picker, tr("EEG 64 device"));
    tabs->setCurrentIndex(0);

    lengthLabel = new QLabel(tr("Record length:"), this);
    lengthLabel->setObjectName("lengthLabel");
    sequenceLabel = new QLabel(tr("First sequence:"), this);
    sequenceLabel->setObjectName("sequenceLabel");
    setupLabel = new QLabel(tr("Halvo Record"), this);
    setupLabel->setObjectName("setupLabel");
    setupBox = new QCheckBox(tr("SetUp Recorded"), this);
    setupBox->setObjectName("setupBox");
    setupBox->setEnabled(false);
    setupBox->setLayoutDirection(Qt::LeftToRight);
    setupLabel->hide();
    setupBox->hide();

    table = new QTableWidget(0, 4, this);
    table->setObjectName("signalTable");
    table->setHorizontalHeaderLabels({tr("Signal"), tr("Channels"), tr("Sampling rate"), tr("Mode")});
    table->setSizeAdjustPolicy(QAbstractScrollArea::AdjustToContents);
    table->setAlternatingRowColors(true);
    table->setSelectionMode(QAbstractItemView::NoSelection);
    table->setMaximumHeight(200);
    table->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    table->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);

    outputInput = new QLineEdit(this);
    outputInput->setObjectName("outputInput");
    outputButton = new QPushButton(tr("Browse &Output"), this);
    importButton = new QPushButton(tr("&Import"), this);
    importButton->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    progressBar = new QProgressBar(this);
    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    exitButton = new QPushButton(tr("&Exit"), this);
    exitButton->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);

    auto* setupRow = new QHBoxLayout;
    setupRow->addWidget(setupLabel);
    setupRow->addWidget(setupBox);
    auto* outputRow = new QHBoxLayout;
    outputRow->addWidget(outputInput);
    outputRow->addWidget(outputButton);
    auto* importRow = new QHBoxLayout;
    importRow->addWidget(importButton);
    importRow->addWidget(progressBar);
    exportButton = new QPushButton(tr("Export to BDF+..."), this);
    exportButton->setObjectName("exportButton");
    exportButton->setEnabled(false);
    importRow->addWidget(exportButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs);
    layout->addWidget(lengthLabel);
    layout->addWidget(sequenceLabel);
    layout->addLayout(setupRow);
    layout->addWidget(table);
    layout->addLayout(outputRow);
    layout->addLayout(importRow);
    layout->addWidget(exitButton, 0, Qt::AlignHCenter);

    connect(outputButton, &QPushButton::clicked, this, &ImportWidget::browseOutput);
    connect(outputInput, &QLineEdit::textChanged, this, &ImportWidget::updateImportButton);
    connect(importButton, &QPushButton::clicked, this, &ImportWidget::startImport);
    connect(exportButton, &QPushButton::clicked, this, &ImportWidget::exportToBdf);
    connect(exitButton, &QPushButton::clicked, this, &ImportWidget::exitClicked);
    connect(singlePicker, &ImportConfiguration::updated, this, &ImportWidget::refresh);
    connect(eeg64Picker, &ImportConfiguration::updated, this, &ImportWidget::refresh);
    connect(tabs, &QTabWidget::currentChanged, this, &ImportWidget::refresh);

    importButton->setEnabled(false);
    resizeToContents();
}

ImportWidget::~ImportWidget()
{
    if (worker) {
        // Only reached while an import runs when the dialog goes without being closed (its parent goes).
        delete worker;  // aborts the run and waits for it
    }
    delete importer;
}

void ImportWidget::browseOutput()
{
    const QString folder = QFileDialog::getExistingDirectory(this, tr("Output folder"), outputInput->text(),
                                                             QFileDialog::ShowDirsOnly);
    if (!folder.isEmpty()) outputInput->setText(folder);
}

void ImportWidget::updateImportButton()
{
    importButton->setEnabled(!running && importer && !outputInput->text().isEmpty());
    exportButton->setEnabled(!running && importer);
}

void ImportWidget::exportToBdf()
{
    auto* picker = qobject_cast<ImportConfiguration*>(tabs->currentWidget());
    if (running || !importer || !picker) return;
    // An importer of its own: the dialog's stays ready for a CSV import.
    std::shared_ptr<BaseImporter> own(picker->createImporter());
    if (!own) return;
    runBdfExport(this, tr("record"), [own](QString&) -> std::unique_ptr<ExportSource> {
        // The source's callback stays with the importer, which the lambda keeps alive.
        struct Owning : SdCardSource {
            explicit Owning(std::shared_ptr<BaseImporter> i) : SdCardSource(*i), keep(std::move(i)) {}
            std::shared_ptr<BaseImporter> keep;
        };
        return std::make_unique<Owning>(own);
    });
}

void ImportWidget::refresh()
{
    if (running) {
        refreshPending = true;
        return;
    }
    delete importer;
    importer = nullptr;
    importerUsed = false;
    if (auto* picker = qobject_cast<ImportConfiguration*>(tabs->currentWidget())) importer = picker->createImporter();

    table->clearContents();
    if (!importer) {
        lengthLabel->setText(tr("Record length:"));
        sequenceLabel->setText(tr("First sequence:"));
        setupLabel->hide();
        setupBox->hide();
        table->setRowCount(0);
    } else {
        lengthLabel->setText(recordLengthText(importer->duration()));
        sequenceLabel->setText(tr("First sequence: ") + QString::number(importer->first_sequence()));
        const std::vector<KvnSignal> signalList = importer->get_signals();
        const std::vector<std::string> names = niceNamesAndSuffixes(signalList);
        const unsigned rate = importer->blocks_per_second();
        table->setRowCount(int(signalList.size()));
        QStringList labels;
        bool positioning = false;
        for (std::size_t i = 0; i < signalList.size(); ++i) {
            const KvnSignal& s = signalList[i];
            if (isSdCard(s.name)) continue;
            if (s.name == "ANC") positioning = true;
            labels << QString::number(i + 1);
            const bool grey = s.mode == 0;
            const int row = int(i);
            table->setItem(row, 0, new QTableWidgetItem(QString::fromStdString(names[i])));
            table->setItem(row, 1, centred(QString::number(s.channels), grey));
            table->setItem(row, 2, centred(QString::number(qulonglong(s.samples) * rate), grey));
            table->setItem(row, 3, centred(QString::number(int(s.mode)), grey));
        }
        table->setVerticalHeaderLabels(labels);
        setupLabel->setVisible(positioning);
        setupBox->setVisible(positioning);
        setupBox->setChecked(positioning && importer->get_valid_setup_halvo());
    }
    updateImportButton();
    resizeToContents();
}

void ImportWidget::setControlsEnabled(bool enabled)
{
    tabs->setEnabled(enabled);
    outputInput->setEnabled(enabled);
    outputButton->setEnabled(enabled);
    exitButton->setEnabled(enabled);
}

QString ImportWidget::freeFolderBeside(const QString& folder)
{
    QString base = folder;
    while (base.size() > 1 && base.endsWith('/')) base.chop(1);
    for (int n = 1;; ++n) {
        const QString candidate = base + "_" + QString::number(n);
        if (!QFileInfo::exists(candidate)) return candidate;
    }
}

void ImportWidget::startImport()
{
    if (running || !importer || importerUsed || outputInput->text().isEmpty()) return;
    // A record is never written over: the user picks a new folder (proposed beside it) or keeps the old one.
    if (QFileInfo::exists(outputInput->text() + "/signalsInfo.csv")) {
        const QString proposal = freeFolderBeside(outputInput->text());
        const auto answer = QMessageBox::question(
            this, tr("SD record import"),
            tr("The folder %1 already holds a record, which an import never overwrites.\n\n"
               "Import into the new folder %2 instead?")
                .arg(QDir::toNativeSeparators(outputInput->text()), QDir::toNativeSeparators(proposal)),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
        if (answer != QMessageBox::Yes) return;
        outputInput->setText(proposal);
    }
    delete worker;
    worker = new ImportWorker(importer, QFile::encodeName(outputInput->text()));
    importerUsed = true;
    progressBar->setValue(0);
    connect(worker, &ImportWorker::progress, progressBar, &QProgressBar::setValue);
    connect(worker, &ImportWorker::finished, this, &ImportWidget::importFinished);
    running = true;
    setControlsEnabled(false);
    updateImportButton();
    worker->start();
}

void ImportWidget::importFinished(bool success)
{
    if (!running || sender() != worker) return;
    worker->waitUntilDone();  // finished is its last signal, but run() may not have returned yet
    const QString detail = worker->detail().isEmpty() ? QString() : "\n\n" + worker->detail();
    if (success)
        QMessageBox::information(this, tr("SD record import"), tr("Record imported successfully") + detail,
                                 QMessageBox::Ok);
    else
        QMessageBox::warning(this, tr("SD record import"), tr("Record not imported") + detail, QMessageBox::Ok);
    running = false;
    delete worker;
    worker = nullptr;
    if (importer) {
        importer->import_posita_setup((QFile::encodeName(outputInput->text()) + "/posita_setup.json").toStdString());
        delete importer;
        importer = nullptr;
    }
    setControlsEnabled(true);
    updateImportButton();
    if (closePending) {
        closePending = false;
        QDialog::done(QDialog::Rejected);
        return;
    }
    if (refreshPending) {
        refreshPending = false;
        refresh();
    }
}

void ImportWidget::exitClicked()
{
    if (running && worker) worker->abort();
    close();
}

void ImportWidget::done(int result)
{
    if (running) {
        if (worker) worker->abort();
        closePending = true;
        return;
    }
    QDialog::done(result);
}

void ImportWidget::resizeToContents()
{
    table->resizeColumnsToContents();
    table->resizeRowsToContents();
    table->adjustSize();
    // The record box may have grown with its entries; the layout learns of it only on its next pass.
    if (layout()) layout()->invalidate();
    adjustSize();
    // adjustSize stops at two thirds of the screen; a long record name may take up to nine tenths.
    const QRect screen = QApplication::desktop()->availableGeometry(this);
    const int wanted = std::min(sizeHint().width(), screen.width() * 9 / 10);
    if (width() < wanted) resize(wanted, height());
}
