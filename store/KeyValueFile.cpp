#include "store/KeyValueFile.h"

#include "store/Ascii.h"
#include "store/Blanks.h"
#include "store/KeyValueLines.h"

#include "app/Errors.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStringDecoder>
#include <QVarLengthArray>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray Utf8Bom("\xEF\xBB\xBF", 3);
const QString NotUtf8Text = QStringLiteral(
    "No mapping for the Unicode character exists in the target multi-byte code page");

// Decodes strictly: any further BOM is text, a truncated sequence is an error.
QString DecodeUtf8(QByteArrayView bytes, bool* ok) {
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom |
                                                       QStringConverter::Flag::Stateless);
    QString text = decoder(bytes);
    *ok = !decoder.hasError();
    return text;
}

QString SystemReason(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

[[noreturn]] void RaiseFileError(const char* what, const QString& path, int error) {
    throw CuewellError(
        QStringLiteral("%1 \"%2\". %3").arg(QLatin1String(what), path, SystemReason(error)));
}

bool WriteAll(int fd, QByteArrayView bytes) {
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        left -= n;
    }
    return true;
}

bool SameBytes(const QString& path, const QByteArray& bytes) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    QByteArray read;
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) != 0) {
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        read.append(buffer, n);
        if (read.size() > bytes.size())
            break;
    }
    ::close(fd);
    return n == 0 && read == bytes;
}

// The first name of `base`.unreadable, `base`.unreadable-2, ... that is free or
// already holds exactly these bytes (kept by an earlier open of the same file).
QString CopyPathFor(const QString& base, const QByteArray& bytes, int from = 1) {
    for (int n = from;; ++n) {
        const QString candidate =
            base + QStringLiteral(".unreadable") + (n > 1 ? u'-' + QString::number(n) : QString());
        struct stat info;
        if (::lstat(QFile::encodeName(candidate).constData(), &info) != 0)
            return candidate;
        if (S_ISREG(info.st_mode) && SameBytes(candidate, bytes))
            return candidate;
    }
}

void SyncFolder(const QByteArray& folder) {
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd); // some file systems refuse; the rename is then as durable as they allow
    ::close(fd);
}

// Our own temporary files: the file's name, ".saving-" and six letters or digits.
const QByteArray SavingInfix(".saving-");
constexpr int SavingSuffixLength = 6;

bool IsOwnTemporaryName(const QByteArray& entry, const QByteArray& prefix) {
    if (entry.size() != prefix.size() + SavingSuffixLength || !entry.startsWith(prefix))
        return false;
    for (qsizetype i = prefix.size(); i < entry.size(); ++i) {
        const char c = entry[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
            return false;
    }
    return true;
}

// Removes what earlier saves of this same file left behind when they were
// cut off before the rename: only our own names, only plain files of ours.
void RemoveLeftovers(const QByteArray& folder, const QByteArray& fileName,
                     const QByteArray& except) {
    DIR* dir = ::opendir(folder.constData());
    if (!dir)
        return;
    const QByteArray prefix = fileName + SavingInfix;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name == except || !IsOwnTemporaryName(name, prefix))
            continue;
        const QByteArray full = folder + '/' + name;
        struct stat info;
        if (::lstat(full.constData(), &info) == 0 && S_ISREG(info.st_mode) &&
            info.st_uid == ::geteuid())
            ::unlink(full.constData());
    }
    ::closedir(dir);
}

QByteArray RandomSuffix() {
    static const char Chars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    QByteArray suffix(SavingSuffixLength, Qt::Uninitialized);
    for (char& c : suffix)
        c = Chars[QRandomGenerator::system()->bounded(int(sizeof Chars - 1))];
    return suffix;
}

