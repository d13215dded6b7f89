#pragma once

// Blanks around section names, keys and values: every character up to the
// space, as the settings files have always been trimmed.

#include <QByteArrayView>
#include <QChar>
#include <QStringView>

inline bool IsBlank(char c) {
    return static_cast<unsigned char>(c) <= 32;
}

inline bool IsBlank(QChar c) {
    return c.unicode() <= 32;
}

// Narrows [begin, end) of `text` to the part without blanks at either side.
template <typename Text> void TrimRange(const Text& text, qsizetype& begin, qsizetype& end) {
    while (begin < end && IsBlank(text[begin]))
        ++begin;
    while (end > begin && IsBlank(text[end - 1]))
        --end;
}

template <typename View> View TrimBlanks(View text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    TrimRange(text, begin, end);
    return text.sliced(begin, end - begin);
}
