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

// N (not negative) and its 1 to 4 bytes of padding up to a multiple of 4.
qsizetype PaddedLength(qsizetype n) {
    return (n | 3) + 1;
}

[[noreturn]] void RaiseUnreadable(const QString& why) {
    throw CuewellError(QStringLiteral("Unreadable OSC packet: %1").arg(why));
}

// Kept out of line, so that reading does not pay for building the texts.
[[noreturn, gnu::cold, gnu::noinline]] void RaiseCutOff(char16_t tag, int at) {
    RaiseUnreadable(
        QStringLiteral("argument \"%1\" at byte %2 is cut off").arg(QString(QChar(tag))).arg(at));
}

[[noreturn, gnu::cold, gnu::noinline]] void RaiseBlobSize(qint32 size, int at) {
    RaiseUnreadable(QStringLiteral("blob size %1 at byte %2 is not valid").arg(size).arg(at));
}

[[noreturn, gnu::cold, gnu::noinline]] void RaiseUnknownTag(char16_t tag, qsizetype k) {
    RaiseUnreadable(
        QStringLiteral("unknown type tag \"%1\" at position %2").arg(QString(QChar(tag))).arg(k));
}

[[noreturn]] void RaiseOutOfRange() {
    throw CuewellError(QStringLiteral("Argument out of range"));
}

// Finds the OSC string at Offset inside [Offset, End): its length up to the
// zero byte. Returns false when no zero byte lies inside.
[[gnu::always_inline]] inline bool ScanString(const QByteArray& bytes, int offset, int end,
                                              int& length) {
    if (offset < 0 || offset >= end)
        return false;
    const char* start = bytes.constData() + offset;
    const int n = end - offset;
    // Addresses, type tags and string arguments are mostly short, and padded
    // to 4 bytes: their first words are searched 4 bytes at a time (a word
    // has a zero byte where subtracting 1 from each byte borrows), which
    // costs less than a library call.
    const int words = std::min(n / 4, 16);
    for (int w = 0; w < words; ++w) {
        const quint32 v = qFromLittleEndian<quint32>(start + 4 * w);
        if (const quint32 zero = (v - 0x01010101u) & ~v & 0x80808080u) {
            // Bytes above the first zero may be marked too; the lowest mark
            // is exact.
            length = 4 * w + std::countr_zero(zero) / 8;
            return true;
        }
    }
    const int head = 4 * words;
    const void* zero = std::memchr(start + head, 0, size_t(n - head));
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

// Bytes [Offset, Offset + N) of Buffer as a byte array that shares Buffer's
// storage rather than copying it: no allocation, and it stays valid (the
// storage is reference-counted) for as long as any copy of it lives. Only a
// buffer that cannot be shared (raw data) is copied.
QByteArray SharedSlice(QByteArray buffer, qsizetype offset, qsizetype n) {
    QByteArray::DataPointer& slice = buffer.data_ptr();
    if (!slice.d_ptr())
        return QByteArray(buffer.constData() + offset, n);
    slice.ptr += offset;
    slice.size = n;
    return buffer;
}

// Received address bytes as text: ASCII, the usual case, is widened in one
// pass; anything else is decoded as UTF-8.
QString AddressText(const char* bytes, int n) {
    QString text(n, Qt::Uninitialized);
    char16_t* out = reinterpret_cast<char16_t*>(text.data());
    for (int k = 0; k < n; ++k) {
        if (uchar(bytes[k]) >= 0x80)
            return QString::fromUtf8(bytes, n);
        out[k] = uchar(bytes[k]);
    }
    return text;
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
        // Checked apart: a null text does not "start with" an empty view.
        if (alternative.isEmpty() || text.startsWith(alternative))
            lengths.append(alternative.size());
        if (comma < 0)
            break;
        start = comma + 1;
    }
    return lengths;
}

