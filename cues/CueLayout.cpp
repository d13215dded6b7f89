#include "cues/CueLayout.h"

#include "app/Errors.h"

QPoint PinTopLeft(const arStr& fields, int viewWidth, int viewHeight) {
    const double left = ParseFraction(QString::fromUtf8(FieldOf(fields, cfLeft)));
    const double top = ParseFraction(QString::fromUtf8(FieldOf(fields, cfTop)));
    return {RoundHalfEven(left * viewWidth), RoundHalfEven(top * viewHeight)};
}

QRect ArrowPromptRect(QPoint pin) {
    return {pin.x() - 40, pin.y() - 8, 32, 32};
}

QRect CallPromptRect(QPoint pin, int textWidth, int viewMidX) {
    const int width = textWidth + 46;
    const int left = pin.x() < viewMidX ? pin.x() - width - 8 : pin.x() + 24;
    return {left, pin.y() - 4, width, 24};
}

PromptImage CallPromptImage(const QString& selector, const QString& soundAddress,
                            const QString& lightAddress) {
    PromptImage image = piNeither;
    if (selector == soundAddress)
        image = piSound;
    if (selector == lightAddress)
        image = piLight;
    return image;
}

bool CueAutoplay(const CueRecord& record) {
    return FieldsAutoplay(SplitByChar(record.toUtf8(), '|'));
}

bool FieldsAutoplay(const arStr& fields) {
    if (fields.size() <= cfAutoplay)
        return false;
    return ParseBoolField(QString::fromUtf8(fields[cfAutoplay]));
}

TPinLayout LayoutPins(const CueRow& row, int viewWidth, int viewHeight) {
    TPinLayout layout;
    try {
        for (int& n = layout.Count; n < MaxCuesPerPage && !row[n].isEmpty(); ++n) {
            const arStr fields = SplitRecord(row[n]);
            layout.At[n] = fields[cfTop].isEmpty() && fields[cfLeft].isEmpty()
                               ? QPoint(0, 0)
                               : PinTopLeft(fields, viewWidth, viewHeight);
            if (n > 0)
                layout.At[n].setY(SeparatedTop(layout.At[n].y(), layout.At[n - 1].y()));
        }
    } catch (const CuewellError& e) {
        layout.Error = e.Text();
    }
    return layout;
}
