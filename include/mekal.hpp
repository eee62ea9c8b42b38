/*
 * mekal.hpp: a header-only C++17 interface over the C ABI of mekal.h.
 *
 *   mekal::value(name, v)        records v; its type string is deduced at
 *                                compile time and composite values are packed
 *                                and handed to mekal_namevalue, which copies.
 *   mekal::get<T>(name)          reads a value back when its stored datatype
 *                                is exactly the one T deduces.
 *   mekal::observe(callable)     registers any callable (a lambda with
 *                                captures) as an observer; the handle it
 *                                returns unregisters it when destroyed.
 *
 * Deduced datatypes:
 *   signed char, short           "%i8", "%i16"     unsigned char, short  "%u8", "%u16"
 *   int, unsigned                "%d", "%u"        long, unsigned long   "%ld", "%lu"
 *   long long, unsigned ll       "%lld", "%llu"    float, double         "%f32", "%f"
 *   std::string, std::string_view, const char *, char arrays              "%s"
 *   mekal::version, path, catstring, jsonstring    "%v", "%p", "%r", "%j"
 *   std::chrono::system_clock time points          "%D" (whole seconds, rounded down)
 *   std::chrono::duration                          "%t" (a struct timeval, microseconds)
 *   std::vector, std::array, std::list, std::deque lists "{...}"
 *   std::set, std::unordered_set                   sets "[...]"
 *   mekal::range<T>                                ranges "<...>"
 *   std::pair, std::tuple                          tuples "(...)"
 * nested to any depth. Plain char, bool and the character types have no
 * datatype of their own and are rejected at compile time: record a char as
 * signed or unsigned char, a flag as an integer.
 *
 * Small scalars at the top level: the formatted entry takes an int for
 * "%i8"/"%i16" (unsigned int for "%u8"/"%u16") and stores it unnarrowed, so
 * the value is passed widened and keeps both its value and its 1- or 2-byte
 * datatype, the same datatype it has inside a container. Likewise a float is
 * recorded as "%f32" with the value widened to double.
 *
 * Failure results (-1, or an empty optional), with nothing recorded:
 *   - a null name, a null text, a text or name with an embedded NUL;
 *   - a ragged container: all elements of one list, set or range share one
 *     datatype and so one set of inner counts, so inner containers of
 *     different sizes cannot be expressed;
 *   - a count above INT_MAX or a packed size above INT_MAX (the C ABI's
 *     32-bit counts and sizes);
 *   - a duration beyond what a timeval of microseconds holds.
 *
 * Other containers take part once container_traits says what they are:
 *   template <> struct mekal::container_traits<my_vec> {
 *       static constexpr mekal::container_kind kind = mekal::container_kind::list; };
 * They need value_type, size(), begin() and end(); read-back also needs
 * push_back() (lists) or insert() (sets).
 *
 * Observers: the callable is copied into a heap holder that the registry's
 * observer points to; observe returns a move-only handle that unregisters it
 * when reset or destroyed. mekal_clean sends the control event "clean"
 * before it releases every observer; a second observer of the control
 * category that is registered with each callable (and receives events
 * whatever the reporting state) unregisters and destroys the holder on that
 * event and empties the handle. The callable must not throw and must not
 * call mekal_clean itself; a control event named "clean" recorded by the
 * application unregisters the callables too.
 *
 * No exceptions are thrown by this header and none are needed: it compiles
 * with -fno-exceptions.
 */
#ifndef MEKAL_HPP
#define MEKAL_HPP

#include <array>
#include <chrono>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
#include <list>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <unordered_set>
#include <utility>
#include <vector>

#include "mekal.h"

namespace mekal {

/* ----------------------------------------------------------- wrappers */

/* A text recorded under one of the text kinds other than "%s". */
template <char Conversion>
struct basic_text {
    std::string text;

    basic_text() = default;
    explicit basic_text(std::string_view t) : text(t) {}

    friend bool operator==(const basic_text &a, const basic_text &b) { return a.text == b.text; }
    friend bool operator!=(const basic_text &a, const basic_text &b) { return a.text != b.text; }
    friend bool operator<(const basic_text &a, const basic_text &b) { return a.text < b.text; }
};

using version = basic_text<'v'>;    /* "%v" */
using path = basic_text<'p'>;       /* "%p" */
using catstring = basic_text<'r'>;  /* "%r" */
using jsonstring = basic_text<'j'>; /* "%j" */

/* Two values of one type, recorded as a range "<...>". */
template <class T>
struct range {
    T low;
    T high;

    friend bool operator==(const range &a, const range &b) {
        return a.low == b.low && a.high == b.high;
    }
    friend bool operator!=(const range &a, const range &b) { return !(a == b); }
};

/* Which container kind a C++ container is recorded as. */
enum class container_kind { none, list, set };

template <class C>
struct container_traits {
    static constexpr container_kind kind = container_kind::none;
};
template <class T, class A>
struct container_traits<std::vector<T, A>> {
    static constexpr container_kind kind = container_kind::list;
};
template <class T, std::size_t N>
struct container_traits<std::array<T, N>> {
    static constexpr container_kind kind = container_kind::list;
};
template <class T, class A>
struct container_traits<std::list<T, A>> {
    static constexpr container_kind kind = container_kind::list;
};
template <class T, class A>
struct container_traits<std::deque<T, A>> {
    static constexpr container_kind kind = container_kind::list;
};
template <class T, class C, class A>
struct container_traits<std::set<T, C, A>> {
    static constexpr container_kind kind = container_kind::set;
};
template <class T, class H, class E, class A>
struct container_traits<std::unordered_set<T, H, E, A>> {
    static constexpr container_kind kind = container_kind::set;
};

/* A name or subcategory: a C text, a std::string (used in place) or a
 * std::string_view (copied, since it need not end in a NUL). Texts with an
 * embedded NUL are not valid. Lives for the call it is passed to. */
class text_arg {
public:
    text_arg(std::nullptr_t) {}
    text_arg(const char *s) : ptr_(s) {}
    text_arg(const std::string &s)
        : ptr_(s.c_str()), valid_(std::memchr(s.data(), 0, s.size()) == nullptr) {}
    text_arg(std::string_view s)
        : own_(s), ptr_(own_.c_str()), valid_(s.find('\0') == std::string_view::npos) {}
    text_arg(const text_arg &) = delete;
    text_arg &operator=(const text_arg &) = delete;

