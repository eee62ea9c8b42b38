// Rendering a datatype as its type string ("[%d]") or in words ("set of
// int"). One renderer serves a measuring pass and a writing pass, so the
// result is allocated once at exactly the needed size.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "types/types.h"

namespace mekal {
namespace {

struct Texts {
    const char *short_form;
    const char *long_form;
};

// Scalars: the one text of the code. Containers: the opening text; the
// closing texts are in kClosing.
constexpr Texts kTexts[19] = {
    {"unset", "unset"},
    {"%ld", "long"},
    {"%lu", "unsigned long"},
    {"%d", "int"},
    {"%u", "unsigned int"},
    {"%f", "double"},
    {"%D", "date"},
    {"%t", "timeval"},
    {"%v", "version"},
    {"%s", "string"},
    {"%r", "catstring"},
    {"%p", "path"},
    {"<", "range of "},
    {"[", "set of "},
    {"{", "list of "},
    {"(", "tuple of ("},
    {"%lld", "long long"},
    {"%llu", "unsigned long long"},
    {"%j", "jsonstring"},
};

// Closing texts of range, set, list and tuple. The words of a range, set or
// list need none: "set of int".
constexpr Texts kClosing[4] = {{">", ""}, {"]", ""}, {"}", ""}, {")", ")"}};

// Positions are counted in 64 bits so that a corrupt record claiming
// billions of members cannot overflow them; past INT_MAX nothing more is
// rendered, and the result saturates there.
constexpr int64_t kCountLimit = INT_MAX;

// Counts, or writes at position what fits below size, one piece of text.
// The count is the text's whole length either way, so both passes agree
// even when the buffer is too small.
int64_t emit(const char *text, char *buffer, int size, int64_t position, int measure_only) {
    if (measure_only || buffer == nullptr || position < 0 || position >= size) {
        return static_cast<int64_t>(std::strlen(text));
    }
    // The same bytes snprintf("%s") would write, without parsing a format.
    const size_t length = std::strlen(text);
    const size_t room = static_cast<size_t>(size - position) - 1;
    const size_t copied = length < room ? length : room;
    std::memcpy(buffer + position, text, copied);
    buffer[position + static_cast<int64_t>(copied)] = '\0';
    return static_cast<int64_t>(length);
}

const char *pick(const Texts &texts, int long_form) {
    return long_form ? texts.long_form : texts.short_form;
}

// -1 for containers nested deeper than kMaxNesting: a cut text would
// describe another type.
int64_t render_at_depth(const mekal_datatype_t *datatype, char *buffer, int size, int64_t position,
                        int long_form, int measure_only, int depth) {
    if (datatype == nullptr || datatype->type < 0 || datatype->type > 18) return 0;
    const int32_t code = datatype->type;
    if (!is_container_code(code)) return emit(pick(kTexts[code], long_form), buffer, size, position, measure_only);
    if (depth >= kMaxNesting) return -1;

    int64_t running = position + emit(pick(kTexts[code], long_form), buffer, size, position, measure_only);
    const int32_t members = datatype->num_subtypes;
    for (int32_t i = 0; i < members && running - position <= kCountLimit; ++i) {
        // A missing member renders as nothing; its separator still stands,
        // so the member count stays visible.
        const mekal_datatype_t *member = datatype->subtypes != nullptr ? datatype->subtypes[i] : nullptr;
        const int64_t rendered = render_at_depth(member, buffer, size, running, long_form, measure_only, depth + 1);
        if (rendered < 0) return -1;
        running += rendered;
        if (i + 1 < members) running += emit(", ", buffer, size, running, measure_only);
    }
    const Texts &closing = kClosing[code - mekal_type_range];
    running += emit(pick(closing, long_form), buffer, size, running, measure_only);
    return running - position;
}

}  // namespace

const char *scalar_type_text(int32_t code, int long_form) {
    if (code < 0 || code > 18 || is_container_code(code)) return nullptr;
    return pick(kTexts[code], long_form);
}

int render_type(const mekal_datatype_t *datatype, char *buffer, int size, int position,
                int long_form, int measure_only) {
    const int64_t count = render_at_depth(datatype, buffer, size, position, long_form, measure_only, 0);
    return count > kCountLimit ? INT_MAX : static_cast<int>(count);
}

}  // namespace mekal

extern "C" MEKAL_API char *mekal_type_to_string(const mekal_datatype_t *datatype, int long_form) {
    if (datatype == nullptr) return nullptr;
    const int count = mekal::render_type(datatype, nullptr, 0, 0, long_form, 1);
    // -1 means nested too deep; INT_MAX means the measure saturated, and
    // count + 1 would not fit in the size that render_type takes.
    if (count < 1 || count == INT_MAX) return nullptr;
    auto *text = static_cast<char *>(std::malloc(static_cast<size_t>(count) + 1));
    if (text == nullptr) return nullptr;
    mekal::render_type(datatype, text, count + 1, 0, long_form, 0);
    text[count] = '\0';
    return text;
}
