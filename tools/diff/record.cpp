// Reading a run record: the file, the JSON, and the few members the
// comparison relies on. Everything else is compared as found, so records of
// a later, compatible recorder still read.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "diff.h"

namespace mekal::diff {
namespace {

constexpr std::string_view kSchemaName = "mekal-run-record";
constexpr int kSchemaVersion = 1;
// Far beyond the 256 levels of a mekal type plus the record around it; the
// comparison and the output recurse, so deeper input is refused up front.
constexpr int kMaxDepth = 1024;

class file_descriptor {
public:
    explicit file_descriptor(int fd) : fd_(fd) {}
    file_descriptor(const file_descriptor &) = delete;
    file_descriptor &operator=(const file_descriptor &) = delete;
    ~file_descriptor() {
        if (fd_ > STDIN_FILENO) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

[[noreturn]] void fail(const std::string &path, const std::string &reason) {
    throw trouble(path + ": " + reason);
}

std::string read_file(const std::string &path) {
    const file_descriptor file(path == "-" ? STDIN_FILENO
                                           : ::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) fail(path, std::strerror(errno));
    std::string text;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got == 0) return text;
        if (got < 0) {
            if (errno == EINTR) continue;
            fail(path, std::strerror(errno));
        }
        text.append(buffer, static_cast<size_t>(got));
    }
}

// Line and column of the byte at offset, both from 1, as editors count them.
std::string position_of(const std::string &text, size_t offset) {
    offset = std::min(offset, text.size());
    const size_t line_start = offset == 0 ? 0 : text.rfind('\n', offset - 1) + 1;
    const auto lines = std::count(text.begin(), text.begin() + static_cast<long>(offset), '\n');
    return "line " + std::to_string(lines + 1) + ", column " +
           std::to_string(offset - line_start + 1);
}

json parse_json(const std::string &path, const std::string &text) {
    const json::parser_callback_t limit_depth = [&path](int depth, json::parse_event_t,
                                                        json &) {
        if (depth > kMaxDepth)
            fail(path, "nested deeper than " + std::to_string(kMaxDepth) + " levels");
        return true;
    };
    try {
        return json::parse(text, limit_depth);
    } catch (const json::parse_error &error) {
        // The parser counts the byte it stopped at from 1.
        const size_t at = error.byte == 0 ? 0 : error.byte - 1;
        fail(path, "not JSON (" + position_of(text, at) + ")");
    }
}

void check_record(const std::string &path, const json &record) {
    if (!record.is_object()) fail(path, "not a run record (not a JSON object)");
    const auto schema = record.find("schema");
    if (schema == record.end()) fail(path, R"(not a run record (no "schema"))");
    if (!schema->is_string() || schema->get_ref<const std::string &>() != kSchemaName)
        fail(path, "not a run record (schema " + schema->dump() + ")");
    const auto version = record.find("schema_version");
    if (version == record.end()) fail(path, R"(not a run record (no "schema_version"))");
    if (!version->is_number() || *version != kSchemaVersion)
        fail(path, "schema_version " + version->dump() + " is unknown (this mekal-diff reads " +
                       std::to_string(kSchemaVersion) + ")");
    const auto values = record.find("values");
    if (values == record.end() || !values->is_array())
        fail(path, R"(not a run record (no "values" array))");
    std::set<std::string_view> names;
    for (size_t i = 0; i < values->size(); ++i) {
        const json &entry = (*values)[i];
        const std::string where = "values[" + std::to_string(i) + "]";
        const auto name = entry.is_object() ? entry.find("name") : entry.end();
        if (!entry.is_object() || name == entry.end() || !name->is_string())
            fail(path, "not a run record (" + where + " has no name)");
        // Each name is recorded once; a second entry would hide one of the two.
        if (!names.insert(name->get_ref<const std::string &>()).second)
            fail(path, "not a run record (" + where + " repeats the name " + name->dump() + ")");
    }
}

}  // namespace

json load_record(const std::string &path) {
    json record = parse_json(path, read_file(path));
    check_record(path, record);
    return record;
}

}  // namespace mekal::diff