namespace {

// Text positions 0..n as bits, 64 to a word.
using Word = quint64;
constexpr qsizetype WordBits = 64;

Word BitsFrom(int bit) {
    return ~Word(0) << bit;
}

// The distinct characters of the text, sorted, so that a set or an
// alternative is looked up once per construct rather than once per position.
class TextChars {
public:
    explicit TextChars(QStringView text) {
        FChars.append(text.utf16(), text.size());
        std::sort(FChars.begin(), FChars.end());
        FChars.resize(std::unique(FChars.begin(), FChars.end()) - FChars.begin());
        std::fill(std::begin(FAscii), std::end(FAscii), -1);
        for (qsizetype k = 0; k < FChars.size() && FChars[k] < 128; ++k) {
            FAscii[FChars[k]] = int(k);
            FAsciiBits[FChars[k] / 64] |= Word(1) << (FChars[k] % 64);
        }
        // Where each character stands, for texts of one word of positions.
        if (text.size() < WordBits) {
            FWhere.resize(FChars.size());
            std::fill(FWhere.begin(), FWhere.end(), 0);
            for (qsizetype t = 0; t < text.size(); ++t)
                FWhere[Index(text[t].unicode())] |= Word(1) << t;
        }
    }
    qsizetype Count() const { return FChars.size(); }
    char16_t At(qsizetype k) const { return FChars[k]; }
    // Index of C among the text's characters; -1 when the text lacks it.
    qsizetype Index(char16_t c) const {
        if (c < 128)
            return FAscii[c];
        const auto it = std::lower_bound(FChars.begin(), FChars.end(), c);
        return it != FChars.end() && *it == c ? it - FChars.begin() : -1;
    }
    // Index of the first character not below C (Count() when none).
    qsizetype LowerBound(char16_t c) const {
        return std::lower_bound(FChars.begin(), FChars.end(), c) - FChars.begin();
    }
    // The ASCII characters of the text as 128 bits.
    const Word* AsciiBits() const { return FAsciiBits; }
    // The positions of character Index (texts under 64 characters), or all.
    Word Where(qsizetype index) const { return FWhere.isEmpty() ? ~Word(0) : FWhere[index]; }

private:
    QVarLengthArray<char16_t, 32> FChars;
    int FAscii[128];
    Word FAsciiBits[2] = {0, 0};
    QVarLengthArray<Word, 32> FWhere;
};

// The first C in Text from From on, or -1: a plain loop, since most
// constructs are short and a library call per construct costs more.
qsizetype Find(QStringView text, qsizetype from, char16_t c) {
    const char16_t* s = text.utf16();
    for (qsizetype k = from, n = text.size(); k < n; ++k)
        if (s[k] == c)
            return k;
    return -1;
}

// The 128 bits of the ASCII characters from A to B (both below 128).
void AsciiRange(char16_t a, char16_t b, Word* bits) {
    for (int w = 0; w < 2; ++w) {
        const int from = std::max(int(a) - 64 * w, 0), to = std::min(int(b) - 64 * w, 63);
        bits[w] = from > to ? 0 : (~Word(0) >> (63 - to)) & BitsFrom(from);
    }
}

// Which of the text's characters a "[...]" set takes: one pass over the set,
// each text character marked once; an element that can mark nothing new (an
// ASCII one whose characters are marked or absent, one outside the text's
// span) is passed over at once.
class SetMembers {
public:
    SetMembers(const TextChars& chars, QStringView set) : FChars(chars) {
        const qsizetype d = chars.Count();
        FNext.resize(d + 1);
        for (qsizetype k = 0; k <= d; ++k)
            FNext[k] = k;
        FNegated = !set.isEmpty() && set.front() == u'!';
        if (FNegated)
            set = set.mid(1);
        if (d == 0)
            return;
        Word ascii[2] = {chars.AsciiBits()[0], chars.AsciiBits()[1]};
        const char16_t lowest = chars.At(0), highest = chars.At(d - 1);
        const char16_t* s = set.utf16();
        const qsizetype n = set.size();
        qsizetype left = d;
        for (qsizetype k = 0; k < n && left > 0;) {
            char16_t a = s[k], b = s[k];
            if (k + 2 < n && s[k + 1] == u'-') {
                b = s[k + 2];
                k += 3;
            } else {
                ++k;
            }
            if (b < lowest || a > highest || a > b)
                continue;
            if (b < 128) {
                Word range[2];
                AsciiRange(a, b, range);
                if (!(ascii[0] & range[0]) && !(ascii[1] & range[1]))
                    continue;
                ascii[0] &= ~range[0];
                ascii[1] &= ~range[1];
            }
            qsizetype i = a == b ? chars.Index(a) : chars.LowerBound(a);
            if (i < 0)
                continue;
            for (i = Unmarked(i); i < d && chars.At(i) <= b; i = Unmarked(i + 1)) {
                FNext[i] = i + 1;
                --left;
            }
        }
    }
    bool Takes(char16_t c) const {
        const qsizetype i = FChars.Index(c);
        return (i >= 0 && FNext[i] != i) != FNegated;
    }

private:
    // The first unmarked index from I on, halving the paths it walks.
    qsizetype Unmarked(qsizetype i) {
        while (FNext[i] != i) {
            FNext[i] = FNext[FNext[i]];
            i = FNext[i];
        }
        return i;
    }

