#include "osc/OSCUtils.h"

#include "app/Errors.h"

#include <QtEndian>
#include <algorithm>
#include <bit>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>

namespace {

// Positions are 32-bit; keep every sum of a position and a 4- or 8-byte step
// below INT_MAX so that "past the end" can always be expressed.
constexpr qsizetype MaxOSCData = INT_MAX - 16;

int ClampEnd(const QByteArray& bytes, qsizetype end) {
    return int(std::clamp<qsizetype>(end, 0, std::min(bytes.size(), MaxOSCData)));
}

// Where Offset goes when a read does not fit: beyond both End and Offset.
int PastEnd(int offset, int end) {
    return std::max(offset, end) + 1;
}

qsizetype PaddedLength(qsizetype n) {
    return n - n % 4 + 4;
}

[[noreturn]] void RaiseUnreadable(const QString& why) {
    throw CuewellError(QStringLiteral("Unreadable OSC packet: %1").arg(why));
}

[[noreturn]] void RaiseOutOfRange() {
    throw CuewellError(QStringLiteral("Argument out of range"));
}

// Finds the OSC string at Offset inside [Offset, End): its length up to the
// zero byte. Returns false when no zero byte lies inside.
bool ScanString(const QByteArray& bytes, int offset, int end, int& length) {
    if (offset < 0 || offset >= end)
        return false;
    const char* start = bytes.constData() + offset;
    const void* zero = std::memchr(start, 0, size_t(end - offset));
    if (!zero)
        return false;
    length = int(static_cast<const char*>(zero) - start);
    return true;
}

quint32 BigEndian32(const QByteArray& bytes, int offset) {
    return qFromBigEndian<quint32>(bytes.constData() + offset);
}

// The n bytes at Offset in reverse order (least significant first).
QByteArray Reversed(const QByteArray& bytes, int offset, int n) {
    QByteArray r(n, Qt::Uninitialized);
    const char* s = bytes.constData() + offset;
    char* d = r.data();
    for (int k = 0; k < n; ++k)
        d[k] = s[n - 1 - k];
    return r;
}

// The length of UTF-8 bytes as an OSC string: up to the first zero byte.
qsizetype OSCTextLength(const char* data, qsizetype n) {
    const void* zero = std::memchr(data, 0, size_t(n));
    return zero ? static_cast<const char*>(zero) - data : n;
}

// Writes the first N bytes of Data and their 1 to 4 zero bytes of padding.
char* WriteOSCString(char* out, const char* data, qsizetype n) {
    const qsizetype padded = PaddedLength(n);
    std::memcpy(out, data, size_t(n));
    std::memset(out + n, 0, size_t(padded - n));
    return out + padded;
}

// Plain ASCII without zeros goes to the wire one 16-bit unit per byte; other
// texts go through UTF-8 conversion. The usual address is plain ASCII.
bool IsPlainAscii(QStringView text) {
    const char16_t* s = text.utf16();
    for (qsizetype k = 0, n = text.size(); k < n; ++k)
        if (s[k] >= 0x80 || s[k] == 0)
            return false;
    return true;
}

qsizetype OSCStringSize(QStringView text) {
    if (IsPlainAscii(text))
        return PaddedLength(text.size());
    const QByteArray utf8 = text.toUtf8();
    return PaddedLength(OSCTextLength(utf8.constData(), utf8.size()));
}

char* WriteOSCString(char* out, QStringView text) {
    if (!IsPlainAscii(text)) {
        const QByteArray utf8 = text.toUtf8();
        return WriteOSCString(out, utf8.constData(), OSCTextLength(utf8.constData(), utf8.size()));
    }
    const qsizetype n = text.size();
    const char16_t* s = text.utf16();
    for (qsizetype k = 0; k < n; ++k)
        out[k] = char(s[k]);
    const qsizetype padded = PaddedLength(n);
    std::memset(out + n, 0, size_t(padded - n));
    return out + padded;
}

} // namespace

// --- Encoding items -------------------------------------------------------

QByteArray OSCIntBytes(qint32 value) {
    QByteArray r(4, Qt::Uninitialized);
    qToBigEndian(value, r.data());
    return r;
}

