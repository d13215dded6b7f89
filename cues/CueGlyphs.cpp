#include "cues/CueGlyphs.h"

#include "cues/CueLayout.h"

#include <QBitmap>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QPainter>

QPixmap BuiltInPinGlyph() {
    QPixmap glyph(PinSize, PinSize);
    glyph.fill(Qt::transparent);
    QPainter p(&glyph);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(90, 90, 90), 2));
    p.drawLine(QPointF(7.5, 8), QPointF(3, 15));
    p.setPen(QPen(QColor(120, 0, 0), 1));
    p.setBrush(QColor(220, 30, 30));
    p.drawEllipse(QRectF(5, 1, 9, 9));
    return glyph;
}

namespace {

// The bottom-left pixel's colour is transparent.
QPixmap MaskedGlyph(const QImage& image) {
    QPixmap glyph = QPixmap::fromImage(image);
    glyph.setMask(QBitmap::fromImage(
        image.createMaskFromColor(image.pixel(0, image.height() - 1), Qt::MaskInColor)));
    return glyph;
}

} // namespace

QPixmap ReadPinGlyph(const QString& file, QString& problem) {
    problem.clear();
    // Read as the bitmap it is named first: guessing the format loads every
    // image-format plugin, about 2 ms while the window is built. Any other
    // image under that name is still read by its contents.
    if (QFile bytes(file); bytes.open(QIODevice::ReadOnly)) {
        QImageReader bitmap(&bytes, "bmp");
        bitmap.setAutoDetectImageFormat(false);
        if (const QImage image = bitmap.read(); !image.isNull())
            return MaskedGlyph(image);
    }
    QImageReader reader(file);
    const QImage image = reader.read();
    if (image.isNull()) {
        const QString path = QFileInfo(file).absoluteFilePath();
        const QString reason =
            QFile::exists(path) ? reader.errorString() : QStringLiteral("The file does not exist");
        problem = QStringLiteral("Cannot open file \"%1\". %2").arg(path, reason);
        return BuiltInPinGlyph();
    }
    return MaskedGlyph(image);
}

std::array<QIcon, 4> PromptImages() {
    std::array<QIcon, 4> images;
    QPixmap arrow(32, 32);
    arrow.fill(Qt::white);
    {
        QPainter p(&arrow);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(20, 70, 220));
        const QPointF shape[] = {{3, 12}, {17, 12}, {17, 4}, {29, 16}, {17, 28}, {17, 20}, {3, 20}};
        p.drawPolygon(shape, 7);
    }
    images[piArrow] = QIcon(arrow);
    const QColor solids[] = {QColor(65, 255, 65), QColor(69, 251, 247), QColor(252, 68, 228)};
    for (int i = 0; i < 3; ++i) {
        QPixmap square(32, 32);
        square.fill(solids[i]);
        images[piSound + i] = QIcon(square);
    }
    return images;
}
