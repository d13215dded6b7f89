#include "tools/oscmonitor/MonitorFormat.h"

#include "app/Errors.h"
#include "osc/OSCUtils.h"

#include <QtEndian>
#include <cmath>

namespace {

constexpr double ImmediateTimeTag = 1.0 / 4294967296.0;
constexpr double SecondsFrom1900To1970 = 2208988800.0;
constexpr int HexShown = 64;

QString Hex(const QByteArray& bytes) {
    QString text = QString::fromLatin1(bytes.left(HexShown).toHex(' '));
    if (bytes.size() > HexShown)
        text += u" ..."_qs;
    return text;
}

// Received text made safe for one output line: the backslash, `quote` and
// every control character (C0, DEL and C1, which terminals may act on) are
// escaped, so no sender can break the line or drive the terminal.
QString Escaped(const QString& text, QChar quote = QChar()) {
    QString out;
    out.reserve(text.size());
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if ((c == quote && !quote.isNull()) || c == u'\\')
            out += u'\\' + QString(c);
        else if (u < 0x20 || (u >= 0x7F && u <= 0x9F))
            out += u"\\x%1"_qs.arg(uint(u), 2, 16, QChar(u'0'));
        else
            out += c;
    }
    return out;
}

// A string argument in double quotes.
QString Quoted(const QByteArray& utf8) {
    return u'"' + Escaped(QString::fromUtf8(utf8), u'"') + u'"';
}

qint64 Int64(const QByteArray& reversed) {
    return qFromLittleEndian<qint64>(reversed.constData());
}

QString Argument(const TOSCMessage& message, int k) {
    const QChar tag = message.GetTypeTag(k).front();
    const QByteArray& element = message.GetArgument(k);
    switch (tag.unicode()) {
    case u's':
    case u'S':
        return Quoted(element);
    case u'i':
        return QString::number(message.GetArgumentAsInt(k));
    case u'f':
        return QString::number(double(message.GetArgumentAsFloat(k)), 'g', 7);
    case u'c':
        return u'\'' +
               Escaped(QString(QChar(char16_t(message.GetArgumentAsInt(k) & 0xFFFF))), u'\'') +
               u'\'';
    case u'h':
        return QString::number(Int64(element));
    case u'd':
        return QString::number(std::bit_cast<double>(Int64(element)), 'g', 17);
    case u't': {
        const quint64 raw = quint64(Int64(element));
        return DescribeTimeTag(double(raw >> 32) + double(raw & 0xFFFFFFFFu) / 4294967296.0);
    }
    case u'r':
    case u'm': {
        QByteArray wire = element;
        std::reverse(wire.begin(), wire.end());
        return (tag == u'r' ? u"rgba:"_qs : u"midi:"_qs) + QString::fromLatin1(wire.toHex());
    }
    case u'b':
        return u"blob(%1 bytes)"_qs.arg(element.size()) +
               (element.isEmpty() ? QString() : u" "_qs + Hex(element));
    case u'T':
        return u"true"_qs;
    case u'F':
        return u"false"_qs;
    case u'N':
        return u"nil"_qs;
    case u'I':
        return u"infinitum"_qs;
    default: // "[" and "]"
        return QString(tag);
    }
}

// The reader's reason without its "Unreadable OSC packet: " lead.
QString Reason(const CuewellError& e) {
    const QString lead = u"Unreadable OSC packet: "_qs;
    return e.Text().startsWith(lead) ? e.Text().mid(lead.size()) : e.Text();
}

void DescribePacket(TOSCPacket* packet, const QString& head, const QString& timeTag,
                    QStringList& lines) {
    if (auto* bundle = dynamic_cast<TOSCBundle*>(packet)) {
        const QString own = DescribeTimeTag(bundle->TimeTag());
        if (bundle->PacketCount() == 0)
            lines << head + own + u"  (empty bundle)"_qs;
        for (int k = 0; k < bundle->PacketCount(); ++k)
            DescribePacket(bundle->Packet(k), head, own, lines);
        return;
    }
    auto* message = static_cast<TOSCMessage*>(packet);
    QString line = head + timeTag + u"  "_qs + Escaped(message->Address());
    try {
        message->Decode();
    } catch (const CuewellError& e) {
        lines << line + u"  UNREADABLE ARGUMENTS: "_qs + Reason(e);
        return;
    }
    line += u"  "_qs + message->TypeTags();
    for (int k = 0; k < message->ArgumentCount(); ++k)
        line += u' ' + Argument(*message, k);
    lines << line;
}

} // namespace

QString DescribeTimeTag(double seconds) {
    if (seconds == ImmediateTimeTag)
        return u"immediate"_qs;
    const qint64 ms = qint64(std::floor((seconds - SecondsFrom1900To1970) * 1000.0));
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(u"yyyy-MM-dd HH:mm:ss.zzz"_qs) +
           u" UTC"_qs;
}

QStringList DescribeDatagram(quint16 port, const QByteArray& bytes, const QDateTime& arrival) {
    const QString head = arrival.toString(u"HH:mm:ss.zzz"_qs) + u"  "_qs +
                         QString::number(port).rightJustified(5) + u"  "_qs;
    QStringList lines;
    try {
        TOSCReceived packet = TOSCPacket::Unpack(bytes);
        DescribePacket(packet.get(), head, u"-"_qs, lines);
    } catch (const CuewellError& e) {
        return {head +
                u"UNREADABLE %1 bytes: %2 | %3"_qs.arg(bytes.size()).arg(Reason(e), Hex(bytes))};
    }
    return lines;
}