QByteArray OSCFloatBytes(float value) {
    return OSCIntBytes(std::bit_cast<qint32>(value));
}

QByteArray OSCStringBytes(const QByteArray& value) {
    const qsizetype n = OSCTextLength(value.constData(), value.size());
    QByteArray r(PaddedLength(n), Qt::Uninitialized);
    WriteOSCString(r.data(), value.constData(), n);
    return r;
}

// --- Reading routines -----------------------------------------------------

QByteArray ReadOSCString(const QByteArray& bytes, int& offset) {
    return ReadOSCString(bytes, offset, int(std::min(bytes.size(), MaxOSCData)));
}

QByteArray ReadOSCString(const QByteArray& bytes, int& offset, int end) {
    end = ClampEnd(bytes, end);
    if (offset < 0 || offset >= end) {
        offset = PastEnd(offset, end);
        return {};
    }
    int length = 0;
    if (!ScanString(bytes, offset, end, length)) {
        QByteArray rest(bytes.constData() + offset, end - offset);
        offset = PastEnd(offset, end);
        return rest;
    }
    QByteArray r(bytes.constData() + offset, length);
    // Passes End when the padding is cut off, which tells the caller so.
    offset = int(PaddedLength(qsizetype(offset) + length));
    return r;
}

QByteArray ReadOSCIntBytes(const QByteArray& bytes, int& offset) {
    return ReadOSCIntBytes(bytes, offset, int(std::min(bytes.size(), MaxOSCData)));
}

QByteArray ReadOSCIntBytes(const QByteArray& bytes, int& offset, int end) {
    end = ClampEnd(bytes, end);
    if (offset < 0 || offset > end - 4) {
        offset = PastEnd(offset, end);
        return QByteArray(4, '\0');
    }
    QByteArray r = Reversed(bytes, offset, 4);
    offset += 4;
    return r;
}

QByteArray ReadOSCFloatBytes(const QByteArray& bytes, int& offset) {
    return ReadOSCIntBytes(bytes, offset);
}

QByteArray ReadOSCFloatBytes(const QByteArray& bytes, int& offset, int end) {
    return ReadOSCIntBytes(bytes, offset, end);
}

qint32 ReadOSCInt(const QByteArray& bytes, int& offset) {
    return ReadOSCInt(bytes, offset, int(std::min(bytes.size(), MaxOSCData)));
}

qint32 ReadOSCInt(const QByteArray& bytes, int& offset, int end) {
    end = ClampEnd(bytes, end);
    if (offset < 0 || offset > end - 4) {
        offset = PastEnd(offset, end);
        return 0;
    }
    const qint32 v = qint32(BigEndian32(bytes, offset));
    offset += 4;
    return v;
}

// --- Address matching -----------------------------------------------------

bool BracketMatches(QStringView set, QChar ch) {
    const bool negated = !set.isEmpty() && set.front() == u'!';
    if (negated)
        set = set.mid(1);
    const qsizetype n = set.size();
    bool hit = false;
    for (qsizetype k = 0; k < n;) {
        // A "-" last in the set is no range operator but itself: "[a-]" is
        // {a, -}, as OSC 1.0 reads it.
        if (k + 2 < n && set[k + 1] == u'-') {
            if (set[k] <= ch && ch <= set[k + 2])
                hit = true;
            k += 3;
        } else {
            if (set[k] == ch)
                hit = true;
            ++k;
        }
    }
    return hit != negated;
}

QVarLengthArray<qsizetype, 8> BraceMatches(QStringView body, QStringView text) {
    QVarLengthArray<qsizetype, 8> lengths;
    qsizetype start = 0;
    while (true) {
        qsizetype comma = body.indexOf(u',', start);
        const qsizetype stop = comma < 0 ? body.size() : comma;
        const QStringView alternative = body.mid(start, stop - start);
        if (text.startsWith(alternative))
            lengths.append(alternative.size());
        if (comma < 0)
            break;
        start = comma + 1;
    }
    return lengths;
}