// Rewrites the file itself: for a writable file in a folder that takes no new file.
void RewriteInPlace(const QString& path, const QByteArray& target,
                    const std::function<bool(int fd)>& write) {
    const int fd = ::open(target.constData(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        RaiseFileError("Cannot create file", path, errno);
    off_t end = -1;
    if (!write(fd) || (end = ::lseek(fd, 0, SEEK_CUR)) < 0 || ::ftruncate(fd, end) != 0 ||
        ::fsync(fd) != 0) {
        const int error = errno;
        ::close(fd);
        RaiseFileError("Cannot write file", path, error);
    }
    if (::close(fd) != 0)
        RaiseFileError("Cannot write file", path, errno);
}

int HexDigit(QChar c) {
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

} // namespace

QString Utf8Text(QByteArrayView utf8) {
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom |
                                                       QStringConverter::Flag::Stateless);
    return decoder(utf8);
}

bool ParseSettingsInteger(const QString& text, int& value) {
    QString s = text;
    if (s.size() > 2 && (s.startsWith(u"0x") || s.startsWith(u"0X")))
        s = u'$' + s.mid(2);

    qsizetype i = 0;
    const qsizetype n = s.size();
    while (i < n && (s[i] == u' ' || s[i] == u'\t'))
        ++i;
    bool negative = false;
    if (i < n && (s[i] == u'+' || s[i] == u'-')) {
        negative = s[i] == u'-';
        ++i;
    }
    int base = 10;
    if (i < n && (s[i] == u'$' || s[i] == u'x' || s[i] == u'X')) {
        base = 16;
        ++i;
    } else if (i + 1 < n && s[i] == u'0' && (s[i + 1] == u'x' || s[i + 1] == u'X')) {
        base = 16;
        i += 2;
    }
    if (i >= n)
        return false;

    // The magnitude may reach 2^31 only for a negative number.
    const qint64 limit = negative ? qint64(std::numeric_limits<int>::max()) + 1
                                  : qint64(std::numeric_limits<int>::max());
    qint64 magnitude = 0;
    for (; i < n; ++i) {
        const int digit = HexDigit(s[i]);
        if (digit < 0 || digit >= base)
            return false;
        magnitude = magnitude * base + digit;
        if (magnitude > limit)
            return false;
    }
    value = int(negative ? -magnitude : magnitude);
    return true;
}

namespace {

constexpr quint64 HashStart = 0xcbf29ce484222325ULL;
constexpr quint64 HashPrime = 0x100000001b3ULL;

char16_t AsciiLower(char16_t c) {
    return c >= u'A' && c <= u'Z' ? char16_t(c + (u'a' - u'A')) : c;
}

// Folds as QString::compare(Qt::CaseInsensitive) does, code point by code point.
quint64 FoldHash(QStringView s) {
    quint64 h = HashStart;
    for (qsizetype i = 0; i < s.size(); ++i) {
        char32_t c = s[i].unicode();
        if (c < 128) {
            c = AsciiLower(char16_t(c));
        } else {
            if (QChar::isHighSurrogate(c) && i + 1 < s.size() && s[i + 1].isLowSurrogate())
                c = QChar::surrogateToUcs4(char16_t(c), s[++i].unicode());
            c = QChar::toCaseFolded(c);
        }
        h = (h ^ c) * HashPrime;
    }
    return h;
}

// The same for UTF-8: names are nearly always ASCII, which needs no decoding.
quint64 FoldHash(QByteArrayView utf8) {
    quint64 h = HashStart;
    for (const char byte : utf8) {
        if (uchar(byte) >= 128)
            return FoldHash(Utf8Text(utf8));
        h = (h ^ AsciiLower(char16_t(byte))) * HashPrime;
    }
    return h;
}

// Spreads every bit into the low ones, which pick the slot.
quint32 Mix(quint64 h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return quint32(h);
}

// Equal without regard to letter case, as QString::compare(Qt::CaseInsensitive).
// Case folding maps code point to code point, so an ASCII mismatch or one
// name ending first decides; anything else goes to the full comparison.
bool SameName(QStringView a, QByteArrayView b) {
    const qsizetype n = std::min(a.size(), b.size());
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t x = a[i].unicode();
        const char16_t y = uchar(b[i]);
        if (x >= 128 || y >= 128)
            return a.compare(Utf8Text(b), Qt::CaseInsensitive) == 0;
        if (x != y && AsciiLower(x) != AsciiLower(y))
            return false;
    }
    if (a.size() == b.size())
        return true;
    for (qsizetype i = n; i < a.size(); ++i)
        if (a[i].unicode() >= 128)
            return a.compare(Utf8Text(b), Qt::CaseInsensitive) == 0;
    for (qsizetype i = n; i < b.size(); ++i)
        if (uchar(b[i]) >= 128)
            return a.compare(Utf8Text(b), Qt::CaseInsensitive) == 0;
    return false;
}

bool SameName(QByteArrayView a, QByteArrayView b) {
    if (a.size() == b.size()) {
        bool ascii = true;
        for (qsizetype i = 0; i < a.size() && ascii; ++i) {
            if (uchar(a[i]) >= 128 || uchar(b[i]) >= 128)
                ascii = false;
            else if (AsciiLower(uchar(a[i])) != AsciiLower(uchar(b[i])))
                return false;
        }
        if (ascii)
            return true;
    }
    return SameName(Utf8Text(a), b);
}

// `value` is ASCII and `bytes` are the same characters. Stored values hold
// no line break, so an equal value has none either.
bool SameAsciiValue(QStringView value, QByteArrayView bytes) {
    return value.size() == bytes.size() && SameAsAscii(value.utf16(), bytes.data(), value.size());
}

constexpr qsizetype MinSlots = 16;

// Slot of `hash`: the item that `match` accepts, or the free slot where it would go.
template <typename Match>
qsizetype Probe(const std::vector<qint32>& table, quint32 hash, Match match) {
    const qsizetype mask = qsizetype(table.size()) - 1;
    for (qsizetype i = hash & mask;; i = (i + 1) & mask) {
        const qint32 item = table[i];
        if (item < 0 || match(item))
            return i;
    }
}

// Keeps at least half the table free, so that probes stay short.
template <typename Item>
void Reserve(std::vector<qint32>& table, qsizetype used, const std::vector<Item>& items) {
    if ((used + 1) * 2 <= qsizetype(table.size()))
        return;
    const qsizetype size = std::max(MinSlots, qsizetype(table.size()) * 2);
    std::vector<qint32> grown(size_t(size), -1);
    for (const qint32 item : std::as_const(table))
        if (item >= 0)
            grown[Probe(grown, items[item].hash, [](qint32) { return false; })] = item;
    table = std::move(grown);
}

void CheckCount(size_t count) {
    if (count >= size_t(std::numeric_limits<qint32>::max()))
        throw CuewellError(QStringLiteral("Too many lines in a settings file"));
}

} // namespace

