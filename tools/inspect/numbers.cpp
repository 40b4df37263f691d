// savrel-inspect number text: floats as the JSON and CSV outputs have always written them,
// fast enough for tens of millions of values.
#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "tools/inspect/inspect.h"

namespace {

// %.7g: seven significant digits.
const uint64_t kLowestSeven = 1000000;
const uint64_t kPastSeven = 10000000;
// Powers of ten that, times a 34-bit mantissa, stay inside 128 bits.
const int kLargestPower = 27;
const int kLargestWordPower = 19;
const uint64_t kPowersOfTen[kLargestWordPower + 1] = {
    1ull, 10ull, 100ull, 1000ull, 10000ull, 100000ull, 1000000ull, 10000000ull, 100000000ull,
    1000000000ull, 10000000000ull, 100000000000ull, 1000000000000ull, 10000000000000ull,
    100000000000000ull, 1000000000000000ull, 10000000000000000ull, 100000000000000000ull,
    1000000000000000000ull, 10000000000000000000ull};

char* put_exponent(char* out, int exponent)
{
    *out++ = exponent < 0 ? '-' : '+';
    unsigned magnitude = unsigned(exponent < 0 ? -exponent : exponent);
    if (magnitude < 10) *out++ = '0';
    return std::to_chars(out, out + 4, magnitude).ptr;
}

// mantissa * 2^-shift * 10^power, rounded to the nearest integer, ties to even, as printf rounds.
uint64_t scaled_rounded(uint64_t mantissa, int shift, int power)
{
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
    char digits[8];
    std::to_chars(digits, digits + 8, seven);
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
    // floor(binary_exponent * log10(2)): the decimal exponent, or one below it.
    int exponent = (binary_exponent * 78913) >> 18;
    uint64_t seven = 0;
    for (;;) {
        int power = 6 - exponent;
        if (power < 0 || power > kLargestPower) return nullptr;
        seven = scaled_rounded(mantissa, shift, power);
        if (seven >= kPastSeven)
            exponent++;
        else if (seven < kLowestSeven)
            exponent--;
        else
            break;
    }
    if (bits >> 31) *out++ = '-';
    return lay_out_general(out, seven, exponent);
}

}  // namespace

char* inspect_json_float(char* out, float value)
{
    if (!std::isfinite(value)) return std::copy_n("null", 4, out);
    // nlohmann's own digits (Grisu2), which are not always those of std::to_chars: on a tie
    // or near one the two pick different last digits, and earlier exports used these.
    return nlohmann::detail::to_chars(out, out + kInspectNumberSize, value);
}

char* inspect_csv_milliseconds(char* out, float seconds)
{
    if (seconds == 0) return std::signbit(seconds) ? std::copy_n("-0", 2, out) : std::copy_n("0", 1, out);
    char* end = general_milliseconds(out, seconds);
    if (end) return end;
    return out + std::snprintf(out, kInspectNumberSize, "%.7g", double(seconds) * 1000.0);
}
