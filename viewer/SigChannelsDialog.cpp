#include "SigChannelsDialog.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QPushButton>

namespace Vesk {

SigChannelsDialog::SigChannelsDialog(QWidget* parent, const QStringList& channelNames) : QDialog(parent)
{
    setWindowTitle(tr("Select channels"));
    auto* grid = new QGridLayout(this);
    for (int k = 0; k < channelNames.size(); ++k) {
        auto* box = new QCheckBox(channelNames[k]);
        boxes_.append(box);
        grid->addWidget(box, k / 4, k % 4, Qt::AlignCenter);
    }
    const int buttonRow = (channelNames.size() + 3) / 4;
    const QStringList texts = {tr("Select all"), tr("Select none"), tr("Ok"), tr("Cancel")};
    for (int k = 0; k < texts.size(); ++k) {
        auto* b = new QPushButton(texts[k]);
        buttons_.append(b);
        grid->addWidget(b, buttonRow, k, Qt::AlignCenter);
    }
    connect(buttons_[0], SIGNAL(clicked()), this, SLOT(_selectAll()));
    connect(buttons_[1], SIGNAL(clicked()), this, SLOT(_selectNone()));
    connect(buttons_[2], SIGNAL(clicked()), this, SLOT(_emitChannelStates()));
    connect(buttons_[3], SIGNAL(clicked()), this, SLOT(hide()));
}

void SigChannelsDialog::setChannelStates(const QVector<bool>& states)
{
    for (int k = 0; k < boxes_.size() && k < states.size(); ++k)
        boxes_[k]->setChecked(states[k]);
}

QVector<bool> SigChannelsDialog::channelStates() const
{
    QVector<bool> states;
    states.reserve(boxes_.size());
    for (QCheckBox* box : boxes_)
        states.append(box->isChecked());
    return states;
}

QPushButton* SigChannelsDialog::button(const QString& text) const
{
    for (QPushButton* b : buttons_)
        if (b->text() == text)
            return b;
    return nullptr;
}

void SigChannelsDialog::_emitChannelStates() { emit channelsState(channelStates()); }

void SigChannelsDialog::_selectAll()
{
    for (QCheckBox* box : boxes_)
        box->setChecked(true);
}

void SigChannelsDialog::_selectNone()
{
    for (QCheckBox* box : boxes_)
        box->setChecked(false);
}

}  // namespace Vesk
