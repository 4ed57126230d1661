#pragma once

#include <QDialog>
#include <QString>

class BaseImporter;
class ImportConfiguration;
class ImportWorker;
class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTabWidget;
class QTableWidget;

// Converts a record from a device's SD card (a single device, or the two halves of an EEG 64 headset) into
// CSV files and the positioning set-up file, on a pool thread, with progress and abort.
//
// While an import runs the importer in use is never replaced: the pickers, the output row and "&Import" are
// disabled, and a record display refresh asked for meanwhile waits for the end of the import. Closing the
// dialog then (window button, Escape) aborts the import and closes once it has ended.
class ImportWidget : public QDialog {
    Q_OBJECT
public:
    explicit ImportWidget(QWidget* parent = nullptr);
    ~ImportWidget() override;

    void done(int result) override;

    bool isImporting() const { return running; }
    const BaseImporter* currentImporter() const { return importer; }

    // "folder_1", "folder_2" ...: the first name beside `folder` that does not exist yet.
    static QString freeFolderBeside(const QString& folder);

private:
    void refresh();
    void browseOutput();
    void updateImportButton();
    void startImport();
    void exportToBdf();
    void importFinished(bool success);
    void exitClicked();
    void setControlsEnabled(bool enabled);
    void resizeToContents();

    QTabWidget* tabs = nullptr;
    ImportConfiguration* singlePicker = nullptr;
    ImportConfiguration* eeg64Picker = nullptr;
    QLabel* lengthLabel = nullptr;
    QLabel* sequenceLabel = nullptr;
    QLabel* setupLabel = nullptr;
    QCheckBox* setupBox = nullptr;
    QTableWidget* table = nullptr;
    QLineEdit* outputInput = nullptr;
    QPushButton* outputButton = nullptr;
    QPushButton* importButton = nullptr;
    QProgressBar* progressBar = nullptr;
    QPushButton* exportButton = nullptr;
    QPushButton* exitButton = nullptr;

    BaseImporter* importer = nullptr;
    ImportWorker* worker = nullptr;
    bool running = false;
    bool importerUsed = false;    // an importer delivers its record once
    bool refreshPending = false;  // the choice changed during an import
    bool closePending = false;    // closing was asked for during an import
};