bool PatternMatches(QStringView pattern, QStringView text) {
    // Reach[t] says whether the pattern read so far can match text[0, t).
    // Only [lo, hi] can hold reachable positions.
    const qsizetype n = text.size();
    QVarLengthArray<char, 512> buffers(2 * (n + 1));
    std::fill(buffers.begin(), buffers.end(), 0);
    char* reach = buffers.data();
    char* next = reach + n + 1;
    reach[0] = 1;
    qsizetype lo = 0, hi = 0;

    qsizetype p = 0;
    while (p < pattern.size()) {
        const QChar c = pattern[p];
        qsizetype nlo = n + 1, nhi = -1;
        auto mark = [&](qsizetype t) {
            next[t] = 1;
            nlo = std::min(nlo, t);
            nhi = std::max(nhi, t);
        };
        if (c == u'*') {
            while (p < pattern.size() && pattern[p] == u'*')
                ++p;
            for (qsizetype t = lo; t <= n; ++t)
                mark(t);
        } else if (c == u'[') {
            const qsizetype close = pattern.indexOf(u']', p + 1);
            if (close < 0)
                return false;
            const QStringView set = pattern.mid(p + 1, close - p - 1);
            for (qsizetype t = lo; t <= hi && t < n; ++t)
                if (reach[t] && BracketMatches(set, text[t]))
                    mark(t + 1);
            p = close + 1;
        } else if (c == u'{') {
            const qsizetype close = pattern.indexOf(u'}', p + 1);
            if (close < 0)
                return false;
            const QStringView body = pattern.mid(p + 1, close - p - 1);
            for (qsizetype t = lo; t <= hi; ++t)
                if (reach[t])
                    for (qsizetype length : BraceMatches(body, text.mid(t)))
                        mark(t + length);
            p = close + 1;
        } else if (c == u']' || c == u'}') {
            return false;
        } else {
            const bool any = c == u'?';
            for (qsizetype t = lo; t <= hi && t < n; ++t)
                if (reach[t] && (any || text[t] == c))
                    mark(t + 1);
            ++p;
        }
        if (nhi < 0)
            return false;
        for (qsizetype t = lo; t <= hi; ++t)
            reach[t] = 0;
        std::swap(reach, next);
        lo = nlo;
        hi = nhi;
    }
    return reach[n] != 0;
}

// --- TOSCPacket -----------------------------------------------------------

TOSCPacket::TOSCPacket(const QByteArray& bytes) : FBytes(bytes) {}

TOSCPacket::~TOSCPacket() = default;

QByteArray TOSCPacket::ToOSCBytes() const {
    QByteArray out(OSCByteSize(), Qt::Uninitialized);
    WriteOSCBytes(out.data());
    return out;
}

std::unique_ptr<TOSCPacket> TOSCPacket::Unpack(const QByteArray& bytes, qint64 count) {
    if (count > MaxOSCData)
        RaiseUnreadable(QStringLiteral("%1 bytes is too large").arg(count));
    return UnpackAt(bytes, 0, ClampEnd(bytes, count), 0, 0);
}

std::unique_ptr<TOSCPacket> TOSCPacket::Unpack(const QByteArray& bytes, int offset, int count,
                                               double timeTag) {
    return UnpackAt(bytes, offset, ClampEnd(bytes, count), timeTag, 0);
}

std::unique_ptr<TOSCPacket> TOSCPacket::UnpackAt(const QByteArray& bytes, int offset, int end,
                                                 double timeTag, int depth) {
    if (offset < 0 || offset >= end)
        RaiseUnreadable(QStringLiteral("no packet at byte %1").arg(offset));
    if (bytes.at(offset) == '#')
        return TOSCBundle::UnpackAt(bytes, offset, end, depth);
    return TOSCMessage::UnpackAt(bytes, offset, end, timeTag);
}

// --- TOSCMessage ----------------------------------------------------------

TOSCMessage::TOSCMessage(const QString& address) : FAddress(address) {
    FTypeTags.append(u',');
}

TOSCMessage::TOSCMessage(const QByteArray& bytes) : TOSCPacket(bytes) {
    FTypeTags.append(u',');
}

TOSCMessage::~TOSCMessage() = default;

void TOSCMessage::AddInteger(qint32 value) {
    FTypeTags.append(u'i');
    FArguments.append(OSCIntBytes(value));
}

void TOSCMessage::AddFloat(float value) {
    FTypeTags.append(u'f');
    FArguments.append(OSCFloatBytes(value));
}

