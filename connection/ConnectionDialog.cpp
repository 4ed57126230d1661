#include "ConnectionDialog.h"

#include "BluetoothConnection.h"
#include "LslStreams.h"
#include "UsbConnection.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QRadioButton>
#include <QVBoxLayout>
#include <algorithm>
#include <sstream>

int portNumber(const std::string& portName)
{
    if (portName.size() < 4) return 0;
    std::istringstream in(portName.substr(3));
    int number = 0;
    if (!(in >> number)) return 0;
    return number;
}

namespace {
std::string readText(const PropertyMap& map, const char* key)
{
    return map.exists(key) ? map.get<std::string>(key) : std::string();
}

void sortUnique(std::vector<std::string>& names)
{
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
}

QComboBox* maximumCombo(QWidget* parent)
{
    auto* combo = new QComboBox(parent);
    combo->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Maximum);
    return combo;
}
}  // namespace

ConnectionDialog::ConnectionDialog(PropertyMap lastConnection, QWidget* parent)
    : QWizard(parent), properties_(std::move(lastConnection))
{
    if (properties_.exists("type")) type_ = properties_.get<std::string>("type");
    setPage(SelectionPage, new PageSelection(properties_, this));
    setPage(UsbPage, new PageConfigUSB(this));
    setPage(BluetoothPage, new PageConfigBT(this));
    setPage(Eeg64Page, new PageConfigEEG64(this));
    setPage(LslPage, new PageConfigLSL(this));
    setStartId(SelectionPage);
    setWindowTitle(tr("Connection Wizard"));
}

void ConnectionDialog::accept()
{
    if (field("bluetooth").toBool()) {
        properties_.set("device", field("bth_device").toString().toStdString());
        properties_.set("single", false);
        type_ = "bluetooth";
    } else if (field("usb").toBool()) {
        bool ok = false;
        int rate = field("com_rate").toString().toInt(&ok, 10);
        if (!ok) rate = 0;
        properties_.set("port", portNumber(field("com_port").toString().toStdString()));
        properties_.set("baudRate", rate);
        type_ = "usb";
    } else if (field("eeg64").toBool()) {
        properties_.set("left", field("left").toString().toStdString());
        properties_.set("right", field("right").toString().toStdString());
        type_ = "eeg64";
    } else if (field("lsl").toBool()) {
        auto* page = static_cast<PageConfigLSL*>(this->page(LslPage));
        for (const char* key : {"name", "source_id"}) properties_.remove(key);
        if (page->wholeSource())
            properties_.set("source_id", page->sourceId().toStdString());
        else
            properties_.set("name", page->streamName().toStdString());
        type_ = "lsl";
    }
    properties_.set("type", type_);
    QWizard::accept();
}

PageSelection::PageSelection(const PropertyMap& lastConnection, QWidget* parent) : QWizardPage(parent)
{
    setTitle(tr("Select connection"));
    auto* layout = new QVBoxLayout(this);
    group_ = new QButtonGroup(this);
    group_->setExclusive(true);
    bluetooth_ = new QRadioButton(tr("Bluetooth"), this);
    eeg64_ = new QRadioButton(tr("EEG 64"), this);
    usb_ = new QRadioButton(tr("Usb"), this);
    lsl_ = new QRadioButton(tr("LSL stream"), this);
    repeat_ = new QRadioButton(lastConnectionLabel(lastConnection), this);
    int id = 0;
    for (QRadioButton* b : {bluetooth_, eeg64_, usb_, lsl_, repeat_}) {
        group_->addButton(b, id++);
        layout->addWidget(b);
    }
    bluetooth_->setChecked(true);
    repeat_->setEnabled(!lastConnection.empty());
    registerField("bluetooth", bluetooth_);
    registerField("eeg64", eeg64_);
    registerField("usb", usb_);
    registerField("lsl", lsl_);
    registerField("repeat", repeat_);
    connect(group_, &QButtonGroup::idToggled, this, &PageSelection::OnButtonToggled);
}