    const TextChars& FChars;
    // FNext[i] == i: character i not taken; otherwise a later index to try.
    QVarLengthArray<qsizetype, 32> FNext;
    bool FNegated = false;
};

} // namespace

bool PatternMatches(QStringView pattern, QStringView text) {
    // Reach holds the text positions the pattern read so far can end at;
    // each construct maps it to Next. Only words [lo, hi] of Reach can be
    // non-zero. Every step costs the pattern characters it reads plus the
    // reachable positions, so a datagram's pattern costs at most its length
    // times the text's.
    const qsizetype n = text.size();
    const char16_t* t16 = text.utf16();
    const qsizetype words = n / WordBits + 1;
    QVarLengthArray<Word, 8> buffers(2 * words);
    std::fill(buffers.begin(), buffers.end(), 0);
    Word* reach = buffers.data();
    Word* next = reach + words;
    reach[0] = 1;
    qsizetype lo = 0, hi = 0;
    // The highest word of Next written in this step.
    qsizetype top = 0;
    const TextChars chars(text);

    auto set = [&](qsizetype t) {
        next[t / WordBits] |= Word(1) << (t % WordBits);
        top = std::max(top, t / WordBits);
    };
    auto test = [&](const Word* bits, qsizetype t) {
        return (bits[t / WordBits] >> (t % WordBits)) & 1;
    };
    // Calls F for each reachable position up to Last.
    auto forEach = [&](qsizetype last, auto&& f) {
        for (qsizetype w = lo; w <= hi && w * WordBits <= last; ++w) {
            Word bits = reach[w];
            if (w == last / WordBits && last % WordBits != WordBits - 1)
                bits &= ~BitsFrom(int(last % WordBits + 1));
            while (bits) {
                f(w * WordBits + std::countr_zero(bits));
                bits &= bits - 1;
            }
        }
    };
    // The 64 bits of Next from position P on.
    auto nextFrom = [&](qsizetype p) -> Word {
        const qsizetype w = p / WordBits;
        const int shift = int(p % WordBits);
        Word bits = w < words ? next[w] >> shift : 0;
        if (shift && w + 1 < words)
            bits |= next[w + 1] << (WordBits - shift);
        return bits;
    };
    auto lowest = [&]() -> qsizetype {
        for (qsizetype w = lo; w <= hi; ++w)
            if (reach[w])
                return w * WordBits + std::countr_zero(reach[w]);
        return n + 1;
    };

    qsizetype p = 0;
    while (p < pattern.size()) {
        top = lo;
        const char16_t c = pattern[p].unicode();
        if (c == u'*') {
            while (p < pattern.size() && pattern[p] == u'*')
                ++p;
            // Every position from the first reachable one to the end.
            const qsizetype from = lowest();
            next[from / WordBits] = BitsFrom(int(from % WordBits));
            for (qsizetype w = from / WordBits + 1; w < words; ++w)
                next[w] = ~Word(0);
            if (n % WordBits != WordBits - 1)
                next[words - 1] &= ~BitsFrom(int(n % WordBits + 1));
            top = words - 1;
        } else if (c == u'[') {
            const qsizetype close = Find(pattern, p + 1, u']');
            if (close < 0)
                return false;
            const SetMembers members(chars, pattern.mid(p + 1, close - p - 1));
            forEach(n - 1, [&](qsizetype t) {
                if (members.Takes(t16[t]))
                    set(t + 1);
            });
            p = close + 1;
        } else if (c == u'{') {
            const qsizetype close = Find(pattern, p + 1, u'}');
            if (close < 0)
                return false;
            // The body is split once; an alternative longer than the rest of
            // the text, or beginning with a character the text lacks, is
            // skipped at once, and one that can reach no position not yet
            // reached (a repeat of one that matched, every empty one after
            // the first) is skipped without comparing.
            const QStringView body = pattern.mid(p + 1, close - p - 1);
            const qsizetype room = n - lowest();
            bool emptyDone = false;
            const char16_t* b16 = body.utf16();
            const qsizetype bodySize = body.size();
            for (qsizetype start = 0; start <= bodySize;) {
                // A plain loop: alternatives are short, and a call per comma
                // costs more than the scan.
                qsizetype comma = start;
                while (comma < bodySize && b16[comma] != u',')
                    ++comma;
                const QStringView alternative = body.mid(start, comma - start);
                start = comma + 1;
                const qsizetype length = alternative.size();
                if (length == 0) {
                    if (!emptyDone)
                        for (qsizetype w = lo; w <= hi; ++w)
                            next[w] |= reach[w];
                    top = std::max(top, hi);
                    emptyDone = true;
                    // The empty alternatives that follow are the same one.
                    while (start < bodySize && b16[start] == u',')
                        ++start;
                    continue;
                }
                if (length > room)
                    continue;
                const qsizetype first = chars.Index(alternative[0].unicode());
                if (first < 0)
                    continue;
                const Word where = chars.Where(first);
                const qsizetype last = n - length;
                for (qsizetype w = lo; w <= hi && w * WordBits <= last; ++w) {
                    Word bits = reach[w] & where & ~nextFrom(w * WordBits + length);
                    if (w == last / WordBits && last % WordBits != WordBits - 1)
                        bits &= ~BitsFrom(int(last % WordBits + 1));
                    while (bits) {
                        const qsizetype t = w * WordBits + std::countr_zero(bits);
                        bits &= bits - 1;
                        if (text.mid(t, length) == alternative)
                            set(t + length);
                    }
                }
            }
            p = close + 1;
        } else if (c == u']' || c == u'}') {
            return false;
        } else {
            const bool any = c == u'?';
            forEach(n - 1, [&](qsizetype t) {
                if (any || t16[t] == c)
                    set(t + 1);
            });
            ++p;
        }
        // Next becomes Reach; its non-zero words lie from lo on.
        qsizetype nlo = -1, nhi = -1;
        for (qsizetype w = lo; w <= top; ++w) {
            if (next[w]) {
                if (nlo < 0)
                    nlo = w;
                nhi = w;
            }
        }
        for (qsizetype w = lo; w <= hi; ++w)
            reach[w] = 0;
        if (nlo < 0)
            return false;
        std::swap(reach, next);
        lo = nlo;
        hi = nhi;
    }
    return test(reach, n);
}