void TOSCMessage::AddString(const QByteArray& value) {
    FTypeTags.append(u's');
    FArguments.append(OSCStringBytes(value));
}

int TOSCMessage::AddAsBytes(QChar typeTag, const QByteArray& value, const QLocale& fs) {
    if (typeTag == u'f') {
        QLocale strict = fs;
        strict.setNumberOptions(fs.numberOptions() | QLocale::RejectGroupSeparator);
        bool ok = false;
        const double d = strict.toDouble(QString::fromUtf8(value).trimmed(), &ok);
        // A value a 32-bit float cannot hold is as unconvertible as letters:
        // narrowing it would send infinity (or be undefined).
        if (!ok || !std::isfinite(d) || std::fabs(d) > double(FLT_MAX))
            return 2;
        AddFloat(float(d));
        return 0;
    }
    if (typeTag == u'i') {
        bool ok = false;
        const int v = value.trimmed().toInt(&ok, 10);
        if (!ok)
            return 2;
        AddInteger(v);
        return 0;
    }
    if (typeTag == u's') {
        AddString(value);
        return 0;
    }
    return 1;
}

qsizetype TOSCMessage::OSCByteSize() const {
    qsizetype size = OSCStringSize(FAddress) +
                     OSCStringSize(QStringView(FTypeTags.constData(), FTypeTags.size()));
    for (const QByteArray& argument : FArguments)
        size += argument.size();
    return size;
}

char* TOSCMessage::WriteOSCBytes(char* out) const {
    out = WriteOSCString(out, FAddress);
    out = WriteOSCString(out, QStringView(FTypeTags.constData(), FTypeTags.size()));
    for (const QByteArray& argument : FArguments) {
        std::memcpy(out, argument.constData(), size_t(argument.size()));
        out += argument.size();
    }
    return out;
}

TOSCMessage* TOSCMessage::MatchAddress(const QString& address) {
    if (FMatched)
        return nullptr;
    if (!PatternMatches(FAddress, address))
        return nullptr;
    FMatched = true;
    return this;
}

void TOSCMessage::Unmatch() {
    FMatched = false;
}

std::unique_ptr<TOSCMessage> TOSCMessage::Unpack(const QByteArray& bytes, qint64 count) {
    if (count > MaxOSCData)
        RaiseUnreadable(QStringLiteral("%1 bytes is too large").arg(count));
    return UnpackAt(bytes, 0, ClampEnd(bytes, count), 0);
}

std::unique_ptr<TOSCMessage> TOSCMessage::Unpack(const QByteArray& bytes, int packetOffset,
                                                 int count, double timeTag) {
    return UnpackAt(bytes, packetOffset, ClampEnd(bytes, count), timeTag);
}

std::unique_ptr<TOSCMessage> TOSCMessage::UnpackAt(const QByteArray& bytes, int offset, int end,
                                                   double timeTag) {
    int length = 0;
    if (!ScanString(bytes, offset, end, length))
        RaiseUnreadable(QStringLiteral("the address at byte %1 has no end").arg(offset));
    const qsizetype next = PaddedLength(qsizetype(offset) + length);
    if (next > end)
        RaiseUnreadable(QStringLiteral("the address at byte %1 is cut off").arg(offset));
    auto message = std::make_unique<TOSCMessage>(bytes);
    message->FAddress = QString::fromUtf8(bytes.constData() + offset, length);
    message->FTimeTag = timeTag;
    message->FTypeTagOffset = int(next);
    message->FEnd = end;
    return message;
}