KeyValueFile::KeyValueFile(const QString& path) : FPath(path) {
    QFileInfo info(path);
    if (!info.exists())
        return;

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw CuewellError(
            QStringLiteral("Cannot open file \"%1\". %2").arg(path, file.errorString()));
    if (file.size() > MaxBytes)
        throw CuewellError(QStringLiteral("Cannot read file \"%1\". It is too large for a "
                                          "settings file.")
                               .arg(path));
    FBytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw CuewellError(
            QStringLiteral("Cannot read file \"%1\". %2").arg(path, file.errorString()));
    if (FBytes.size() > MaxBytes)
        throw CuewellError(QStringLiteral("Cannot read file \"%1\". It is too large for a "
                                          "settings file.")
                               .arg(path));
    file.close();
    // Line breaks are ASCII, which no UTF-8 sequence holds, so every line is
    // UTF-8 exactly when the whole is: only then may the index wait.
    const QByteArrayView text = QByteArrayView(FBytes).sliced(FBytes.startsWith(Utf8Bom) ? 3 : 0);
    if (!IsAscii(text) && !text.isValidUtf8())
        Load();
    if (Damaged())
        FKeptCopyPath = CopyPathFor(FPath, FBytes);
    FModified = false;
}

KeyValueFile::~KeyValueFile() = default;

// One line per value: a line break would end the line early and let the rest
// of the value be read as further entries or sections.
KeyValueFile::Span KeyValueFile::AddBytes(QStringView text, bool oneLine) {
    const qsizetype start = FAdded.size();
    FAdded.resize(start + text.size());
    char* out = FAdded.data() + start;
    const char16_t* in = text.utf16();
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = in[i];
        if (c >= 128) {
            // Pieces always meet at ASCII, so encoding them one by one gives
            // the bytes the whole text would give.
            FAdded.truncate(start + i);
            FAdded += text.sliced(i).toUtf8();
            char* tail = FAdded.data();
            for (qsizetype j = start + i; oneLine && j < FAdded.size(); ++j)
                if (tail[j] == '\r' || tail[j] == '\n')
                    tail[j] = ' ';
            break;
        }
        out[i] = oneLine && (c == u'\r' || c == u'\n') ? ' ' : char(c);
    }
    if (FAdded.size() > MaxBytes)
        throw CuewellError(QStringLiteral("The settings file \"%1\" grew too large").arg(FPath));
    return Span{quint32(start) | Added, quint32(FAdded.size() - start)};
}

