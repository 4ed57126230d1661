#pragma once

#include <QByteArray>
#include <QFuture>
#include <QFutureWatcher>
#include <QWidget>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

class BaseImporter;
class QComboBox;
class QLineEdit;
class QPushButton;

// A picker of SD-card records copied to the computer; it builds the library's importer for its choice.
class ImportConfiguration : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;
    // A new importer for the current choice (the caller owns it), or null when there is nothing to import.
    virtual BaseImporter* createImporter() = 0;

Q_SIGNALS:
    // The record that createImporter would import may have changed.
    void updated();
};

// Picks one record: searches a folder (in the background) for first files "0_<name>.*".
class SimpleImportConfiguration : public ImportConfiguration {
    Q_OBJECT
public:
    struct Record {
        QByteArray folder;  // the directory of the record's first file
        QByteArray name;    // its base name without the leading "0_"
    };
    // Says whether a record found on disk is listed.
    using Filter = std::function<bool(const QByteArray& folder, const QByteArray& name)>;

    explicit SimpleImportConfiguration(Filter filter, QWidget* parent = nullptr);
    ~SimpleImportConfiguration() override;

    BaseImporter* createImporter() override;
    QByteArray currentFolder() const;
    // The current record's name without its restart suffix and without its last character (the "l" or "r"
    // of an EEG 64 half); empty when there is no current record.
    QByteArray currentBaseName() const;

    // The walk that the background search runs: every file below `folder` whose base name begins with "0_".
    // `cancelled`, when given, is polled so that a search nobody waits for any more can stop early.
    static std::vector<Record> findRecords(const QByteArray& folder, const std::function<bool()>& cancelled = {});

    // Whether a search has yet to fill the listing (for tests and for waiting on it).
    bool isSearching() const;

private:
    void browse();
    void startSearch(const QString& text);
    void searchFinished();
    const Record* currentRecord() const;

    QLineEdit* input = nullptr;
    QPushButton* browseButton = nullptr;
    QComboBox* recordBox = nullptr;
    std::vector<Record> records;
    QFutureWatcher<std::vector<Record>> watcher;
    Filter filter;
    bool resultTaken = true;  // no search pending
    // Bumped at every new search; an older search sees it and stops walking.
    std::shared_ptr<std::atomic<unsigned>> generation = std::make_shared<std::atomic<unsigned>>(0);
};

// Picks the left and the right half of an EEG 64 record; builds the merged importer when their names match.
class Eeg64ImportConfiguration : public ImportConfiguration {
    Q_OBJECT
public:
    explicit Eeg64ImportConfiguration(QWidget* parent = nullptr);

    BaseImporter* createImporter() override;

    // The filter of one side: a 32-channel EEG record whose base name ends in `side` ('l' or 'r').
    static SimpleImportConfiguration::Filter halfFilter(char side);

    SimpleImportConfiguration* leftPicker() const { return left; }
    SimpleImportConfiguration* rightPicker() const { return right; }

private:
    SimpleImportConfiguration* left = nullptr;
    SimpleImportConfiguration* right = nullptr;
};