void TOSCMessage::Decode() {
    if (FIsDecoded)
        return;
    const int end = ClampEnd(FBytes, FEnd);
    int pos = FTypeTagOffset;
    if (pos >= end) {
        // An address alone: an OSC message without type tags or arguments.
        FIsDecoded = true;
        return;
    }
    int length = 0;
    if (!ScanString(FBytes, pos, end, length) || PaddedLength(qsizetype(pos) + length) > end)
        RaiseUnreadable(QStringLiteral("the type tags at byte %1 are cut off").arg(pos));

    // Read straight into the fields; a rejected message gets them back as
    // they were before Decode.
    struct Restore {
        TOSCMessage* message;
        ~Restore() {
            if (message) {
                message->FTypeTags.clear();
                message->FTypeTags.append(u',');
                message->FArguments.clear();
            }
        }
    } restore{this};
    // Clearing a QVarLengthArray reallocates, so the "," of an undecoded
    // message is overwritten in place instead.
    QVarLengthArray<QChar, 16>& tags = FTypeTags;
    QVarLengthArray<QByteArray, 4>& arguments = FArguments;
    if (tags.size() != 1 || !arguments.isEmpty()) {
        tags.clear();
        tags.append(u',');
        arguments.clear();
    }
    const char* raw = FBytes.constData() + pos;
    bool ascii = std::all_of(raw, raw + length, [](char b) { return uchar(b) < 0x80; });
    if (ascii && length > 0) {
        tags[0] = QLatin1Char(raw[0]);
        for (int k = 1; k < length; ++k)
            tags.append(QLatin1Char(raw[k]));
    } else {
        const QString text = QString::fromUtf8(raw, length);
        tags.clear();
        tags.append(text.constData(), text.size());
    }
    pos = int(PaddedLength(qsizetype(pos) + length));

    auto cutOff = [&](QChar tag, int at) {
        RaiseUnreadable(
            QStringLiteral("argument \"%1\" at byte %2 is cut off").arg(QString(tag)).arg(at));
    };
    for (qsizetype k = 1; k < tags.size(); ++k) {
        const QChar tag = tags[k];
        const int at = pos;
        switch (tag.unicode()) {
        case u's':
        case u'S': {
            if (!ScanString(FBytes, pos, end, length) ||
                PaddedLength(qsizetype(pos) + length) > end)
                cutOff(tag, at);
            arguments.append(QByteArray(FBytes.constData() + pos, length));
            pos = int(PaddedLength(qsizetype(pos) + length));
            break;
        }
        case u'i':
        case u'f':
        case u'c':
        case u'r':
        case u'm':
            if (pos > end - 4)
                cutOff(tag, at);
            arguments.append(Reversed(FBytes, pos, 4));
            pos += 4;
            break;
        case u'h':
        case u't':
        case u'd':
            if (pos > end - 8)
                cutOff(tag, at);
            arguments.append(Reversed(FBytes, pos, 8));
            pos += 8;
            break;
        case u'b': {
            if (pos > end - 4)
                cutOff(tag, at);
            const qint32 size = qint32(BigEndian32(FBytes, pos));
            if (size < 0 || size > end - pos - 4)
                RaiseUnreadable(
                    QStringLiteral("blob size %1 at byte %2 is not valid").arg(size).arg(at));
            const int data = pos + 4;
            const qsizetype after = qsizetype(data) + size + (4 - size % 4) % 4;
            if (after > end)
                cutOff(tag, at);
            arguments.append(QByteArray(FBytes.constData() + data, size));
            pos = int(after);
            break;
        }
        case u'T':
        case u'F':
        case u'N':
        case u'I':
        case u'[':
        case u']':
            arguments.append(QByteArray());
            break;
        default:
            RaiseUnreadable(
                QStringLiteral("unknown type tag \"%1\" at position %2").arg(QString(tag)).arg(k));
        }
    }
    restore.message = nullptr;
    FIsDecoded = true;
}

const QByteArray& TOSCMessage::GetArgument(int index) const {
    if (index < 0 || index >= FArguments.size())
        RaiseOutOfRange();
    return FArguments[index];
}

qint32 TOSCMessage::GetArgumentAsInt(int index) const {
    const QByteArray& element = GetArgument(index);
    quint32 v = 0;
    const qsizetype n = std::min<qsizetype>(element.size(), 4);
    for (qsizetype k = 0; k < n; ++k)
        v |= quint32(uchar(element[k])) << (8 * k);
    return qint32(v);
}

float TOSCMessage::GetArgumentAsFloat(int index) const {
    return std::bit_cast<float>(GetArgumentAsInt(index));
}

QString TOSCMessage::GetTypeTag(int index) const {
    if (index < 0 || index + 1 >= FTypeTags.size())
        RaiseOutOfRange();
    return QString(FTypeTags[index + 1]);
}

// --- TOSCBundle -----------------------------------------------------------