void KeyValueFile::Load() const {
    FIndexed = true;
    const QByteArrayView bytes(FBytes);
    const qsizetype n = bytes.size();
    qsizetype start = bytes.startsWith(Utf8Bom) ? Utf8Bom.size() : 0;
    const char* data = bytes.data();
    // Room for the entries at once, for lines of 16 bytes on average (the
    // pages a shorter guess leaves untouched cost nothing).
    FEntries.reserve(size_t(n / 16 + 16));
    while (start < n) {
        const LineScan line = ScanLine(data, start, n);
        ++FLineNumber;
        // A byte that is not UTF-8 spoils only its own line. Line breaks are
        // ASCII, which no UTF-8 sequence holds, so the lines are all UTF-8
        // exactly when the whole is; a line of ASCII needs no check.
        if (line.beyondAscii && !bytes.sliced(start, line.end - start).isValidUtf8())
            LoadDamagedLine(start, line.end, line.equals);
        else
            LoadLine(start, line.end, line.equals);
        start = NextLineStart(data, n, line.end);
    }
}

inline void KeyValueFile::LoadLine(qsizetype begin, qsizetype end, qsizetype equals) const {
    const ParsedLine line = ParseLine(FBytes.constData(), begin, end, equals);
    if (line.kind == ParsedLine::Section) {
        const Span name = MakeSpan(line.begin, line.end - line.begin);
        const quint32 hash = Mix(FoldHash(Bytes(name)));
        // A repeated section: the first one of a name wins.
        FCurrent = FindSection(Bytes(name), hash) >= 0 ? -1 : AddSection(name, hash);
    } else if (line.kind == ParsedLine::Entry && FCurrent >= 0) {
        AddLoadedEntry(FCurrent, MakeSpan(line.begin, line.end - line.begin),
                       line.hasValue ? MakeSpan(line.valueBegin, line.valueEnd - line.valueBegin)
                                     : Span{},
                       line.hasValue ? HasValue : 0);
    }
}

void KeyValueFile::LoadDamagedLine(qsizetype begin, qsizetype end, qsizetype equals) const {
    const char* data = FBytes.constData();
    ++FDamagedLines;
    if (FFirstDamagedLine == 0)
        FFirstDamagedLine = FLineNumber;
    // Read as the decoder shows it, its replacement characters in place.
    bool ok = false;
    const QByteArrayView raw(data + begin, end - begin);
    const QString decoded = DecodeUtf8(raw, &ok);
    const QStringView line = TrimBlanks(QStringView(decoded));
    if (line.isEmpty() || line.startsWith(u';'))
        return;
    if (line.startsWith(u'[') && line.endsWith(u']') && line.size() >= 2) {
        // The section's name is unknown: its entries must not join
        // another section, so none of them is read or written back.
        FCurrent = -1;
        return;
    }
    // Keep the key when its own bytes are sound, so that it still hides
    // later entries of the same key; the value is not read or written.
    if (FCurrent < 0 || !line.contains(u'=') || equals < 0 ||
        !raw.first(equals - begin).isValidUtf8())
        return;
    qsizetype keyBegin = begin;
    qsizetype keyEnd = equals;
    TrimRange(data, keyBegin, keyEnd);
    AddLoadedEntry(FCurrent, MakeSpan(keyBegin, keyEnd - keyBegin), Span{}, HasValue | IsDamaged);
}

qint32 KeyValueFile::AddSection(Span name, quint32 hash) const {
    CheckCount(FSections.size());
    const qint32 index = qint32(FSections.size());
    FSections.push_back(Section{name, hash, -1, -1, 0, true, -1});
    Reserve(FSectionIndex.table, FSectionIndex.used, FSections);
    FSectionIndex.table[Probe(FSectionIndex.table, hash, [](qint32) { return false; })] = index;
    ++FSectionIndex.used;
    return index;
}

namespace {
// Up to this many entries a section is scanned: its entries lie side by side
// and their hashes are compared first, so a scan costs less than an index.
constexpr qint32 LargeSection = 48;
} // namespace

inline qint32 KeyValueFile::LinkEntry(qint32 section, const Entry& entry) const {
    CheckCount(FEntries.size());
    const qint32 index = qint32(FEntries.size());
    Section& s = FSections[size_t(section)];
    FEntries.push_back(entry);
    if (s.last < 0)
        s.first = index;
    else
        FEntries[size_t(s.last)].next = index;
    s.last = index;
    ++s.count;
    return index;
}