    const char *get() const { return ptr_; }
    bool valid() const { return valid_; }

private:
    std::string own_;
    const char *ptr_ = nullptr;
    bool valid_ = true;
};

namespace detail {

static_assert(sizeof(void *) == 8 && sizeof(long) == 8,
              "the packed form of mekal values assumes LP64");

/* ------------------------------------------------------ type strings */

template <std::size_t N>
struct fixed_text {
    char chars[N + 1] = {};
    constexpr const char *c_str() const { return chars; }
};

template <std::size_t N>
constexpr fixed_text<N - 1> literal(const char (&s)[N]) {
    fixed_text<N - 1> out{};
    for (std::size_t i = 0; i + 1 < N; ++i) out.chars[i] = s[i];
    return out;
}

template <std::size_t A, std::size_t B>
constexpr fixed_text<A + B> operator+(const fixed_text<A> &a, const fixed_text<B> &b) {
    fixed_text<A + B> out{};
    for (std::size_t i = 0; i < A; ++i) out.chars[i] = a.chars[i];
    for (std::size_t i = 0; i < B; ++i) out.chars[A + i] = b.chars[i];
    return out;
}

/* ------------------------------------------------------ sizes */

/* Sizes and counts saturate here: anything at or above it is refused. */
constexpr std::uint64_t too_big = static_cast<std::uint64_t>(INT_MAX) + 1;

inline std::uint64_t mul(std::uint64_t a, std::uint64_t b) {
    if (a == 0 || b == 0) return 0;
    if (a >= too_big || b >= too_big || a > too_big / b) return too_big;
    return a * b < too_big ? a * b : too_big;
}

inline std::uint64_t add(std::uint64_t a, std::uint64_t b) {
    if (a >= too_big || b >= too_big) return too_big;
    return a + b < too_big ? a + b : too_big;
}

inline std::uint64_t at_least_one(std::uint64_t a) { return a == 0 ? 1 : a; }

/* Copies made for one recording, alive until the call returns: NUL-ended
 * texts of string views and the timevals that "%t" points to. */
struct keeper {
    std::deque<std::string> texts;
    std::deque<struct timeval> times;
};

template <class T>
inline void put(unsigned char *&out, const T &v) {
    std::memcpy(out, &v, sizeof v);
    out += sizeof v;
}

inline bool has_nul(std::string_view s) { return s.find('\0') != std::string_view::npos; }

/* Nested packed data: the library's counts and sizes are 32-bit, so each
 * codec reports its packed size and its span (the largest product of
 * counts the library multiplies while walking it) from the counts alone. */

/* ------------------------------------------------------ codecs */

/* codec<T> knows T's type string, its count arguments (shape), its packed
 * form (pack), how a stored datatype is compared with it (matches) and how
 * a stored value is read back (read). Unsupported types get this one. */
template <class T, class = void>
struct codec {
    static constexpr bool supported = false;
    static constexpr bool readable = false;
    static constexpr bool container = false;
    static constexpr std::size_t counts = 0;
    static constexpr auto type = literal("?");
    using arg_type = int;
    static bool argument(const T &, keeper &, int &) { return false; }
    static bool shape(const T &, int *) { return false; }
    static std::uint64_t size(const int *) { return too_big; }
    static std::uint64_t span(const int *) { return too_big; }
    static bool pack(const T &, unsigned char *&, keeper &) { return false; }
    static bool matches(const mekal_datatype_t *) { return false; }
    static std::optional<T> read(const mekal_datatype_t *, const mekal_value_t &) {
        return std::nullopt;
    }
};

template <std::uint64_t Width>
struct scalar_shape {
    static constexpr bool supported = true;
    static constexpr bool container = false;
    static constexpr std::size_t counts = 0;
    template <class T>
    static bool shape(const T &, int *) { return true; }
    static std::uint64_t size(const int *) { return Width; }
    static std::uint64_t span(const int *) { return Width; }
};

/* Integers: packed in their own width, read back from as_int (widened by
 * the library) or as_long, refused when the stored value does not fit T. */
template <class T, class Arg, std::int32_t Code, std::uint64_t Width>
struct integer_codec : scalar_shape<Width> {
    static_assert(sizeof(T) == Width, "integer width");
    static constexpr bool readable = true;
    using arg_type = Arg;

