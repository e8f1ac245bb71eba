#pragma once

#include <QImage>
#include <QWidget>

namespace orvalla
{

// The live picture: the latest camera frame, scaled into the widget with its
// proportions kept. A plain widget, so that placing it builds nothing in the
// media back end until a camera runs.
class CapturePreview final : public QWidget
{
    Q_OBJECT

public:
    explicit CapturePreview(QWidget *parent = nullptr);

    void setPicture(const QImage &picture);
    const QImage &picture() const { return m_picture; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QImage m_picture;
};

} // namespace orvalla