// --- TOSCPacket -----------------------------------------------------------

QByteArray TOSCPacket::ToOSCBytes() const {
    QByteArray out(OSCByteSize(), Qt::Uninitialized);
    WriteOSCBytes(out.data());
    return out;
}

TOSCReceived TOSCPacket::Unpack(const QByteArray& bytes, qint64 count) {
    if (count > MaxOSCData)
        RaiseUnreadable(QStringLiteral("%1 bytes is too large").arg(count));
    return TOSCReceived(bytes, 0, ClampEnd(bytes, count), 0);
}

TOSCReceived TOSCPacket::Unpack(const QByteArray& bytes, int offset, int count, double timeTag) {
    return TOSCReceived(bytes, offset, ClampEnd(bytes, count), timeTag);
}

TOSCReceived::TOSCReceived(const QByteArray& bytes, int offset, int end, double timeTag) {
    if (offset < 0 || offset >= end)
        RaiseUnreadable(QStringLiteral("no packet at byte %1").arg(offset));
    if (bytes.at(offset) == '#')
        FBundle.emplace(bytes).ReadAt(offset, end, 0);
    else
        FMessage.emplace(bytes).ReadAt(offset, end, timeTag);
}

// --- TOSCMessage ----------------------------------------------------------

TOSCMessage::TOSCMessage(const QString& address) : FAddress(address) {
    FTypeTags.append(',');
}

