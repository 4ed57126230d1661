#pragma once

#include "CsvReader.h"

#include <QByteArray>
#include <QDialog>
#include <QList>
#include <QPointer>

class QComboBox;
class QLabel;
class QLineEdit;
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

private:
    void browse();
    void search(const QString& text);
    void showDetails(int index);
    void clearDetails();
    void resizeToContents();

    QLineEdit* pathInput = nullptr;
    QPushButton* browseButton = nullptr;
    QComboBox* recordBox = nullptr;
    QLabel* lengthLabel = nullptr;
    QTableWidget* table = nullptr;
    QPushButton* openButton = nullptr;
    QPushButton* cancelButton = nullptr;
    CsvReader reader;
    QList<QByteArray> folders;
};
