#pragma once

// The window's outer size (frame included) as the operator or a cue file asked
// for it, kept while the window manager's frame comes, goes and changes. The
// client size is derived from it whenever the frame is learnt anew, so a size
// read at start is the size written at close, and the page view keeps its
// pixels from one show to the next.

#include <QMargins>
#include <QSize>
#include <QVector>
#include <optional>

class OuterSize {
public:
    void SetWantedHeight(int height);
    void SetWantedWidth(int width);

    // The frame around the client area as the window system reports it now.
    // Null margins mean it is not known (not shown yet, not yet framed by the
    // window manager); the last known frame then stands in. Returns whether
    // the client size to ask for has changed.
    bool SetFrame(const QMargins& frame);
    bool FrameKnown() const { return FKnown; }

    // The client size that gives the wanted outer size; a dimension never
    // asked for keeps the current one.
    QSize Client(const QSize& current) const;
    // The outer size to report and store: the wanted one, whatever the frame
    // does; a dimension never asked for is measured.
    QSize Outer(const QSize& client) const;

    // A client size that was asked of the window system.
    void Asked(const QSize& client);
    // A client size the window system reports. One that was not asked for
    // lately is the operator's own resize: in a resizable window it becomes
    // the wanted size (returns true). Late reports of earlier requests, which
    // X delivers out of step with the requests, are no resize of the operator.
    bool Reported(const QSize& client, bool resizable);

private:
    std::optional<int> FHeight;
    std::optional<int> FWidth;
    QMargins FFrame;
    bool FKnown = false;
    QVector<QSize> FAsked;
};
