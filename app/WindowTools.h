#pragma once

// Small helpers of the main window.

#include <QApplication>
#include <QEvent>
#include <QObject>
#include <functional>

// Shows the hourglass for the life of the object.
class BusyCursor {
public:
    BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyCursor() { QApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

// Lets a handler run before and after a watched object's own handling of an event.
class EventHook : public QObject {
public:
    using Handler = std::function<bool(QObject*, QEvent*)>;
    EventHook(QObject* parent, Handler handler) : QObject(parent), FHandler(std::move(handler)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override { return FHandler(watched, event); }

private:
    Handler FHandler;
};

// The keys with which the page viewer turns pages by itself.
inline bool IsPageKey(int key) {
    switch (key) {
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Home:
    case Qt::Key_End:
        return true;
    default:
        return false;
    }
}
