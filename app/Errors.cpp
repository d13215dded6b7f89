#include "app/Errors.h"

CuewellError::CuewellError(const QString& text)
    : std::runtime_error(text.toStdString()), FText(text) {}

void RaiseConvertError(const QString& value, const char* kind) {
    throw CuewellError(
        QStringLiteral("'%1' is not a valid %2 value").arg(value, QLatin1String(kind)));
}

QString StandardErrorText(const QString& text) {
    if (!text.isEmpty() && text.back().unicode() > u'.')
        return text + u'.';
    return text;
}
