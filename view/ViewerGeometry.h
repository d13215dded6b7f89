#pragma once

// Geometry of the page viewer, free of widgets so it can be checked directly:
// band and page rectangles, fitting a page into its rectangle, centring it,
// the render size, and the wheel's notch accumulation.

#include <QRectF>
#include <QSize>
#include <QSizeF>

// Keeps proportions, enlarging or shrinking `source` to touch `box`; 0 x 0 when
// any of the four dimensions is not positive.
QSizeF FitSize(QSizeF source, QSizeF box);

struct TViewerLayout {
    QRectF Content;
    bool HasHeader = false;
    QRectF Header;     // meaningful only with HasHeader
    QRectF PageNumber; // the page-number band at the top
    QRectF Page;       // where the page is fitted; grows with the zoom
    QRectF PageClip;   // the page rectangle without the zoom term
};

// Layout of a viewer of `size`: header band (5, 5, W - 5, 35) when there is a
// header text, page-number band (10, 5, W - 10, 35), page rectangle
// (5, 40, W - 5, H - 5) plus (zoom - 1) x H in height.
TViewerLayout ComputeViewerLayout(QSize size, bool hasHeader, float zoom);

// The image fitted into `pageRect` and centred, with the offsets rounded.
QRectF PlacedImageRect(const QRectF& pageRect, QSizeF imageSize);

// The render destination for a page fitted into `pageRect`: one dimension in
// device pixels (width for a landscape fit, else height), the other 0. Empty
// (0 x 0) when the page does not fit at all.
QSize RenderDestination(QSizeF pageSize, const QRectF& pageRect, qreal devicePixelRatio);

// Accumulates wheel deltas into whole notches of 120 units.
class TWheelAccumulator {
public:
    // Adds a message's delta; returns the number of whole notches it completes,
    // positive for turns away from the user, negative for turns towards.
    int Add(int delta);
    int Pending() const { return FPending; }

private:
    int FPending = 0;
};