TOSCBundle::TOSCBundle(const QByteArray& bytes) : TOSCPacket(bytes) {}

TOSCBundle::~TOSCBundle() = default;

void TOSCBundle::Add(std::unique_ptr<TOSCPacket> packet) {
    if (packet)
        FPackets.append(std::move(packet));
}

TOSCPacket* TOSCBundle::Packet(int index) const {
    if (index < 0 || index >= FPackets.size())
        RaiseOutOfRange();
    return FPackets[index].get();
}

// "#bundle", its zero, and the time tag 1 (immediately).
static constexpr char BundleHeader[16] = {'#', 'b', 'u', 'n', 'd', 'l', 'e', 0,
                                          0,   0,   0,   0,   0,   0,   0,   1};

qsizetype TOSCBundle::OSCByteSize() const {
    qsizetype size = sizeof BundleHeader;
    for (const auto& packet : FPackets)
        size += 4 + packet->OSCByteSize();
    return size;
}

char* TOSCBundle::WriteOSCBytes(char* out) const {
    std::memcpy(out, BundleHeader, sizeof BundleHeader);
    out += sizeof BundleHeader;
    for (const auto& packet : FPackets) {
        char* end = packet->WriteOSCBytes(out + 4);
        qToBigEndian(quint32(end - out - 4), out);
        out = end;
    }
    return out;
}

TOSCMessage* TOSCBundle::MatchAddress(const QString& address) {
    for (const auto& packet : FPackets)
        if (TOSCMessage* m = packet->MatchAddress(address))
            return m;
    return nullptr;
}

void TOSCBundle::Unmatch() {
    for (const auto& packet : FPackets)
        packet->Unmatch();
}

std::unique_ptr<TOSCBundle> TOSCBundle::Unpack(const QByteArray& bytes, qint64 count) {
    if (count > MaxOSCData)
        RaiseUnreadable(QStringLiteral("%1 bytes is too large").arg(count));
    return UnpackAt(bytes, 0, ClampEnd(bytes, count), 0);
}

std::unique_ptr<TOSCBundle> TOSCBundle::Unpack(const QByteArray& bytes, int packetOffset, int count,
                                               double /*timeTag*/) {
    return UnpackAt(bytes, packetOffset, ClampEnd(bytes, count), 0);
}

std::unique_ptr<TOSCBundle> TOSCBundle::UnpackAt(const QByteArray& bytes, int offset, int end,
                                                 int depth) {
    if (depth >= MaxOSCBundleDepth)
        RaiseUnreadable(QStringLiteral("bundles nested deeper than %1 at byte %2")
                            .arg(MaxOSCBundleDepth)
                            .arg(offset));
    int length = 0;
    if (!ScanString(bytes, offset, end, length))
        RaiseUnreadable(QStringLiteral("the bundle header at byte %1 has no end").arg(offset));
    int pos = int(PaddedLength(qsizetype(offset) + length));
    if (pos > end - 8)
        RaiseUnreadable(QStringLiteral("the bundle at byte %1 has no time tag").arg(offset));

    auto bundle = std::make_unique<TOSCBundle>(bytes);
    // Both halves are unsigned: seconds with the top bit set are dates from
    // 1968 on, not negative.
    const quint32 seconds = BigEndian32(bytes, pos);
    const quint32 fraction = BigEndian32(bytes, pos + 4);
    bundle->FTimeTag = double(seconds) + double(fraction) / 4294967296.0;
    pos += 8;

    while (pos < end) {
        if (pos > end - 4)
            RaiseUnreadable(QStringLiteral("the element size at byte %1 is cut off").arg(pos));
        const qint32 size = qint32(BigEndian32(bytes, pos));
        // A size of zero would never advance; a negative one would wrap back.
        if (size <= 0 || size % 4 != 0 || size > end - pos - 4)
            RaiseUnreadable(QStringLiteral("bundle element size %1 at byte %2 is not valid")
                                .arg(quint32(size))
                                .arg(pos));
        pos += 4;
        bundle->FPackets.append(
            TOSCPacket::UnpackAt(bytes, pos, pos + size, bundle->FTimeTag, depth + 1));
        pos += size;
    }
    return bundle;
}
