#pragma once

#include <QDialog>
#include <QStringList>
#include <QVector>

class QCheckBox;
class QPushButton;

namespace Vesk {

// Picks which channels of a viewer are shown; one check box per channel, four to a row.
class SigChannelsDialog : public QDialog {
    Q_OBJECT
public:
    SigChannelsDialog(QWidget* parent, const QStringList& channelNames);

    void setChannelStates(const QVector<bool>& states);
    QVector<bool> channelStates() const;
    const QVector<QCheckBox*>& checkBoxes() const { return boxes_; }
    QPushButton* button(const QString& text) const;

signals:
    void channelsState(QVector<bool> activeChannels);

private slots:
    void _emitChannelStates();
    void _selectAll();
    void _selectNone();

private:
    QVector<QCheckBox*> boxes_;
    QVector<QPushButton*> buttons_;
};

}  // namespace Vesk
