#pragma once

// The lines of a settings file as loading reads them, shared by the loader
// and by readers that walk a whole file without its index.

#include "store/Ascii.h"
#include "store/Blanks.h"
#include "store/KeyValueFile.h"

inline QByteArrayView Utf8BomBytes() {
    return QByteArrayView("\xEF\xBB\xBF", 3);
}

// What one line of UTF-8 holds, its parts as [begin, end) into the bytes.
struct ParsedLine {
    enum Kind : quint8 { Nothing, Section, Entry };
    Kind kind = Nothing;
    bool hasValue = false; // an entry with "="; else the key is the whole line
    qsizetype begin = 0;   // the section's name or the entry's key
    qsizetype end = 0;
    qsizetype valueBegin = 0;
    qsizetype valueEnd = 0;
};

// Reads [begin, end), its first "=" at `equals` (-1: none): blanks around
// names, keys and values trimmed, comments and blank lines nothing.
inline ParsedLine ParseLine(const char* data, qsizetype begin, qsizetype end, qsizetype equals) {
    ParsedLine line;
    TrimRange(data, begin, end);
    if (begin == end || data[begin] == ';')
        return line;
    if (data[begin] == '[' && data[end - 1] == ']' && end - begin >= 2) {
        line.kind = ParsedLine::Section;
        line.begin = begin + 1;
        line.end = end - 1;
        TrimRange(data, line.begin, line.end);
        return line;
    }
    line.kind = ParsedLine::Entry;
    line.begin = begin;
    // The "=" is no blank, so trimming left it where it was.
    if (equals < 0) {
        line.end = end;
        return line;
    }
    line.hasValue = true;
    line.end = equals;
    line.valueBegin = equals + 1;
    line.valueEnd = end;
    while (line.end > begin && IsBlank(data[line.end - 1]))
        --line.end;
    while (line.valueBegin < end && IsBlank(data[line.valueBegin]))
        ++line.valueBegin;
    return line;
}

// Where the next line starts after a line ending at `end` (CR LF, LF or CR).
inline qsizetype NextLineStart(const char* data, qsizetype n, qsizetype end) {
    if (end + 1 < n && data[end] == '\r' && data[end + 1] == '\n')
        return end + 2;
    return end + 1;
}

template <typename OnSection, typename OnEntry>
bool KeyValueFile::WalkLines(OnSection&& onSection, OnEntry&& onEntry) const {
    if (FIndexed)
        return false;
    // Not indexed: nothing was written, and every line is UTF-8.
    const char* data = FBytes.constData();
    const qsizetype n = FBytes.size();
    qsizetype start = QByteArrayView(FBytes).startsWith(Utf8BomBytes()) ? Utf8BomBytes().size() : 0;
    bool inSection = false;
    while (start < n) {
        const LineScan scan = ScanLine(data, start, n);
        const ParsedLine line = ParseLine(data, start, scan.end, scan.equals);
        if (line.kind == ParsedLine::Section) {
            onSection(QByteArrayView(data + line.begin, line.end - line.begin));
            inSection = true;
        } else if (line.kind == ParsedLine::Entry && inSection) {
            onEntry(QByteArrayView(data + line.begin, line.end - line.begin),
                    QByteArrayView(data + line.valueBegin, line.valueEnd - line.valueBegin),
                    line.hasValue);
        }
        start = NextLineStart(data, n, scan.end);
    }
    return true;
}
