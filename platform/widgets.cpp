#include "widgets.h"

#include <QPainter>
#include <QPainterPath>

namespace cvi {

Led::Led(QWidget* parent) : QWidget(parent) { setAttribute(Qt::WA_TransparentForMouseEvents); }

void Led::setOn(bool on) {
    if (on_ == on) return;
    on_ = on;
    update();
}

void Led::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal d = qMin(width(), height()) - 2;
    const QRectF r((width() - d) / 2.0, (height() - d) / 2.0, d, d);
    QRadialGradient g(r.center() - QPointF(d / 5, d / 5), d / 1.6);
    if (on_) {
        g.setColorAt(0, QColor(190, 255, 190));
        g.setColorAt(1, QColor(0, 170, 0));
    } else {
        g.setColorAt(0, QColor(90, 110, 90));
        g.setColorAt(1, QColor(25, 45, 25));
    }
    p.setPen(QPen(QColor(60, 60, 60), 1));
    p.setBrush(g);
    p.drawEllipse(r);
}

Switch::Switch(QWidget* parent) : QAbstractButton(parent) {
    setCheckable(true);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
}

void Switch::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF track = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const qreal radius = track.height() / 2;
    p.setPen(QPen(QColor(90, 90, 90), 1));
    p.setBrush(isEnabled() ? QColor(200, 200, 205) : QColor(225, 225, 225));
    p.drawRoundedRect(track, radius, radius);
    const qreal w = track.width() / 2;
    const QRectF lever(isChecked() ? track.left() + w : track.left(), track.top(), w, track.height());
    QLinearGradient g(lever.topLeft(), lever.bottomLeft());
    g.setColorAt(0, QColor(120, 140, 190));
    g.setColorAt(1, QColor(50, 70, 130));
    p.setBrush(g);
    p.drawRoundedRect(lever, radius, radius);
}

}  // namespace cvi
