#include "app/LogoView.h"

#include <QPainter>

LogoView::LogoView(const QIcon &icon, int height, QWidget *parent)
    : QWidget(parent)
    , m_icon(icon)
{
    // The largest size gives the truest aspect ratio.
    const QList<QSize> sizes = icon.availableSizes();
    QSize largest(1, 1);
    for (const QSize &size : sizes) {
        if (size.width() * size.height() > largest.width() * largest.height())
            largest = size;
    }
    m_size = QSize(qRound(qreal(height) * largest.width() / largest.height()), height);
    setFixedSize(m_size);
}

QSize LogoView::sizeHint() const
{
    return m_size;
}

void LogoView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    m_icon.paint(&painter, rect(), Qt::AlignCenter);
}
