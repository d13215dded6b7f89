#pragma once

#include <QList>
#include <QString>
#include <utility>

// Sets keys of one section straight in a key/value file, line by line: the
// line of each key keeps its spelling and line end and gets the new value; a
// missing key is added after the section's last entry, a missing section at
// the end. Every other byte of the file stays as it was: comments, blank
// lines, other sections and keys, their order and spelling. A file that is not
// UTF-8 is not touched. Raises CuewellError when the file cannot be read or
// written, or is not UTF-8.
void WriteProfileStrings(const QString& path, const QString& section,
                         const QList<std::pair<QString, QString>>& values);