    static bool argument(T v, keeper &, Arg &out) {
        out = static_cast<Arg>(v);
        return true;
    }
    static bool pack(T v, unsigned char *&out, keeper &) {
        put(out, v);
        return true;
    }
    static bool matches(const mekal_datatype_t *d) {
        return d != nullptr && d->type == Code && d->base_size == Width;
    }
    static std::optional<T> read(const mekal_datatype_t *, const mekal_value_t &v) {
        if constexpr (Width == 8) {
            return static_cast<T>(v.as_long);
        } else if constexpr (std::is_signed_v<T>) {
            const std::int32_t x = v.as_int;
            if (x < std::numeric_limits<T>::min() || x > std::numeric_limits<T>::max())
                return std::nullopt;
            return static_cast<T>(x);
        } else {
            const auto x = static_cast<std::uint32_t>(v.as_int);
            if (x > static_cast<std::uint32_t>(std::numeric_limits<T>::max())) return std::nullopt;
            return static_cast<T>(x);
        }
    }
};

template <>
struct codec<signed char> : integer_codec<signed char, int, mekal_type_int, 1> {
    static constexpr auto type = literal("%i8");
};
template <>
struct codec<unsigned char> : integer_codec<unsigned char, unsigned, mekal_type_unsigned_int, 1> {
    static constexpr auto type = literal("%u8");
};
template <>
struct codec<short> : integer_codec<short, int, mekal_type_int, 2> {
    static constexpr auto type = literal("%i16");
};
template <>
struct codec<unsigned short>
    : integer_codec<unsigned short, unsigned, mekal_type_unsigned_int, 2> {
    static constexpr auto type = literal("%u16");
};
template <>
struct codec<int> : integer_codec<int, int, mekal_type_int, 4> {
    static constexpr auto type = literal("%d");
};
template <>
struct codec<unsigned> : integer_codec<unsigned, unsigned, mekal_type_unsigned_int, 4> {
    static constexpr auto type = literal("%u");
};
template <>
struct codec<long> : integer_codec<long, long, mekal_type_long, 8> {
    static constexpr auto type = literal("%ld");
};
template <>
struct codec<unsigned long>
    : integer_codec<unsigned long, unsigned long, mekal_type_unsigned_long, 8> {
    static constexpr auto type = literal("%lu");
};
template <>
struct codec<long long> : integer_codec<long long, long long, mekal_type_long_long, 8> {
    static constexpr auto type = literal("%lld");
};
template <>
struct codec<unsigned long long>
    : integer_codec<unsigned long long, unsigned long long, mekal_type_unsigned_long_long, 8> {
    static constexpr auto type = literal("%llu");
};

/* Floating point: a float is packed in 4 bytes ("%f32"), a double in 8;
 * the library holds both as a double. */
template <class T, std::uint64_t Width>
struct floating_codec : scalar_shape<Width> {
    static_assert(sizeof(T) == Width, "floating width");
    static constexpr bool readable = true;
    using arg_type = double;

    static bool argument(T v, keeper &, double &out) {
        out = v;
        return true;
    }
    static bool pack(T v, unsigned char *&out, keeper &) {
        put(out, v);
        return true;
    }
    static bool matches(const mekal_datatype_t *d) {
        return d != nullptr && d->type == mekal_type_double && d->base_size == Width;
    }
    static std::optional<T> read(const mekal_datatype_t *, const mekal_value_t &v) {
        const double x = v.as_double;
        if constexpr (Width == 4) {
            // A double stored by C code under "%f32" may not fit a float.
            if (std::isfinite(x) && std::fabs(x) > FLT_MAX) return std::nullopt;
        }
        return static_cast<T>(x);
    }
};

template <>
struct codec<float> : floating_codec<float, 4> {
    static constexpr auto type = literal("%f32");
};
template <>
struct codec<double> : floating_codec<double, 8> {
    static constexpr auto type = literal("%f");
};

/* Dates: whole seconds since the epoch, rounded down. */
template <class D>
struct codec<std::chrono::time_point<std::chrono::system_clock, D>> : scalar_shape<8> {
    using time_point = std::chrono::time_point<std::chrono::system_clock, D>;
    static constexpr bool readable = true;
    static constexpr auto type = literal("%D");
    using arg_type = long;

    static bool seconds_of(const time_point &tp, long &out) {
        const std::chrono::duration<long double> s = tp.time_since_epoch();
        if (!(s.count() > -9.2e18L && s.count() < 9.2e18L)) return false;
        out = static_cast<long>(std::chrono::floor<std::chrono::seconds>(tp.time_since_epoch())
                                    .count());
        return true;
    }
    static bool argument(const time_point &tp, keeper &, long &out) { return seconds_of(tp, out); }
    static bool pack(const time_point &tp, unsigned char *&out, keeper &) {
        long s = 0;
        if (!seconds_of(tp, s)) return false;
        put(out, static_cast<std::int64_t>(s));
        return true;
    }
    static bool matches(const mekal_datatype_t *d) {
        return d != nullptr && d->type == mekal_type_date;
    }
    static std::optional<time_point> read(const mekal_datatype_t *, const mekal_value_t &v) {
        const std::chrono::duration<long double> s(static_cast<long double>(v.as_long));
        if (s > std::chrono::duration<long double>(D::max()) ||
            s < std::chrono::duration<long double>(D::min()))
            return std::nullopt;
        return time_point(std::chrono::duration_cast<D>(std::chrono::seconds(v.as_long)));
    }
};

/* Intervals: a struct timeval, rounded down to whole microseconds, with
 * tv_usec in [0, 1000000). */
template <class R, class P>
struct codec<std::chrono::duration<R, P>> : scalar_shape<8> {
    using duration = std::chrono::duration<R, P>;
    static constexpr bool readable = true;
    static constexpr auto type = literal("%t");
    using arg_type = const struct timeval *;

