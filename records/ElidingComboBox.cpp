#include "ElidingComboBox.h"

#include <QApplication>
#include <QDesktopWidget>
#include <QStyleOptionComboBox>
#include <QStylePainter>
#include <algorithm>

ElidingComboBox::ElidingComboBox(QWidget* parent) : QComboBox(parent)
{
    setSizeAdjustPolicy(QComboBox::AdjustToContents);
    setMinimumContentsLength(20);
    connect(this, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this](int index) { setToolTip(index < 0 ? QString() : itemText(index)); });
    connect(model(), &QAbstractItemModel::rowsInserted, this, &ElidingComboBox::entriesChanged);
}

void ElidingComboBox::entriesChanged()
{
    for (int i = 0; i < count(); ++i)
        if (!itemData(i, Qt::ToolTipRole).isValid())
            setItemData(i, itemText(i), Qt::ToolTipRole);
    updateGeometry();
}

QSize ElidingComboBox::sizeHint() const
{
    // The longest entry, but never wider than most of the screen: past that the middle is cut.
    QSize hint = QComboBox::sizeHint();
    const QWidget* screen = QApplication::desktop();
    const int widest = screen ? std::max(300, screen->width() * 9 / 10) : 1200;
    hint.setWidth(std::min(hint.width(), widest));
    return hint;
}

QSize ElidingComboBox::minimumSizeHint() const
{
    QSize hint = QComboBox::minimumSizeHint();
    hint.setWidth(std::min(hint.width(), sizeHint().width()));
    return hint;
}

QRect ElidingComboBox::textRect() const
{
    QStyleOptionComboBox option;
    initStyleOption(&option);
    return style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, this);
}

QString ElidingComboBox::shownText() const
{
    return fontMetrics().elidedText(currentText(), Qt::ElideMiddle, textRect().width());
}

void ElidingComboBox::paintEvent(QPaintEvent*)
{
    QStylePainter painter(this);
    painter.setPen(palette().color(QPalette::Text));
    QStyleOptionComboBox option;
    initStyleOption(&option);
    option.currentText = shownText();
    painter.drawComplexControl(QStyle::CC_ComboBox, option);
    painter.drawControl(QStyle::CE_ComboBoxLabel, option);
}