inline void KeyValueFile::AddLoadedEntry(qint32 section, Span key, Span value, quint8 flags) const {
    // Nothing is looked up while loading, so no section has a key index yet;
    // the hash waits for the section's first lookup.
    Q_ASSERT(FSections[size_t(section)].keyIndex < 0);
    FSections[size_t(section)].hashed = false;
    LinkEntry(section, Entry{key, value, 0, -1, flags});
}

void KeyValueFile::AddEntry(qint32 section, Span key, Span value, quint8 flags, quint32 hash) {
    const Section& s = FSections[size_t(section)];
    // A section not hashed yet hashes this one with the others.
    const qint32 index = LinkEntry(section, Entry{key, value, hash, -1, flags});
    if (s.keyIndex >= 0) {
        // The first entry of a key is the one read and written.
        Index& keys = FKeyIndexes[size_t(s.keyIndex)];
        Reserve(keys.table, keys.used, FEntries);
        const QByteArrayView name = Bytes(key);
        const qsizetype slot = Probe(keys.table, hash, [&](qint32 item) {
            const Entry& e = FEntries[size_t(item)];
            return e.hash == hash && SameName(Bytes(e.key), name);
        });
        if (keys.table[size_t(slot)] < 0) {
            keys.table[size_t(slot)] = index;
            ++keys.used;
        }
    }
}

void KeyValueFile::HashEntries(const Section& section) const {
    if (section.hashed)
        return;
    for (qint32 i = section.first; i >= 0; i = FEntries[size_t(i)].next)
        FEntries[size_t(i)].hash = Mix(FoldHash(Bytes(FEntries[size_t(i)].key)));
    section.hashed = true;
}

const KeyValueFile::Index& KeyValueFile::KeyIndex(const Section& section) const {
    if (section.keyIndex >= 0)
        return FKeyIndexes[size_t(section.keyIndex)];
    HashEntries(section);
    Index keys;
    for (qint32 i = section.first; i >= 0; i = FEntries[size_t(i)].next) {
        const Entry& entry = FEntries[size_t(i)];
        Reserve(keys.table, keys.used, FEntries);
        const QByteArrayView name = Bytes(entry.key);
        const qsizetype slot = Probe(keys.table, entry.hash, [&](qint32 item) {
            const Entry& e = FEntries[size_t(item)];
            return e.hash == entry.hash && SameName(Bytes(e.key), name);
        });
        if (keys.table[size_t(slot)] < 0) {
            keys.table[size_t(slot)] = i;
            ++keys.used;
        }
    }
    section.keyIndex = qint32(FKeyIndexes.size());
    FKeyIndexes.push_back(std::move(keys));
    return FKeyIndexes.back();
}

qint32 KeyValueFile::FindSection(QByteArrayView name, quint32 hash) const {
    EnsureIndexed();
    if (FSectionIndex.table.empty())
        return -1;
    return FSectionIndex.table[size_t(Probe(FSectionIndex.table, hash, [&](qint32 item) {
        const Section& s = FSections[size_t(item)];
        return s.hash == hash && SameName(Bytes(s.name), name);
    }))];
}

qint32 KeyValueFile::FindSection(QStringView name) const {
    EnsureIndexed();
    if (FSectionIndex.table.empty())
        return -1;
    const quint32 hash = Mix(FoldHash(name));
    return FSectionIndex.table[size_t(Probe(FSectionIndex.table, hash, [&](qint32 item) {
        const Section& s = FSections[size_t(item)];
        return s.hash == hash && SameName(name, Bytes(s.name));
    }))];
}

qint32 KeyValueFile::FindEntry(qint32 section, QStringView key, quint32 hash) const {
    if (section < 0)
        return -1;
    const Section& s = FSections[size_t(section)];
    if (s.count <= LargeSection) {
        HashEntries(s);
        for (qint32 i = s.first; i >= 0; i = FEntries[size_t(i)].next) {
            const Entry& e = FEntries[size_t(i)];
            if (e.hash == hash && SameName(key, Bytes(e.key)))
                return i;
        }
        return -1;
    }
    const Index& keys = KeyIndex(s);
    return keys.table[size_t(Probe(keys.table, hash, [&](qint32 item) {
        const Entry& e = FEntries[size_t(item)];
        return e.hash == hash && SameName(key, Bytes(e.key));
    }))];
}

