// Reading a run record: the file, the JSON, and the few members the
// comparison relies on. Everything else is compared as found, so records of
// a later, compatible recorder still read.
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "diff.h"

namespace mekal::diff {
namespace {

constexpr std::string_view kSchemaName = "mekal-run-record";
constexpr std::string_view kSchemaVersion = "1";

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

// A regular file is mapped privately: its pages are read as they are
// needed, and only those holding a string that decodes shorter are copied.
// Anything else (standard input, a pipe) is read into the buffer.
void read_file(const std::string &path, json_document &document) {
    const file_descriptor file(path == "-" ? STDIN_FILENO
                                           : ::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) fail(path, std::strerror(errno));
    struct stat status {};
    if (::fstat(file.get(), &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0) {
        void *mapping = ::mmap(nullptr, static_cast<size_t>(status.st_size), PROT_READ | PROT_WRITE,
                               MAP_PRIVATE, file.get(), 0);
        if (mapping != MAP_FAILED) {
            document.mapping = mapping;
            document.text = static_cast<char *>(mapping);
            document.size = static_cast<size_t>(status.st_size);
            return;
        }
    }
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            fail(path, std::strerror(errno));
        }
        document.buffer.append(buffer, static_cast<size_t>(got));
    }
    document.text = document.buffer.data();
    document.size = document.buffer.size();
}

std::string shown(const json_value &value) {
    std::string text;
    write_json(text, value);
    return text;
}

void check_record(const std::string &path, const json_value &record) {
    if (record.kind != json_kind::object) fail(path, "not a run record (not a JSON object)");
    const json_value *schema = record.find("schema");
    if (schema == nullptr) fail(path, R"(not a run record (no "schema"))");
    if (schema->kind != json_kind::string || schema->text != kSchemaName)
        fail(path, "not a run record (schema " + shown(*schema) + ")");
    const json_value *version = record.find("schema_version");
    if (version == nullptr) fail(path, R"(not a run record (no "schema_version"))");
    if (version->kind != json_kind::number ||
        exact_number(version->text) != exact_number(kSchemaVersion))
        fail(path, "schema_version " + shown(*version) + " is unknown (this mekal-diff reads " +
                       std::string(kSchemaVersion) + ")");
    const json_value *values = record.find("values");
    if (values == nullptr || values->kind != json_kind::array)
        fail(path, R"(not a run record (no "values" array))");

    // Each name is recorded once; a second entry would hide one of the two.
    // Sorted with their places, the names show the first entry that repeats
    // one: the earliest second place among equal names.
    std::vector<std::pair<std::string_view, size_t>> names;
    names.reserve(values->count);
    for (size_t i = 0; i < values->count; ++i) {
        const json_value *name = values->first[i].value.find("name");
        if (name == nullptr || name->kind != json_kind::string)
            fail(path, "not a run record (values[" + std::to_string(i) + "] has no name)");
        names.emplace_back(name->text, i);
    }
    std::sort(names.begin(), names.end());
    size_t repeat = names.size();
    for (size_t i = 1; i < names.size(); ++i)
        if ((i == 1 || names[i - 2].first != names[i - 1].first) && names[i].first == names[i - 1].first)
            repeat = std::min(repeat, names[i].second);
    if (repeat != names.size())
        fail(path, "not a run record (values[" + std::to_string(repeat) + "] repeats the name " +
                       shown(*values->first[repeat].value.find("name")) + ")");
}

}  // namespace

std::unique_ptr<json_document> load_record(const std::string &path) {
    auto record = std::make_unique<json_document>();
    read_file(path, *record);
    try {
        read_json(*record);
    } catch (const json_error &error) {
        if (error.is_json) fail(path, error.what());
        fail(path, std::string("not JSON: ") + error.what() + " (" + error.where + ")");
    }
    check_record(path, record->root);
    return record;
}

}  // namespace mekal::diff
