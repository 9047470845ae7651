#pragma once

#include <QtGlobal>
#include <cstring>
#include <type_traits>

// Looking at eight bytes at a time: the texts the program copies whole (a
// page's pictures, plan.json's strings, the plan's UTF-16 texts) are mostly
// units that need no look of their own, so a word of them is judged at
// once and only its marked units one by one. `Unit` is the lane: a byte,
// or a UTF-16 code unit (four to a word).
template <typename Unit>
struct Lanes {
    using Value = std::make_unsigned_t<Unit>;
    static constexpr int bits = 8 * sizeof(Unit);
    static constexpr quint64 ones = ~quint64(0) / ((quint64(1) << bits) - 1);
    static constexpr quint64 highs = ones << (bits - 1);

    static quint64 load(const Unit *at)
    {
        quint64 word;
        std::memcpy(&word, at, sizeof word);
        return word;
    }

    // The units of `word` below `n` (at most the lane's high bit), as the
    // high bit of each: the lowest marked unit is the first such unit;
    // units above it may be marked by the subtraction's borrow and mean
    // nothing.
    static quint64 below(quint64 word, Value n) { return (word - ones * n) & ~word & highs; }

    // The units of `word` equal to `c`, marked as `below` marks them.
    static quint64 equalTo(quint64 word, Value c) { return below(word ^ (ones * c), 1); }
};

using ByteWords = Lanes<char>;
using UnitWords = Lanes<char16_t>;

static_assert(ByteWords::ones == 0x0101010101010101ULL && ByteWords::highs == 0x8080808080808080ULL);
static_assert(UnitWords::ones == 0x0001000100010001ULL && UnitWords::highs == 0x8000800080008000ULL);
