// Feeds arbitrary bytes to everything that reads received OSC data: Unpack,
// Decode, the getters, matching and the reading routines. Crashes, sanitizer
// reports and broken invariants (trap) are findings.
#include "app/Errors.h"
#include "osc/OSCUtils.h"

#include <QString>

#include <cstddef>
#include <cstdint>

namespace {

void Check(bool ok) {
    if (!ok)
        __builtin_trap();
}

// Plain backtracking matcher with the same rules, for short inputs only.
bool Reference(QStringView p, QStringView t) {
    if (p.isEmpty())
        return t.isEmpty();
    const QChar c = p.front();
    if (c == u'*')
        return Reference(p.mid(1), t) || (!t.isEmpty() && Reference(p, t.mid(1)));
    if (c == u'[' || c == u'{') {
        const qsizetype close = p.indexOf(c == u'[' ? u']' : u'}', 1);
        if (close < 0)
            return false;
        const QStringView inside = p.mid(1, close - 1);
        if (c == u'[')
            return !t.isEmpty() && BracketMatches(inside, t.front()) &&
                   Reference(p.mid(close + 1), t.mid(1));
        for (qsizetype length : BraceMatches(inside, t))
            if (Reference(p.mid(close + 1), t.mid(length)))
                return true;
        return false;
    }
    if (c == u']' || c == u'}' || t.isEmpty())
        return false;
    return (c == u'?' || c == t.front()) && Reference(p.mid(1), t.mid(1));
}

void Walk(TOSCPacket* packet, const QString& address) {
    if (auto* bundle = dynamic_cast<TOSCBundle*>(packet)) {
        for (int k = 0; k < bundle->PacketCount(); ++k)
            Walk(bundle->Packet(k), address);
        return;
    }
    auto* message = static_cast<TOSCMessage*>(packet);
    try {
        message->Decode();
    } catch (const CuewellError&) {
        Check(!message->IsDecoded() && message->ArgumentCount() == 0);
        return;
    }
    Check(message->IsDecoded());
    const int count = message->ArgumentCount();
    Check(message->TypeTags().size() <= 1 ? count == 0 : count == message->TypeTags().size() - 1);
    const QByteArrayView received(message->Bytes());
    for (int k = -1; k <= count; ++k) {
        try {
            // A view reads inside the received bytes, and holds what the
            // copying getter hands out for a string or blob.
            const QByteArrayView view = message->ArgumentData(k);
            Check(view.isEmpty() ||
                  (view.data() >= received.data() &&
                   view.data() + view.size() <= received.data() + received.size()));
            const QString tag = message->GetTypeTag(k);
            if (tag == u"s"_qs || tag == u"S"_qs || tag == u"b"_qs)
                Check(view == message->GetArgument(k));
            (void)message->GetArgument(k);
            (void)message->GetArgumentAsInt(k);
            (void)message->GetArgumentAsFloat(k);
            (void)message->GetTypeTag(k);
            Check(k >= 0 && k < count);
        } catch (const CuewellError&) {
            Check(k < 0 || k >= count);
        }
    }
    // Written back and read again, the message is the same message.
    TOSCMessage again = TOSCMessage::Unpack(message->ToOSCBytes());
    again.Decode();
    Check(again.Address() == message->Address() && again.TypeTags() == message->TypeTags() &&
          again.ArgumentCount() == count);
    for (int k = 0; k < count; ++k)
        Check(again.GetArgument(k) == message->GetArgument(k));
    (void)PatternMatches(message->Address(), address);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size copy, so that any read past the data is an ASan report.
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));

    // Pattern and text: the input split at its first zero byte.
    const qsizetype zero = bytes.indexOf('\0');
    const QString pattern = QString::fromUtf8(zero < 0 ? bytes : bytes.left(zero));
    const QString text = zero < 0 ? QString() : QString::fromUtf8(bytes.mid(zero + 1));
    const bool matches = PatternMatches(pattern, text);
    // The reference backtracks, so only where that stays cheap.
    if (pattern.size() <= 12 && text.size() <= 16 && pattern.count(u'*') <= 3 &&
        pattern.count(u'{') <= 2)
        Check(matches == Reference(pattern, text));

    try {
        TOSCReceived packet = TOSCPacket::Unpack(bytes, bytes.size());
        Walk(packet.get(), text);
        // Every unmatched message that matches is found once, then none.
        int found = 0;
        while (packet->MatchAddress(text) && found < 100000)
            ++found;
        Check(!packet->MatchAddress(text));
        packet->Unmatch();
        if (found > 0)
            Check(packet->MatchAddress(text) != nullptr);
        (void)packet->ToOSCBytes();
    } catch (const CuewellError&) {
    }

    // The reading routines at offsets taken from the data itself.
    for (size_t k = 0; k + 4 <= size && k < 64; k += 4) {
        int offset = int(qint8(data[k]));
        (void)ReadOSCString(bytes, offset);
        (void)ReadOSCIntBytes(bytes, offset);
        (void)ReadOSCInt(bytes, offset);
        int end = int(data[k + 1]);
        (void)ReadOSCString(bytes, offset, end);
        (void)ReadOSCFloatBytes(bytes, offset, end);
    }
    return 0;
}
