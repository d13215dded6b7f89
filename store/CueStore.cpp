#include "store/CueStore.h"

#include "app/Errors.h"
#include "store/Ascii.h"
#include "store/KeyValueFile.h"
#include "store/KeyValueLines.h"

#include <QVarLengthArray>
#include <algorithm>
#include <bit>
#include <cfenv>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

arStr SplitByChar(const QByteArray& text, char delimiter) {
    arStr fields;
    qsizetype pos = 0;
    do {
        const qsizetype found = text.indexOf(delimiter, pos);
        if (found < 0) {
            fields.append(text.mid(pos));
            break;
        }
        fields.append(text.mid(pos, found - pos));
        pos = found + 1;
    } while (pos < text.size());
    return fields;
}

arStr SplitRecord(const CueRecord& record) {
    // A text without any "|" holds no field of a cue: read it as a cue with
    // every field empty rather than as a position.
    if (!record.contains(u'|'))
        return arStr(5);
    arStr fields = SplitByChar(record.toUtf8(), '|');
    while (fields.size() < 5)
        fields.append(QByteArray());
    return fields;
}

QByteArray FieldOf(const arStr& fields, int index) {
    if (index < 0 || index >= fields.size())
        return QByteArray();
    return fields[index];
}

namespace {

// Rounds halves to even whatever rounding mode the process was left in.
double NearbyHalfEven(double value) {
    const int oldMode = std::fegetround();
    if (oldMode == FE_TONEAREST)
        return std::nearbyint(value);
    std::fesetround(FE_TONEAREST);
    const double rounded = std::nearbyint(value);
    std::fesetround(oldMode);
    return rounded;
}

} // namespace

