// JSON rendering internals: number and date formatting, text escaping and
// the strict check that decides whether a jsonstring is embedded as JSON.
// Everything writes into a growable_text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/growable_text.h"
#include "mekal.h"

namespace mekal::json {

// Copies n bytes of text to p; returns the end.
inline char *append(char *p, const char *text, size_t n) {
    std::memcpy(p, text, n);
    return p + n;
}

// numbers.cpp
// Each writes at p and returns the end; the room needed is given.
inline constexpr size_t kIntegerRoom = 20;
char *write_u64(char *p, uint64_t value);
char *write_i64(char *p, int64_t value);
// The shortest text that reads back as the same double: digits, '.', an
// exponent when far from 1, "-0.0" for negative zero. Finite values only.
inline constexpr size_t kDoubleRoom = 32;
char *write_double(char *p, double value);
// "2026-12-08T22:29:00Z", with nine decimals of the second when nanoseconds
// is not negative; nullptr (nothing written) for a year outside 0..9999.
inline constexpr size_t kDateRoom = 32;
char *write_iso_date(char *p, int64_t seconds, int64_t nanoseconds);
// seconds + fraction / 10^digits as a JSON number with exactly `digits`
// decimals, whatever the signs of the two parts and however far the
// fraction lies outside one second. digits is 6 or 9.
inline constexpr size_t kIntervalRoom = 48;
char *write_seconds(char *p, int64_t seconds, int64_t fraction, int digits);

// text.cpp
// text as a JSON string: quotes, backslashes and control characters
// escaped, each byte that is not part of valid UTF-8 replaced by U+FFFD;
// null for a null pointer.
void put_text(growable_text &out, const char *text);
// text itself, without its insignificant blanks, when it is one valid JSON
// value; otherwise text as a JSON string.
void put_json_text(growable_text &out, const char *text);
// Whether text is exactly one JSON value (RFC 8259), in UTF-8, with no
// unpaired surrogate escapes and at most kMaxJsonNesting open brackets.
inline constexpr int kMaxJsonNesting = 256;
bool is_valid_json(const char *text);

}  // namespace mekal::json