QString KeyValueFile::LoadProblem() const {
    if (!Damaged())
        return QString();
    const QString where = FDamagedLines == 1 ? QStringLiteral("line %1").arg(FFirstDamagedLine)
                                             : QStringLiteral("line %1 and %2 more lines")
                                                   .arg(FFirstDamagedLine)
                                                   .arg(FDamagedLines - 1);
    return QStringLiteral("%1: file \"%2\", %3. The rest of the file was read; the original is "
                          "kept as \"%4\" before the file is saved again.")
        .arg(NotUtf8Text, FPath, where, FKeptCopyPath);
}

QString KeyValueFile::ValueOf(qint32 entry, const QString& def) const {
    if (entry < 0)
        return def;
    const Entry& e = FEntries[size_t(entry)];
    if (e.flags != HasValue)
        return def;
    const QByteArrayView bytes = Bytes(e.value);
    // ASCII reads the same as Latin-1, whose conversion is the cheaper one.
    return IsAscii(bytes) ? QString::fromLatin1(bytes) : Utf8Text(bytes);
}

QString KeyValueFile::ReadString(const QString& section, const QString& key,
                                 const QString& def) const {
    const qint32 s = FindSection(section);
    return ValueOf(FindEntry(s, key, Mix(FoldHash(key))), def);
}

int KeyValueFile::ReadInteger(const QString& section, const QString& key, int def) const {
    int value = 0;
    if (!ParseSettingsInteger(ReadString(section, key, QString()), value))
        return def;
    return value;
}

