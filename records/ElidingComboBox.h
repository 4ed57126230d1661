#pragma once

#include <QComboBox>

// A record chooser: as wide as its longest entry (within the screen), a closed box too narrow for its entry
// cuts it in the middle, where a record's own name at the end and the folder it lies in at the start both
// stay readable, and every entry's full text is its tool tip.
class ElidingComboBox : public QComboBox {
    Q_OBJECT
public:
    explicit ElidingComboBox(QWidget* parent = nullptr);

    // The text the closed box shows for its current entry at its current width.
    QString shownText() const;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void entriesChanged();
    QRect textRect() const;
};