void TOSCMessage::OwnTypeTags() {
    if (FTagsLength < 0)
        return;
    FTypeTags.clear();
    FTypeTags.append(FBytes.constData() + FTagsOffset, FTagsLength);
    FTagsLength = -1;
}

void TOSCMessage::AddInteger(qint32 value) {
    OwnTypeTags();
    FTypeTags.append('i');
    FArguments.append(OSCIntBytes(value));
}

void TOSCMessage::AddFloat(float value) {
    OwnTypeTags();
    FTypeTags.append('f');
    FArguments.append(OSCFloatBytes(value));
}

void TOSCMessage::AddString(const QByteArray& value) {
    OwnTypeTags();
    FTypeTags.append('s');
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
    qsizetype size = HasReceivedAddress() ? PaddedLength(FAddressLength) : OSCStringSize(FAddress);
    size += PaddedLength(TagBytes().size());
    if (!FReceived.isEmpty())
        size += FArgumentsEnd - FArgumentsOffset;
    for (const QByteArray& argument : FArguments)
        size += argument.size();
    return size;
}

char* TOSCMessage::WriteOSCBytes(char* out) const {
    // A received message goes back out as the bytes it came in.
    out = HasReceivedAddress()
              ? WriteOSCString(out, FBytes.constData() + FAddressOffset, FAddressLength)
              : WriteOSCString(out, FAddress);
    const QByteArrayView tags = TagBytes();
    out = WriteOSCString(out, tags.data(), tags.size());
    if (!FReceived.isEmpty()) {
        const qsizetype n = FArgumentsEnd - FArgumentsOffset;
        std::memcpy(out, FBytes.constData() + FArgumentsOffset, size_t(n));
        out += n;
    }
    for (const QByteArray& argument : FArguments) {
        std::memcpy(out, argument.constData(), size_t(argument.size()));
        out += argument.size();
    }
    return out;
}

TOSCMessage* TOSCMessage::MatchAddress(const QString& address) {
    if (FMatched)
        return nullptr;
    bool matches = false;
    if (HasReceivedAddress() && FAddressLength <= 256) {
        // The usual received address is short ASCII: widened on the stack,
        // it is matched without building a text.
        const char* raw = FBytes.constData() + FAddressOffset;
        char16_t wide[256];
        bool ascii = true;
        for (int k = 0; k < FAddressLength; ++k) {
            ascii = ascii && uchar(raw[k]) < 0x80;
            wide[k] = uchar(raw[k]);
        }
        matches = ascii ? PatternMatches(QStringView(wide, FAddressLength), address)
                        : PatternMatches(Address(), address);
    } else {
        matches = PatternMatches(Address(), address);
    }
    if (!matches)
        return nullptr;
    FMatched = true;
    return this;
}