    static bool to_timeval(const duration &d, struct timeval &tv) {
        const std::chrono::duration<long double> s = d;
        if (!(s.count() > -9.0e12L && s.count() < 9.0e12L)) return false;
        const auto us = std::chrono::floor<std::chrono::microseconds>(d);
        const auto whole = std::chrono::floor<std::chrono::seconds>(us);
        tv.tv_sec = static_cast<decltype(tv.tv_sec)>(whole.count());
        tv.tv_usec = static_cast<decltype(tv.tv_usec)>((us - whole).count());
        return true;
    }
    static bool argument(const duration &d, keeper &keep, const struct timeval *&out) {
        struct timeval tv {};
        if (!to_timeval(d, tv)) return false;
        keep.times.push_back(tv);
        out = &keep.times.back();
        return true;
    }
    static bool pack(const duration &d, unsigned char *&out, keeper &keep) {
        const struct timeval *tv = nullptr;
        if (!argument(d, keep, tv)) return false;
        put(out, tv);
        return true;
    }
    static bool matches(const mekal_datatype_t *d) {
        return d != nullptr && d->type == mekal_type_timeval;
    }
    static std::optional<duration> read(const mekal_datatype_t *, const mekal_value_t &v) {
        const auto *tv = static_cast<const struct timeval *>(v.as_ptr);
        if (tv == nullptr || tv->tv_sec > 9000000000000 || tv->tv_sec < -9000000000000 ||
            tv->tv_usec < -1000000000 || tv->tv_usec > 1000000000)
            return std::nullopt;
        const std::chrono::microseconds us(static_cast<std::int64_t>(tv->tv_sec) * 1000000 +
                                           tv->tv_usec);
        const std::chrono::duration<long double, std::micro> wide = us;
        if (wide > std::chrono::duration<long double, std::micro>(duration::max()) ||
            wide < std::chrono::duration<long double, std::micro>(duration::min()))
            return std::nullopt;
        return std::chrono::duration_cast<duration>(us);
    }
};

/* Texts: an 8-byte pointer to a NUL-ended text. */
template <std::int32_t Code>
struct text_codec : scalar_shape<8> {
    using arg_type = const char *;
    static bool pack_text(const char *text, unsigned char *&out) {
        if (text == nullptr) return false;
        put(out, text);
        return true;
    }
    static bool matches(const mekal_datatype_t *d) { return d != nullptr && d->type == Code; }
};

template <>
struct codec<std::string> : text_codec<mekal_type_string> {
    static constexpr bool readable = true;
    static constexpr auto type = literal("%s");
    static bool argument(const std::string &s, keeper &, const char *&out) {
        if (has_nul(s)) return false;
        out = s.c_str();
        return true;
    }
    static bool pack(const std::string &s, unsigned char *&out, keeper &) {
        return !has_nul(s) && pack_text(s.c_str(), out);
    }
    static std::optional<std::string> read(const mekal_datatype_t *, const mekal_value_t &v) {
        if (v.as_ptr == nullptr) return std::nullopt;
        return std::string(static_cast<const char *>(v.as_ptr));
    }
};

/* A view need not end in a NUL: it is recorded from a copy. Read texts back
 * as std::string. */
template <>
struct codec<std::string_view> : text_codec<mekal_type_string> {
    static constexpr bool readable = false;
    static constexpr auto type = literal("%s");
    static bool argument(std::string_view s, keeper &keep, const char *&out) {
        if (has_nul(s)) return false;
        keep.texts.emplace_back(s);
        out = keep.texts.back().c_str();
        return true;
    }
    static bool pack(std::string_view s, unsigned char *&out, keeper &keep) {
        const char *text = nullptr;
        return argument(s, keep, text) && pack_text(text, out);
    }
    static std::optional<std::string_view> read(const mekal_datatype_t *, const mekal_value_t &) {
        return std::nullopt;
    }
};

template <class Pointer>
struct c_text_codec : text_codec<mekal_type_string> {
    static constexpr bool readable = false;
    static constexpr auto type = literal("%s");
    static bool argument(Pointer s, keeper &, const char *&out) {
        out = s;
        return s != nullptr;
    }
    static bool pack(Pointer s, unsigned char *&out, keeper &) { return pack_text(s, out); }
    static std::optional<Pointer> read(const mekal_datatype_t *, const mekal_value_t &) {
        return std::nullopt;
    }
};
template <>
struct codec<const char *> : c_text_codec<const char *> {};
template <>
struct codec<char *> : c_text_codec<char *> {};

/* A char array (a string literal) must hold its NUL. */
template <std::size_t N>
struct codec<char[N]> : text_codec<mekal_type_string> {
    static constexpr bool readable = false;
    static constexpr auto type = literal("%s");
    static bool argument(const char (&s)[N], keeper &, const char *&out) {
        if (std::memchr(s, 0, N) == nullptr) return false;
        out = s;
        return true;
    }
    static bool pack(const char (&s)[N], unsigned char *&out, keeper &keep) {
        const char *text = nullptr;
        return argument(s, keep, text) && pack_text(text, out);
    }
};

template <char C>
constexpr std::int32_t text_code() {
    return C == 'v' ? mekal_type_version
         : C == 'p' ? mekal_type_path
         : C == 'r' ? mekal_type_catstring
                    : mekal_type_jsonstring;
}

template <char C>
struct codec<basic_text<C>> : text_codec<text_code<C>()> {
    static_assert(C == 'v' || C == 'p' || C == 'r' || C == 'j', "no such text kind");
    static constexpr bool readable = true;
    static constexpr fixed_text<2> type{{'%', C, '\0'}};
    static bool argument(const basic_text<C> &t, keeper &, const char *&out) {
        if (has_nul(t.text)) return false;
        out = t.text.c_str();
        return true;
    }
    static bool pack(const basic_text<C> &t, unsigned char *&out, keeper &) {
        return !has_nul(t.text) && text_codec<text_code<C>()>::pack_text(t.text.c_str(), out);
    }
    static std::optional<basic_text<C>> read(const mekal_datatype_t *, const mekal_value_t &v) {
        if (v.as_ptr == nullptr) return std::nullopt;
        return basic_text<C>(static_cast<const char *>(v.as_ptr));
    }
};

/* ------------------------------------------------------ containers */

template <class C>
struct is_std_array : std::false_type {};
template <class T, std::size_t N>
struct is_std_array<std::array<T, N>> : std::true_type {};

template <class C, class E, class = void>
struct has_push_back : std::false_type {};
template <class C, class E>
struct has_push_back<C, E, std::void_t<decltype(std::declval<C &>().push_back(std::declval<E>()))>>
    : std::true_type {};

/* Reads element i of a stored container into out. */
template <class E>
bool read_element(const mekal_datatype_t *d, const mekal_value_t &v, int i,
                  std::optional<E> &out) {
    mekal_datatype_t *sub = nullptr;
    mekal_value_t subvalue;
    subvalue.as_long = 0;
    if (mekal_get_subval(d, &v, i, &sub, &subvalue) != 0 || !codec<E>::matches(sub)) return false;
    out = codec<E>::read(sub, subvalue);
    return out.has_value();
}

/* Whether two elements of one list, set or range have the same counts. */
template <class E>
bool same_shape(const E &e, const int *reference) {
    std::array<int, codec<E>::counts> mine{};
    if (!codec<E>::shape(e, mine.data())) return false;
    for (std::size_t i = 0; i < codec<E>::counts; ++i)
        if (mine[i] != reference[i]) return false;
    return true;
}

/* Lists and sets: one count, then the shared counts of the elements. */
template <class C>
struct codec<C, std::enable_if_t<container_traits<C>::kind != container_kind::none>> {
    using element = typename C::value_type;
    using elem = codec<element>;
    static constexpr bool is_list = container_traits<C>::kind == container_kind::list;
    static constexpr bool supported = elem::supported;
    static constexpr bool readable = elem::readable;
    static constexpr bool container = true;
    static constexpr std::size_t counts = 1 + elem::counts;
    static constexpr auto type = (is_list ? literal("{") : literal("[")) + elem::type +
                                 (is_list ? literal("}") : literal("]"));

