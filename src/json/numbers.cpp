// Numbers, dates and intervals as JSON text, without the C library's
// formatting: printf follows the locale's decimal point and has no shortest
// form of a double. The C++ library's std::to_chars has one, but for doubles
// it lives in libstdc++.so, and libmekal.so needs nothing but the C library;
// so the shortest text that reads back as the same double is computed here
// (its test holds it against std::to_chars).
//
// The double is placed between its neighbours: every real number in the
// half-way interval around it reads back as it. The interval is scaled by
// 10^-k, with k chosen so that its width lies in [1, 10): it then holds at
// most one multiple of ten, which gives the shortest text when present, and
// otherwise at least one of the two integers around the value, of which the
// nearer is taken. The scaling multiplies by a 126-bit approximation of
// 10^-k from a table built at compile time; for those approximations it is
// known that the integer part of the product is the exact one, and keeping
// two extra bits plus a bit for "inexact" makes every comparison exact.
#include <climits>

#include "json/json.h"

namespace mekal::json {
namespace {

__extension__ typedef unsigned __int128 u128;
__extension__ typedef __int128 i128;

struct DigitPairs {
    char text[200];
};

constexpr DigitPairs make_digit_pairs() {
    DigitPairs pairs{};
    for (size_t i = 0; i < 100; ++i) {
        pairs.text[2 * i] = static_cast<char>('0' + i / 10);
        pairs.text[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return pairs;
}

constexpr DigitPairs kDigitPairs = make_digit_pairs();

// Writes the digits of value ending just before end; returns their start.
char *digits_before(char *end, uint64_t value) {
    while (value >= 100) {
        const uint64_t pair = value % 100;
        value /= 100;
        end -= 2;
        std::memcpy(end, kDigitPairs.text + 2 * pair, 2);
    }
    if (value >= 10) {
        end -= 2;
        std::memcpy(end, kDigitPairs.text + 2 * value, 2);
    } else {
        *--end = static_cast<char>('0' + value);
    }
    return end;
}

// value below 100 as two digits.
char *write_two(char *p, uint64_t value) {
    std::memcpy(p, kDigitPairs.text + 2 * value, 2);
    return p + 2;
}

// value with exactly `width` digits, leading zeros included.
char *write_padded(char *p, uint64_t value, int width) {
    int i = width;
    for (; i >= 2; i -= 2) {
        write_two(p + i - 2, value % 100);
        value /= 100;
    }
    if (i == 1) *p = static_cast<char>('0' + value % 10);
    return p + width;
}

// --------------------------------------------------- powers of ten

// 10^e for the e that doubles need, as g * 2^(e2 - 125) with g of exactly
// 126 bits: g = floor(10^e * 2^(125 - e2)) + 1 when that product is not an
// integer (so g is slightly above it), the product itself when it is.
constexpr int kMinTen = -292;
constexpr int kMaxTen = 324;
constexpr int kTenCount = kMaxTen - kMinTen + 1;
// 10^e * 2^(125 - e2) is an integer exactly for e in 0..kLastExactTen.
constexpr int kLastExactTen = 54;

struct Power {
    uint64_t high;  // bits 64..125 of g
    uint64_t low;   // bits 0..63
    int e2;         // floor(log2(10^e))
};

// Integers of up to 896 bits for building the table.
constexpr int kLimbs = 28;
struct Big {
    uint32_t limb[kLimbs];  // least significant first
};

constexpr void multiply(Big &b, uint32_t factor) {
    uint64_t carry = 0;
    for (uint32_t &limb : b.limb) {
        const uint64_t product = static_cast<uint64_t>(limb) * factor + carry;
        limb = static_cast<uint32_t>(product);
        carry = product >> 32;
    }
}

// Exact floor division: floor(floor(a / b) / c) is floor(a / (b c)), so
// repeated division of one power of two gives floor(2^n / 5^m) exactly.
constexpr void divide(Big &b, uint32_t divisor) {
    uint64_t rest = 0;
    for (int i = kLimbs - 1; i >= 0; --i) {
        const uint64_t current = rest << 32 | b.limb[i];
        b.limb[i] = static_cast<uint32_t>(current / divisor);
        rest = current % divisor;
    }
}

constexpr int bit_length(const Big &b) {
    for (int i = kLimbs - 1; i >= 0; --i) {
        if (b.limb[i] == 0) continue;
        int n = 32;
        while (((b.limb[i] >> (n - 1)) & 1) == 0) --n;
        return i * 32 + n;
    }
    return 0;
}

// floor(b / 2^shift) (b * 2^-shift for a negative shift), 126 bits at most.
constexpr Power top_bits(const Big &b, int shift) {
    Power p{0, 0, 0};
    for (int i = 0; i < 126; ++i) {
        const int at = shift + i;
        const uint64_t bit = at < 0 ? 0 : (b.limb[at / 32] >> (at % 32)) & 1;
        if (i >= 64) p.high |= bit << (i - 64);
        else p.low |= bit << i;
    }
    return p;
}

constexpr void increment(Power &p) {
    if (++p.low == 0) ++p.high;
}

struct PowerTable {
    Power power[kTenCount];
};

constexpr PowerTable make_power_table() {
    PowerTable table{};
    // 10^e = 5^e * 2^e: the power of five gives the bits.
    Big five{};
    five.limb[0] = 1;
    for (int e = 0; e <= kMaxTen; ++e) {
        if (e > 0) multiply(five, 5);
        const int length = bit_length(five);
        Power p = top_bits(five, length - 126);
        if (length > 126) increment(p);
        p.e2 = e + length - 1;
        table.power[e - kMinTen] = p;
    }
    // 10^-n = 2^-n / 5^n: floor(2^895 / 5^n) has 896 - bitlength(5^n) bits.
    Big quotient{};
    quotient.limb[kLimbs - 1] = 1u << 31;
    for (int n = 1; n <= -kMinTen; ++n) {
        divide(quotient, 5);
        const int five_length = 896 - bit_length(quotient);
        Power p = top_bits(quotient, 770 - five_length);
        increment(p);
        p.e2 = -n - five_length;
        table.power[-n - kMinTen] = p;
    }
    return table;
}

constexpr PowerTable kPowers = make_power_table();

// floor(q log10(2)), floor(q log10(2) + log10(3/4)) and floor(e log2(10))
// by fixed-point multiplication, exact over the exponents of doubles.
constexpr int floor_log10_pow2(int q) { return static_cast<int>((q * 661971961083LL) >> 41); }
constexpr int floor_log10_three_quarters_pow2(int q) {
    return static_cast<int>((q * 661971961083LL - 274743187321LL) >> 41);
}
constexpr int floor_log2_pow10(int e) { return static_cast<int>((e * 913124641741LL) >> 38); }

constexpr bool table_is_consistent() {
    for (int e = kMinTen; e <= kMaxTen; ++e) {
        const Power &p = kPowers.power[e - kMinTen];
        if (p.e2 != floor_log2_pow10(e)) return false;
        if (p.high >> 61 != 1) return false;  // exactly 126 bits
    }
    return true;
}
static_assert(table_is_consistent());
static_assert(kPowers.power[0 - kMinTen].high == uint64_t{1} << 61 &&
              kPowers.power[0 - kMinTen].low == 0);  // 1 * 2^125, exact

constexpr uint64_t kPowersOfFive[24] = {
    1ULL, 5ULL, 25ULL, 125ULL, 625ULL, 3125ULL, 15625ULL, 78125ULL, 390625ULL,
    1953125ULL, 9765625ULL, 48828125ULL, 244140625ULL, 1220703125ULL, 6103515625ULL,
    30517578125ULL, 152587890625ULL, 762939453125ULL, 3814697265625ULL,
    19073486328125ULL, 95367431640625ULL, 476837158203125ULL, 2384185791015625ULL,
    11920928955078125ULL,
};
static_assert(kPowersOfFive[23] == 11920928955078125ULL && kPowersOfFive[23] / 5 == kPowersOfFive[22]);

// x * 2^q * 10^-k with two extra bits, as floor(4 * that) | inexact, where
// x < 2^56. With k = -e, 10^-k = g * 2^(e2 - 125) and h = q + e2 + 2.
uint64_t scaled(const Power &g, uint64_t x, int h, int k) {
    const uint64_t shifted = x << h;
    const u128 low = static_cast<u128>(g.low) * shifted;
    const u128 high = static_cast<u128>(g.high) * shifted + (low >> 64);
    const auto whole = static_cast<uint64_t>(high >> 63);
    bool inexact;
    if (-k >= 0 && -k <= kLastExactTen) {
        // g is 10^-k scaled exactly: the product's lower bits tell.
        inexact = (high & ((u128{1} << 63) - 1)) != 0 || static_cast<uint64_t>(low) != 0;
    } else {
        // g is rounded up, so the product is a little high. An exact result
        // needs 5^k to divide x (10^-k is not an integer: k > 0, where
        // q >= k and the power of two divides out), which only a k of 23
        // or less can do for x < 2^56.
        inexact = !(k >= 1 && k <= 23 && x % kPowersOfFive[k] == 0);
    }
    return whole | static_cast<uint64_t>(inexact);
}

struct Decimal {
    uint64_t digits;
    int exponent;  // value = digits * 10^exponent
};

// The shortest decimal in the interval of positive finite bits that reads
// back as them; of two such, the nearer, and of two as near, the even one.
Decimal shortest(uint64_t bits) {
    const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
    const auto biased = static_cast<int>(bits >> 52);
    uint64_t c;
    int q;
    if (biased != 0) {
        c = fraction | uint64_t{1} << 52;
        q = biased - 1075;
        // An integer below 2^53: its own digits are the shortest text.
        if (q < 0 && q > -53) {
            const uint64_t whole = c >> -q;
            if (whole << -q == c) return {whole, 0};
        }
    } else {
        c = fraction;
        q = -1074;
    }

    // A value whose significand is even reads back from its interval's
    // ends too (ties go to even).
    const uint64_t open = c & 1;
    const uint64_t cb = c << 2;
    const uint64_t cbr = cb + 2;
    uint64_t cbl;
    int k;
    if (c != uint64_t{1} << 52 || q == -1074) {
        cbl = cb - 2;
        k = floor_log10_pow2(q);
    } else {
        // A power of two: the neighbour below is half as far away.
        cbl = cb - 1;
        k = floor_log10_three_quarters_pow2(q);
    }
    const Power &g = kPowers.power[-k - kMinTen];
    const int h = q + g.e2 + 2;
    const uint64_t vb = scaled(g, cb, h, k);
    const uint64_t vbl = scaled(g, cbl, h, k);
    const uint64_t vbr = scaled(g, cbr, h, k);

    const uint64_t s = vb >> 2;
    if (s >= 10) {
        // A multiple of ten inside the interval is shorter than s and s + 1.
        const uint64_t sp10 = s / 10 * 10;
        const uint64_t tp10 = sp10 + 10;
        const bool lower_in = vbl + open <= sp10 << 2;
        const bool upper_in = (tp10 << 2) + open <= vbr;
        if (lower_in != upper_in) return {lower_in ? sp10 : tp10, k};
    }
    const uint64_t t = s + 1;
    const bool lower_in = vbl + open <= s << 2;
    const bool upper_in = (t << 2) + open <= vbr;
    if (lower_in != upper_in) return {lower_in ? s : t, k};
    // Both read back: the nearer, the even one on a tie.
    const int64_t above_middle = static_cast<int64_t>(vb) - static_cast<int64_t>((s + t) << 1);
    return {above_middle < 0 || (above_middle == 0 && (s & 1) == 0) ? s : t, k};
}

}  // namespace

char *write_u64(char *p, uint64_t value) {
    char buffer[kIntegerRoom];
    char *end = buffer + sizeof buffer;
    const char *start = digits_before(end, value);
    const auto length = static_cast<size_t>(end - start);
    std::memcpy(p, start, length);
    return p + length;
}

char *write_i64(char *p, int64_t value) {
    if (value >= 0) return write_u64(p, static_cast<uint64_t>(value));
    *p++ = '-';
    const uint64_t magnitude = ~static_cast<uint64_t>(value) + 1;
    return write_u64(p, magnitude);
}

char *write_double(char *p, double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    if (bits >> 63 != 0) *p++ = '-';
    bits &= ~(uint64_t{1} << 63);
    if (bits == 0) return append(p, "0.0", 3);
    Decimal d = shortest(bits);
    while (d.digits % 10 == 0) {
        d.digits /= 10;
        ++d.exponent;
    }
    char buffer[kIntegerRoom];
    char *end = buffer + sizeof buffer;
    const char *digits = digits_before(end, d.digits);
    const auto count = static_cast<int>(end - digits);
    // The exponent of the first digit: value = d.ddd * 10^point.
    const int point = d.exponent + count - 1;

    if (point >= 0 && point < 16) {
        // 123.45, or 1200.0 with the zeros the digits leave.
        const int whole = point + 1;
        if (count <= whole) {
            std::memcpy(p, digits, static_cast<size_t>(count));
            p += count;
            std::memset(p, '0', static_cast<size_t>(whole - count));
            p += whole - count;
            return append(p, ".0", 2);
        }
        std::memcpy(p, digits, static_cast<size_t>(whole));
        p += whole;
        *p++ = '.';
        std::memcpy(p, digits + whole, static_cast<size_t>(count - whole));
        return p + (count - whole);
    }
    if (point < 0 && point >= -5) {
        // 0.00123
        p = append(p, "0.", 2);
        std::memset(p, '0', static_cast<size_t>(-point - 1));
        p += -point - 1;
        std::memcpy(p, digits, static_cast<size_t>(count));
        return p + count;
    }
    // 1.2345e-7, 1e300
    *p++ = digits[0];
    if (count > 1) {
        *p++ = '.';
        std::memcpy(p, digits + 1, static_cast<size_t>(count - 1));
        p += count - 1;
    }
    *p++ = 'e';
    return write_i64(p, point);
}

char *write_iso_date(char *p, int64_t seconds, int64_t nanoseconds) {
    int64_t days = seconds / 86400;
    int64_t second_of_day = seconds % 86400;
    if (second_of_day < 0) {
        second_of_day += 86400;
        --days;
    }
    // The civil date from a day count: years of 400 (146097 days) starting
    // on 1 March, so that the leap day ends each year.
    const int64_t from_march_0000 = days + 719468;
    const int64_t era = (from_march_0000 >= 0 ? from_march_0000 : from_march_0000 - 146096) / 146097;
    const int64_t day_of_era = from_march_0000 - era * 146097;
    const int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const int64_t month_from_march = (5 * day_of_year + 2) / 153;
    const int64_t day = day_of_year - (153 * month_from_march + 2) / 5 + 1;
    const int64_t month = month_from_march < 10 ? month_from_march + 3 : month_from_march - 9;
    const int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
    if (year < 0 || year > 9999) return nullptr;

    *p++ = '"';
    p = write_two(p, static_cast<uint64_t>(year / 100));
    p = write_two(p, static_cast<uint64_t>(year % 100));
    *p++ = '-';
    p = write_two(p, static_cast<uint64_t>(month));
    *p++ = '-';
    p = write_two(p, static_cast<uint64_t>(day));
    *p++ = 'T';
    p = write_two(p, static_cast<uint64_t>(second_of_day / 3600));
    *p++ = ':';
    p = write_two(p, static_cast<uint64_t>(second_of_day / 60 % 60));
    *p++ = ':';
    p = write_two(p, static_cast<uint64_t>(second_of_day % 60));
    if (nanoseconds >= 0) {
        *p++ = '.';
        p = write_padded(p, static_cast<uint64_t>(nanoseconds), 9);
    }
    *p++ = 'Z';
    *p++ = '"';
    return p;
}

char *write_seconds(char *p, int64_t seconds, int64_t fraction, int digits) {
    const int64_t unit = digits == 9 ? 1000000000 : 1000000;
    // Carry whole seconds out of the fraction, then give both parts one
    // sign. The sum may pass the 64-bit range; its magnitude stays below
    // 2^63 + 2^34, which an unsigned 64-bit integer holds.
    i128 whole = static_cast<i128>(seconds) + fraction / unit;
    int64_t rest = fraction % unit;
    if (whole > 0 && rest < 0) {
        --whole;
        rest += unit;
    } else if (whole < 0 && rest > 0) {
        ++whole;
        rest -= unit;
    }
    if (whole < 0 || rest < 0) *p++ = '-';
    p = write_u64(p, static_cast<uint64_t>(whole < 0 ? -whole : whole));
    *p++ = '.';
    return write_padded(p, static_cast<uint64_t>(rest < 0 ? -rest : rest), digits);
}

}  // namespace mekal::json