QString PageSelection::lastConnectionLabel(const PropertyMap& last)
{
    QString text = tr("Last connection");
    if (last.empty()) return text;
    const std::string type = readText(last, "type");
    std::string detail;
    if (type == "usb")
        detail = readText(last, "port");
    else if (type == "eeg64")
        detail = readText(last, "left") + "," + readText(last, "right");
    else if (type == "bluetooth")
        detail = readText(last, "device");
    else if (type == "lsl")
        detail = last.exists("name") ? last.text("name") : readText(last, "source_id");
    return text + " (" + QString::fromStdString(type) + ":" + QString::fromStdString(detail) + ")";
}

void PageSelection::OnButtonToggled(int, bool)
{
    setFinalPage(repeat_->isChecked());
}

int PageSelection::nextId() const
{
    if (bluetooth_->isChecked()) return ConnectionDialog::BluetoothPage;
    if (eeg64_->isChecked()) return ConnectionDialog::Eeg64Page;
    if (usb_->isChecked()) return ConnectionDialog::UsbPage;
    if (lsl_->isChecked()) return ConnectionDialog::LslPage;
    return -1;
}

PageConfigBT::PageConfigBT(QWidget* parent) : QWizardPage(parent)
{
    setTitle(tr("Bluetooth Configuration"));
    auto* form = new QFormLayout(this);
    devices_ = maximumCombo(this);
    form->addRow(tr("Select a device:"), devices_);
    registerField("bth_device", devices_, "currentText", SIGNAL(currentTextChanged(QString)));
}

namespace {
// Lists `names` in `combo` again (the page is shown anew after Back), keeping the choice made when still there.
void relist(QComboBox* combo, const std::vector<std::string>& names)
{
    const QString chosen = combo->currentText();
    combo->clear();
    for (const std::string& name : names) combo->addItem(QString::fromStdString(name));
    if (combo->findText(chosen) >= 0) combo->setCurrentIndex(combo->findText(chosen));
}
}  // namespace

void PageConfigBT::initializePage()
{
    std::vector<std::string> names = BluetoothConnection::discovery();
    sortUnique(names);
    relist(devices_, names);
}

PageConfigUSB::PageConfigUSB(QWidget* parent) : QWizardPage(parent)
{
    setTitle(tr("USB Configuration"));
    auto* form = new QFormLayout(this);
    ports_ = maximumCombo(this);
    rates_ = maximumCombo(this);
    form->addRow(tr("Select a port"), ports_);
    form->addRow(tr("Select a baudrate"), rates_);
    registerField("com_port", ports_, "currentText", SIGNAL(currentTextChanged(QString)));
    registerField("com_rate", rates_, "currentText", SIGNAL(currentTextChanged(QString)));
}

void PageConfigUSB::initializePage()
{
    std::vector<std::string> names = UsbConnection::discovery();
    std::stable_sort(names.begin(), names.end(),
                     [](const std::string& a, const std::string& b) { return portNumber(a) < portNumber(b); });
    names.erase(std::unique(names.begin(), names.end()), names.end());
    relist(ports_, names);
    relist(rates_, {"460800", "921600", "2000000"});
    rates_->setEditable(true);
}

PageConfigEEG64::PageConfigEEG64(QWidget* parent) : QWizardPage(parent)
{
    setTitle(tr("EEG 64 Configuration"));
    auto* form = new QFormLayout(this);
    left_ = maximumCombo(this);
    right_ = maximumCombo(this);
    message_ = new QLabel(this);
    form->addRow(tr("Select the left device:"), left_);
    form->addRow(tr("Select the right device:"), right_);
    form->addRow(message_);
    registerField("left", left_, "currentText", SIGNAL(currentTextChanged(QString)));
    registerField("right", right_, "currentText", SIGNAL(currentTextChanged(QString)));
    connect(left_, &QComboBox::currentTextChanged, this, &QWizardPage::completeChanged);
    connect(right_, &QComboBox::currentTextChanged, this, &QWizardPage::completeChanged);
}

