#pragma once

// One of the 21 pin buttons over the page. It reports its mouse events to
// the main window, which owns all pin behaviour.

#include <QIcon>
#include <QPushButton>
#include <QString>
#include <functional>

// The pins' look: the glyph alone. Set once on the widget the pins float
// over, so that one style sheet serves all of them; it selects only pins.
QString CuePinStyleSheet();

class TCuePin : public QPushButton {
    Q_OBJECT
public:
    using MouseHandler =
        std::function<void(TCuePin* pin, Qt::MouseButton, Qt::KeyboardModifiers, int x, int y)>;

    // The pins of a page share one icon, so its pixmaps are made once for all.
    TCuePin(QWidget* parent, const QIcon& glyph);

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
