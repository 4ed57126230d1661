#include "ImportConfiguration.h"

#include "Importer.h"
#include "SignalLayout.h"

#include "ElidingComboBox.h"

#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QThreadPool>
#include <QVBoxLayout>
#include <QtConcurrent>

#include <filesystem>
#include <string>
#include <system_error>

namespace fs = std::filesystem;

SimpleImportConfiguration::SimpleImportConfiguration(Filter recordFilter, QWidget* parent)
    : ImportConfiguration(parent), filter(std::move(recordFilter))
{
    input = new QLineEdit(this);
    input->setObjectName("inputPath");
    browseButton = new QPushButton(tr("&Browse Input"), this);
    recordBox = new ElidingComboBox(this);
    recordBox->setObjectName("recordBox");
    recordBox->setEditable(false);

    auto* row = new QHBoxLayout;
    row->addWidget(input);
    row->addWidget(browseButton);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(row);
    layout->addWidget(recordBox);

    connect(browseButton, &QPushButton::clicked, this, &SimpleImportConfiguration::browse);
    connect(input, &QLineEdit::textChanged, this, &SimpleImportConfiguration::startSearch);
    connect(&watcher, &QFutureWatcher<std::vector<Record>>::finished, this,
            &SimpleImportConfiguration::searchFinished);
    connect(recordBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &SimpleImportConfiguration::updated);
}

SimpleImportConfiguration::~SimpleImportConfiguration()
{
    // The walk holds nothing of this widget; telling it to stop is enough.
    ++*generation;
}

std::vector<SimpleImportConfiguration::Record> SimpleImportConfiguration::findRecords(
    const QByteArray& folder, const std::function<bool()>& cancelled)
{
    std::vector<Record> found;
    if (folder.isEmpty()) return found;
    std::error_code ec;
    fs::recursive_directory_iterator it(fs::path(folder.toStdString()), fs::directory_options::skip_permission_denied,
                                        ec);
    for (const fs::recursive_directory_iterator end; !ec && it != end; it.increment(ec)) {
        if (cancelled && cancelled()) break;
        std::error_code typeError;
        if (!it->is_regular_file(typeError)) continue;
        const std::string fileName = it->path().filename().string();
        const std::string base = fileName.substr(0, fileName.find('.'));
        if (base.compare(0, 2, "0_") != 0) continue;
        found.push_back({QByteArray::fromStdString(it->path().parent_path().string()),
                         QByteArray::fromStdString(base.substr(2))});
    }
    return found;
}

// The walk ends on its pool thread before its report reaches us: until then the listing is not complete.
bool SimpleImportConfiguration::isSearching() const { return !resultTaken; }

void SimpleImportConfiguration::browse()
{
    const QString folder = QFileDialog::getExistingDirectory(this, tr("Open SD card recording"), input->text(),
                                                             QFileDialog::ShowDirsOnly);
    if (!folder.isEmpty()) input->setText(folder);
}

void SimpleImportConfiguration::startSearch(const QString& text)
{
    recordBox->clear();
    records.clear();
    resultTaken = false;
    const unsigned mine = ++*generation;
    auto counter = generation;
    const QByteArray folder = QFile::encodeName(text);
    watcher.setFuture(QtConcurrent::run(QThreadPool::globalInstance(), [folder, counter, mine] {
        return findRecords(folder, [&counter, mine] { return counter->load() != mine; });
    }));
}

void SimpleImportConfiguration::searchFinished()
{
    // Only the current search's first report counts; result() would otherwise wait for an unfinished one.
    if (resultTaken || !watcher.future().isFinished() || watcher.future().resultCount() == 0) return;
    resultTaken = true;
    const std::vector<Record> found = watcher.future().result();
    const QByteArray text = QFile::encodeName(input->text());
    for (const Record& record : found) {
        // A record lying in the input folder itself, given with a trailing slash, has a folder shorter than
        // the text: it is shown by its name alone.
        const QByteArray display = record.folder.startsWith(text) ? record.folder.mid(text.size()) : QByteArray();
        if (filter && !filter(record.folder, record.name)) continue;
        records.push_back(record);
        recordBox->addItem(QFile::decodeName(display + "/" + record.name));
    }
}

const SimpleImportConfiguration::Record* SimpleImportConfiguration::currentRecord() const
{
    const int index = recordBox->currentIndex();
    if (index < 0 || std::size_t(index) >= records.size()) return nullptr;
    return &records[std::size_t(index)];
}

BaseImporter* SimpleImportConfiguration::createImporter()
{
    const Record* record = currentRecord();
    if (!record) return nullptr;
    return new Importer(record->folder.toStdString(), record->name.toStdString());
}

QByteArray SimpleImportConfiguration::currentFolder() const
{
    const Record* record = currentRecord();
    return record ? record->folder : QByteArray();
}

QByteArray SimpleImportConfiguration::currentBaseName() const
{
    const Record* record = currentRecord();
    if (!record) return QByteArray();
    std::string base = importer::basename(record->name.toStdString());
    if (!base.empty()) base.pop_back();
    return QByteArray::fromStdString(base);
}

// ---------------------------------------------------------------------------------------------------------

Eeg64ImportConfiguration::Eeg64ImportConfiguration(QWidget* parent) : ImportConfiguration(parent)
{
    auto* leftBox = new QGroupBox(tr("Left record"), this);
    auto* rightBox = new QGroupBox(tr("Right record"), this);
    left = new SimpleImportConfiguration(halfFilter('l'), leftBox);
    right = new SimpleImportConfiguration(halfFilter('r'), rightBox);
    left->setObjectName("leftPicker");
    right->setObjectName("rightPicker");
    (new QVBoxLayout(leftBox))->addWidget(left);
    (new QVBoxLayout(rightBox))->addWidget(right);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(leftBox);
    layout->addWidget(rightBox);

    connect(left, &ImportConfiguration::updated, this, &ImportConfiguration::updated);
    connect(right, &ImportConfiguration::updated, this, &ImportConfiguration::updated);
}

SimpleImportConfiguration::Filter Eeg64ImportConfiguration::halfFilter(char side)
{
    return [side](const QByteArray& folder, const QByteArray& name) {
        const std::string base = importer::basename(name.toStdString());
        if (base.empty() || base.back() != side) return false;
        const Importer half(folder.toStdString(), name.toStdString());
        const std::vector<KvnSignal> list = half.get_signals();
        return !list.empty() && signalKind(list.front().name) == SignalKind::Eeg && list.front().channels == 32;
    };
}

BaseImporter* Eeg64ImportConfiguration::createImporter()
{
    if (left->currentFolder().isEmpty() || right->currentFolder().isEmpty()) return nullptr;
    const QByteArray base = left->currentBaseName();
    if (base != right->currentBaseName()) return nullptr;
    return new Eeg64Importer(left->currentFolder().toStdString(), right->currentFolder().toStdString(),
                             right->currentBaseName().toStdString());
}