int RoundHalfEven(double value) {
    if (std::isnan(value))
        return 0;
    const double rounded = NearbyHalfEven(value);
    // Saturate rather than overflow: a pixel value never gets near the limits.
    if (rounded >= double(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    if (rounded <= double(std::numeric_limits<int>::min()))
        return std::numeric_limits<int>::min();
    return int(rounded);
}

double RoundFraction(double value, int scale) {
    return NearbyHalfEven(value * scale) / scale;
}

QString FormatFraction(double value, const QLocale& locale) {
    if (!std::isfinite(value))
        RaiseConvertError(QString::number(value), "floating point");
    // 15 significant digits in scientific form, independent of the C locale.
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific, 14);
    const std::string_view text(buffer, result.ptr - buffer);
    const size_t ePos = text.find('e');
    bool negative = false;
    std::string digits;
    for (char c : text.substr(0, ePos)) {
        if (c == '-')
            negative = true;
        else if (c >= '0' && c <= '9')
            digits += c;
    }
    int exponent = 0;
    std::from_chars(text.data() + ePos + 1 + (text[ePos + 1] == '+' ? 1 : 0),
                    text.data() + text.size(), exponent);
    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();
    if (digits == "0")
        return QStringLiteral("0"); // also for -0

    // digits is d1 d2 d3 ... with the value 0.d1d2d3... x 10^(exponent + 1).
    const int pointPos = exponent + 1;
    const QString separator = locale.decimalPoint();
    QString out;
    if (negative)
        out += u'-';
    const QString d = QString::fromLatin1(digits.data(), qsizetype(digits.size()));
    if (pointPos <= 0) {
        out += u'0' + separator + QString(-pointPos, u'0') + d;
    } else if (pointPos >= d.size()) {
        out += d + QString(pointPos - d.size(), u'0');
    } else {
        out += d.left(pointPos) + separator + d.mid(pointPos);
    }
    return out;
}

namespace {

bool IsAsciiDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

// Powers of ten that a double holds exactly.
constexpr double ExactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                       1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                       1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int MaxExactPower = 22;
constexpr int MaxExactDigits = 15; // below 2^53

// Reads sign, digits, the locale's separator, digits and an optional
// exponent; nothing else (no group separators, no other separator).
std::optional<double> TryParseFraction(QStringView text, QStringView separator,
                                       QStringView negativeSign) {
    const QStringView s = text.trimmed();
    QVarLengthArray<char, 64> plain; // the number with "." as separator, for a C-locale parse
    // The same number as digits x 10^scale, while that is exact.
    std::uint64_t digits = 0;
    int significant = 0;
    int scale = 0;
    bool negative = false;
    qsizetype i = 0;
    const qsizetype n = s.size();
    if (i < n && (s[i] == u'-' || s[i] == u'+')) {
        negative = s[i] == u'-';
        plain.append(char(s[i].unicode()));
        ++i;
    } else if (!negativeSign.isEmpty() && negativeSign != u"-" &&
               s.sliced(i).startsWith(negativeSign)) {
        negative = true;
        plain.append('-');
        i += negativeSign.size();
    }
    auto digit = [&](QChar c, bool fraction) {
        plain.append(char(c.unicode()));
        const int d = c.unicode() - u'0';
        if (significant > 0 || d != 0) {
            digits = digits * 10 + std::uint64_t(d);
            ++significant;
        }
        if (fraction)
            --scale;
    };
    int mantissaDigits = 0;
    while (i < n && IsAsciiDigit(s[i])) {
        digit(s[i], false);
        ++i;
        ++mantissaDigits;
    }
    if (!separator.isEmpty() && i < n && s[i] == separator[0] &&
        s.sliced(i).startsWith(separator)) {
        plain.append('.');
        i += separator.size();
        while (i < n && IsAsciiDigit(s[i])) {
            digit(s[i], true);
            ++i;
            ++mantissaDigits;
        }
    }
    if (mantissaDigits == 0)
        return std::nullopt;
    bool exact = significant <= MaxExactDigits;
    if (i < n && (s[i] == u'e' || s[i] == u'E')) {
        plain.append('e');
        ++i;
        bool exponentNegative = false;
        if (i < n && (s[i] == u'-' || s[i] == u'+')) {
            exponentNegative = s[i] == u'-';
            plain.append(char(s[i].unicode()));
            ++i;
        }
        int exponentDigits = 0;
        int exponent = 0;
        while (i < n && IsAsciiDigit(s[i])) {
            plain.append(char(s[i].unicode()));
            if (exponent < 10000)
                exponent = exponent * 10 + (s[i].unicode() - u'0');
            ++i;
            ++exponentDigits;
        }
        if (exponentDigits == 0)
            return std::nullopt;
        scale += exponentNegative ? -exponent : exponent;
    }
    if (i != n)
        return std::nullopt;
    // Digits and power of ten both exact: one correctly rounded operation
    // gives the double a full parse gives.
    if (exact && scale >= -MaxExactPower && scale <= MaxExactPower) {
        double value = double(digits);
        value = scale < 0 ? value / ExactPowersOfTen[-scale] : value * ExactPowersOfTen[scale];
        return negative ? -value : value;
    }
    bool ok = false;
    const double value = QByteArrayView(plain.constData(), plain.size()).toDouble(&ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<double> TryParseFraction(const QString& text, const QLocale& locale) {
    return TryParseFraction(text, locale.decimalPoint(), locale.negativeSign());
}

} // namespace

double ParseFraction(const QString& text, const QLocale& locale) {
    const std::optional<double> value = TryParseFraction(text, locale);
    if (!value)
        RaiseConvertError(text, "floating point");
    return *value;
}

bool ParseBoolField(const QString& text) {
    // The flags a cue file holds ("0", "-1") are read without the locale,
    // which takes a while to look up when the prompt moves: a few digits with
    // an optional sign read the same in every locale.
    const QStringView trimmed = QStringView(text).trimmed();
    const QStringView digits = !trimmed.isEmpty() && (trimmed[0] == u'-' || trimmed[0] == u'+')
                                   ? trimmed.sliced(1)
                                   : trimmed;
    if (!digits.isEmpty() && digits.size() <= MaxExactDigits &&
        std::all_of(digits.begin(), digits.end(), IsAsciiDigit))
        return std::any_of(digits.begin(), digits.end(), [](QChar c) { return c != u'0'; });
    if (const std::optional<double> number = TryParseFraction(text, QLocale()))
        return *number != 0;
    const QString word = text.trimmed();
    if (word.compare(u"true", Qt::CaseInsensitive) == 0)
        return true;
    if (word.compare(u"false", Qt::CaseInsensitive) == 0)
        return false;
    RaiseConvertError(text, "boolean");
}

namespace {

void CheckViewSize(int viewHeight, int viewWidth) {
    // A view without size would store inf or nan, which no reader can parse.
    if (viewHeight <= 0 || viewWidth <= 0)
        throw CuewellError(
            QStringLiteral("The page view has no size (%1 x %2)").arg(viewWidth).arg(viewHeight));
}

} // namespace

CueRecord NewCueRecord(int pinTop, int pinLeft, int viewHeight, int viewWidth,
                       const QLocale& locale) {
    CheckViewSize(viewHeight, viewWidth);
    const double top = RoundFraction(double(pinTop) / viewHeight, 100);
    const double left = RoundFraction(double(pinLeft) / viewWidth, 100);
    return FormatFraction(top, locale) + u'|' + FormatFraction(left, locale) +
           QStringLiteral("||0||");
}

CueRecord MovedCueRecord(int pinTop, int pinLeft, int viewHeight, int viewWidth,
                         const arStr& fields, const QLocale& locale) {
    CheckViewSize(viewHeight, viewWidth);
    const double top = RoundFraction(double(pinTop) / viewHeight, 1000);
    const double left = RoundFraction(double(pinLeft) / viewWidth, 1000);
    return FormatFraction(top, locale) + u'|' + FormatFraction(left, locale) + u'|' +
           Utf8Text(FieldOf(fields, cfMessage)) + u'|' + Utf8Text(FieldOf(fields, cfAutoplay)) +
           u'|' + Utf8Text(FieldOf(fields, cfCall)) + u'|';
}

CueRecord BuildRecord(const arStr& fields, const QByteArray& message, const QByteArray& autoplay,
                      const QByteArray& call) {
    return Utf8Text(FieldOf(fields, cfTop) + '|' + FieldOf(fields, cfLeft) + '|' + message + '|' +
                    autoplay + '|' + call + '|');
}

namespace {

// Where a record's pin is, as the order sees it: the top and the left when
// they read as numbers under the user's locale, found without copies.
struct Position {
    bool topIsNumber = false;
    double top = 0;
    bool leftIsNumber = false;
    double left = 0;
};

// The number a field of the usual form gives ("0.45", "-0.5", "1"): sign,
// digits, one separator, digits, at most 15 significant digits. Nothing for
// any other form, which TryParseFraction reads (or refuses) in full; where
// both read a field they give the same double, as both compute it as
// digits / 10^places in one correctly rounded step.
// Reads one such field from p[i] up to `end` or the first "|"; false for
// any other form. `i` is left at the "|" or the end.
bool UsualFraction(const char16_t* p, qsizetype& i, qsizetype end, char16_t separator,
                   double& value) {
    bool negative = false;
    if (i < end && p[i] == u'-') {
        negative = true;
        ++i;
    }
    std::uint64_t digits = 0;
    int significant = 0;
    int places = 0;
    int count = 0;
    bool fraction = false;
    for (; i < end && p[i] != u'|'; ++i) {
        const char16_t c = p[i];
        if (c >= u'0' && c <= u'9') {
            if (significant > 0 || c != u'0') {
                digits = digits * 10 + std::uint64_t(c - u'0');
                ++significant;
            }
            places += fraction;
            ++count;
        } else if (c == separator && !fraction) {
            fraction = true;
        } else {
            return false;
        }
    }
    if (count == 0 || significant > MaxExactDigits || places > MaxExactPower)
        return false;
    value = double(digits) / ExactPowersOfTen[places];
    if (negative)
        value = -value;
    return true;
}

std::optional<double> UsualFraction(QStringView field, char16_t separator) {
    qsizetype i = 0;
    double value = 0;
    if (!UsualFraction(field.utf16(), i, field.size(), separator, value) || i != field.size())
        return std::nullopt;
    return value;
}

std::optional<double> FieldFraction(QStringView field, QStringView separator,
                                    QStringView negativeSign) {
    if (separator.size() == 1)
        if (const auto value = UsualFraction(field, separator[0].unicode()))
            return value;
    return TryParseFraction(field, separator, negativeSign);
}

Position MakePosition(const QString& text, QStringView separator, QStringView negativeSign) {
    Position at;
    // Top and left both of the usual form: read in one pass.
    if (separator.size() == 1) {
        const char16_t* p = QStringView(text).utf16();
        const qsizetype n = text.size();
        const char16_t sep = separator[0].unicode();
        qsizetype i = 0;
        if (UsualFraction(p, i, n, sep, at.top) && i < n &&
            UsualFraction(p, ++i, n, sep, at.left)) {
            at.topIsNumber = at.leftIsNumber = true;
            return at;
        }
        at = Position();
    }
    const qsizetype firstBar = text.indexOf(u'|');
    const QStringView top = firstBar < 0 ? QStringView(text) : QStringView(text).first(firstBar);
    if (const auto value = FieldFraction(top, separator, negativeSign)) {
        at.topIsNumber = true;
        at.top = *value;
        QStringView left;
        if (firstBar >= 0) {
            const qsizetype secondBar = text.indexOf(u'|', firstBar + 1);
            left = QStringView(text).sliced(
                firstBar + 1, (secondBar < 0 ? text.size() : secondBar) - firstBar - 1);
        }
        if (const auto leftValue = FieldFraction(left, separator, negativeSign)) {
            at.leftIsNumber = true;
            at.left = *leftValue;
        }
    }
    return at;
}

// Negative when a's position comes first, positive when b's, 0 on a tie:
// numbers before other tops, by top, then by left (a number first).
int ComparePositions(const Position& a, const Position& b) {
    if (a.topIsNumber != b.topIsNumber)
        return a.topIsNumber ? -1 : 1;
    if (a.topIsNumber) {
        if (a.top != b.top)
            return a.top < b.top ? -1 : 1;
        if (a.leftIsNumber != b.leftIsNumber)
            return a.leftIsNumber ? -1 : 1;
        if (a.leftIsNumber && a.left != b.left)
            return a.left < b.left ? -1 : 1;
    }
    return 0;
}

// The order of records: first by position (above); then the whole text,
// case-insensitive, "|" below all other punctuation and symbols, those below
// digits, digits below letters; last, code points, so that only equal texts
// compare equal. Numbers compare by value, so -0.05 comes before 0, 0 before
// 0.05, and 0.1 before 0.12 with any separator.
struct SortKey {
    Position at;
    std::vector<std::uint64_t> weights;
    QString text;
};

std::uint64_t Weight(char32_t c) {
    enum : std::uint64_t { Delimiter = 0, Symbol = 1, Digit = 2, Letter = 3 };
    std::uint64_t cls;
    std::uint64_t value = c;
    if (c == U'|') {
        cls = Delimiter;
    } else if (QChar::isDigit(c)) {
        cls = Digit;
        value = std::uint64_t(QChar::digitValue(c));
    } else if (QChar::isLetter(c)) {
        cls = Letter;
        // An accented letter sorts with its base letter.
        if (QChar::decompositionTag(c) == QChar::Canonical) {
            const QString parts = QChar::decomposition(c);
            if (!parts.isEmpty()) {
                const char32_t base = parts.toUcs4().value(0);
                if (QChar::isLetter(base))
                    c = base;
            }
        }
        value = QChar::toCaseFolded(c);
    } else {
        cls = Symbol;
    }
    return (cls << 32) | value;
}

SortKey MakeKey(const QString& text, const QLocale& locale) {
    SortKey key;
    key.text = text;
    key.at = MakePosition(text, locale.decimalPoint(), locale.negativeSign());
    const QList<uint> codes = text.toUcs4();
    key.weights.reserve(size_t(codes.size()));
    for (uint code : codes)
        key.weights.push_back(Weight(char32_t(code)));
    return key;
}

bool KeyLess(const SortKey& a, const SortKey& b) {
    if (const int order = ComparePositions(a.at, b.at))
        return order < 0;
    if (a.weights != b.weights)
        return std::lexicographical_compare(a.weights.begin(), a.weights.end(), b.weights.begin(),
                                            b.weights.end());
    return a.text < b.text;
}

} // namespace

bool CueRecordLess(const QString& a, const QString& b) {
    const QLocale locale;
    return KeyLess(MakeKey(a, locale), MakeKey(b, locale));
}

namespace {

// A number as an integer of the same order (-0 as 0; never NaN here).
quint64 OrderOf(double value) {
    const quint64 bits = std::bit_cast<quint64>(value + 0.0);
    return bits >> 63 ? ~bits : bits | (quint64(1) << 63);
}

// The row's non-empty records in file order, as pointers into the row.
size_t SortRecords(const CueRow& row, std::array<const QString*, MaxCuesPerPage>& sorted) {
    const QLocale locale;
    const QString separator = locale.decimalPoint();
    const QString negativeSign = locale.negativeSign();
    // Positions first, found without copies, as two integers that compare
    // as ComparePositions compares them: a number before any other top,
    // then by top; then a number before any other left, then by left.
    // The rare ties (two pins at one place, tops that are not numbers) fall
    // back to the full key.
    struct Keyed {
        quint64 top;
        quint64 left;
        const QString* text;
    };
    constexpr quint64 NotANumber = ~quint64(0);
    std::array<Keyed, MaxCuesPerPage> keys;
    size_t count = 0;
    for (const CueRecord& record : row) {
        if (record.isEmpty())
            continue;
        const Position at = MakePosition(record, separator, negativeSign);
        keys[count++] = Keyed{at.topIsNumber ? OrderOf(at.top) : NotANumber,
                              !at.topIsNumber   ? 0
                              : at.leftIsNumber ? OrderOf(at.left)
                                                : NotANumber,
                              &record};
    }
    const auto less = [&](const Keyed& a, const Keyed& b) {
        if (a.top != b.top)
            return a.top < b.top;
        if (a.left != b.left)
            return a.left < b.left;
        return KeyLess(MakeKey(*a.text, locale), MakeKey(*b.text, locale));
    };
    // Insertion: a page's few records take fewer mispredicted branches so
    // than in a general sort.
    for (size_t i = 1; i < count; ++i) {
        const Keyed item = keys[i];
        size_t j = i;
        for (; j > 0 && less(item, keys[j - 1]); --j)
            keys[j] = keys[j - 1];
        keys[j] = item;
    }
    for (size_t i = 0; i < count; ++i)
        sorted[i] = keys[i].text;
    return count;
}

} // namespace

QStringList SortedRecords(const CueRow& row) {
    std::array<const QString*, MaxCuesPerPage> order;
    const size_t count = SortRecords(row, order);
    QStringList sorted;
    sorted.reserve(qsizetype(count));
    for (size_t i = 0; i < count; ++i)
        sorted.append(*order[i]);
    return sorted;
}

QString CueFilePath(const QString& scriptPath) {
    const qsizetype slash = scriptPath.lastIndexOf(u'/');
    const qsizetype dot = scriptPath.lastIndexOf(u'.');
    if (dot > slash)
        return scriptPath.left(dot) + QStringLiteral(".cues");
    return scriptPath + QStringLiteral(".cues");
}

QString PageSection(int page) {
    return QStringLiteral("Page") + QString::number(page);
}

QString CueKey(int slot) {
    return QStringLiteral("Cue") + QString::number(slot);
}

namespace {

const KeyValueFile::KeyList& CueKeys() {
    static const KeyValueFile::KeyList keys = [] {
        std::array<QString, MaxCuesPerPage> names;
        for (int i = 0; i < MaxCuesPerPage; ++i)
            names[size_t(i)] = QStringLiteral("Cue") + QString::number(i);
        return KeyValueFile::KeyList(names.data(), MaxCuesPerPage);
    }();
    return keys;
}

// PageSection(page) in `buffer`, without an allocation.
QStringView PageSectionIn(int page, std::array<char16_t, 16>& buffer) {
    char digits[12];
    const auto end = std::to_chars(digits, digits + sizeof digits, page).ptr;
    qsizetype n = 0;
    for (char16_t c : {u'P', u'a', u'g', u'e'})
        buffer[size_t(n++)] = c;
    for (const char* d = digits; d != end; ++d)
        buffer[size_t(n++)] = char16_t(*d);
    return QStringView(buffer.data(), n);
}

} // namespace

void WritePageSection(KeyValueFile& file, int page, const CueRow& row) {
    // The keys after the last record are emptied (null pointers), so none
    // keeps an older record.
    std::array<const QString*, MaxCuesPerPage> order{};
    SortRecords(row, order);
    std::array<char16_t, 16> name;
    file.WriteStrings(PageSectionIn(page, name), CueKeys(), order.data());
}

void ReadPageSection(const KeyValueFile& file, int page, CueRow& row) {
    std::array<QString, MaxCuesPerPage> values;
    std::array<char16_t, 16> name;
    file.ReadStrings(PageSectionIn(page, name), CueKeys(), values.data());
    // Records fill the row from slot 0: a hand-edited gap would hide the cues after it.
    int filled = 0;
    for (QString& record : values)
        if (!record.isEmpty())
            row[size_t(filled++)] = std::move(record);
    for (; filled < MaxCuesPerPage; ++filled)
        row[size_t(filled)].clear();
}

namespace {

// "Page12" in any letter case: 12; anything else (also "Page012"): -1. No
// letter beyond ASCII folds to a letter of "page" or "cue" (only K and S have
// such), so a name with any other byte is never one of them.
template <size_t N> qint64 NumberAfter(QByteArrayView name, const char (&prefix)[N]) {
    constexpr qsizetype prefixSize = qsizetype(N) - 1;
    const qsizetype digits = name.size() - prefixSize;
    if (digits < 1 || digits > 10)
        return -1;
    for (qsizetype i = 0; i < prefixSize; ++i)
        if ((name[i] | 0x20) != prefix[i])
            return -1;
    if (digits > 1 && name[prefixSize] == '0')
        return -1;
    qint64 number = 0;
    for (qsizetype i = prefixSize; i < name.size(); ++i) {
        const char c = name[i];
        if (c < '0' || c > '9')
            return -1;
        number = number * 10 + (c - '0');
    }
    return number;
}

// Texts that share one block of UTF-16 instead of an allocation each: every
// QString made here points into the block and holds a reference to it, so the
// block lives as long as any of them. Each text is followed by a 0, as every
// QString's data is. A text that is changed is copied out first, as any
// shared QString is. The references for all texts are taken at once.
class SharedTexts {
public:
    SharedTexts(qsizetype capacity, int texts) {
        if (texts == 0)
            return; // no block at all: Qt gives none for no capacity
        auto [header, data] = QTypedArrayData<char16_t>::allocate(capacity);
        if (!header)
            qBadAlloc();
        FHeader = header;
        FData = data;
        FCapacity = capacity;
        FRefsLeft = texts;
        FHeader->ref_.fetchAndAddRelaxed(texts);
    }
    ~SharedTexts() {
        if (!FHeader)
            return;
        const int own = FRefsLeft + 1;
        if (FHeader->ref_.fetchAndSubOrdered(own) == own)
            QTypedArrayData<char16_t>::deallocate(FHeader);
    }
    SharedTexts(const SharedTexts&) = delete;
    SharedTexts& operator=(const SharedTexts&) = delete;

    // UTF-8 as a text; takes at most utf8.size() + 1 of the capacity and one
    // of the texts. Only ASCII is kept in the block; other texts are rare and
    // get their own.
    QString Add(QByteArrayView utf8) {
        Q_ASSERT(FRefsLeft > 0 && FUsed + utf8.size() + 1 <= FCapacity);
        char16_t* out = FData + FUsed;
        const qsizetype n = utf8.size();
        if (!WidenAscii(utf8.data(), n, out))
            return Utf8Text(utf8);
        out[n] = 0;
        FUsed += n + 1;
        --FRefsLeft;
        return QString(QString::DataPointer(FHeader, out, n));
    }

private:
    QTypedArrayData<char16_t>* FHeader = nullptr;
    char16_t* FData = nullptr;
    qsizetype FCapacity = 0;
    qsizetype FUsed = 0;
    int FRefsLeft = 0;
};

} // namespace

namespace {

// Bytes found in a file, left uninitialised in bulk.
struct Bytes {
    const char* data;
    qsizetype size;
};

// A page's keys as a walk over its section meets them: the first entry of
// each slot's key, and the slots that have a record.
class PageKeys {
public:
    void Start() { FSeen = FFilled = 0; }
    void Add(QByteArrayView key, QByteArrayView value, bool hasValue) {
        const qint64 slot = NumberAfter(key, "cue");
        if (slot < 0 || slot >= MaxCuesPerPage || (FSeen & (1u << slot)))
            return;
        FSeen |= 1u << slot;
        if (!hasValue || value.isEmpty())
            return;
        FValues[size_t(slot)] = value;
        FFilled |= 1u << slot;
    }
    // The page's records in slot order into `out`, their room (a 0 after
    // each) added to `units`; how many. Records fill the row from slot 0: a
    // hand-edited gap would hide the cues after it.
    int Take(Bytes* out, qsizetype& units) const {
        int count = 0;
        for (quint32 left = FFilled; left; left &= left - 1) {
            const QByteArrayView value = FValues[size_t(__builtin_ctz(left))];
            out[count++] = Bytes{value.data(), value.size()};
            units += value.size() + 1;
        }
        return count;
    }

private:
    std::array<QByteArrayView, MaxCuesPerPage> FValues;
    quint32 FSeen = 0;
    quint32 FFilled = 0;
};

} // namespace

void ReadAllPageSections(const KeyValueFile& file, TCueTable& table, qsizetype firstPage) {
    // One walk over the sections as the file lists them finds each page's
    // keys: what ReadPageSection's lookups give, first occurrence of a key
    // winning (also when that line holds no readable value). The records
    // found are kept as they lie in the file until the walk has counted
    // them, so that their block of UTF-16 is no larger than they need.
    const qsizetype pages = table.size();
    firstPage = std::max<qsizetype>(firstPage, 0);
    std::vector<bool> read(size_t(pages), false);
    // Only the places a page's records take are ever written or read.
    const auto found = std::make_unique_for_overwrite<Bytes[]>(size_t(pages) * MaxCuesPerPage);
    std::vector<quint8> counts(size_t(pages), 0);
    qsizetype units = 0;
    int records = 0;
    PageKeys keys;
    const auto takePage = [&](qint64 page) {
        const int count = keys.Take(found.get() + page * MaxCuesPerPage, units);
        counts[size_t(page)] = quint8(count);
        records += count;
    };
    // Straight from the lines while the file is as loaded; else (the file
    // was looked up or written since loading) over the index, where each
    // section's name is there once.
    qint64 page = -1;
    const bool walked = file.WalkLines(
        [&](QByteArrayView name) {
            if (page >= 0)
                takePage(page);
            page = NumberAfter(name, "page");
            // A later section of the same name (in any letter case) is left
            // out, as the index leaves it out: the first one wins.
            if (page < firstPage || page >= pages || read[size_t(page)])
                page = -1;
            if (page >= 0) {
                read[size_t(page)] = true;
                keys.Start();
            }
        },
        [&](QByteArrayView key, QByteArrayView value, bool hasValue) {
            if (page >= 0)
                keys.Add(key, value, hasValue);
        });
    if (walked && page >= 0)
        takePage(page);
    for (qint32 section = 0; !walked && section < file.SectionCount(); ++section) {
        page = NumberAfter(file.SectionName(section), "page");
        if (page < firstPage || page >= pages || read[size_t(page)])
            continue;
        read[size_t(page)] = true;
        keys.Start();
        for (qint32 entry = file.FirstEntry(section); entry >= 0; entry = file.NextEntry(entry)) {
            QByteArrayView value;
            const bool hasValue = file.EntryValue(entry, &value);
            keys.Add(file.EntryKey(entry), value, hasValue);
        }
        takePage(page);
    }
    SharedTexts texts(units, records);
    for (qsizetype p = firstPage; p < pages; ++p) {
        CueRow& row = table[p];
        const Bytes* values = found.get() + p * MaxCuesPerPage;
        size_t slot = 0;
        for (; slot < counts[size_t(p)]; ++slot)
            row[slot] = texts.Add(QByteArrayView(values[slot].data, values[slot].size));
        for (; slot < MaxCuesPerPage; ++slot)
            row[slot].clear();
    }
}