void TOSCMessage::Unmatch() {
    FMatched = false;
}

TOSCMessage TOSCMessage::Unpack(const QByteArray& bytes, qint64 count) {
    if (count > MaxOSCData)
        RaiseUnreadable(QStringLiteral("%1 bytes is too large").arg(count));
    TOSCMessage message(bytes);
    message.ReadAt(0, ClampEnd(bytes, count), 0);
    return message;
}

TOSCMessage TOSCMessage::Unpack(const QByteArray& bytes, int packetOffset, int count,
                                double timeTag) {
    TOSCMessage message(bytes);
    message.ReadAt(packetOffset, ClampEnd(bytes, count), timeTag);
    return message;
}

void TOSCMessage::ReadAt(int offset, int end, double timeTag) {
    int length = 0;
    if (!ScanString(FBytes, offset, end, length))
        RaiseUnreadable(QStringLiteral("the address at byte %1 has no end").arg(offset));
    const qsizetype next = PaddedLength(qsizetype(offset) + length);
    if (next > end)
        RaiseUnreadable(QStringLiteral("the address at byte %1 is cut off").arg(offset));
    FAddressOffset = offset;
    FAddressLength = length;
    FTimeTag = timeTag;
    FTypeTagOffset = int(next);
    FEnd = end;
}

QString TOSCMessage::Address() const {
    if (!HasReceivedAddress())
        return FAddress;
    return AddressText(FBytes.constData() + FAddressOffset, FAddressLength);
}

namespace {

// The size of a number's data for its type tag; 0 for any other tag.
int NumberSize(char16_t tag) {
    switch (tag) {
    case u'i':
    case u'f':
    case u'c':
    case u'r':
    case u'm':
        return 4;
    case u'h':
    case u't':
    case u'd':
        return 8;
    default:
        return 0;
    }
}

} // namespace

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

    if (!FReceived.isEmpty() || !FArguments.isEmpty()) {
        // Arguments added before decoding give way to the received ones.
        FReceived.clear();
        FArguments.clear();
        FTypeTags.clear();
        FTypeTags.append(',');
    }
    const char* raw = FBytes.constData() + pos;
    const int tagsOffset = pos;
    const int tagsLength = length;
    bool ascii = true;
    for (int k = 0; k < tagsLength; ++k)
        ascii = ascii && uchar(raw[k]) < 0x80;
    // Tags other than ASCII are read as text, as they are shown. Every
    // argument's tag is ASCII (any other is unknown), so only the first
    // character can take more than one byte.
    QString text;
    if (!ascii)
        text = QString::fromUtf8(raw, tagsLength);
    const qsizetype tagCount = ascii ? tagsLength : text.size();
    pos = int(PaddedLength(qsizetype(pos) + tagsLength));
    FArgumentsOffset = pos;

    // The arguments are only located: strings and blobs are read where they
    // lie, numbers when asked for. A rejected message keeps no arguments.
    try {
        for (qsizetype k = 1; k < tagCount; ++k) {
            const char16_t tag = ascii ? char16_t(uchar(raw[k])) : text[k].unicode();
            const int at = pos;
            switch (tag) {
            case u's':
            case u'S': {
                if (!ScanString(FBytes, pos, end, length) ||
                    PaddedLength(qsizetype(pos) + length) > end)
                    RaiseCutOff(tag, at);
                FReceived.append({pos, length});
                pos = int(PaddedLength(qsizetype(pos) + length));
                break;
            }
            case u'i':
            case u'f':
            case u'c':
            case u'r':
            case u'm':
                if (pos > end - 4)
                    RaiseCutOff(tag, at);
                FReceived.append({pos, 4});
                pos += 4;
                break;
            case u'h':
            case u't':
            case u'd':
                if (pos > end - 8)
                    RaiseCutOff(tag, at);
                FReceived.append({pos, 8});
                pos += 8;
                break;
            case u'b': {
                if (pos > end - 4)
                    RaiseCutOff(tag, at);
                const qint32 size = qint32(BigEndian32(FBytes, pos));
                if (size < 0 || size > end - pos - 4)
                    RaiseBlobSize(size, at);
                const int data = pos + 4;
                const qsizetype after = qsizetype(data) + size + (4 - size % 4) % 4;
                if (after > end)
                    RaiseCutOff(tag, at);
                FReceived.append({data, size});
                pos = int(after);
                break;
            }
            case u'T':
            case u'F':
            case u'N':
            case u'I':
            case u'[':
            case u']':
                FReceived.append({pos, 0});
                break;
            default:
                RaiseUnknownTag(tag, k);
            }
        }
    } catch (...) {
        FReceived.clear();
        throw;
    }
    if (ascii) {
        // The tags stay where they were received.
        FTagsOffset = tagsOffset;
        FTagsLength = tagsLength;
    } else {
        const QByteArray utf8 = text.toUtf8();
        FTypeTags.clear();
        FTypeTags.append(utf8.constData(), utf8.size());
    }
    FArgumentsEnd = pos;
    FIsDecoded = true;
}

