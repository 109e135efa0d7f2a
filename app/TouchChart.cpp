#include "app/TouchChart.h"

#include <QPaintEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>

namespace {

constexpr double kMarkSize = 14;
constexpr int kRightMargin = 10;

}  // namespace

TTouchChart::TTouchChart(QWidget* Parent) : QWidget(Parent) {
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, Qt::white);
    setPalette(p);
    setMinimumSize(320, kTop + 2 * kRowHeight);
}

void TTouchChart::SetTouch(const TTouch& Touch) {
    FTouch = Touch;
    FPerRow = FTouch.BellsStruck();
    Layout();
    setMinimumHeight(sizeHint().height());
    updateGeometry();
    update();
}

int TTouchChart::RowCount() const {
    return FPerRow ? static_cast<int>((FTouch.Blows.size() + FPerRow - 1) / FPerRow) : 0;
}

void TTouchChart::Layout() {
    FRowMeanMs.assign(static_cast<std::size_t>(RowCount()), 0.0);
    FHalfSpanMs = 1;
    if (!FPerRow) return;
    const auto n = static_cast<std::size_t>(FPerRow);
    // How far a whole row's mean lies after its first blow, on average: an
    // unfinished last row is placed by its first blow and that, not by its
    // own mean, so that it does not seem to lean early.
    double leadToMean = 0;
    std::size_t whole = 0;
    for (std::size_t row = 0; row < FRowMeanMs.size(); ++row) {
        const std::size_t first = row * n, last = std::min(first + n, FTouch.Blows.size());
        double sum = 0;
        for (std::size_t i = first; i < last; ++i) sum += static_cast<double>(FTouch.Ms(i));
        FRowMeanMs[row] = sum / static_cast<double>(last - first);
        if (last - first == n) {
            leadToMean += FRowMeanMs[row] - static_cast<double>(FTouch.Ms(first));
            ++whole;
        } else if (whole) {
            FRowMeanMs[row] = static_cast<double>(FTouch.Ms(first)) + leadToMean / static_cast<double>(whole);
        }
        for (std::size_t i = first; i < last; ++i)
            FHalfSpanMs =
                std::max(FHalfSpanMs, std::fabs(static_cast<double>(FTouch.Ms(i)) - FRowMeanMs[row]));
    }
}

QRectF TTouchChart::RowRect(int Row) const {
    return QRectF(0, kTop + Row * kRowHeight, width(), kRowHeight);
}

QRectF TTouchChart::MarkRect(std::size_t Blow) const {
    if (!FPerRow || Blow >= FTouch.Blows.size()) return {};
    const int row = static_cast<int>(Blow / static_cast<std::size_t>(FPerRow));
    // Half a mark's room on each side of the widest row.
    const double left = kLabelWidth + kMarkSize / 2 + 2;
    const double right = width() - kRightMargin - kMarkSize / 2;
    const double centre = (left + right) / 2;
    const double scale = (right - left) / 2 / FHalfSpanMs;
    const double x = centre + (static_cast<double>(FTouch.Ms(Blow)) - FRowMeanMs[row]) * scale;
    const QRectF band = RowRect(row);
    return QRectF(x - kMarkSize / 2, band.center().y() - kMarkSize / 2, kMarkSize, kMarkSize);
}

QSize TTouchChart::sizeHint() const {
    return QSize(480, kTop + std::max(RowCount(), 2) * kRowHeight + 4);
}

void TTouchChart::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    update();
}

void TTouchChart::paintEvent(QPaintEvent* event) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QFont small = font();
    small.setPixelSize(10);
    p.setFont(small);
    p.setPen(palette().color(QPalette::WindowText));
    if (FTouch.Empty()) {
        p.drawText(rect(), Qt::AlignCenter, QStringLiteral("No touch recorded yet"));
        return;
    }
    p.drawText(QRectF(kLabelWidth, 2, width() - kLabelWidth - kRightMargin, kTop - 4),
               Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("%1 changes on %2 bells; each row centred on its mean time, \xB1%3 ms")
                   .arg(RowCount())
                   .arg(FPerRow)
                   .arg(std::lround(FHalfSpanMs)));
    const double centre = (kLabelWidth + kMarkSize / 2 + 2 + width() - kRightMargin - kMarkSize / 2) / 2;
    const int firstRow = std::max(0, (event->rect().top() - kTop) / kRowHeight);
    const int lastRow = std::min(RowCount() - 1, (event->rect().bottom() - kTop) / kRowHeight);
    for (int row = firstRow; row <= lastRow; ++row) {
        const QRectF band = RowRect(row);
        if (row % 2) p.fillRect(band, QColor(244, 244, 244));
        p.setPen(QColor(200, 200, 200));
        p.drawLine(QPointF(centre, band.top()), QPointF(centre, band.bottom()));
        const std::size_t first = static_cast<std::size_t>(row) * static_cast<std::size_t>(FPerRow);
        p.setPen(palette().color(QPalette::WindowText));
        p.drawText(QRectF(2, band.top(), kLabelWidth - 6, band.height()), Qt::AlignRight | Qt::AlignVCenter,
                   QStringLiteral("%1 %2").arg(row + 1).arg(FTouch.Blows[first].Handstroke ? 'H' : 'B'));
        const std::size_t last = std::min(first + static_cast<std::size_t>(FPerRow), FTouch.Blows.size());
        for (std::size_t i = first; i < last; ++i) {
            const TBlow& b = FTouch.Blows[i];
            const QRectF mark = MarkRect(i);
            p.setPen(Qt::NoPen);
            p.setBrush(b.Handstroke ? HandColor() : BackColor());
            p.drawEllipse(mark);
            p.setPen(Qt::white);
            p.drawText(mark, Qt::AlignCenter, QString(QLatin1Char(LowndesBell(b.Bell))));
        }
    }
}
