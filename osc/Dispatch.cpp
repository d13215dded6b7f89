#include "osc/Dispatch.h"

#include "osc/OSCUtils.h"

#include <cmath>
#include <limits>
#include <memory>

namespace {

// The first position of sub in text, both compared upper-cased one 16-bit
// character at a time (so positions in the upper-cased texts are positions
// in the originals); -1 when absent or sub is empty.
qsizetype IndexOfIgnoringCase(QStringView sub, QStringView text) {
    const qsizetype n = sub.size();
    if (n == 0 || n > text.size())
        return -1;
    const char16_t first = char16_t(QChar::toUpper(char32_t(sub[0].unicode())));
    for (qsizetype i = 0, last = text.size() - n; i <= last; ++i) {
        if (char16_t(QChar::toUpper(char32_t(text[i].unicode()))) != first)
            continue;
        qsizetype k = 1;
        while (k < n && QChar::toUpper(char32_t(text[i + k].unicode())) ==
                            QChar::toUpper(char32_t(sub[k].unicode())))
            ++k;
        if (k == n)
            return i;
    }
    return -1;
}

} // namespace

QString TextBefore(const QString& sub, const QString& text) {
    const qsizetype at = IndexOfIgnoringCase(sub, text);
    return at < 0 ? text : text.first(at);
}

QString TextAfter(const QString& sub, const QString& text) {
    const qsizetype at = IndexOfIgnoringCase(sub, text);
    return at < 0 ? QString() : text.sliced(at + sub.size());
}

OscCommand SplitOscCommand(const QString& message) {
    // The same as TextBefore("/", TextAfter("/", M)), TextBefore(" ", M) and
    // TextAfter(" ", M): "/" and " " have no other letter case, so a plain
    // search finds them, without the intermediate texts.
    OscCommand command;
    const qsizetype slash = message.indexOf(u'/');
    if (slash >= 0) {
        const qsizetype start = slash + 1;
        const qsizetype next = message.indexOf(u'/', start);
        command.Selector = message.sliced(start, (next < 0 ? message.size() : next) - start);
    }
    const qsizetype space = message.indexOf(u' ');
    if (space < 0) {
        command.Address = message;
    } else {
        command.Address = message.first(space);
        command.Argument = message.sliced(space + 1);
    }
    return command;
}

QByteArray CueBundleBytes(const OscCommand& command) {
    return CueBytes(command, TOscForm::Bundle, TOscArgs::Text);
}

namespace {

// An optional sign and decimal digits only: no blanks, no hexadecimal.
bool IsDecimalInteger(QStringView token) {
    qsizetype i = token.startsWith(u'+') || token.startsWith(u'-') ? 1 : 0;
    if (i == token.size())
        return false;
    for (; i < token.size(); ++i)
        if (token[i] < u'0' || token[i] > u'9')
            return false;
    return true;
}

// An optional sign, digits with one "." among or around them, at least one digit.
bool IsDecimalFraction(QStringView token) {
    qsizetype i = token.startsWith(u'+') || token.startsWith(u'-') ? 1 : 0;
    int digits = 0;
    int points = 0;
    for (; i < token.size(); ++i) {
        if (token[i] >= u'0' && token[i] <= u'9')
            ++digits;
        else if (token[i] == u'.')
            ++points;
        else
            return false;
    }
    return digits > 0 && points == 1;
}

void AddTypedToken(TOSCMessage& message, QStringView token) {
    if (IsDecimalInteger(token)) {
        bool ok = false;
        const qlonglong value = token.toLongLong(&ok);
        if (ok && value >= std::numeric_limits<qint32>::min() &&
            value <= std::numeric_limits<qint32>::max()) {
            message.AddInteger(qint32(value));
            return;
        }
    }
    if (IsDecimalFraction(token)) {
        // QByteArray::toDouble reads "." whatever the locale.
        bool ok = false;
        const double value = token.toLatin1().toDouble(&ok);
        if (ok && std::isfinite(float(value))) {
            message.AddFloat(float(value));
            return;
        }
    }
    message.AddString(token.toUtf8());
}

void AddTypedArguments(TOSCMessage& message, QStringView text) {
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n) {
        if (text[i] == u' ') {
            ++i;
            continue;
        }
        // A quoted token runs to a closing quote that ends the token (a space
        // or the end follows); a quote without one is plain text.
        if (text[i] == u'"') {
            qsizetype close = i + 1;
            while ((close = text.indexOf(u'"', close)) >= 0 && close + 1 < n &&
                   text[close + 1] != u' ')
                ++close;
            if (close >= 0) {
                message.AddString(text.sliced(i + 1, close - i - 1).toUtf8());
                i = close + 1;
                continue;
            }
        }
        qsizetype end = text.indexOf(u' ', i);
        if (end < 0)
            end = n;
        AddTypedToken(message, text.sliced(i, end - i));
        i = end;
    }
}

} // namespace

QByteArray CueBytes(const OscCommand& command, TOscForm form, TOscArgs args) {
    auto message = std::make_unique<TOSCMessage>(command.Address);
    if (args == TOscArgs::Typed)
        AddTypedArguments(*message, command.Argument);
    else
        message->AddString(command.Argument.toUtf8());
    if (form == TOscForm::Message)
        return message->ToOSCBytes();
    TOSCBundle bundle;
    bundle.Add(std::move(message));
    return bundle.ToOSCBytes();
}