QByteArray TOSCMessage::GetArgument(int index) const {
    if (index < 0 || index >= ArgumentCount())
        RaiseOutOfRange();
    if (index >= FReceived.size())
        return FArguments[index - FReceived.size()];
    const TReceivedArgument& argument = FReceived[index];
    const char tag = Tag(index);
    if (NumberSize(tag) > 0)
        return Reversed(FBytes, argument.Offset, argument.Size);
    if (tag == u's' || tag == u'S' || tag == u'b')
        return SharedSlice(FBytes, argument.Offset, argument.Size);
    return QByteArray(); // a data-less tag
}

QByteArrayView TOSCMessage::AddedArgumentData(int index) const {
    if (index < FReceived.size() || index >= ArgumentCount())
        RaiseOutOfRange();
    // Added arguments are wire bytes: a string without its padding.
    const QByteArray& added = FArguments[index - FReceived.size()];
    if (Tag(index) == 's')
        return QByteArrayView(added.constData(), OSCTextLength(added.constData(), added.size()));
    return added;
}

qint32 TOSCMessage::GetArgumentAsInt(int index) const {
    if (index < 0 || index >= ArgumentCount())
        RaiseOutOfRange();
    const char* element = nullptr;
    qsizetype size = 0;
    if (index < FReceived.size()) {
        const TReceivedArgument& argument = FReceived[index];
        // A number's element is its bytes reversed: its first 4 are the
        // last 4 sent, least significant first.
        if (NumberSize(uchar(Tag(index))) > 0)
            return qint32(BigEndian32(FBytes, argument.Offset + argument.Size - 4));
        element = FBytes.constData() + argument.Offset;
        size = argument.Size;
    } else {
        const QByteArray& added = FArguments[index - FReceived.size()];
        element = added.constData();
        size = added.size();
    }
    quint32 v = 0;
    const qsizetype n = std::min<qsizetype>(size, 4);
    for (qsizetype k = 0; k < n; ++k)
        v |= quint32(uchar(element[k])) << (8 * k);
    return qint32(v);
}

float TOSCMessage::GetArgumentAsFloat(int index) const {
    return std::bit_cast<float>(GetArgumentAsInt(index));
}

QString TOSCMessage::GetTypeTag(int index) const {
    if (index < 0 || index >= ArgumentCount())
        RaiseOutOfRange();
    return QString(QLatin1Char(Tag(index)));
}

// --- TOSCBundle -----------------------------------------------------------

void TOSCBundle::Add(std::unique_ptr<TOSCPacket> packet) {
    if (packet)
        FPackets.emplace_back(std::move(packet));
}

void TOSCBundle::RaiseNoPacket() {
    RaiseOutOfRange();
}