bool KeyValueFile::ReadBool(const QString& section, const QString& key, bool def) const {
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

qint32 KeyValueFile::SectionFor(QStringView section) {
    const qint32 found = FindSection(section);
    if (found >= 0)
        return found;
    const quint32 hash = Mix(FoldHash(section));
    return AddSection(AddBytes(section, false), hash);
}

void KeyValueFile::WriteAt(qint32 section, const QString& key, const QString& value) {
    const quint32 hash = Mix(FoldHash(key));
    WriteAt(section, FindEntry(section, key, hash), key, hash, value);
}

void KeyValueFile::WriteAt(qint32 section, qint32 found, const QString& key, quint32 hash,
                           const QString& value) {
    FModified = true;
    if (found < 0) {
        const Span written = AddBytes(value, true);
        AddEntry(section, AddBytes(key, false), written, HasValue, hash);
        return;
    }
    Entry& entry = FEntries[size_t(found)];
    // The same value again, as at most saves: nothing to keep.
    if (entry.flags == HasValue && SameAsciiValue(value, Bytes(entry.value)))
        return;
    const Span written = AddBytes(value, true);
    if (entry.flags == HasValue && Bytes(entry.value) == Bytes(written)) {
        FAdded.truncate(written.pos & ~Added);
        return;
    }
    if (entry.value.pos & Added)
        FAddedUnused += entry.value.size;
    entry.value = written;
    entry.flags = HasValue;
    if (FAddedUnused > 65536 && FAddedUnused > FAdded.size() / 2)
        CompactAdded();
}

// Drops the values replaced since loading, so that a file written again and
// again holds no more than what it would write.
void KeyValueFile::CompactAdded() {
    QByteArray kept;
    kept.reserve(FAdded.size() - FAddedUnused);
    auto keep = [&](Span& span) {
        if (!(span.pos & Added))
            return;
        const QByteArrayView bytes = Bytes(span);
        span.pos = quint32(kept.size()) | Added;
        kept.append(bytes);
    };
    for (Section& section : FSections)
        keep(section.name);
    for (Entry& entry : FEntries) {
        keep(entry.key);
        keep(entry.value);
    }
    FAdded = std::move(kept);
    FAddedUnused = 0;
}

void KeyValueFile::WriteString(const QString& section, const QString& key, const QString& value) {
    WriteAt(SectionFor(section), key, value);
}

namespace {

// Whether keys[i] may be one of the keys before it (their hashes meet).
bool MaybeRepeated(const quint32* hashes, qsizetype i) {
    for (qsizetype j = 0; j < i; ++j)
        if (hashes[j] == hashes[i])
            return true;
    return false;
}

} // namespace

qint32 KeyValueFile::FindInOrder(qint32 section, QStringView key, quint32 hash, bool repeated,
                                 qint32& cursor) const {
    // While the section begins with the keys asked so far, in that order, a
    // key unlike all of them is first found at the entry after them, or nowhere.
    if (cursor != NotInOrder && !repeated) {
        if (cursor < 0)
            return -1;
        // Compared by name: the section's hashes may not be found yet.
        const Entry& e = FEntries[size_t(cursor)];
        if (SameName(key, Bytes(e.key))) {
            const qint32 found = cursor;
            cursor = e.next;
            return found;
        }
    }
    cursor = NotInOrder;
    return FindEntry(section, key, hash);
}

KeyValueFile::KeyList::KeyList(const QString* keys, qsizetype count)
    : FKeys(keys, keys + count), FHashes(size_t(count)), FMaybeRepeated(size_t(count)) {
    for (qsizetype i = 0; i < count; ++i) {
        FHashes[size_t(i)] = Mix(FoldHash(keys[i]));
        FMaybeRepeated[size_t(i)] = MaybeRepeated(FHashes.data(), i);
    }
}

void KeyValueFile::WriteStrings(QStringView section, const QString* keys, const QString* values,
                                qsizetype count) {
    QVarLengthArray<const QString*, 32> pointers(count);
    for (qsizetype i = 0; i < count; ++i)
        pointers[i] = values + i;
    WriteStrings(section, KeyList(keys, count), pointers.data());
}

void KeyValueFile::WriteStrings(QStringView section, const KeyList& keys,
                                const QString* const* values) {
    static const QString Empty;
    const qint32 index = SectionFor(section);
    qint32 cursor = FSections[size_t(index)].first;
    for (qsizetype i = 0; i < keys.size(); ++i) {
        const QString& key = keys.FKeys[size_t(i)];
        const quint32 hash = keys.FHashes[size_t(i)];
        const qint32 found = FindInOrder(index, key, hash, keys.FMaybeRepeated[size_t(i)], cursor);
        // A key added goes after the ones before it, so the order holds.
        WriteAt(index, found, key, hash, values[i] ? *values[i] : Empty);
    }
}

void KeyValueFile::ReadStrings(QStringView section, const QString* keys, QString* values,
                               qsizetype count) const {
    ReadStrings(section, KeyList(keys, count), values);
}

void KeyValueFile::ReadStrings(QStringView section, const KeyList& keys, QString* values) const {
    const qint32 s = FindSection(section);
    if (s < 0) {
        for (qsizetype i = 0; i < keys.size(); ++i)
            values[i] = QString();
        return;
    }
    qint32 cursor = FSections[size_t(s)].first;
    for (qsizetype i = 0; i < keys.size(); ++i)
        values[i] = ValueOf(FindInOrder(s, keys.FKeys[size_t(i)], keys.FHashes[size_t(i)],
                                        keys.FMaybeRepeated[size_t(i)], cursor),
                            QString());
}

void KeyValueFile::WriteInteger(const QString& section, const QString& key, int value) {
    WriteString(section, key, QString::number(value));
}

void KeyValueFile::WriteBool(const QString& section, const QString& key, bool value) {
    WriteString(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
}

template <typename Put> void KeyValueFile::Serialize(Put&& put) const {
    EnsureIndexed();
    put(Utf8Bom);
    for (const Section& section : FSections) {
        put("[");
        put(Bytes(section.name));
        put("]\r\n");
        for (qint32 i = section.first; i >= 0; i = FEntries[size_t(i)].next) {
            const Entry& entry = FEntries[size_t(i)];
            if (entry.flags & IsDamaged)
                continue;
            put(Bytes(entry.key));
            if (entry.flags & HasValue) {
                put("=");
                put(Bytes(entry.value));
            }
            put("\r\n");
        }
        put("\r\n");
    }
}

QByteArray KeyValueFile::ToBytes() const {
    qsizetype size = 0;
    Serialize([&](QByteArrayView piece) { size += piece.size(); });
    QByteArray bytes(size, Qt::Uninitialized);
    char* out = bytes.data();
    Serialize([&](QByteArrayView piece) {
        std::memcpy(out, piece.data(), size_t(piece.size()));
        out += piece.size();
    });
    return bytes;
}

bool KeyValueFile::WriteTo(int fd) const {
    // Through a small buffer rather than the whole file at once: a buffer
    // the size of the file costs a fresh page of memory every 4 KB.
    constexpr qsizetype Capacity = 64 * 1024;
    QByteArray buffer(Capacity, Qt::Uninitialized);
    char* const start = buffer.data();
    qsizetype used = 0;
    bool ok = true;
    auto flush = [&] {
        ok = ok && WriteAll(fd, QByteArrayView(start, used));
        used = 0;
    };
    Serialize([&](QByteArrayView piece) {
        if (used + piece.size() > Capacity)
            flush();
        if (piece.size() > Capacity) {
            ok = ok && WriteAll(fd, piece);
            return;
        }
        std::memcpy(start + used, piece.data(), size_t(piece.size()));
        used += piece.size();
    });
    flush();
    return ok;
}

QString KeyValueFile::ToText() const {
    return QString::fromUtf8(QByteArrayView(ToBytes()).sliced(Utf8Bom.size()));
}

void KeyValueFile::KeepDamagedCopy() {
    // Never over an earlier kept copy: a name taken since the open moves on.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QByteArray name = QFile::encodeName(FKeptCopyPath);
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            const int error = errno;
            if (error == EEXIST) {
                if (SameBytes(FKeptCopyPath, FBytes))
                    break;
                FKeptCopyPath = CopyPathFor(FPath, FBytes);
                continue;
            }
            throw CuewellError(QStringLiteral("Cannot keep the original of \"%1\" as \"%2\". %3")
                                   .arg(FPath, FKeptCopyPath, SystemReason(error)));
        }
        if (!WriteAll(fd, FBytes) || ::fsync(fd) != 0) {
            const int error = errno;
            ::close(fd);
            ::unlink(name.constData());
            throw CuewellError(QStringLiteral("Cannot keep the original of \"%1\" as \"%2\". %3")
                                   .arg(FPath, FKeptCopyPath, SystemReason(error)));
        }
        ::close(fd);
        break;
    }
    FCopyKept = true;
}

