#pragma once

#include "SignalViewer.h"

#include <KvnSignal.h>
#include <QRect>
#include <QString>
#include <cstdint>
#include <vector>

// One cell per anchor of a positioning set-up: a circle growing with the anchor's distance, and its readings.
class DistanceViewer : public SignalViewer {
    Q_OBJECT
public:
    static constexpr double MAX_DISTANCE = 20.0;  // metres
    static constexpr double MAX_BATTERY = 4.2;    // volts

    explicit DistanceViewer(const KvnSignal& signal, QWidget* parent = nullptr);

    void addAnchor(unsigned mode);

    int anchorCount() const { return static_cast<int>(distances_.size()); }
    double distance(int anchor) const { return distances_[anchor]; }
    double battery(int anchor) const { return batteries_[anchor]; }
    int activeValue(int anchor) const { return active_[anchor]; }
    int nextAnchor() const { return next_; }
    double scale() const { return scale_; }
    int repaintRequests() const { return repaintRequests_; }

    // What cell `anchor` shows, and where its circle goes in a widget of the given size.
    QString cellText(int anchor) const;
    QRect circleRect(int anchor, int width, int height) const;

    void setData(const double* data) override;

public slots:
    void enlargeScale();
    void reduceScale();

protected:
    void paintEvent(QPaintEvent* event) override;

private slots:
    void showContextMenu(const QPoint& pos);

private:
    void requestRepaint();

    std::vector<double> distances_;
    std::vector<double> batteries_;
    std::vector<uint8_t> active_;
    double scale_ = 15.0;  // metres at which a circle fills 90 % of its cell
    int next_ = 0;
    int repaintRequests_ = 0;
};
