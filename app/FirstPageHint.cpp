#include "app/FirstPageHint.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cmath>
#include <cstdio>

namespace {

// Far more than any hint: a file this long is not one.
constexpr qint64 MaxHintBytes = 64 * 1024;
// Far beyond any screen: a box or scale outside these is not from a viewer,
// and would only make the start render a page nobody asked for.
constexpr qreal MaxCoordinate = 1e6;
constexpr qreal MaxRatio = 64;

QByteArray Number(qreal value) {
    // Exact: the box read back must compare equal to the viewer's.
    return QByteArray::number(value, 'g', 17);
}

} // namespace

TFirstPageHint ReadFirstPageHint(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > MaxHintBytes)
        return {};
    const QList<QByteArray> lines = file.readAll().split('\n');
    // The script, the box and scale, and the final newline.
    if (lines.size() != 3 || !lines[2].isEmpty() || lines[0].isEmpty())
        return {};
    const QList<QByteArray> fields = lines[1].split(' ');
    if (fields.size() != 5)
        return {};
    qreal values[5];
    for (int i = 0; i < 5; ++i) {
        bool ok = false;
        values[i] = fields[i].toDouble(&ok);
        if (!ok || !(std::abs(values[i]) <= MaxCoordinate))
            return {};
    }
    TFirstPageHint hint{QString::fromUtf8(lines[0]),
                        QRectF(values[0], values[1], values[2], values[3]), values[4]};
    if (!QFileInfo(hint.Script).isAbsolute() || !hint.Box.isValid() ||
        !(hint.DevicePixelRatio > 0) || hint.DevicePixelRatio > MaxRatio)
        return {};
    return hint;
}

bool WriteFirstPageHint(const QString& path, const TFirstPageHint& hint) {
    if (hint.Script.isEmpty() || hint.Script.contains(u'\n'))
        return false;
    const QString folder = QFileInfo(path).path();
    if (!QDir().mkpath(folder))
        return false;
    const QByteArray text = hint.Script.toUtf8() + '\n' + Number(hint.Box.x()) + ' ' +
                            Number(hint.Box.y()) + ' ' + Number(hint.Box.width()) + ' ' +
                            Number(hint.Box.height()) + ' ' + Number(hint.DevicePixelRatio) + '\n';
    // A name of its own, so that two windows starting at once cannot write
    // into one temporary file.
    QTemporaryFile file(path + QStringLiteral(".XXXXXX"));
    if (!file.open() || file.write(text) != text.size() || !file.flush())
        return false;
    // rename(2) replaces the old file in one step; no sync: a cache lost in a
    // crash is only a slower start.
    if (std::rename(QFile::encodeName(file.fileName()).constData(),
                    QFile::encodeName(path).constData()) != 0)
        return false;
    file.setAutoRemove(false);
    return true;
}
