#pragma once

// One of the 21 pin buttons over the page. It reports its mouse events to
// the main window, which owns all pin behaviour.

#include <QPushButton>
#include <QString>
#include <functional>

// The pins' look: the glyph alone. Set once on the widget the pins float
// over, so that one style serves all of them; it selects nothing but pins.
QString CuePinStyleSheet();

class TCuePin : public QPushButton {
    Q_OBJECT
public:
    using MouseHandler =
        std::function<void(TCuePin* pin, Qt::MouseButton, Qt::KeyboardModifiers, int x, int y)>;

    TCuePin(QWidget* parent, const QPixmap& glyph);

    int Tag() const { return FTag; }
    void SetTag(int tag) { FTag = tag; }

    MouseHandler OnMouseDown;
    MouseHandler OnMouseMove;
    MouseHandler OnMouseUp;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    int FTag = 0;
};