    static bool shape(const C &c, int *out) {
        const std::size_t n = c.size();
        if (n > static_cast<std::size_t>(INT_MAX)) return false;
        out[0] = static_cast<int>(n);
        if constexpr (elem::counts > 0) {
            int *inner = out + 1;
            for (std::size_t i = 0; i < elem::counts; ++i) inner[i] = 0;
            bool first = true;
            for (const auto &e : c) {
                if (first) {
                    if (!elem::shape(e, inner)) return false;
                    first = false;
                } else if (!same_shape(e, inner)) {
                    return false;
                }
            }
        }
        return true;
    }
    static std::uint64_t size(const int *in) {
        return mul(static_cast<std::uint64_t>(in[0]), elem::size(in + 1));
    }
    static std::uint64_t span(const int *in) {
        return mul(static_cast<std::uint64_t>(in[0]), at_least_one(elem::span(in + 1)));
    }
    static bool pack(const C &c, unsigned char *&out, keeper &keep) {
        for (const auto &e : c)
            if (!elem::pack(e, out, keep)) return false;
        return true;
    }
    static bool matches(const mekal_datatype_t *d) {
        if (d == nullptr || d->type != (is_list ? mekal_type_list : mekal_type_set) ||
            d->num_subtypes != 1 || d->subtypes == nullptr || !elem::matches(d->subtypes[0]))
            return false;
        if constexpr (is_std_array<C>::value)
            return mekal_num_subvals(d) == static_cast<int>(std::tuple_size<C>::value);
        return true;
    }
    static std::optional<C> read(const mekal_datatype_t *d, const mekal_value_t &v) {
        const int n = mekal_num_subvals(d);
        if (n < 0) return std::nullopt;
        C out{};
        if constexpr (is_std_array<C>::value)
            if (static_cast<std::size_t>(n) != out.size()) return std::nullopt;
        for (int i = 0; i < n; ++i) {
            std::optional<element> e;
            if (!read_element(d, v, i, e)) return std::nullopt;
            if constexpr (is_std_array<C>::value)
                out[static_cast<std::size_t>(i)] = std::move(*e);
            else if constexpr (has_push_back<C, element>::value)
                out.push_back(std::move(*e));
            else
                out.insert(std::move(*e));
        }
        return out;
    }
};

/* Ranges: no count of their own; both ends share one shape. */
template <class T>
struct codec<range<T>> {
    using elem = codec<T>;
    static constexpr bool supported = elem::supported;
    static constexpr bool readable = elem::readable;
    static constexpr bool container = true;
    static constexpr std::size_t counts = elem::counts;
    static constexpr auto type = literal("<") + elem::type + literal(">");

