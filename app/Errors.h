#pragma once

#include <QString>
#include <stdexcept>

// The error every Cuewell operation raises. Handlers let it escape to the
// guard (app/Guard.h), which shows the standard error report and goes on.
class CuewellError : public std::runtime_error {
public:
    explicit CuewellError(const QString& text);
    const QString& Text() const { return FText; }

private:
    QString FText;
};

// "'%s' is not a valid integer value" and its siblings, raised by conversions.
[[noreturn]] void RaiseConvertError(const QString& value, const char* kind);

// The text of the standard error report: a "." is added when the last
// character's code is above that of ".".
QString StandardErrorText(const QString& text);
