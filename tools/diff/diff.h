// mekal-diff internals: reading JSON and run records, and listing what
// differs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mekal::diff {

// What differs between any two runs, left out unless --all: value names, and
// header members as their path from the record's top (".program.pid"). A
// collector that records another such fact adds its name here.
inline constexpr std::string_view ignored_by_default[] = {
    ".program.pid", "pid",      "ppid",      "launchdate", "launchday",
    "walltime",     "cputime",  "systime",   "loadavg",    "load_average",
};

// A file that cannot be compared; what() reads "<file>: <reason>".
struct trouble : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// ------------------------------------------------------------------ json.cpp

enum class json_kind : uint8_t { null, boolean, number, string, array, object };

struct json_member;

// A JSON value as read. Texts are views into the document's text: a string
// decoded in place, a number as written, so that numbers of any size and
// precision compare exactly (exact_number) and print as found. Children
// live in the document's arena; nothing here owns memory.
struct json_value {
    json_kind kind = json_kind::null;
    bool truth = false;     // a boolean's value
    uint32_t count = 0;     // of children
    std::string_view text;  // a string's characters, or a number's text
    const json_member *first = nullptr;

    // An array's elements (their names empty), or an object's members
    // sorted by name, each name once.
    std::span<const json_member> children() const;
    // The member called name, or nullptr (also when this is no object).
    const json_value *find(std::string_view name) const;
};

struct json_member {
    std::string_view name;
    json_value value;
};

inline std::span<const json_member> json_value::children() const { return {first, count}; }

// A JSON text and the value read from it, which points into the text and
// into blocks of children that the document holds; it stays where it was
// made. The text is a file's private mapping, or what was read into
// buffer; either way the reader writes decoded strings into it.
struct json_document {
    char *text = nullptr;
    size_t size = 0;
    std::string buffer;
    void *mapping = nullptr;
    json_value root;
    std::vector<std::pair<void *, size_t>> blocks;  // mapped

    json_document() = default;
    json_document(const json_document &) = delete;
    json_document &operator=(const json_document &) = delete;
    ~json_document();
};

// Text the reader refuses: why, in words, and where it stopped, "line L,
// column C" as editors count them (from 1, in bytes). is_json is true only
// for JSON nested deeper than kMaxJsonDepth.
struct json_error : std::runtime_error {
    json_error(const std::string &what, std::string where_, bool is_json_ = false)
        : std::runtime_error(what), where(std::move(where_)), is_json(is_json_) {}
    std::string where;
    bool is_json;
};

// Far beyond the 256 levels of a mekal type plus the record around it; the
// reader, the comparison and the output recurse, so deeper input is refused.
inline constexpr int kMaxJsonDepth = 1024;

// The one JSON value of the document's text into its root (RFC 8259, UTF-8,
// a byte order mark skipped), decoding the strings in place. A member named
// twice keeps its last value. Throws json_error.
void read_json(json_document &document);

// value as compact JSON text, members by name, numbers as found; with a
// pid, each text with the pid replaced (without_pid).
void write_json(std::string &out, const json_value &value, std::string_view pid = {});
// text as a JSON string; bytes that are not UTF-8 become U+FFFD.
void write_json_string(std::string &out, std::string_view text);

// A number's exact value as "<digits>e<exponent>" with a leading '-' when
// negative and the digits without leading or trailing zeros; "0" for zero.
// Equal values give equal texts: 1, 1.0, 10e-1 and 1e0 all give "1e0".
std::string exact_number(std::string_view text);

// ---------------------------------------------------------------- record.cpp

// The run record in the file at path ("-" is standard input): a JSON object
// of this tool's schema and version whose "values" are objects with distinct
// string names. Throws trouble otherwise.
std::unique_ptr<json_document> load_record(const std::string &path);

// --------------------------------------------------------------- compare.cpp

struct settings {
    bool all = false;                  // also compare what differs in every run
    std::vector<std::string> ignored;  // further value names and header paths
};

// The values index the signs and names of the output.
enum class change { added = 0, removed = 1, changed = 2 };

struct difference {
    change kind;
    bool header;                       // name is a header path such as ".exit_status"
    std::string name;                  // value name as compared (see without_pid)
    const json_value *a;               // the entry or member in A; null when absent
    const json_value *b;               // the same in B
    std::vector<std::string> members;  // for a changed entry: its differing members, "value" first
};

struct comparison {
    std::vector<difference> differences;
    // Each record's pid as text, where texts were compared with it replaced
    // by kPidMark; empty otherwise.
    std::string pid_a, pid_b;
};

inline constexpr std::string_view kPidMark = "<pid>";

// text with each whole-number occurrence of pid replaced by kPidMark; text
// itself when pid is empty.
std::string without_pid(std::string_view text, std::string_view pid);

// The differences from record a to record b: the header members by path,
// then the values by name. Points into a and b, which must outlive it.
comparison compare_records(const json_value &a, const json_value &b, const settings &options);

}  // namespace mekal::diff
