#include "cues/CuePin.h"

#include "cues/CueLayout.h"

#include <QMouseEvent>

QString CuePinStyleSheet() {
    return QStringLiteral("TCuePin { border: none; padding: 0; background: transparent; }");
}

TCuePin::TCuePin(QWidget* parent, const QIcon& glyph) : QPushButton(parent) {
    setFixedSize(PinSize, PinSize);
    setIcon(glyph);
    setIconSize(QSize(PinSize, PinSize));
    setFlat(true);
    // Pins never take the keyboard focus: Space must reach the show, not a pin.
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_OpaquePaintEvent, false);
    hide();
}

void TCuePin::mousePressEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint();
    if (OnMouseDown)
        OnMouseDown(this, event->button(), event->modifiers(), p.x(), p.y());
    if (event->button() == Qt::LeftButton)
        QPushButton::mousePressEvent(event);
    else
        event->accept(); // keep the press, so the release comes back to this pin
}

void TCuePin::mouseMoveEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint();
    if (OnMouseMove)
        OnMouseMove(this, event->button(), event->modifiers(), p.x(), p.y());
    // A dragged pin follows the mouse, so the press stays on it: the button's
    // own tracking, which sees the position from before the move, would let go.
    if (event->buttons() & Qt::LeftButton) {
        event->accept();
        return;
    }
    QPushButton::mouseMoveEvent(event);
}

void TCuePin::mouseReleaseEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint();
    // The button's own click (left press and release over the pin) comes first.
    QPushButton::mouseReleaseEvent(event);
    if (OnMouseUp)
        OnMouseUp(this, event->button(), event->modifiers(), p.x(), p.y());
}
