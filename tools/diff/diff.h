// mekal-diff internals: reading run records and listing what differs.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace mekal::diff {

using json = nlohmann::json;

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

// record.cpp
// The run record in the file at path ("-" is standard input): a JSON object
// of this tool's schema and version whose "values" are objects with distinct
// string names. Throws trouble otherwise.
json load_record(const std::string &path);

// compare.cpp
struct settings {
    bool all = false;                  // also compare what differs in every run
    std::vector<std::string> ignored;  // further value names and header paths
};

// The values index the signs and names of the output.
enum class change { added = 0, removed = 1, changed = 2 };

struct difference {
    change kind;
    bool header;                       // name is a header path such as ".exit_status"
    std::string name;                  // value name, as A spells it when both have it
    const json *a;                     // the entry or member in A; null when absent
    const json *b;                     // the same in B
    std::vector<std::string> members;  // for a changed entry: its differing members, "value" first
};

// The differences from record a to record b: the header members by path,
// then the values by name. Points into a and b, which must outlive it.
std::vector<difference> compare_records(const json &a, const json &b, const settings &options);

}  // namespace mekal::diff