// "#bundle", its zero, and the time tag 1 (immediately).
static constexpr char BundleHeader[16] = {'#', 'b', 'u', 'n', 'd', 'l', 'e', 0,
                                          0,   0,   0,   0,   0,   0,   0,   1};

qsizetype TOSCBundle::OSCByteSize() const {
    qsizetype size = sizeof BundleHeader;
    for (const TElement& packet : FPackets)
        size += 4 + Get(packet)->OSCByteSize();
    return size;
}

char* TOSCBundle::WriteOSCBytes(char* out) const {
    std::memcpy(out, BundleHeader, sizeof BundleHeader);
    out += sizeof BundleHeader;
    for (const TElement& packet : FPackets) {
        char* end = Get(packet)->WriteOSCBytes(out + 4);
        qToBigEndian(quint32(end - out - 4), out);
        out = end;
    }
    return out;
}

TOSCMessage* TOSCBundle::MatchAddress(const QString& address) {
    for (const TElement& packet : FPackets)
        if (TOSCMessage* m = Get(packet)->MatchAddress(address))
            return m;
    return nullptr;
}

void TOSCBundle::Unmatch() {
    for (const TElement& packet : FPackets)
        Get(packet)->Unmatch();
}

TOSCBundle TOSCBundle::Unpack(const QByteArray& bytes, qint64 count) {
    if (count > MaxOSCData)
        RaiseUnreadable(QStringLiteral("%1 bytes is too large").arg(count));
    TOSCBundle bundle(bytes);
    bundle.ReadAt(0, ClampEnd(bytes, count), 0);
    return bundle;
}

TOSCBundle TOSCBundle::Unpack(const QByteArray& bytes, int packetOffset, int count,
                              double /*timeTag*/) {
    TOSCBundle bundle(bytes);
    bundle.ReadAt(packetOffset, ClampEnd(bytes, count), 0);
    return bundle;
}

void TOSCBundle::ReadAt(int offset, int end, int depth) {
    if (depth >= MaxOSCBundleDepth)
        RaiseUnreadable(QStringLiteral("bundles nested deeper than %1 at byte %2")
                            .arg(MaxOSCBundleDepth)
                            .arg(offset));
    int length = 0;
    if (!ScanString(FBytes, offset, end, length))
        RaiseUnreadable(QStringLiteral("the bundle header at byte %1 has no end").arg(offset));
    int pos = int(PaddedLength(qsizetype(offset) + length));
    if (pos > end - 8)
        RaiseUnreadable(QStringLiteral("the bundle at byte %1 has no time tag").arg(offset));

    // Both halves are unsigned: seconds with the top bit set are dates from
    // 1968 on, not negative.
    const quint32 seconds = BigEndian32(FBytes, pos);
    const quint32 fraction = BigEndian32(FBytes, pos + 4);
    FTimeTag = double(seconds) + double(fraction) / 4294967296.0;
    pos += 8;

    while (pos < end) {
        if (pos > end - 4)
            RaiseUnreadable(QStringLiteral("the element size at byte %1 is cut off").arg(pos));
        const qint32 size = qint32(BigEndian32(FBytes, pos));
        // A size of zero would never advance; a negative one would wrap back.
        if (size <= 0 || size % 4 != 0 || size > end - pos - 4)
            RaiseUnreadable(QStringLiteral("bundle element size %1 at byte %2 is not valid")
                                .arg(quint32(size))
                                .arg(pos));
        pos += 4;
        // An element is read where it will stay: a message in place, a
        // nested bundle (bounded by the depth) on the heap.
        if (FBytes.at(pos) == '#') {
            auto inner = std::make_unique<TOSCBundle>(FBytes);
            inner->ReadAt(pos, pos + size, depth + 1);
            FPackets.emplace_back(std::move(inner));
        } else {
            auto& message = std::get<TOSCMessage>(
                FPackets.emplace_back(std::in_place_type<TOSCMessage>, FBytes));
            message.ReadAt(pos, pos + size, FTimeTag);
        }
        pos += size;
    }
}