void KeyValueFile::Free() {
    if (!FAutoSave || !FModified)
        return;
    // Lines that could not be read are not in the new file: keep the old one first.
    if (Damaged() && !FCopyKept)
        KeepDamagedCopy();
    SaveFileWith(FPath, [this](int fd) { return WriteTo(fd); });
    FModified = false;
}

void SaveFileBytes(const QString& path, const QByteArray& bytes) {
    SaveFileWith(path, [&](int fd) { return WriteAll(fd, bytes); });
}

void SaveFileWith(const QString& path, const std::function<bool(int fd)>& write) {
    // A link is followed, so the file it names is replaced and the link stays.
    QString realPath = path;
    const QFileInfo info(path);
    if (info.isSymLink()) {
        const QString resolved = info.canonicalFilePath();
        if (!resolved.isEmpty())
            realPath = resolved;
    }
    const QByteArray target = QFile::encodeName(realPath);
    const qsizetype slash = target.lastIndexOf('/');
    const QByteArray folder = slash < 0    ? QByteArray(".")
                              : slash == 0 ? QByteArray("/")
                                           : target.left(slash);
    const QByteArray fileName = target.mid(slash + 1);

    struct stat old;
    const bool exists = ::stat(target.constData(), &old) == 0;
    // A file the operator made read-only stays as it is.
    if (exists && ::access(target.constData(), W_OK) != 0)
        RaiseFileError("Cannot create file", path, errno);

    // Written beside the old file and renamed over it only when complete and
    // on disk, so a full disk, a lost permission or a power cut never leaves
    // a half-written or empty file behind.
    QByteArray temporary;
    QByteArray temporaryName;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporaryName = fileName + SavingInfix + RandomSuffix();
        temporary = folder + '/' + temporaryName;
        fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        const int error = errno;
        if (exists && S_ISREG(old.st_mode) && (error == EACCES || error == EPERM)) {
            RewriteInPlace(path, target, write);
            return;
        }
        RaiseFileError("Cannot create file", path, error);
    }
    auto fail = [&](int error) {
        ::close(fd);
        ::unlink(temporary.constData());
        RaiseFileError("Cannot write file", path, error);
    };
    if (exists && ::fchmod(fd, old.st_mode & 07777) != 0)
        fail(errno);
    if (!write(fd) || ::fsync(fd) != 0)
        fail(errno);
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(temporary.constData());
        RaiseFileError("Cannot write file", path, error);
    }
    if (::rename(temporary.constData(), target.constData()) != 0) {
        const int error = errno;
        ::unlink(temporary.constData());
        RaiseFileError("Cannot write file", path, error);
    }
    SyncFolder(folder);
    RemoveLeftovers(folder, fileName, temporaryName);
}
