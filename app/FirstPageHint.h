#pragma once

// Where the first page of the script was fitted at the last start. The next
// start renders it there while the window is still being built, instead of
// after the layout, which waits for the fonts. A cache of our own, beside no
// file of the show's: losing or damaging it only costs a start its head start.

#include <QRectF>
#include <QString>

struct TFirstPageHint {
    QString Script; // absolute path; empty for no hint
    QRectF Box;     // the viewer's page rectangle
    qreal DevicePixelRatio = 1.0;
    bool operator==(const TFirstPageHint&) const = default;
};

// The hint in the file at `path`; an empty one when the file is missing or
// holds anything but a hint.
TFirstPageHint ReadFirstPageHint(const QString& path);
// Replaces the file whole (its folder made if missing), so that a reader never
// sees half a hint; false when it cannot.
bool WriteFirstPageHint(const QString& path, const TFirstPageHint& hint);
