#include "store/KeyValueFile.h"

#include "app/Errors.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>

#include <limits>

namespace {

const QByteArray Utf8Bom("\xEF\xBB\xBF", 3);

bool IsBlank(QChar c) {
    return c.unicode() <= 32;
}

QString TrimBlanks(const QString& text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && IsBlank(text[begin]))
        ++begin;
    while (end > begin && IsBlank(text[end - 1]))
        --end;
    return text.mid(begin, end - begin);
}

QString TrimBlanksRight(const QString& text) {
    qsizetype end = text.size();
    while (end > 0 && IsBlank(text[end - 1]))
        --end;
    return text.left(end);
}

QString TrimBlanksLeft(const QString& text) {
    qsizetype begin = 0;
    while (begin < text.size() && IsBlank(text[begin]))
        ++begin;
    return text.mid(begin);
}

bool SameName(const QString& a, const QString& b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// Splits at CR LF, lone LF and lone CR.
QStringList SplitLines(const QString& text) {
    QStringList lines;
    qsizetype start = 0;
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = text[i];
        if (c == u'\r' || c == u'\n') {
            lines.append(text.mid(start, i - start));
            if (c == u'\r' && i + 1 < n && text[i + 1] == u'\n')
                ++i;
            start = i + 1;
        }
    }
    if (start < n)
        lines.append(text.mid(start));
    return lines;
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

    if (bytes.startsWith(Utf8Bom))
        bytes.remove(0, Utf8Bom.size());
    // Any further BOM is text; a truncated sequence at the end is an error too.
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom |
                                                       QStringConverter::Flag::Stateless);
    const QString text = decoder(bytes);
    if (decoder.hasError())
        throw CuewellError(QStringLiteral(
            "No mapping for the Unicode character exists in the target multi-byte code page"));

    Section* current = nullptr;
    bool skipping = false; // inside a repeated section: the first one of a name wins
    for (const QString& raw : SplitLines(text)) {
        const QString line = TrimBlanks(raw);
        if (line.isEmpty() || line.startsWith(u';'))
            continue;
        if (line.startsWith(u'[') && line.endsWith(u']') && line.size() >= 2) {
            const QString name = TrimBlanks(line.mid(1, line.size() - 2));
            if (FindSection(name)) {
                skipping = true;
                current = nullptr;
            } else {
                skipping = false;
                FSections.append(Section{name, {}});
                current = &FSections.last();
            }
            continue;
        }
        if (skipping || !current)
            continue;
        const qsizetype eq = line.indexOf(u'=');
        if (eq < 0)
            current->entries.append(Entry{line, QString(), false});
        else
            current->entries.append(
                Entry{TrimBlanksRight(line.left(eq)), TrimBlanksLeft(line.mid(eq + 1)), true});
    }
    FModified = false;
}

KeyValueFile::~KeyValueFile() = default;

const KeyValueFile::Section* KeyValueFile::FindSection(const QString& name) const {
    for (const Section& section : FSections)
        if (SameName(section.name, name))
            return &section;
    return nullptr;
}

const KeyValueFile::Entry* KeyValueFile::FindEntry(const QString& section,
                                                   const QString& key) const {
    const Section* s = FindSection(section);
    if (!s)
        return nullptr;
    for (const Entry& entry : s->entries)
        if (SameName(entry.key, key))
            return &entry;
    return nullptr;
}

QString KeyValueFile::ReadString(const QString& section, const QString& key,
                                 const QString& def) const {
    const Entry* entry = FindEntry(section, key);
    if (!entry || !entry->hasValue)
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

void KeyValueFile::WriteString(const QString& section, const QString& key,
                               const QString& rawValue) {
    // A line break would end the line early and let the rest of the value be
    // read as further entries or sections; one line per value keeps the file whole.
    QString value = rawValue;
    value.replace(u'\r', u' ').replace(u'\n', u' ');
    Section* target = nullptr;
    for (Section& s : FSections) {
        if (SameName(s.name, section)) {
            target = &s;
            break;
        }
    }
    if (!target) {
        FSections.append(Section{section, {}});
        target = &FSections.last();
    }
    Entry* found = nullptr;
    for (Entry& entry : target->entries) {
        if (SameName(entry.key, key)) {
            found = &entry;
            break;
        }
    }
    if (found) {
        found->value = value;
        found->hasValue = true;
    } else {
        target->entries.append(Entry{key, value, true});
    }
    FModified = true;
}

void KeyValueFile::WriteInteger(const QString& section, const QString& key, int value) {
    WriteString(section, key, QString::number(value));
}

void KeyValueFile::WriteBool(const QString& section, const QString& key, bool value) {
    WriteString(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
}

QString KeyValueFile::ToText() const {
    QString text;
    const QLatin1String eol("\r\n");
    for (const Section& section : FSections) {
        text += u'[' + section.name + u']' + eol;
        for (const Entry& entry : section.entries) {
            if (entry.hasValue)
                text += entry.key + u'=' + entry.value + eol;
            else
                text += entry.key + eol;
        }
        text += eol;
    }
    return text;
}

void KeyValueFile::Free() {
    if (!FAutoSave || !FModified)
        return;
    // Written beside the old file and renamed over it only when complete, so a
    // full disk or a lost permission never leaves a half-written file behind.
    QSaveFile file(FPath);
    if (!file.open(QIODevice::WriteOnly))
        throw CuewellError(
            QStringLiteral("Cannot create file \"%1\". %2").arg(FPath, file.errorString()));
    const QByteArray bytes = Utf8Bom + ToText().toUtf8();
    if (file.write(bytes) != bytes.size() || !file.commit())
        throw CuewellError(
            QStringLiteral("Cannot write file \"%1\". %2").arg(FPath, file.errorString()));
    FModified = false;
}