    static bool shape(const range<T> &r, int *out) {
        return elem::shape(r.low, out) && same_shape(r.high, out);
    }
    static std::uint64_t size(const int *in) { return mul(2, elem::size(in)); }
    static std::uint64_t span(const int *in) { return mul(2, at_least_one(elem::span(in))); }
    static bool pack(const range<T> &r, unsigned char *&out, keeper &keep) {
        return elem::pack(r.low, out, keep) && elem::pack(r.high, out, keep);
    }
    static bool matches(const mekal_datatype_t *d) {
        return d != nullptr && d->type == mekal_type_range && d->num_subtypes == 1 &&
               d->subtypes != nullptr && elem::matches(d->subtypes[0]) &&
               mekal_num_subvals(d) == 2;
    }
    static std::optional<range<T>> read(const mekal_datatype_t *d, const mekal_value_t &v) {
        std::optional<T> low, high;
        if (!read_element(d, v, 0, low) || !read_element(d, v, 1, high)) return std::nullopt;
        return range<T>{std::move(*low), std::move(*high)};
    }
};

/* The members of a tuple's type string, comma-separated. */
template <class... Ts>
struct joined {
    static constexpr auto text = literal("");
};
template <class T>
struct joined<T> {
    static constexpr auto text = codec<T>::type;
};
template <class T, class U, class... Rest>
struct joined<T, U, Rest...> {
    static constexpr auto text = codec<T>::type + literal(",") + joined<U, Rest...>::text;
};

/* Tuples: the member count, then each member's counts in member order. */
template <class Tup, class... Ts>
struct tuple_codec {
    static constexpr std::size_t members = sizeof...(Ts);
    static constexpr bool supported = (codec<Ts>::supported && ... && true);
    static constexpr bool readable = (codec<Ts>::readable && ... && true);
    static constexpr bool container = true;
    static constexpr std::size_t counts = 1 + (codec<Ts>::counts + ... + 0);

    template <std::size_t I>
    using member = codec<std::tuple_element_t<I, std::tuple<Ts...>>>;

    static constexpr auto type = literal("(") + joined<Ts...>::text + literal(")");

    /* Where member I's counts start. */
    template <std::size_t I>
    static constexpr std::size_t offset() {
        constexpr std::size_t each[] = {codec<Ts>::counts..., 0};
        std::size_t at = 1;
        for (std::size_t i = 0; i < I; ++i) at += each[i];
        return at;
    }

    template <std::size_t... I>
    static bool shape_members(const Tup &t, int *out, std::index_sequence<I...>) {
        (void)t;
        (void)out;
        return (member<I>::shape(std::get<I>(t), out + offset<I>()) && ... && true);
    }
    static bool shape(const Tup &t, int *out) {
        out[0] = static_cast<int>(members);
        return shape_members(t, out, std::index_sequence_for<Ts...>{});
    }

    template <std::size_t... I>
    static std::uint64_t size_members(const int *in, std::index_sequence<I...>) {
        (void)in;
        std::uint64_t total = 0;
        ((total = add(total, member<I>::size(in + offset<I>()))), ...);
        return total;
    }
    static std::uint64_t size(const int *in) {
        return size_members(in, std::index_sequence_for<Ts...>{});
    }
    template <std::size_t... I>
    static std::uint64_t span_members(const int *in, std::index_sequence<I...>) {
        (void)in;
        std::uint64_t total = 0;
        ((total = add(total, member<I>::span(in + offset<I>()))), ...);
        return total;
    }
    static std::uint64_t span(const int *in) {
        return span_members(in, std::index_sequence_for<Ts...>{});
    }

    template <std::size_t... I>
    static bool pack_members(const Tup &t, unsigned char *&out, keeper &keep,
                             std::index_sequence<I...>) {
        (void)t;
        (void)out;
        (void)keep;
        return (member<I>::pack(std::get<I>(t), out, keep) && ... && true);
    }
    static bool pack(const Tup &t, unsigned char *&out, keeper &keep) {
        return pack_members(t, out, keep, std::index_sequence_for<Ts...>{});
    }

    template <std::size_t... I>
    static bool matches_members(const mekal_datatype_t *d, std::index_sequence<I...>) {
        return (member<I>::matches(d->subtypes[I]) && ... && true);
    }
    static bool matches(const mekal_datatype_t *d) {
        if (d == nullptr || d->type != mekal_type_tuple ||
            d->num_subtypes != static_cast<std::int32_t>(members) ||
            mekal_num_subvals(d) != static_cast<int>(members))
            return false;
        if constexpr (members > 0) {
            if (d->subtypes == nullptr) return false;
            return matches_members(d, std::index_sequence_for<Ts...>{});
        }
        return true;
    }

