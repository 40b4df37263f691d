// savrel-inspect number text: floats as the JSON and CSV outputs have always written them,
// fast enough for tens of millions of values.
#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "tools/inspect/inspect.h"

namespace {

// nlohmann's layout of JSON numbers: fixed notation while the decimal point falls within
// these bounds of the first digit, exponent notation (two digits at least) otherwise.
const int kJsonLowestPoint = -3;
const int kJsonHighestPoint = 6;
// A float whose exact value has this many binary fraction digits has at least eleven
// significant decimal digits (5^15 has eleven), so it cannot lie halfway between two
// candidates of nine digits or fewer, the most a float's shortest text needs.
const int kNoTieFractionBits = 15;

// %.7g: seven significant digits.
const uint64_t kLowestSeven = 1000000;
const uint64_t kPastSeven = 10000000;
// Powers of ten that, times a 34-bit mantissa, stay inside 128 bits.
const int kLargestPower = 27;
const int kLargestWordPower = 19;
const int kWordPower = 8;
const char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";
const uint64_t kPowersOfTen[kLargestWordPower + 1] = {
    1ull, 10ull, 100ull, 1000ull, 10000ull, 100000ull, 1000000ull, 10000000ull, 100000000ull,
    1000000000ull, 10000000000ull, 100000000000ull, 1000000000000ull, 10000000000000ull,
    100000000000000ull, 1000000000000000ull, 10000000000000000ull, 100000000000000000ull,
    1000000000000000000ull, 10000000000000000000ull};

char* put_exponent(char* out, int exponent)
{
    *out++ = exponent < 0 ? '-' : '+';
    unsigned magnitude = unsigned(exponent < 0 ? -exponent : exponent);
    if (magnitude >= 100) return std::to_chars(out, out + 4, magnitude).ptr;
    std::memcpy(out, kDigitPairs + 2 * magnitude, 2);
    return out + 2;
}

// Up to sixteen digit characters, first character in the lowest byte of `lead`, as they lie in
// memory: the number's text is put together in registers, since reading back bytes just
// stored one by one stalls the processor longer than making them.
struct DigitText {
    uint64_t lead;  // characters 0 to 7
    uint64_t tail;  // characters 8 to 15
};
static_assert(std::endian::native == std::endian::little, "digit text is laid out in little-endian words");

const uint64_t kZeros = 0x3030303030303030ull;

// The eight decimal digits of a value below 10^8, leading zeros included: four lanes of two
// digits, then eight of one, each divided by a multiply and a shift that is exact in its range.
uint64_t eight_digits(uint32_t value)
{
    uint64_t lanes = value / 10000 | uint64_t(value % 10000) << 32;
    uint64_t hundreds = (lanes * 10486 >> 20) & 0x0000007f0000007full;
    lanes = hundreds | (lanes - hundreds * 100) << 16;
    uint64_t tens = (lanes * 103 >> 10) & 0x000f000f000f000full;
    lanes = tens | (lanes - tens * 10) << 8;
    return lanes | kZeros;
}

// The digits of a value below 10^9, from the first character on, followed by zeros; *count
// receives how many there are. The leading zeros are shifted out rather than branched on: how
// many digits values have varies from one to the next.
DigitText digit_text(uint32_t value, int* count)
{
    using Bits = unsigned __int128;
    int width = (32 - std::countl_zero(value | 1)) * 1233 >> 12;
    *count = width + (value >= kPowersOfTen[width]);
    const Bits zeros = Bits(kZeros) << 64 | kZeros;
    Bits nine = ('0' + value / 100000000) | Bits(eight_digits(value % 100000000)) << 8 | zeros << 72;
    int dropped = 8 * (9 - *count);
    Bits text = nine >> dropped | (zeros << 64) << (64 - dropped);
    return {uint64_t(text), uint64_t(text >> 64)};
}

void put_word(char* out, uint64_t word)
{
    std::memcpy(out, &word, sizeof word);
}

// `count` digits with the decimal point after the first `point` of them (point may fall
// outside 1..count), laid out as nlohmann lays out its numbers. Whole words are written: `out`
// has kInspectNumberSize bytes, and the text ends where the returned pointer says.
char* lay_out_json(char* out, DigitText digits, int count, int point)
{
    if (0 < point && point <= kJsonHighestPoint) {
        put_word(out, digits.lead);
        if (count <= point) {
            std::memcpy(out + point, ".0", 2);
            return out + point + 2;
        }
        out[point] = '.';
        put_word(out + point + 1, digits.lead >> 8 * point | digits.tail << (64 - 8 * point));
        return out + count + 1;
    }
    if (kJsonLowestPoint <= point && point <= 0) {
        std::memcpy(out, "0.000", 2 - kJsonLowestPoint);
        out += 2 - point;
        put_word(out, digits.lead);
        put_word(out + 8, digits.tail);
        return out + count;
    }
    out[0] = char(digits.lead);
    out[1] = '.';
    put_word(out + 2, digits.lead >> 8 | digits.tail << 56);
    out += count > 1 ? count + 1 : 1;
    *out++ = 'e';
    return put_exponent(out, point - 1);
}

// Whether the float's exact value may lie halfway between two shortest texts: there nlohmann's
// Grisu2 and the nearest shortest digits may end differently. Integers and short fractions only.
bool may_be_tie(float value)
{
    uint32_t bits = std::bit_cast<uint32_t>(value);
    uint32_t biased = (bits >> 23) & 0xff;
    uint32_t mantissa = (bits & 0x7fffff) | (biased ? 0x800000 : 0);
    int fraction_bits = 150 - int(std::max(biased, 1u)) - std::countr_zero(mantissa);
    return fraction_bits < kNoTieFractionBits;
}

// The shortest digits that read back as the same float, nearest the float's value; positive
// values. {fmt}'s Dragonbox gives them as an integer and a power of ten, where std::to_chars
// gives text that would have to be read again.
char* shortest_json(char* out, float value)
{
    const auto decimal = fmt::detail::dragonbox::to_decimal(value);
    int count = 0;
    DigitText digits = digit_text(decimal.significand, &count);
    return lay_out_json(out, digits, count, count + decimal.exponent);
}

// mantissa * 2^-shift * 10^power, rounded to the nearest integer, ties to even, as printf rounds.
uint64_t scaled_rounded(uint64_t mantissa, int shift, int power)
{
    // Milliseconds of everyday sizes fit in one word: a 34-bit mantissa times 10^8 or less.
    if (power <= kWordPower && shift < 64) {
        uint64_t scaled = mantissa * kPowersOfTen[power];
        uint64_t quotient = scaled >> shift;
        uint64_t remainder = scaled & ((uint64_t(1) << shift) - 1);
        uint64_t half = uint64_t(1) << (shift - 1);
        return quotient + (remainder > half || (remainder == half && (quotient & 1)));
    }
    unsigned __int128 scaled = static_cast<unsigned __int128>(mantissa) * kPowersOfTen[std::min(power, kLargestWordPower)];
    if (power > kLargestWordPower) scaled *= kPowersOfTen[power - kLargestWordPower];
    uint64_t quotient = uint64_t(scaled >> shift);
    unsigned __int128 remainder = scaled - (static_cast<unsigned __int128>(quotient) << shift);
    unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
    if (remainder > half || (remainder == half && (quotient & 1))) quotient++;
    return quotient;
}

// %.7g of `seven` * 10^(exponent - 6), `seven` holding exactly seven digits.
char* lay_out_general(char* out, uint64_t seven, int exponent)
{
    char digits[7];
    uint32_t rest = uint32_t(seven);
    digits[0] = char('0' + rest / 1000000);
    rest %= 1000000;
    std::memcpy(digits + 1, kDigitPairs + 2 * (rest / 10000), 2);
    std::memcpy(digits + 3, kDigitPairs + 2 * (rest / 100 % 100), 2);
    std::memcpy(digits + 5, kDigitPairs + 2 * (rest % 100), 2);
    int kept = 7;
    while (digits[kept - 1] == '0') kept--;
    if (exponent < -4 || exponent >= 7) {
        *out++ = digits[0];
        if (kept > 1) *out++ = '.';
        out = std::copy(digits + 1, digits + kept, out);
        *out++ = 'e';
        return put_exponent(out, exponent);
    }
    if (exponent < 0) {
        out = std::copy_n("0.", 2, out);
        out = std::fill_n(out, -exponent - 1, '0');
        return std::copy(digits, digits + kept, out);
    }
    out = std::copy(digits, digits + exponent + 1, out);
    if (kept <= exponent + 1) return out;
    *out++ = '.';
    return std::copy(digits + exponent + 1, digits + kept, out);
}

// The exact value of a normal float times 1000 is mantissa * 2^-shift; with shift in 1..120
// and a decimal exponent that leaves a power of ten up to kLargestPower, seven digits come
// from integer arithmetic. Returns null outside that range.
char* general_milliseconds(char* out, float seconds)
{
    uint32_t bits = std::bit_cast<uint32_t>(seconds);
    uint32_t biased = (bits >> 23) & 0xff;
    if (biased == 0 || biased == 0xff) return nullptr;
    uint64_t mantissa = uint64_t((bits & 0x7fffff) | 0x800000) * 1000;
    int shift = 150 - int(biased);
    if (shift < 1 || shift > 120) return nullptr;
    int binary_exponent = 63 - std::countl_zero(mantissa) - shift;
    // floor(binary_exponent * log10(2)): the decimal exponent, or one below it. Both are
    // worked out, which costs less than a mispredicted branch.
    int exponent = (binary_exponent * 78913) >> 18;
    int power = 6 - exponent;
    if (power < 1 || power > kLargestPower) return nullptr;
    uint64_t high = scaled_rounded(mantissa, shift, power);
    uint64_t low = scaled_rounded(mantissa, shift, power - 1);
    bool above = high >= kPastSeven;
    uint64_t seven = above ? low : high;
    exponent += above;
    // Rounded up to the next power of ten, or an estimate off by one: printf decides.
    if (seven < kLowestSeven || seven >= kPastSeven) return nullptr;
    if (bits >> 31) *out++ = '-';
    return lay_out_general(out, seven, exponent);
}

}  // namespace

char* inspect_json_float(char* out, float value)
{
    if (!std::isfinite(value)) return std::copy_n("null", 4, out);
    if (value == 0 || may_be_tie(value)) return nlohmann::detail::to_chars(out, out + kInspectNumberSize, value);
    if (std::signbit(value)) *out++ = '-';
    return shortest_json(out, std::fabs(value));
}

char* inspect_csv_milliseconds(char* out, float seconds)
{
    if (seconds == 0) return std::signbit(seconds) ? std::copy_n("-0", 2, out) : std::copy_n("0", 1, out);
    char* end = general_milliseconds(out, seconds);
    if (end) return end;
    return out + std::snprintf(out, kInspectNumberSize, "%.7g", double(seconds) * 1000.0);
}
