#pragma once

// Byte loops of the settings readers, a word or a vector at a time: a large
// file passes through each of them once per byte.

#include <QByteArrayView>
#include <QtGlobal>

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

inline bool IsAscii(QByteArrayView bytes) {
    const char* p = bytes.data();
    qsizetype n = bytes.size();
#if defined(__SSE2__)
    // 64 bytes a step, their top bits gathered without a branch.
    __m128i any = _mm_setzero_si128();
    for (; n >= 64; p += 64, n -= 64)
        any = _mm_or_si128(
            any,
            _mm_or_si128(_mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                                      _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16))),
                         _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)),
                                      _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)))));
    if (_mm_movemask_epi8(any) != 0)
        return false;
#endif
    quint64 rest = 0;
    for (; n >= 8; p += 8, n -= 8) {
        quint64 word;
        std::memcpy(&word, p, 8);
        rest |= word;
    }
    for (; n > 0; ++p, --n)
        rest |= uchar(*p);
    return (rest & 0x8080808080808080ULL) == 0;
}

// Writes `n` bytes as as many UTF-16 units while they are ASCII; false (and
// part of `out` written) at the first byte that is not.
inline bool WidenAscii(const char* in, qsizetype n, char16_t* out) {
#if defined(__SSE2__)
    if (n >= 16) {
        const __m128i zero = _mm_setzero_si128();
        auto widen16 = [&](qsizetype i) {
            const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi8(chunk, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8),
                             _mm_unpackhi_epi8(chunk, zero));
            return _mm_movemask_epi8(chunk) == 0;
        };
        // Up to 64 bytes (most texts here) in four steps whatever the size,
        // so that no branch depends on it; steps that would pass the end
        // are moved back to end there, overlapping: the same units land on
        // the same places.
        if (n <= 64) {
            const qsizetype last = n - 16;
            const bool a = widen16(0);
            const bool b = widen16(std::min<qsizetype>(16, last));
            const bool c = widen16(std::min<qsizetype>(32, last));
            const bool d = widen16(last);
            return a && b && c && d;
        }
        bool ascii = true;
        for (qsizetype i = 0; i + 16 <= n; i += 16)
            ascii &= widen16(i);
        return widen16(n - 16) && ascii;
    }
#endif
    unsigned any = 0;
    for (qsizetype i = 0; i < n; ++i) {
        any |= uchar(in[i]);
        out[i] = char16_t(uchar(in[i]));
    }
    return any < 128;
}

// Whether `n` UTF-16 units are the same characters as `n` bytes of ASCII.
inline bool SameAsAscii(const char16_t* text, const char* bytes, qsizetype n) {
    qsizetype i = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; i + 8 <= n; i += 8) {
        const __m128i narrow = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(bytes + i));
        const __m128i wide = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        const __m128i equal = _mm_cmpeq_epi16(_mm_unpacklo_epi8(narrow, zero), wide);
        if (_mm_movemask_epi8(equal) != 0xFFFF || (_mm_movemask_epi8(narrow) & 0xFF) != 0)
            return false;
    }
#endif
    unsigned differ = 0;
    for (; i < n; ++i)
        differ |= unsigned(text[i] ^ uchar(bytes[i])) | (uchar(bytes[i]) & 0x80u);
    return differ == 0;
}

// One line of a settings file as one pass over its bytes finds it.
struct LineScan {
    qsizetype end = 0;        // its first CR or LF, else the end of the bytes
    qsizetype equals = -1;    // its first "=", -1 when it has none
    bool beyondAscii = false; // it holds a byte that is not ASCII
};

// Scans the line that starts at `start` for its end, its first "=" and any
// byte beyond ASCII, 64 bytes at a time: most lines end within the first 64,
// so the branch on the end is nearly always taken the same way.
inline LineScan ScanLine(const char* data, qsizetype start, qsizetype n) {
    LineScan line;
    qsizetype i = start;
    quint64 high = 0;
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i eq = _mm_set1_epi8('=');
    for (; i + 64 <= n; i += 64) {
        quint64 ends = 0;
        quint64 equals = 0;
        quint64 beyond = 0;
        for (int k = 0; k < 4; ++k) {
            const __m128i chunk =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + 16 * k));
            const quint64 e = unsigned(_mm_movemask_epi8(
                _mm_or_si128(_mm_cmpeq_epi8(chunk, cr), _mm_cmpeq_epi8(chunk, lf))));
            ends |= e << (16 * k);
            equals |= quint64(unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, eq)))) << (16 * k);
            beyond |= quint64(unsigned(_mm_movemask_epi8(chunk))) << (16 * k);
        }
        // Only what lies before the line's end counts.
        const quint64 before = ends ? (quint64(1) << __builtin_ctzll(ends)) - 1 : ~quint64(0);
        equals &= before;
        if (line.equals < 0 && equals)
            line.equals = i + __builtin_ctzll(equals);
        high |= beyond & before;
        if (ends) {
            line.end = i + __builtin_ctzll(ends);
            line.beyondAscii = high != 0;
            return line;
        }
    }
#endif
    for (; i < n; ++i) {
        const char c = data[i];
        if (c == '\r' || c == '\n')
            break;
        if (c == '=' && line.equals < 0)
            line.equals = i;
        high |= uchar(c) >> 7;
    }
    line.end = i;
    line.beyondAscii = high != 0;
    return line;
}
