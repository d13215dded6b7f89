#include "store/ProfileFile.h"

#include "store/Blanks.h"

#include "app/Errors.h"
#include "store/KeyValueFile.h"

#include <QFile>
#include <QStringDecoder>

namespace {

struct Line {
    qsizetype start = 0; // first byte
    qsizetype end = 0;   // after the text, before the line break
    qsizetype next = 0;  // after the line break
};

bool SameName(QByteArrayView bytes, const QString& name) {
    return QString::fromUtf8(bytes).compare(name, Qt::CaseInsensitive) == 0;
}

QList<Line> SplitLines(const QByteArray& bytes, qsizetype from) {
    QList<Line> lines;
    const qsizetype n = bytes.size();
    qsizetype start = from;
    while (start < n) {
        qsizetype end = start;
        while (end < n && bytes[end] != '\r' && bytes[end] != '\n')
            ++end;
        qsizetype next = end;
        if (next < n)
            next += (bytes[next] == '\r' && next + 1 < n && bytes[next + 1] == '\n') ? 2 : 1;
        lines.append(Line{start, end, next});
        start = next;
    }
    return lines;
}

// The section headers' name, or a null view for any other line.
QByteArrayView HeaderName(QByteArrayView line) {
    const QByteArrayView t = TrimBlanks(line);
    if (t.size() >= 2 && t.startsWith('[') && t.endsWith(']'))
        return TrimBlanks(t.sliced(1, t.size() - 2));
    return {};
}

} // namespace

void WriteProfileStrings(const QString& path, const QString& section,
                         const QList<std::pair<QString, QString>>& values) {
    QByteArray bytes;
    QFile file(path);
    if (file.exists()) {
        if (!file.open(QIODevice::ReadOnly))
            throw CuewellError(
                QStringLiteral("Cannot open file \"%1\". %2").arg(path, file.errorString()));
        bytes = file.readAll();
        if (file.error() != QFileDevice::NoError)
            throw CuewellError(
                QStringLiteral("Cannot read file \"%1\". %2").arg(path, file.errorString()));
        file.close();
    }
    const QByteArray bom("\xEF\xBB\xBF", 3);
    const QByteArray original = bytes;
    if (bytes.isEmpty())
        bytes = bom;
    const qsizetype bodyStart = bytes.startsWith(bom) ? bom.size() : 0;
    {
        QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
        const QString text = decoder(QByteArrayView(bytes).sliced(bodyStart));
        // Its own reader keeps the original before it rewrites such a file.
        if (decoder.hasError())
            throw CuewellError(
                QStringLiteral("The file \"%1\" is not UTF-8; it is left as it is.").arg(path));
    }

    for (const auto& [key, rawValue] : values) {
        QString value = rawValue;
        value.replace(u'\r', u' ').replace(u'\n', u' ');
        const QByteArray valueBytes = value.toUtf8();
        const QList<Line> lines = SplitLines(bytes, bodyStart);
        const auto text = [&](const Line& l) {
            return QByteArrayView(bytes).sliced(l.start, l.end - l.start);
        };

        // The first section of the name; a repeated one is never read.
        qsizetype header = -1;
        for (qsizetype i = 0; i < lines.size() && header < 0; ++i) {
            const QByteArrayView name = HeaderName(text(lines[i]));
            if (!name.isNull() && SameName(name, section))
                header = i;
        }
        if (header < 0) {
            QByteArray added;
            if (!bytes.endsWith('\n') && !bytes.endsWith('\r') && bytes.size() > bodyStart)
                added += "\r\n";
            added +=
                '[' + section.toUtf8() + "]\r\n" + key.toUtf8() + '=' + valueBytes + "\r\n\r\n";
            bytes += added;
            continue;
        }
        qsizetype lastEntry = header;
        bool written = false;
        for (qsizetype i = header + 1; i < lines.size(); ++i) {
            const QByteArrayView line = text(lines[i]);
            if (!HeaderName(line).isNull())
                break;
            const QByteArrayView t = TrimBlanks(line);
            if (t.isEmpty())
                continue;
            lastEntry = i;
            if (t.startsWith(';'))
                continue;
            const qsizetype eq = line.indexOf('=');
            const QByteArrayView lineKey = eq < 0 ? t : TrimBlanks(line.first(eq));
            if (!SameName(lineKey, key))
                continue;
            // The key's own spelling, blanks and line end stay; the value changes.
            const qsizetype valueStart = eq < 0 ? lines[i].end : lines[i].start + eq + 1;
            bytes.replace(valueStart, lines[i].end - valueStart,
                          eq < 0 ? '=' + valueBytes : valueBytes);
            written = true;
            break;
        }
        if (written)
            continue;
        const Line& after = lines[lastEntry];
        QByteArray eol = bytes.mid(after.end, after.next - after.end);
        QByteArray added = key.toUtf8() + '=' + valueBytes;
        if (eol.isEmpty()) // the last line of the file had no line break
            bytes.insert(after.next, "\r\n" + added);
        else
            bytes.insert(after.next, added + eol);
    }
    if (bytes != original)
        SaveFileBytes(path, bytes);
}
