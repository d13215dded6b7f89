#include "osc/Dispatch.h"

#include "app/Errors.h"
#include "osc/OSCUtils.h"
#include "osc/UdpClient.h"

#include <exception>
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
    auto message = std::make_unique<TOSCMessage>(command.Address);
    message->AddString(command.Argument.toUtf8());
    TOSCBundle bundle;
    bundle.Add(std::move(message));
    return bundle.ToOSCBytes();
}

void DispatchCue(const QByteArray& message, const QString& soundAddress,
                 const QString& lightAddress, UdpClient& sound, UdpClient& light,
                 const std::function<void()>& warn) {
    const OscCommand command = SplitOscCommand(QString::fromUtf8(message));
    const bool toSound = command.Selector == soundAddress;
    const bool toLight = command.Selector == lightAddress;
    if (!toSound && !toLight)
        return;

    // A target that cannot be connected is reported once; its datagram is
    // still attempted below, unconnected or on the previous connection.
    try {
        if (toSound) {
            sound.MakeActive();
            sound.Connect();
        }
        if (toLight) {
            light.MakeActive();
            light.Connect();
        }
    } catch (const CuewellError&) {
        if (warn)
            warn();
    }

    const QByteArray bytes = CueBundleBytes(command);

    // Sound goes first. A sound send that fails must not cost the light cue
    // its datagram: light is still sent, then the first error is raised.
    std::exception_ptr firstError;
    if (toSound) {
        try {
            sound.SendBuffer(bytes);
        } catch (const CuewellError&) {
            firstError = std::current_exception();
        }
    }
    if (toLight) {
        try {
            light.SendBuffer(bytes);
        } catch (const CuewellError&) {
            if (!firstError)
                firstError = std::current_exception();
        }
    }
    if (firstError)
        std::rethrow_exception(firstError);
}
