#include "store/KeyValueFile.h"

#include "app/Errors.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStringDecoder>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray Utf8Bom("\xEF\xBB\xBF", 3);
const QString NotUtf8Text = QStringLiteral(
    "No mapping for the Unicode character exists in the target multi-byte code page");

bool IsBlank(QChar c) {
    return c.unicode() <= 32;
}

QStringView TrimBlanks(QStringView text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && IsBlank(text[begin]))
        ++begin;
    while (end > begin && IsBlank(text[end - 1]))
        --end;
    return text.sliced(begin, end - begin);
}

QStringView TrimBlanksRight(QStringView text) {
    qsizetype end = text.size();
    while (end > 0 && IsBlank(text[end - 1]))
        --end;
    return text.first(end);
}

QStringView TrimBlanksLeft(QStringView text) {
    qsizetype begin = 0;
    while (begin < text.size() && IsBlank(text[begin]))
        ++begin;
    return text.sliced(begin);
}

// Decodes strictly: any further BOM is text, a truncated sequence is an error.
QString DecodeUtf8(QByteArrayView bytes, bool* ok) {
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom |
                                                       QStringConverter::Flag::Stateless);
    QString text = decoder(bytes);
    *ok = !decoder.hasError();
    return text;
}

// Where the next line starts after a line ending at `end` (CR LF, LF or CR).
qsizetype NextLineStart(QStringView text, qsizetype end) {
    if (end + 1 < text.size() && text[end] == u'\r' && text[end + 1] == u'\n')
        return end + 2;
    return end + 1;
}

qsizetype NextLineStart(QByteArrayView bytes, qsizetype end) {
    if (end + 1 < bytes.size() && bytes[end] == '\r' && bytes[end + 1] == '\n')
        return end + 2;
    return end + 1;
}