    template <std::size_t... I>
    static std::optional<Tup> read_members(const mekal_datatype_t *d, const mekal_value_t &v,
                                           std::index_sequence<I...>) {
        (void)d;
        (void)v;
        std::tuple<std::optional<Ts>...> parts;
        (void)parts;
        const bool ok = (read_element(d, v, static_cast<int>(I), std::get<I>(parts)) && ... && true);
        if (!ok) return std::nullopt;
        return Tup(std::move(*std::get<I>(parts))...);
    }
    static std::optional<Tup> read(const mekal_datatype_t *d, const mekal_value_t &v) {
        return read_members(d, v, std::index_sequence_for<Ts...>{});
    }
};

template <class... Ts>
struct codec<std::tuple<Ts...>> : tuple_codec<std::tuple<Ts...>, Ts...> {};
template <class A, class B>
struct codec<std::pair<A, B>> : tuple_codec<std::pair<A, B>, A, B> {};

/* ------------------------------------------------------ recording */

/* malloc'd packed data, at least one byte so the pointer is never null. */
struct packed_buffer {
    explicit packed_buffer(std::uint64_t size)
        : data(static_cast<unsigned char *>(std::malloc(size ? size : 1))) {}
    ~packed_buffer() { std::free(data); }
    packed_buffer(const packed_buffer &) = delete;
    packed_buffer &operator=(const packed_buffer &) = delete;
    unsigned char *data;
};

template <class T>
using plain_t = std::remove_cv_t<T>;

/* The count arguments and packed size of a composite value, or false when
 * the value cannot be expressed in the C ABI (ragged, counts or size beyond
 * 32 bits). */
template <class T>
bool plan(const T &v, std::array<int, codec<T>::counts> &counts, std::uint64_t &size) {
    if (!codec<T>::shape(v, counts.data())) return false;
    size = codec<T>::size(counts.data());
    return size < too_big && codec<T>::span(counts.data()) < too_big;
}

}  // namespace detail

/* ------------------------------------------------------------ recording */

/* Records v under name with the deduced type string. Returns 0 when
 * recorded, -1 when refused (nothing is recorded then). */
template <class T>
int value(const text_arg &name, const T &v, mekal_category_t category = mekal_category_general,
          const text_arg &subcategory = nullptr) {
    using codec = detail::codec<detail::plain_t<T>>;
    static_assert(codec::supported, "mekal::value: this C++ type has no mekal datatype");
    if (name.get() == nullptr || !name.valid() || !subcategory.valid()) return -1;
    detail::keeper keep;
    if constexpr (codec::container) {
        std::array<int, codec::counts> counts{};
        std::uint64_t size = 0;
        if (!detail::plan(v, counts, size)) return -1;
        detail::packed_buffer buffer(size);
        if (buffer.data == nullptr) return -1;
        unsigned char *out = buffer.data;
        if (!codec::pack(v, out, keep) || static_cast<std::uint64_t>(out - buffer.data) != size)
            return -1;
        void *packed = buffer.data;
        return std::apply(
            [&](auto... count) {
                return mekal_namevalue(name.get(), category, subcategory.get(), codec::type.c_str(),
                                       packed, count...);
            },
            counts);
    } else {
        typename codec::arg_type argument{};
        if (!codec::argument(v, keep, argument)) return -1;
        return mekal_namevalue(name.get(), category, subcategory.get(), codec::type.c_str(),
                               argument);
    }
}

/* The type string mekal::value uses for T. */
template <class T>
constexpr const char *type_string() {
    static_assert(detail::codec<detail::plain_t<T>>::supported,
                  "mekal::type_string: this C++ type has no mekal datatype");
    return detail::codec<detail::plain_t<T>>::type.c_str();
}

/* Whether a datatype is exactly the one T deduces (widths and the fixed
 * counts of std::array and tuples included; references are read alike). */
template <class T>
bool datatype_matches(const mekal_datatype_t *datatype) {
    return detail::codec<T>::matches(datatype);
}

/* Reads a value as T: empty when it cannot be read as T. */
template <class T>
std::optional<T> read_value(const mekal_datatype_t *datatype, const mekal_value_t *value) {
    using codec = detail::codec<T>;
    static_assert(std::is_same_v<T, detail::plain_t<T>> && !std::is_array_v<T>,
                  "mekal::get: read into a plain object type");
    static_assert(codec::supported, "mekal::get: this C++ type has no mekal datatype");
    static_assert(codec::readable, "mekal::get: read texts back as std::string or a text wrapper");
    if (datatype == nullptr || value == nullptr || !codec::matches(datatype)) return std::nullopt;
    return codec::read(datatype, *value);
}

/* ------------------------------------------------------------ reading */

/* The value recorded under name, when its datatype is the one T deduces;
 * empty when the name is absent or the datatype differs. */
template <class T>
std::optional<T> get(const text_arg &name) {
    if (name.get() == nullptr || !name.valid()) return std::nullopt;
    mekal_datatype_t *datatype = nullptr;
    mekal_value_t *value = nullptr;
    if (mekal_get_nameval(name.get(), &datatype, &value, nullptr, nullptr) != 0)
        return std::nullopt;
    return read_value<T>(datatype, value);
}

/* ------------------------------------------------------------ observing */

/* One recording as an observer sees it. The pointers are valid during the
 * call (stored values stay until replaced or cleaned). */
struct event {
    const char *name;
    mekal_category_t category;
    const char *subcategory;
    const mekal_value_t *value;
    const mekal_datatype_t *datatype;
    const mekal_value_info_t *info;

    template <class T>
    std::optional<T> as() const {
        return read_value<T>(datatype, value);
    }
    bool is_control() const { return category == mekal_category_control; }
};

class observer_handle;

namespace detail {

template <class F>
constexpr bool takes_event = std::is_invocable_v<F &, const event &>;

/* The registry hands out plain pointers, so a callable may take them
 * either const or not. */
template <class F>
constexpr bool takes_plain =
    std::is_invocable_v<F &, const char *, mekal_category_t, const char *, mekal_value_t *,
                        mekal_datatype_t *>;

/* What a handle needs of its holder, whatever the callable's type. */
struct holder_ops {
    int (*unregister)(void *holder) noexcept;
    void (*set_owner)(void *holder, observer_handle *owner) noexcept;
};

template <class F>
struct observer_holder;

}  // namespace detail

/* An observer registered by mekal::observe. Move-only; it unregisters the
 * observer when it is reset or destroyed (a moved-from handle does
 * nothing), so a plugin's static handle cleans up when the plugin is
 * unloaded. mekal_clean releases the observer first and empties the handle.
 * Discarding the handle unregisters at once: keep it, or detach() it. */
class [[nodiscard]] observer_handle {
public:
    observer_handle() noexcept = default;
    observer_handle(observer_handle &&other) noexcept { take(other); }
    observer_handle &operator=(observer_handle &&other) noexcept {
        if (this != &other) {
            reset();
            take(other);
        }
        return *this;
    }
    observer_handle(const observer_handle &) = delete;
    observer_handle &operator=(const observer_handle &) = delete;
    ~observer_handle() { reset(); }