void PageConfigEEG64::initializePage()
{
    std::vector<std::string> names;
    for (const std::string& name : BluetoothConnection::discovery())
        if (name.rfind("KVN-A32", 0) == 0) names.push_back(name);
    sortUnique(names);
    relist(left_, names);
    relist(right_, names);
}

bool PageConfigEEG64::isComplete() const
{
    if (left_->currentIndex() == right_->currentIndex()) {
        message_->setText(tr("Cannot select the same device twice"));
        return false;
    }
    message_->clear();
    return true;
}

PageConfigLSL::PageConfigLSL(QWidget* parent) : QWizardPage(parent)
{
    setTitle(tr("LSL stream"));
    auto* layout = new QVBoxLayout(this);
    streams_ = new QTreeWidget(this);
    streams_->setRootIsDecorated(false);
    streams_->setHeaderLabels({tr("Name"), tr("Type"), tr("Channels"), tr("Rate (Hz)"), tr("Host")});
    streams_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    refresh_ = new QPushButton(tr("Refresh"), this);
    wholeSource_ = new QCheckBox(tr("Every stream of the same source as one device"), this);
    message_ = new QLabel(this);
    message_->setWordWrap(true);
    layout->addWidget(streams_);
    layout->addWidget(wholeSource_);
    layout->addWidget(refresh_);
    layout->addWidget(message_);
    connect(refresh_, &QPushButton::clicked, this, &PageConfigLSL::refresh);
    connect(streams_, &QTreeWidget::currentItemChanged, this, [this] {
        const QString id = sourceId();
        wholeSource_->setEnabled(!id.isEmpty());
        if (id.isEmpty()) wholeSource_->setChecked(false);
        emit completeChanged();
    });
}

void PageConfigLSL::initializePage() { refresh(); }

void PageConfigLSL::refresh()
{
    const QString before = streamName();
    streams_->clear();
    for (const LslStreamInfo& s : lslstreams::discover(1.0)) {
        auto* item = new QTreeWidgetItem(streams_);
        item->setText(0, QString::fromStdString(s.name));
        item->setText(1, QString::fromStdString(s.type));
        item->setText(2, QString::number(s.channels));
        item->setText(3, s.rate > 0 ? QString::number(s.rate) : tr("irregular"));
        item->setText(4, QString::fromStdString(s.hostname));
        item->setData(0, Qt::UserRole, QString::fromStdString(s.sourceId));
        const std::string why = lslstreams::refusal(s);
        if (!why.empty()) {
            // Listed, so the user sees why the stream is not offered.
            item->setFlags(item->flags() & ~(Qt::ItemIsSelectable | Qt::ItemIsEnabled));
            item->setToolTip(0, QString::fromStdString(why));
        }
        if (!before.isEmpty() && item->text(0) == before && (item->flags() & Qt::ItemIsEnabled))
            streams_->setCurrentItem(item);
    }
    if (!streams_->currentItem()) {
        for (int i = 0; i < streams_->topLevelItemCount(); ++i) {
            if (streams_->topLevelItem(i)->flags() & Qt::ItemIsEnabled) {
                streams_->setCurrentItem(streams_->topLevelItem(i));
                break;
            }
        }
    }
    message_->setText(streams_->topLevelItemCount() == 0 ? tr("No LSL stream was found on the network.") : QString());
    emit completeChanged();
}

bool PageConfigLSL::isComplete() const
{
    const QTreeWidgetItem* item = streams_->currentItem();
    return item && (item->flags() & Qt::ItemIsEnabled);
}

QString PageConfigLSL::streamName() const
{
    const QTreeWidgetItem* item = streams_->currentItem();
    return item ? item->text(0) : QString();
}

QString PageConfigLSL::sourceId() const
{
    const QTreeWidgetItem* item = streams_->currentItem();
    return item ? item->data(0, Qt::UserRole).toString() : QString();
}

bool PageConfigLSL::wholeSource() const { return wholeSource_->isChecked() && !sourceId().isEmpty(); }
