#pragma once

#include "PropertyMap.h"

#include <QWizard>
#include <QWizardPage>
#include <string>
#include <vector>

class QButtonGroup;
class QComboBox;
class QLabel;
class QCheckBox;
class QPushButton;
class QRadioButton;
class QTreeWidget;

// The port number a serial port name carries from its fourth character on ("COM10" -> 10); 0 when there is
// none (a name too short to carry one, or one that does not continue with digits).
int portNumber(const std::string& portName);

// Asks how to reach a device and returns a connection type and its properties; it never connects itself.
class ConnectionDialog : public QWizard {
    Q_OBJECT
public:
    enum PageId { SelectionPage = 0, BluetoothPage = 1, Eeg64Page = 2, UsbPage = 4, LslPage = 5 };

    ConnectionDialog(PropertyMap lastConnection, QWidget* parent);

    std::string type() const { return type_; }
    PropertyMap properties() const { return properties_; }
    std::vector<PropertyMap> otherDevices() const { return otherDevices_; }

    void accept() override;

private:
    std::string type_;
    PropertyMap properties_;
    std::vector<PropertyMap> otherDevices_;
};

class PageSelection : public QWizardPage {
    Q_OBJECT
public:
    PageSelection(const PropertyMap& lastConnection, QWidget* parent = nullptr);

    bool isComplete() const override { return true; }
    int nextId() const override;

    // "Last connection", with the remembered type and its detail when there is one.
    static QString lastConnectionLabel(const PropertyMap& lastConnection);

private slots:
    void OnButtonToggled(int id, bool checked);

private:
    QButtonGroup* group_;
    QRadioButton* bluetooth_;
    QRadioButton* eeg64_;
    QRadioButton* usb_;
    QRadioButton* lsl_;
    QRadioButton* repeat_;
};

class PageConfigBT : public QWizardPage {
    Q_OBJECT
public:
    explicit PageConfigBT(QWidget* parent = nullptr);
    void initializePage() override;
    bool isComplete() const override { return true; }
    int nextId() const override { return -1; }

private:
    QComboBox* devices_;
};

class PageConfigUSB : public QWizardPage {
    Q_OBJECT
public:
    explicit PageConfigUSB(QWidget* parent = nullptr);
    void initializePage() override;
    bool isComplete() const override { return true; }
    int nextId() const override { return -1; }

private:
    QComboBox* ports_;
    QComboBox* rates_;
};

class PageConfigEEG64 : public QWizardPage {
    Q_OBJECT
public:
    explicit PageConfigEEG64(QWidget* parent = nullptr);
    void initializePage() override;
    bool isComplete() const override;
    int nextId() const override { return -1; }

private:
    QLabel* message_;
    QComboBox* left_;
    QComboBox* right_;
};

// The LSL streams on the network (this program's own outlets left out), refreshed on demand.
class PageConfigLSL : public QWizardPage {
    Q_OBJECT
public:
    explicit PageConfigLSL(QWidget* parent = nullptr);
    void initializePage() override;
    bool isComplete() const override;
    int nextId() const override { return -1; }

    // The chosen stream's name and source id; empty when none is chosen.
    QString streamName() const;
    QString sourceId() const;
    // Whether every stream of the chosen stream's source makes the device.
    bool wholeSource() const;

public slots:
    void refresh();

private:
    QTreeWidget* streams_;
    QPushButton* refresh_;
    QCheckBox* wholeSource_;
    QLabel* message_;
};
