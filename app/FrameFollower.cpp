#include "app/FrameFollower.h"

#include <QCoreApplication>
#include <QEvent>
#include <QMetaObject>
#include <QWidget>
#include <QWindow>
#include <cstdint>

namespace {

// The X events after which the frame may be another one: the window was
// framed (reparented), its geometry changed, or a property changed (among
// them the window manager's frame extents, which change without any other
// notice when a fixed size takes the resize handle away).
bool MayChangeFrame(const QByteArray& eventType, const void* message) {
    if (eventType != "xcb_generic_event_t")
        return false;
    const uint8_t type = *static_cast<const uint8_t*>(message) & 0x7f;
    constexpr uint8_t MapNotify = 19, ReparentNotify = 21, ConfigureNotify = 22,
                      PropertyNotify = 28;
    return type == MapNotify || type == ReparentNotify || type == ConfigureNotify ||
           type == PropertyNotify;
}

} // namespace

FrameFollower::FrameFollower(QWidget* window) : QObject(window), FWindow(window) {
    FWindow->installEventFilter(this);
    QCoreApplication::instance()->installNativeEventFilter(this);
}

FrameFollower::~FrameFollower() {
    QCoreApplication::instance()->removeNativeEventFilter(this);
}

void FrameFollower::SetOuterHeight(int height) {
    FSize.SetWantedHeight(height);
    ApplySoon();
}

void FrameFollower::SetOuterWidth(int width) {
    FSize.SetWantedWidth(width);
    ApplySoon();
}

void FrameFollower::ApplySoon() {
    // Height and width come one after the other, often with a size lock right
    // after them: one request for all of them. Half-done sizes reaching the
    // window manager, and being reported back late, leave some of them with
    // the frame of a resizable window on a fixed-size one.
    if (!FWindow->isVisible()) {
        Apply();
        return;
    }
    FApplyPending = true;
    FollowSoon();
}

QSize FrameFollower::Outer() const {
    return FSize.Outer(FWindow->size());
}

void FrameFollower::LearnFrameBeforeShow() {
    if (FWindow->isVisible())
        return;
    FWindow->winId();
    const QWindow* handle = FWindow->windowHandle();
    if (handle && FSize.SetFrame(handle->frameMargins()))
        Apply();
}

void FrameFollower::SetLocked(bool locked) {
    FLocked = locked;
    if (locked) {
        Apply();
    } else {
        FWindow->setMinimumSize(0, 0);
        FWindow->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    }
}

void FrameFollower::Follow() {
    const QRect outer = FWindow->frameGeometry();
    const QRect client = FWindow->geometry();
    const QMargins frame(client.left() - outer.left(), client.top() - outer.top(),
                         outer.right() - client.right(), outer.bottom() - client.bottom());
    if (FSize.SetFrame(FWindow->isVisible() ? frame : QMargins()))
        Apply();
}

void FrameFollower::Apply() {
    FApplyPending = false;
    const QSize client = FSize.Client(FWindow->size());
    const bool fixedAlready = FWindow->minimumSize() == client && FWindow->maximumSize() == client;
    if (client == FWindow->size() && (!FLocked || fixedAlready))
        return;
    FSize.Asked(client);
    if (FLocked)
        FWindow->setFixedSize(client);
    else
        FWindow->resize(client);
}

void FrameFollower::FollowSoon() {
    if (FFollowPending)
        return;
    FFollowPending = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            FFollowPending = false;
            Follow();
            if (FApplyPending) {
                FApplyPending = false;
                Apply();
            }
        },
        Qt::QueuedConnection);
}

bool FrameFollower::eventFilter(QObject* watched, QEvent* event) {
    if (watched != FWindow)
        return false;
    switch (event->type()) {
    case QEvent::Resize:
        FSize.Reported(FWindow->size(), !FLocked && FWindow->isVisible());
        FollowSoon();
        break;
    case QEvent::Show:
    case QEvent::Move:
    case QEvent::WinIdChange:
    case QEvent::WindowStateChange:
    case QEvent::ActivationChange:
        FollowSoon();
        break;
    default:
        break;
    }
    return false;
}

bool FrameFollower::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (MayChangeFrame(eventType, message))
        FollowSoon();
    return false;
}
