#pragma once

#include <QtGlobal>
#include <cstring>

// Looking at eight bytes at a time: the texts the program copies whole (a
// page's pictures, plan.json's strings) are mostly bytes that need no
// look of their own, so a word is judged at once and only its marked
// bytes one by one.
namespace ByteWords {

constexpr quint64 ones = 0x0101010101010101ULL;
constexpr quint64 highs = 0x8080808080808080ULL;

inline quint64 load(const char *at)
{
    quint64 word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

// The bytes of `word` below `n` (at most 0x80), as the high bit of each:
// the lowest marked byte is the first such byte; bytes above it may be
// marked by the subtraction's borrow and mean nothing.
inline quint64 below(quint64 word, uchar n)
{
    return (word - ones * n) & ~word & highs;
}

// The bytes of `word` equal to `c`, marked as `below` marks them.
inline quint64 equalTo(quint64 word, uchar c)
{
    return below(word ^ (ones * c), 1);
}

} // namespace ByteWords

// The same for UTF-16 text, four code units to a word.
namespace UnitWords {

constexpr quint64 ones = 0x0001000100010001ULL;
constexpr quint64 highs = 0x8000800080008000ULL;

inline quint64 load(const char16_t *at)
{
    quint64 word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

// The units of `word` equal to `c`, as the high bit of each: the lowest
// marked unit is the first such unit; units above it may be marked by the
// subtraction's borrow and mean nothing.
inline quint64 equalTo(quint64 word, char16_t c)
{
    const quint64 diff = word ^ (ones * c);
    return (diff - ones) & ~diff & highs;
}

} // namespace UnitWords
