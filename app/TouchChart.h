#pragma once

// A picture of one touch: a row per change (every n blows, n the number of
// bells struck in the touch), each blow a mark at its time within the row,
// so that a band sees who was early or late. Each row is centred on its own
// mean time, so a blow out of place stands out wherever it falls in the row;
// the chart judges nothing itself.

#include "app/StrikingRecord.h"

#include <QWidget>

class TTouchChart : public QWidget {
    Q_OBJECT

public:
    explicit TTouchChart(QWidget* Parent = nullptr);

    void SetTouch(const TTouch& Touch);
    const TTouch& Touch() const { return FTouch; }

    int RowCount() const;
    int BlowsPerRow() const { return FPerRow; }
    // Where the mark of a blow (its index in the touch) is drawn.
    QRectF MarkRect(std::size_t Blow) const;
    // The band a row is drawn in.
    QRectF RowRect(int Row) const;

    static constexpr int kRowHeight = 18;
    static constexpr int kTop = 22;
    static constexpr int kLabelWidth = 44;
    static QColor HandColor() { return QColor(30, 90, 200); }
    static QColor BackColor() { return QColor(200, 60, 40); }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void Layout();

    TTouch FTouch;
    int FPerRow = 0;
    // Each row's mean time, and the half-width in time the plot must show.
    std::vector<double> FRowMeanMs;
    double FHalfSpanMs = 1;
};
