#include "webcam/capturepreview.h"

#include <QPainter>

namespace orvalla
{

CapturePreview::CapturePreview(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("VideoCapturePreview"));
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void CapturePreview::setPicture(const QImage &picture)
{
    m_picture = picture;
    update();
}

void CapturePreview::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    if (m_picture.isNull())
        return;
    const QSize size = m_picture.size().scaled(this->size(), Qt::KeepAspectRatio);
    QRect target(QPoint(0, 0), size);
    target.moveCenter(rect().center());
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(target, m_picture);
}

} // namespace orvalla