QString SystemReason(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

[[noreturn]] void RaiseFileError(const char* what, const QString& path, int error) {
    throw CuewellError(
        QStringLiteral("%1 \"%2\". %3").arg(QLatin1String(what), path, SystemReason(error)));
}

bool WriteAll(int fd, const QByteArray& bytes) {
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
void RewriteInPlace(const QString& path, const QByteArray& target, const QByteArray& bytes) {
    const int fd = ::open(target.constData(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        RaiseFileError("Cannot create file", path, errno);
    if (!WriteAll(fd, bytes) || ::ftruncate(fd, off_t(bytes.size())) != 0 || ::fsync(fd) != 0) {
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

size_t qHash(KeyValueFile::NameKey key, size_t seed) noexcept {
    // Folds as QString::compare(Qt::CaseInsensitive) does, code point by code point.
    const QStringView s = key.name;
    size_t h = seed ^ 0xcbf29ce484222325ULL;
    for (qsizetype i = 0; i < s.size(); ++i) {
        char32_t c = s[i].unicode();
        if (c < 128) {
            if (c >= 'A' && c <= 'Z')
                c += 'a' - 'A';
        } else {
            if (QChar::isHighSurrogate(c) && i + 1 < s.size() && s[i + 1].isLowSurrogate())
                c = QChar::surrogateToUcs4(char16_t(c), s[++i].unicode());
            c = QChar::toCaseFolded(c);
        }
        h = (h ^ c) * 0x100000001b3ULL;
    }
    // Spread every bit into the low ones, which pick the bucket.
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return h;
}

bool operator==(KeyValueFile::NameKey a, KeyValueFile::NameKey b) noexcept {
    return a.name.compare(b.name, Qt::CaseInsensitive) == 0;
}

KeyValueFile::KeyValueFile(const QString& path) : FPath(path) {
    QFileInfo info(path);
    if (!info.exists())
        return;

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw CuewellError(
            QStringLiteral("Cannot open file \"%1\". %2").arg(path, file.errorString()));
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw CuewellError(
            QStringLiteral("Cannot read file \"%1\". %2").arg(path, file.errorString()));
    file.close();
    Load(bytes);
    FKeySpellings.clear();
    FKeySpellings.squeeze();
    if (Damaged()) {
        FOriginal = bytes;
        FKeptCopyPath = CopyPathFor(FPath, FOriginal);
    }
    FModified = false;
}

KeyValueFile::~KeyValueFile() = default;

void KeyValueFile::Load(const QByteArray& bytes) {
    const QByteArrayView body = bytes.startsWith(Utf8Bom)
                                    ? QByteArrayView(bytes).sliced(Utf8Bom.size())
                                    : QByteArrayView(bytes);
    bool ok = false;
    const QString text = DecodeUtf8(body, &ok);
    if (ok) {
        // Line breaks are ASCII, so the text splits into the same lines as the bytes.
        const qsizetype n = text.size();
        qsizetype start = 0;
        while (start < n) {
            qsizetype end = start;
            while (end < n && text[end] != u'\r' && text[end] != u'\n')
                ++end;
            LoadLine(QStringView(text).sliced(start, end - start), nullptr);
            start = NextLineStart(text, end);
        }
        return;
    }
    // Line by line: a byte that is not UTF-8 spoils only its own line.
    const qsizetype n = body.size();
    qsizetype start = 0;
    while (start < n) {
        qsizetype end = start;
        while (end < n && body[end] != '\r' && body[end] != '\n')
            ++end;
        const QByteArrayView raw = body.sliced(start, end - start);
        bool lineOk = false;
        const QString line = DecodeUtf8(raw, &lineOk);
        if (lineOk) {
            LoadLine(line, nullptr);
        } else {
            const QByteArray damaged = raw.toByteArray();
            LoadLine(line, &damaged);
        }
        start = NextLineStart(body, end);
    }
}

namespace {
constexpr qsizetype LargeSection = 48;
}

void KeyValueFile::AddEntry(qsizetype section, Entry entry) {
    Section& s = FSections[section];
    s.entries.append(std::move(entry));
    const qsizetype index = s.entries.size() - 1;
    s.hashes.append(quint32(qHash(NameKey{s.entries[index].key}, 0)));
    // The first entry of a key is the one read and written.
    if (s.firstEntry) {
        const NameKey key{s.entries[index].key};
        if (!s.firstEntry->contains(key))
            s.firstEntry->insert(key, index);
    }
}

qsizetype KeyValueFile::FirstEntry(const Section& section, QStringView key) const {
    const qsizetype n = section.entries.size();
    if (n > LargeSection) {
        if (!section.firstEntry) {
            section.firstEntry = std::make_shared<QHash<NameKey, qsizetype>>();
            section.firstEntry->reserve(n);
            for (qsizetype i = 0; i < n; ++i) {
                const NameKey k{section.entries[i].key};
                if (!section.firstEntry->contains(k))
                    section.firstEntry->insert(k, i);
            }
        }
        return section.firstEntry->value(NameKey{key}, -1);
    }
    const quint32 hash = quint32(qHash(NameKey{key}, 0));
    const quint32* hashes = section.hashes.constData();
    for (qsizetype i = 0; i < n; ++i)
        if (hashes[i] == hash && NameKey{section.entries[i].key} == NameKey{key})
            return i;
    return -1;
}

// `damagedBytes` is the raw line when it is not UTF-8; `line` then holds the
// replacement characters the decoder put in.
void KeyValueFile::LoadLine(QStringView rawLine, const QByteArray* damagedBytes) {
    ++FLineNumber;
    if (damagedBytes) {
        ++FDamagedLines;
        if (FFirstDamagedLine == 0)
            FFirstDamagedLine = FLineNumber;
    }
    const QStringView line = TrimBlanks(rawLine);
    if (line.isEmpty() || line.startsWith(u';'))
        return;
    if (line.startsWith(u'[') && line.endsWith(u']') && line.size() >= 2) {
        if (damagedBytes) {
            // The section's name is unknown: its entries must not join
            // another section, so none of them is read or written back.
            FSkipping = true;
            FCurrent = -1;
            return;
        }
        const QStringView name = TrimBlanks(line.sliced(1, line.size() - 2));
        if (FindSection(name)) {
            // A repeated section: the first one of a name wins.
            FSkipping = true;
            FCurrent = -1;
        } else {
            FSkipping = false;
            const qsizetype previous = FSections.isEmpty() ? 0 : FSections.last().entries.size();
            FSections.append(Section{name.toString(), {}, {}, {}});
            // Sections of one file tend to be alike in size.
            FSections.last().entries.reserve(previous);
            FSections.last().hashes.reserve(previous);
            FSectionIndex.insert(NameKey{FSections.last().name}, FSections.size() - 1);
            FCurrent = FSections.size() - 1;
        }
        return;
    }
    if (FSkipping || FCurrent < 0)
        return;
    const qsizetype eq = line.indexOf(u'=');
    if (damagedBytes) {
        // Keep the key when its own bytes are sound, so that it still hides
        // later entries of the same key; the value is not read or written.
        const qsizetype rawEq = damagedBytes->indexOf('=');
        if (eq < 0 || rawEq < 0)
            return;
        bool keyOk = false;
        const QString key = DecodeUtf8(QByteArrayView(*damagedBytes).first(rawEq), &keyOk);
        if (!keyOk)
            return;
        AddEntry(FCurrent, Entry{TrimBlanks(key).toString(), QString(), true, true});
        return;
    }
    if (eq < 0) {
        AddEntry(FCurrent, Entry{line.toString(), QString(), false, false});
        return;
    }
    // Most keys repeat from section to section (Cue0 to Cue20): one copy each.
    const QStringView key = TrimBlanksRight(line.first(eq));
    auto spelling = FKeySpellings.constFind(key);
    if (spelling == FKeySpellings.cend()) {
        QString copy = key.toString();
        const QStringView view(copy);
        spelling = FKeySpellings.insert(view, std::move(copy));
    }
    AddEntry(FCurrent,
             Entry{*spelling, TrimBlanksLeft(line.sliced(eq + 1)).toString(), true, false});
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

const KeyValueFile::Section* KeyValueFile::FindSection(QStringView name) const {
    const auto found = FSectionIndex.constFind(NameKey{name});
    return found == FSectionIndex.cend() ? nullptr : &FSections[*found];
}

const KeyValueFile::Entry* KeyValueFile::FindEntry(const QString& section,
                                                   const QString& key) const {
    const auto foundSection = FSectionIndex.constFind(NameKey{section});
    if (foundSection == FSectionIndex.cend())
        return nullptr;
    const Section& s = FSections[*foundSection];
    const qsizetype found = FirstEntry(s, key);
    return found < 0 ? nullptr : &s.entries[found];
}

QString KeyValueFile::ReadString(const QString& section, const QString& key,
                                 const QString& def) const {
    const Entry* entry = FindEntry(section, key);
    if (!entry || !entry->hasValue || entry->damaged)
        return def;
    return entry->value;
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

qsizetype KeyValueFile::SectionFor(const QString& section) {
    const auto found = FSectionIndex.constFind(NameKey{section});
    if (found != FSectionIndex.cend())
        return *found;
    FSections.append(Section{section, {}, {}, {}});
    FSectionIndex.insert(NameKey{FSections.last().name}, FSections.size() - 1);
    return FSections.size() - 1;
}

void KeyValueFile::WriteAt(qsizetype section, const QString& key, const QString& rawValue) {
    // A line break would end the line early and let the rest of the value be
    // read as further entries or sections; one line per value keeps the file whole.
    QString value = rawValue;
    if (value.contains(u'\r') || value.contains(u'\n'))
        value.replace(u'\r', u' ').replace(u'\n', u' ');
    const qsizetype found = FirstEntry(FSections[section], key);
    if (found >= 0) {
        Entry& entry = FSections[section].entries[found];
        entry.value = value;
        entry.hasValue = true;
        entry.damaged = false;
    } else {
        AddEntry(section, Entry{key, value, true, false});
    }
    FModified = true;
}

void KeyValueFile::WriteString(const QString& section, const QString& key, const QString& value) {
    WriteAt(SectionFor(section), key, value);
}

void KeyValueFile::WriteStrings(const QString& section, const QString* keys, const QString* values,
                                qsizetype count) {
    const qsizetype index = SectionFor(section);
    for (qsizetype i = 0; i < count; ++i)
        WriteAt(index, keys[i], values[i]);
}

void KeyValueFile::ReadStrings(const QString& section, const QString* keys, QString* values,
                               qsizetype count) const {
    const auto foundSection = FSectionIndex.constFind(NameKey{section});
    for (qsizetype i = 0; i < count; ++i) {
        values[i] = QString();
        if (foundSection == FSectionIndex.cend())
            continue;
        const Section& s = FSections[*foundSection];
        const qsizetype found = FirstEntry(s, keys[i]);
        if (found < 0)
            continue;
        const Entry& entry = s.entries[found];
        if (entry.hasValue && !entry.damaged)
            values[i] = entry.value;
    }
}

void KeyValueFile::WriteInteger(const QString& section, const QString& key, int value) {
    WriteString(section, key, QString::number(value));
}

void KeyValueFile::WriteBool(const QString& section, const QString& key, bool value) {
    WriteString(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
}

QString KeyValueFile::ToText() const {
    const QLatin1String eol("\r\n");
    qsizetype size = 0;
    for (const Section& section : FSections) {
        size += section.name.size() + 4 + 2;
        for (const Entry& entry : section.entries)
            size += entry.key.size() + entry.value.size() + 3;
    }
    QString text;
    text.reserve(size);
    for (const Section& section : FSections) {
        text += u'[';
        text += section.name;
        text += u']';
        text += eol;
        for (const Entry& entry : section.entries) {
            if (entry.damaged)
                continue;
            text += entry.key;
            if (entry.hasValue) {
                text += u'=';
                text += entry.value;
            }
            text += eol;
        }
        text += eol;
    }
    return text;
}

void KeyValueFile::KeepDamagedCopy() {
    // Never over an earlier kept copy: a name taken since the open moves on.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QByteArray name = QFile::encodeName(FKeptCopyPath);
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            const int error = errno;
            if (error == EEXIST) {
                if (SameBytes(FKeptCopyPath, FOriginal))
                    break;
                FKeptCopyPath = CopyPathFor(FPath, FOriginal);
                continue;
            }
            throw CuewellError(QStringLiteral("Cannot keep the original of \"%1\" as \"%2\". %3")
                                   .arg(FPath, FKeptCopyPath, SystemReason(error)));
        }
        if (!WriteAll(fd, FOriginal) || ::fsync(fd) != 0) {
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
    const QByteArray bytes = Utf8Bom + ToText().toUtf8();
    // Lines that could not be read are not in the new file: keep the old one first.
    if (Damaged() && !FCopyKept)
        KeepDamagedCopy();
    SaveFileBytes(FPath, bytes);
    FModified = false;
}

void SaveFileBytes(const QString& path, const QByteArray& bytes) {
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
            RewriteInPlace(path, target, bytes);
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
    if (!WriteAll(fd, bytes) || ::fsync(fd) != 0)
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
