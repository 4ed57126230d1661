#include "OpenDialog.h"

#include "BdfExportRun.h"
#include "BdfExporter.h"
#include "RecordTexts.h"
#include "SignalLayout.h"

#include "ElidingComboBox.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QApplication>
#include <QDesktopWidget>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QThreadPool>
#include <QtConcurrent>
#include <QStringList>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>

#include <filesystem>
#include <string>
#include <system_error>

namespace fs = std::filesystem;

namespace {

const std::string kDescriptionTail = "/signalsInfo.csv";

void setUpTable(QTableWidget* table)
{
    table->setSizeAdjustPolicy(QAbstractScrollArea::AdjustToContents);
    table->setAlternatingRowColors(true);
    table->setSelectionMode(QAbstractItemView::NoSelection);
    table->setMaximumHeight(200);
    table->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    table->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
}

QTableWidgetItem* centred(const QString& text)
{
    auto* item = new QTableWidgetItem(text);
    item->setTextAlignment(Qt::AlignCenter);
    return item;
}

}  // namespace

OpenDialog::OpenDialog(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(tr("Open record"));

    pathInput = new QLineEdit(this);
    pathInput->setObjectName("pathInput");
    browseButton = new QPushButton(tr("&Browse Input"), this);
    recordBox = new ElidingComboBox(this);
    recordBox->setObjectName("recordBox");
    recordBox->setEditable(false);
    lengthLabel = new QLabel(tr("Record length:"), this);
    lengthLabel->setObjectName("lengthLabel");
    table = new QTableWidget(0, 3, this);
    table->setObjectName("signalTable");
    table->setHorizontalHeaderLabels({tr("Signal"), tr("Channels"), tr("Sampling rate")});
    setUpTable(table);
    searchProgress = new QProgressBar(this);
    searchProgress->setObjectName("searchProgress");
    searchProgress->setRange(0, 0);  // a walk cannot know its length: busy
    searchProgress->setFormat(tr("Searching for records..."));
    searchProgress->setTextVisible(true);
    searchProgress->hide();
    openButton = new QPushButton(tr("&Open"), this);
    cancelButton = new QPushButton(tr("&Cancel"), this);
    openButton->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    cancelButton->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    exportButton = new QPushButton(tr("Export to BDF+..."), this);
    exportButton->setObjectName("exportButton");
    exportButton->setEnabled(false);

    auto* pathRow = new QHBoxLayout;
    pathRow->addWidget(pathInput);
    pathRow->addWidget(browseButton);
    auto* buttonRow = new QHBoxLayout;
    buttonRow->addWidget(openButton);
    buttonRow->addWidget(cancelButton);
    buttonRow->addStretch();
    buttonRow->addWidget(exportButton);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(pathRow);
    layout->addWidget(recordBox);
    layout->addWidget(searchProgress);
    layout->addWidget(lengthLabel);
    layout->addWidget(table);
    layout->addLayout(buttonRow);

    connect(browseButton, &QPushButton::clicked, this, &OpenDialog::browse);
    connect(pathInput, &QLineEdit::textChanged, this, &OpenDialog::search);
    connect(&watcher, &QFutureWatcher<Found>::finished, this, &OpenDialog::searchFinished);
    connect(recordBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &OpenDialog::showDetails);
    connect(openButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(exportButton, &QPushButton::clicked, this, &OpenDialog::exportRecord);

    resizeToContents();
}

OpenDialog::~OpenDialog()
{
    // The walk holds nothing of this dialog; telling it to stop is enough.
    ++*generation;
}

bool OpenDialog::isSearching() const { return !resultTaken; }

QByteArray OpenDialog::selectedFolder() const
{
    const int index = recordBox->currentIndex();
    if (index < 0 || index >= folders.size()) return QByteArray();
    return folders.at(index);
}

void OpenDialog::browse()
{
    const QString folder = QFileDialog::getExistingDirectory(this, tr("Open recording"), pathInput->text(),
                                                             QFileDialog::ShowDirsOnly);
    if (!folder.isEmpty()) pathInput->setText(folder);
}

void OpenDialog::search(const QString& text)
{
    recordBox->clear();
    folders.clear();
    clearDetails();  // also when the box was already empty and emitted nothing

    const unsigned mine = ++*generation;
    if (text.isEmpty()) {
        resultTaken = true;
        searchProgress->hide();
        return;
    }
    resultTaken = false;
    searchProgress->show();
    auto counter = generation;
    watcher.setFuture(QtConcurrent::run(QThreadPool::globalInstance(), [text, counter, mine] {
        return findRecords(text, [&counter, mine] { return counter->load() != mine; });
    }));
}

void OpenDialog::searchFinished()
{
    // Only the current search's result counts; an older walk stopped early and found too little.
    if (resultTaken || !watcher.future().isFinished() || watcher.future().resultCount() == 0) return;
    resultTaken = true;
    searchProgress->hide();
    const Found found = watcher.future().result();
    for (const auto& entry : found) {
        folders.append(entry.first);
        recordBox->addItem(entry.second);
    }
    resizeToContents();
}

OpenDialog::Found OpenDialog::findRecords(const QString& text, const std::function<bool()>& cancelled)
{
    Found found;
    const std::string chosen = QFile::encodeName(text).toStdString();
    if (chosen.empty()) return found;
    // Trailing slashes are not part of the folder's name; without this a typed "rec/" would find nothing.
    std::string prefix = chosen;
    while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();

    std::error_code ec;
    fs::recursive_directory_iterator it(fs::path(chosen), fs::directory_options::skip_permission_denied, ec);
    int walked = 0;
    for (const fs::recursive_directory_iterator end; !ec && it != end; it.increment(ec)) {
        if (++walked > MAX_WALKED_ENTRIES || cancelled()) break;
        const std::string path = it->path().string();
        if (path.size() < prefix.size() + kDescriptionTail.size() || path.compare(0, prefix.size(), prefix) != 0)
            continue;
        if (path.compare(path.size() - kDescriptionTail.size(), kDescriptionTail.size(), kDescriptionTail) != 0)
            continue;
        const std::string sub = path.substr(prefix.size(), path.size() - prefix.size() - kDescriptionTail.size());
        if (!sub.empty() && sub.front() != '/') continue;  // "recordings2/..." is not inside "recordings"
        found.emplace_back(QByteArray::fromStdString(prefix + "/" + sub),
                           QFile::decodeName(QByteArray::fromStdString(sub)));
    }
    return found;
}

void OpenDialog::exportRecord()
{
    const QByteArray folder = selectedFolder();
    if (folder.isEmpty()) return;
    QString name = QFileInfo(QFile::decodeName(folder)).fileName();
    if (name.isEmpty()) name = QDir(QFile::decodeName(folder)).dirName();
    runBdfExport(this, name, [folder](QString& error) -> std::unique_ptr<ExportSource> {
        auto source = std::make_unique<CsvRecordSource>();
        if (source->open(folder.toStdString())) return source;
        error = QString::fromStdString(source->error());
        return nullptr;
    });
}

void OpenDialog::clearDetails()
{
    exportButton->setEnabled(false);
    lengthLabel->setText(tr("Record length:"));
    table->clearContents();
    table->setRowCount(0);
    resizeToContents();
}

void OpenDialog::showDetails(int index)
{
    if (index < 0 || index >= folders.size()) {
        clearDetails();
        return;
    }
    table->clearContents();
    exportButton->setEnabled(false);
    if (!reader.open(folders.at(index).toStdString())) {
        // A damaged description gets no table, and says so where the length would be.
        lengthLabel->setText(tr("Record length: ") + tr("unreadable record (%1)").arg(QString::fromStdString(reader.error())));
        table->setRowCount(0);
        resizeToContents();
        return;
    }
    lengthLabel->setText(recordLengthText(reader.duration()));
    exportButton->setEnabled(true);

    const int count = int(reader.numberOfSignals());
    table->setRowCount(count);
    QStringList labels;
    for (int i = 0; i < count; ++i) {
        const std::string name = reader.signalName(std::size_t(i));
        if (isSdCard(name)) continue;
        labels << QString::number(i + 1);
        table->setItem(i, 0, new QTableWidgetItem(QString::fromStdString(name)));
        table->setItem(i, 1, centred(QString::number(reader.signalChannels(std::size_t(i)))));
        table->setItem(i, 2, centred(QString::number(reader.signalSamplingRate(std::size_t(i)))));
    }
    table->setVerticalHeaderLabels(labels);
    // The description is all the dialog needs; the data files need not stay open.
    reader.close();
    resizeToContents();
}

void OpenDialog::resizeToContents()
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
