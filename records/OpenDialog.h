#pragma once

#include "CsvReader.h"

#include <QByteArray>
#include <QDialog>
#include <QFutureWatcher>
#include <QList>
#include <QPointer>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTableWidget;

// Lets the user pick a hard-drive record for playback: searches a folder and its sub-folders for record
// folders (those holding "signalsInfo.csv") and describes the chosen one. It only reads records.
class OpenDialog : public QDialog {
    Q_OBJECT
public:
    explicit OpenDialog(QWidget* parent = nullptr);
    ~OpenDialog() override;

    // The record folder of the current entry; empty when there is none.
    QByteArray selectedFolder() const;

    // The search walks at most this many entries, so that a folder as large as a whole disk (the first
    // keystroke "/" of a typed path) cannot freeze the window for minutes.
    static constexpr int MAX_WALKED_ENTRIES = 500000;

    // True while a search walks the folders (on a pool thread; the window stays responsive).
    bool isSearching() const;

    // Record folders under `text` (path of the folder, its name as shown relative to `text`), walking at most
    // MAX_WALKED_ENTRIES entries and stopping early when `cancelled` says so.
    using Found = std::vector<std::pair<QByteArray, QString>>;
    static Found findRecords(const QString& text, const std::function<bool()>& cancelled);

private:
    void browse();
    void search(const QString& text);
    void searchFinished();
    void showDetails(int index);
    void clearDetails();
    void resizeToContents();
    void exportRecord();

    QLineEdit* pathInput = nullptr;
    QPushButton* browseButton = nullptr;
    QComboBox* recordBox = nullptr;
    QLabel* lengthLabel = nullptr;
    QTableWidget* table = nullptr;
    QProgressBar* searchProgress = nullptr;
    QPushButton* openButton = nullptr;
    QPushButton* cancelButton = nullptr;
    QPushButton* exportButton = nullptr;
    CsvReader reader;
    QList<QByteArray> folders;
    QFutureWatcher<Found> watcher;
    // Counts searches; a walk whose number is no longer the current one stops and its result is dropped.
    std::shared_ptr<std::atomic<unsigned>> generation = std::make_shared<std::atomic<unsigned>>(0);
    bool resultTaken = true;
};