    /* True while the handle holds a registered observer. */
    explicit operator bool() const noexcept { return holder_ != nullptr; }
    /* 0 while the handle holds a registered observer, else -1 (what
     * observe returned as an int before it returned a handle). */
    int result() const noexcept { return holder_ != nullptr ? 0 : -1; }

    /* Unregisters now: the callable is not called again and is destroyed
     * as soon as no call of it is running. Returns the number of observers
     * disabled (1), or 0 when the handle held none. */
    int reset() noexcept {
        if (holder_ == nullptr) return 0;
        void *holder = holder_;
        const detail::holder_ops *ops = ops_;
        holder_ = nullptr;
        ops_ = nullptr;
        return ops->unregister(holder);
    }

    /* Lets go of the observer without unregistering it: it stays until
     * mekal_clean, which releases the callable. */
    void detach() noexcept {
        if (holder_ == nullptr) return;
        ops_->set_owner(holder_, nullptr);
        holder_ = nullptr;
        ops_ = nullptr;
    }

private:
    template <class F>
    friend struct detail::observer_holder;

    observer_handle(void *holder, const detail::holder_ops *ops) noexcept
        : holder_(holder), ops_(ops) {
        ops_->set_owner(holder_, this);
    }
    void take(observer_handle &other) noexcept {
        holder_ = other.holder_;
        ops_ = other.ops_;
        other.holder_ = nullptr;
        other.ops_ = nullptr;
        if (holder_ != nullptr) ops_->set_owner(holder_, this);
    }
    /* The holder was released by mekal_clean. */
    void forget() noexcept {
        holder_ = nullptr;
        ops_ = nullptr;
    }

    void *holder_ = nullptr;
    const detail::holder_ops *ops_ = nullptr;
};

namespace detail {

/* The callable on the heap, with two observers pointing at it: notify for
 * the recordings, release for the control event "clean". It is freed once:
 * by the handle's reset, or by release, or, when either comes while a call
 * of the callable is running, by that call as it returns. */
template <class F>
struct observer_holder {
    F fn;
    observer_handle *owner = nullptr;
    int running = 0;        // calls of fn in progress
    bool orphaned = false;  // unregistered during a call: the last call frees it

    static void notify(const char *name, mekal_value_t *value, mekal_datatype_t *datatype,
                       mekal_value_info_t *info, void *opaque) noexcept {
        auto *self = static_cast<observer_holder *>(opaque);
        const mekal_category_t category = info ? info->category : mekal_category_control;
        const char *subcategory = info ? info->subcategory : nullptr;
        ++self->running;
        if constexpr (takes_event<F>)
            self->fn(event{name, category, subcategory, value, datatype, info});
        else
            self->fn(name, category, subcategory, value, datatype);
        if (--self->running == 0 && self->orphaned) delete self;
    }

    /* Disables both observers and frees the holder, or leaves that to the
     * call in progress. */
    static int unregister(void *opaque) noexcept {
        auto *self = static_cast<observer_holder *>(opaque);
        self->owner = nullptr;
        const int disabled = mekal_unregister_cb_with_info(&notify, self);
        (void)mekal_unregister_cb_with_info(&release, self);
        if (self->running != 0)
            self->orphaned = true;
        else
            delete self;
        return disabled;
    }

    /* Registered before notify, so it runs after it for the same event. A
     * "clean" that is not mekal_clean's (an application may send one)
     * leaves no observer pointing at the freed holder either. */
    static void release(const char *name, mekal_value_t *, mekal_datatype_t *,
                        mekal_value_info_t *, void *opaque) noexcept {
        if (name == nullptr || std::strcmp(name, "clean") != 0) return;
        auto *self = static_cast<observer_holder *>(opaque);
        if (self->owner != nullptr) self->owner->forget();
        (void)unregister(self);
    }

    static void set_owner(void *opaque, observer_handle *owner) noexcept {
        static_cast<observer_holder *>(opaque)->owner = owner;
    }

    static constexpr holder_ops ops{&unregister, &set_owner};

    static observer_handle handle(observer_holder *self) noexcept {
        return observer_handle(self, &ops);
    }
};

}  // namespace detail

/* Registers fn as an observer of every later recording of category (all by
 * default). fn takes a const mekal::event&, or the plain callback's
 * (name, category, subcategory, value, datatype). It is kept until the
 * returned handle is reset or destroyed, or until mekal_clean. report_all:
 * receive events even in a non-reporting process. An empty handle (false,
 * result() -1) when the holder could not be allocated. */
template <class F>
observer_handle observe(F &&fn, mekal_category_t category = mekal_category_all,
                        bool report_all = false) {
    using callable = std::decay_t<F>;
    static_assert(detail::takes_event<callable> || detail::takes_plain<callable>,
                  "mekal::observe: the callable takes a const mekal::event& or "
                  "(name, category, subcategory, value, datatype)");
    using holder = detail::observer_holder<callable>;
    holder *h = new (std::nothrow) holder{std::forward<F>(fn)};
    if (h == nullptr) return observer_handle();
    mekal_register_cb_with_info(1, mekal_category_control, &holder::release, 1, h);
    mekal_register_cb_with_info(1, category, &holder::notify, report_all ? 1 : 0, h);
    return holder::handle(h);
}

}  // namespace mekal

namespace std {
template <char C>
struct hash<mekal::basic_text<C>> {
    size_t operator()(const mekal::basic_text<C> &t) const noexcept {
        return hash<string>()(t.text);
    }
};
}  // namespace std

#endif /* MEKAL_HPP */
