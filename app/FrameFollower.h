#pragma once

// Keeps a top-level window at the outer size asked for: it learns the window
// manager's frame whenever it may have changed (shown, framed, moved, resized,
// made fixed-size, its frame property changed) and asks for the client size
// that fits it.

#include "app/OuterSize.h"

#include <QAbstractNativeEventFilter>
#include <QObject>

class QWidget;

class FrameFollower : public QObject, public QAbstractNativeEventFilter {
public:
    explicit FrameFollower(QWidget* window);
    ~FrameFollower() override;

    void SetOuterHeight(int height);
    void SetOuterWidth(int width);
    QSize Outer() const;
    // Before the window is first shown: creates its native window and takes the
    // frame the window system reports for it already (none where the window
    // manager frames it only once mapped), so that a layout before the show
    // gives the client size the show will.
    void LearnFrameBeforeShow();
    // A locked window has a fixed size: the operator cannot resize it, only
    // the frame may change under it.
    void SetLocked(bool locked);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    // Reads the frame and asks for the client size the wanted outer size needs.
    void Follow();
    void Apply();
    void ApplySoon();
    // Once the window system has handled what it is telling us, look again.
    void FollowSoon();

    QWidget* FWindow;
    OuterSize FSize;
    bool FLocked = false;
    bool FFollowPending = false;
    bool FApplyPending = false;
};
