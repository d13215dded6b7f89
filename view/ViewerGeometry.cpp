#include "view/ViewerGeometry.h"

#include "store/CueStore.h"

#include <cmath>

namespace {
// Fixed options of the viewer, in pixels at 96 dpi.
constexpr int HeaderMargin = 5;
constexpr int HeaderSize = 30;
constexpr int PageNumberMarginLeftRight = 10;
constexpr int PageNumberMarginTop = 5;
constexpr int PageNumberSize = 30;
constexpr int PageMargin = 5;
constexpr int WheelNotch = 120;
} // namespace

QSizeF FitSize(QSizeF source, QSizeF box) {
    const double w0 = source.width(), h0 = source.height();
    const double w = box.width(), h = box.height();
    if (!(w0 > 0) || !(h0 > 0) || !(w > 0) || !(h > 0))
        return QSizeF(0, 0);
    if (w0 / h0 < w / h)
        return QSizeF(h * w0 / h0, h);
    return QSizeF(w, w * h0 / w0);
}

TViewerLayout ComputeViewerLayout(QSize size, bool hasHeader, float zoom) {
    const double w = size.width(), h = size.height();
    TViewerLayout l;
    l.Content = QRectF(0, 0, w, h);
    l.HasHeader = hasHeader;
    l.Header = QRectF(QPointF(HeaderMargin, HeaderMargin),
                      QPointF(w - HeaderMargin, HeaderMargin + HeaderSize));
    l.PageNumber =
        QRectF(QPointF(PageNumberMarginLeftRight, PageNumberMarginTop),
               QPointF(w - PageNumberMarginLeftRight, PageNumberMarginTop + PageNumberSize));

    double top = l.PageNumber.bottom();
    if (hasHeader)
        top = std::max(top, l.Header.bottom());
    QRectF page(QPointF(0, top), QPointF(w, h));
    page.adjust(PageMargin, PageMargin, -PageMargin, -PageMargin);
    l.PageClip = page;
    page.setHeight(page.height() + (double(zoom) - 1.0) * h);
    l.Page = page;
    return l;
}

QRectF PlacedImageRect(const QRectF& pageRect, QSizeF imageSize) {
    const QSizeF fitted = FitSize(imageSize, pageRect.size());
    const double x = pageRect.left() + RoundHalfEven((pageRect.width() - fitted.width()) / 2);
    const double y = pageRect.top() + RoundHalfEven((pageRect.height() - fitted.height()) / 2);
    return QRectF(QPointF(x, y), fitted);
}

QSize RenderDestination(QSizeF pageSize, const QRectF& pageRect, qreal devicePixelRatio) {
    const QSizeF fitted = FitSize(pageSize, pageRect.size());
    if (fitted.isEmpty() || !(devicePixelRatio > 0))
        return QSize(0, 0);
    if (fitted.width() > fitted.height())
        return QSize(int(RoundHalfEven(fitted.width() * devicePixelRatio)), 0);
    return QSize(0, int(RoundHalfEven(fitted.height() * devicePixelRatio)));
}

int TWheelAccumulator::Add(int delta) {
    // 64 bits: a delta near the int limit plus a part-notch must not overflow.
    const long long sum = (long long)FPending + delta;
    const long long notches = sum / WheelNotch;
    FPending = int(sum - notches * WheelNotch);
    return int(notches);
}
