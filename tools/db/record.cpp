// Reading run records: the file, the JSON, the members a run needs, and
// what the catalog keeps of them. Members this reader does not know are
// ignored, so that records of a later, compatible recorder still read.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <set>

#include <fcntl.h>
#include <unistd.h>

#include "catalog.h"

namespace mekal::catalog {
namespace {

constexpr std::string_view kSchemaName = "mekal-run-record";
constexpr int kSchemaVersion = 1;
// Far beyond the 256 levels of a mekal type plus the record around it.
constexpr int kMaxDepth = 1024;

[[noreturn]] void fail(const std::string &path, const std::string &reason) {
    throw trouble(path + ": " + reason);
}

std::string read_file(const std::string &path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail(path, std::strerror(errno));
    std::string text;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            text.append(buffer, static_cast<size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            const int error = errno;
            ::close(fd);
            if (got < 0) fail(path, std::strerror(error));
            return text;
        }
    }
}

std::string position_of(const std::string &text, size_t offset) {
    offset = std::min(offset, text.size());
    const size_t line_start = offset == 0 ? 0 : text.rfind('\n', offset - 1) + 1;
    const auto lines = std::count(text.begin(), text.begin() + static_cast<long>(offset), '\n');
    return "line " + std::to_string(lines + 1) + ", column " +
           std::to_string(offset - line_start + 1);
}

std::string hex_digest(const std::string &text) {
    // FNV-1a over 8-byte words, with a final mix: to recognise the same file
    // again, not to defend against anyone.
    std::uint64_t hash = 0xcbf29ce484222325ULL ^ text.size();
    size_t at = 0;
    for (; at + 8 <= text.size(); at += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + at, 8);
        hash = (hash ^ word) * 0x100000001b3ULL;
        hash ^= hash >> 32;
    }
    for (; at < text.size(); ++at) hash = (hash ^ static_cast<unsigned char>(text[at])) * 0x100000001b3ULL;
    hash ^= hash >> 29;
    hash *= 0xbf58476d1ce4e5b9ULL;
    hash ^= hash >> 32;
    char out[17];
    static constexpr char kHex[] = "0123456789abcdef";
    for (int i = 15; i >= 0; --i, hash >>= 4) out[i] = kHex[hash & 0xf];
    out[16] = '\0';
    return out;
}

void append_json_string(std::string *out, const std::string &text) {
    *out += '"';
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            *out += '\\';
            *out += c;
        } else if (u < 0x20) {
            static constexpr char kHex[] = "0123456789abcdef";
            *out += "\\u00";
            *out += kHex[u >> 4];
            *out += kHex[u & 0xf];
        } else {
            *out += c;
        }
    }
    *out += '"';
}

// A JSON value as the reader met it: a scalar, or the text of a container.
struct raw_value {
    enum class kind { null, boolean, integer, big, real, string, container } type = kind::null;
    bool flag = false;
    std::int64_t integer = 0;
    double real = 0;
    std::string text;  // a string, big's digits, or a container's JSON

    std::string json_text() const {
        switch (type) {
        case kind::null: return "null";
        case kind::boolean: return flag ? "true" : "false";
        case kind::integer: return std::to_string(integer);
        case kind::real: {
            cell c;
            c.type = cell::kind::real;
            c.real = real;
            return c.str();
        }
        case kind::string: {
            std::string out;
            append_json_string(&out, text);
            return out;
        }
        case kind::big:
        case kind::container: return text;
        }
        return "null";
    }

    cell to_cell(std::string_view type_string) && {
        cell out;
        if (type == kind::null) return out;
        if (is_json_type(type_string)) {
            out.type = cell::kind::json;
            out.text = type == kind::container ? std::move(text) : json_text();
            return out;
        }
        switch (type) {
        case kind::boolean:
            out.type = cell::kind::integer;
            out.integer = flag ? 1 : 0;
            break;
        case kind::integer:
            out.type = cell::kind::integer;
            out.integer = integer;
            break;
        case kind::real:
            out.type = cell::kind::real;
            out.real = real;
            break;
        // Exact, where a real would round; containers as their JSON.
        case kind::big:
        case kind::string:
        case kind::container:
            out.type = cell::kind::text;
            out.text = std::move(text);
            break;
        case kind::null: break;
        }
        return out;
    }
};

// Reads a run record in one pass over its JSON (nlohmann's SAX interface),
// keeping what the catalog needs and skipping the rest: the document itself
// is never built, which makes reading several times faster.
class record_reader {
public:
    explicit record_reader(run_record *run) : run_(run) {}

    bool null() { return scalar(raw_value()); }
    bool boolean(bool value) {
        raw_value v;
        v.type = raw_value::kind::boolean;
        v.flag = value;
        return scalar(std::move(v));
    }
    bool number_integer(std::int64_t value) {
        raw_value v;
        v.type = raw_value::kind::integer;
        v.integer = value;
        return scalar(std::move(v));
    }
    bool number_unsigned(std::uint64_t value) {
        raw_value v;
        if (value <= static_cast<std::uint64_t>(INT64_MAX)) {
            v.type = raw_value::kind::integer;
            v.integer = static_cast<std::int64_t>(value);
        } else {
            v.type = raw_value::kind::big;
            v.text = std::to_string(value);
        }
        return scalar(std::move(v));
    }
    bool number_float(double value, const std::string &) {
        raw_value v;
        v.type = raw_value::kind::real;
        v.real = value;
        return scalar(std::move(v));
    }
    bool string(std::string &value) {
        raw_value v;
        v.type = raw_value::kind::string;
        v.text = std::move(value);  // the parser's buffer, which it resets
        return scalar(std::move(v));
    }
    bool binary(json::binary_t &) { return scalar(raw_value()); }
    bool start_object(std::size_t) { return open(true); }
    bool start_array(std::size_t) { return open(false); }
    bool key(std::string &name) {
        frame &top = frames_.back();
        if (top.what == role::capture) {
            if (top.count++ > 0) capture_ += ',';
            append_json_string(&capture_, name);
            capture_ += ':';
        } else {
            top.key = std::move(name);
        }
        return true;
    }
    bool end_object() { return close(); }
    bool end_array() { return close(); }
    bool parse_error(std::size_t position, const std::string &, const nlohmann::detail::exception &) {
        error_at = position;
        return false;
    }

    // What was wrong, in the order a reader would look, or empty.
    std::string problem() const {
        if (too_deep) return "nested deeper than " + std::to_string(kMaxDepth) + " levels";
        if (!root_object) return "not a run record (not a JSON object)";
        if (!schema) return R"(not a run record (no "schema"))";
        if (schema->type != raw_value::kind::string || schema->text != kSchemaName)
            return "not a run record (schema " + schema->json_text() + ")";
        if (!version) return R"(not a run record (no "schema_version"))";
        const bool one = (version->type == raw_value::kind::integer && version->integer == kSchemaVersion) ||
                         (version->type == raw_value::kind::real && version->real == kSchemaVersion);
        if (!one)
            return "schema_version " + version->json_text() + " is unknown (this mekal-db reads " +
                   std::to_string(kSchemaVersion) + ")";
        if (!program) return R"(not a run record (no "program"))";
        if (!host) return R"(not a run record (no "program"."host"))";
        if (!pid) return R"(not a run record (no "program"."pid"))";
        if (!executable) return R"(not a run record (no "program"."executable"))";
        if (!values) return R"(not a run record (no "values" array))";
        return bad_entry;
    }

    std::optional<size_t> error_at;
    bool too_deep = false, root_object = false, program = false, values = false;
    bool host = false, pid = false, executable = false, mpi = false;
    std::optional<raw_value> schema, version;
    std::string bad_entry;
    std::string earliest;  // recorded time

private:
    enum class role : unsigned char { skip, root, program, mpi, values, entry, ranks, rank_item, capture };
    // Where a value goes, from the container it is in and its key.
    enum class slot : unsigned char {
        skip, root, schema, schema_version, complete, exit_status, program, mpi, values, host, pid,
        executable, argv, mpi_size, entry, entry_name, entry_type, entry_value, entry_ranks,
        entry_recorded, rank_item, rank_number, rank_type, rank_value, capture
    };
    struct frame {
        role what;
        slot from;  // the slot the container fills, for a capture
        bool object;
        std::string key;
        size_t count = 0;  // elements so far
    };
    struct rank_state {
        std::optional<int> rank;
        std::string type;
        raw_value value;
    };
    struct entry_state {
        std::optional<std::string> name;
        bool bad_name = false;
        std::string type, recorded;
        std::optional<raw_value> value;
        std::vector<rank_state> ranks;
    };

    slot target() const {
        if (frames_.empty()) return slot::root;
        const frame &top = frames_.back();
        const std::string &k = top.key;
        switch (top.what) {
        case role::skip: return slot::skip;
        case role::capture: return slot::capture;
        case role::root:
            return k == "schema" ? slot::schema : k == "schema_version" ? slot::schema_version
                 : k == "complete" ? slot::complete : k == "exit_status" ? slot::exit_status
                 : k == "program" ? slot::program : k == "mpi" ? slot::mpi
                 : k == "values" ? slot::values : slot::skip;
        case role::program:
            return k == "host" ? slot::host : k == "pid" ? slot::pid
                 : k == "executable" ? slot::executable : k == "argv" ? slot::argv : slot::skip;
        case role::mpi: return k == "size" ? slot::mpi_size : slot::skip;
        case role::values: return slot::entry;
        case role::entry:
            return k == "name" ? slot::entry_name : k == "type" ? slot::entry_type
                 : k == "value" ? slot::entry_value : k == "ranks" ? slot::entry_ranks
                 : k == "recorded" ? slot::entry_recorded : slot::skip;
        case role::ranks: return slot::rank_item;
        case role::rank_item:
            return k == "rank" ? slot::rank_number : k == "type" ? slot::rank_type
                 : k == "value" ? slot::rank_value : slot::skip;
        }
        return slot::skip;
    }

    void capture_comma() {
        frame &top = frames_.back();
        if (top.object) return;  // key() wrote it
        if (top.count++ > 0) capture_ += ',';
    }

    bool open(bool object) {
        if (frames_.size() >= kMaxDepth) {
            too_deep = true;
            return false;
        }
        const slot s = target();
        if (!frames_.empty() && frames_.back().what != role::capture && frames_.back().what != role::skip)
            ++frames_.back().count;
        role what = role::skip;
        switch (s) {
        case slot::capture:
            capture_comma();
            capture_ += object ? '{' : '[';
            what = role::capture;
            break;
        case slot::root:
            root_object = object;
            what = object ? role::root : role::skip;
            break;
        case slot::program:
            program = object;
            what = object ? role::program : role::skip;
            break;
        case slot::mpi:
            mpi = object;
            what = object ? role::mpi : role::skip;
            break;
        case slot::values:
            values = !object;
            what = object ? role::skip : role::values;
            break;
        case slot::entry_ranks: what = object ? role::skip : role::ranks; break;
        case slot::entry:
            if (object) {
                what = role::entry;
                entry_ = entry_state();
            } else {
                note_bad_entry("has no name");
            }
            break;
        case slot::rank_item:
            if (object) {
                what = role::rank_item;
                rank_ = rank_state();
                break;
            }
            [[fallthrough]];
        case slot::schema:
        case slot::schema_version:
        case slot::argv:
        case slot::entry_value:
        case slot::rank_value:
            capture_.clear();
            capture_ += object ? '{' : '[';
            what = role::capture;
            break;
        default: break;  // a container where a scalar belongs: skipped
        }
        frames_.push_back({what, s, object, std::string(), 0});
        return true;
    }

    bool close() {
        const frame done = std::move(frames_.back());
        frames_.pop_back();
        if (done.what == role::capture) {
            capture_ += done.object ? '}' : ']';
            if (frames_.empty() || frames_.back().what != role::capture) {
                raw_value v;
                v.type = raw_value::kind::container;
                v.text = std::move(capture_);
                capture_.clear();
                deliver(done.from, std::move(v));
            }
        } else if (done.what == role::entry) {
            finish_entry();
        } else if (done.what == role::rank_item) {
            entry_.ranks.push_back(std::move(rank_));
        }
        return true;
    }

    bool scalar(raw_value &&v) {
        const slot s = target();
        if (!frames_.empty() && frames_.back().what != role::capture && frames_.back().what != role::skip)
            ++frames_.back().count;
        if (s == slot::capture) {
            capture_comma();
            capture_ += v.json_text();
            return true;
        }
        deliver(s, std::move(v));
        return true;
    }

    void deliver(slot s, raw_value &&v) {
        using k = raw_value::kind;
        switch (s) {
        case slot::schema: schema = std::move(v); break;
        case slot::schema_version: version = std::move(v); break;
        case slot::complete: run_->complete = v.type == k::boolean && v.flag; break;
        case slot::exit_status:
            if (v.type == k::integer) run_->exit_status = v.integer;
            break;
        case slot::host:
            if ((host = v.type == k::string)) run_->host = std::move(v.text);
            break;
        case slot::pid:
            if ((pid = v.type == k::integer)) run_->pid = v.integer;
            break;
        case slot::executable:
            if ((executable = v.type == k::string)) run_->executable = std::move(v.text);
            break;
        case slot::argv: run_->argv = v.json_text(); break;
        case slot::mpi_size:
            if (v.type == k::integer && v.integer >= 1 && v.integer <= INT32_MAX)
                run_->ranks = static_cast<int>(v.integer);
            break;
        case slot::entry: note_bad_entry("has no name"); break;
        case slot::entry_name:
            if (v.type == k::string) entry_.name = std::move(v.text);
            else entry_.bad_name = true;
            break;
        case slot::entry_type:
            if (v.type == k::string) entry_.type = std::move(v.text);
            break;
        case slot::entry_value: entry_.value = std::move(v); break;
        case slot::entry_recorded:
            if (v.type == k::string) entry_.recorded = std::move(v.text);
            break;
        case slot::rank_number:
            if (v.type == k::integer && v.integer >= 0 && v.integer <= INT32_MAX)
                rank_.rank = static_cast<int>(v.integer);
            break;
        case slot::rank_type:
            if (v.type == k::string) rank_.type = std::move(v.text);
            break;
        case slot::rank_value: rank_.value = std::move(v); break;
        case slot::rank_item:  // a bare value: one per rank, in order
            entry_.ranks.push_back({static_cast<int>(frames_.back().count - 1), std::string(), std::move(v)});
            break;
        default: break;
        }
    }

    void note_bad_entry(const std::string &what) {
        if (bad_entry.empty())
            bad_entry = "not a run record (values[" + std::to_string(frames_.back().count - 1) + "] " + what + ")";
    }

    void finish_entry() {
        entry_state &e = entry_;
        if (!e.name || e.bad_name) return note_bad_entry("has no name");
        // Each name is recorded once; a second entry would hide one of the two.
        if (!names_.insert(*e.name).second) {
            std::string quoted;
            append_json_string(&quoted, *e.name);
            return note_bad_entry("repeats the name " + quoted);
        }
        record_value value{*e.name, e.type, {}};
        if (e.value) {
            value.value = std::move(*e.value).to_cell(value.type);
        } else {
            std::stable_sort(e.ranks.begin(), e.ranks.end(),
                             [](const rank_state &x, const rank_state &y) { return x.rank < y.rank; });
            bool first = true;
            for (rank_state &r : e.ranks) {
                if (!r.rank) continue;
                const std::string type = r.type.empty() ? e.type : r.type;
                run_->rank_values.push_back({*e.name, *r.rank, type, std::move(r.value).to_cell(type)});
                if (first) {  // the lowest rank's stands for the run
                    if (value.type.empty()) value.type = type;
                    value.value = run_->rank_values.back().value;
                    first = false;
                }
            }
            // Neither value nor ranks (a marker of a later format): kept as null.
        }
        if (!e.recorded.empty()) {
            if (earliest.empty() || e.recorded < earliest) earliest = e.recorded;
            run_->updated = std::max(run_->updated, e.recorded);
        }
        if (value.name == "launchdate" && value.value.type == cell::kind::text) run_->start = value.value.text;
        run_->values.push_back(std::move(value));
    }

    run_record *run_;
    std::vector<frame> frames_;
    std::string capture_;
    entry_state entry_;
    rank_state rank_;
    std::set<std::string> names_;
};

// A value of the job's record for one rank: its own, or the one all share.
const cell *value_of_rank(const run_record &run, const std::string &name, int rank) {
    for (const rank_value &v : run.rank_values)
        if (v.name == name && v.rank == rank) return &v.value;
    for (const record_value &v : run.values)
        if (v.name == name)
            return std::none_of(run.rank_values.begin(), run.rank_values.end(),
                                [&name](const rank_value &r) { return r.name == name; })
                       ? &v.value
                       : nullptr;
    return nullptr;
}

// Host and start of each rank of a job, which the records its ranks wrote
// while it ran carry as their own.
void add_job_ranks(run_record *run) {
    run->job_ranks.push_back({0, run->host, run->start});
    for (int rank = 1; rank < run->ranks; ++rank) {
        const cell *host = value_of_rank(*run, "hostname", rank);
        const cell *start = value_of_rank(*run, "launchdate", rank);
        if (host != nullptr && host->type == cell::kind::text && start != nullptr &&
            start->type == cell::kind::text)
            run->job_ranks.push_back({rank, host->text, start->text});
    }
}

}  // namespace

run_record to_run_record(const std::string &path, const std::string &text) {
    run_record run;
    record_reader reader(&run);
    if (!json::sax_parse(text, &reader) && !reader.too_deep) {
        const size_t at = reader.error_at.value_or(1);
        fail(path, "not JSON (" + position_of(text, at == 0 ? 0 : at - 1) + ")");  // counted from 1
    }
    if (const std::string problem = reader.problem(); !problem.empty()) fail(path, problem);
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    run.source = error ? path : absolute.lexically_normal().string();
    if (run.argv.empty()) run.argv = "[]";
    if (!reader.mpi) run.rank = rank_of_file(path);
    run.digest = hex_digest(text);
    if (run.start.empty()) run.start = reader.earliest;
    if (run.start.empty()) fail(path, "no start time (no launchdate and no recorded time)");
    if (reader.mpi) add_job_ranks(&run);
    return run;
}

run_record read_run_record(const std::string &path) { return to_run_record(path, read_file(path)); }

bool is_json_type(std::string_view type) {
    return type == "%j" || (!type.empty() && std::string_view("[{<(").find(type[0]) != std::string_view::npos);
}

json parse_record(const std::string &path, const std::string &text) {
    to_run_record(path, text);  // the checks, and their messages
    return json::parse(text);
}

json load_record(const std::string &path) { return parse_record(path, read_file(path)); }

std::optional<int> rank_of_file(std::string_view path) {
    std::string_view name = path.substr(path.rfind('/') + 1);
    if (name.size() > 5 && name.substr(name.size() - 5) == ".json") name.remove_suffix(5);
    const size_t dot = name.rfind(".rank");
    if (dot == std::string_view::npos || dot + 5 == name.size()) return std::nullopt;
    int rank = 0;
    const char *first = name.data() + dot + 5, *last = name.data() + name.size();
    const auto [end, error] = std::from_chars(first, last, rank);
    if (error != std::errc() || end != last || rank < 0) return std::nullopt;
    return rank;
}

std::vector<std::string> find_record_files(const std::vector<std::string> &paths) {
    namespace fs = std::filesystem;
    std::vector<std::string> files;
    for (const std::string &path : paths) {
        std::error_code error;
        const fs::file_status status = fs::status(path, error);
        if (fs::is_directory(status)) {
            std::vector<std::string> found;
            fs::recursive_directory_iterator it(path, error), end;
            for (; !error && it != end; it.increment(error)) {
                const fs::directory_entry &entry = *it;
                std::error_code ignored;
                if (entry.path().extension() == ".json" && entry.is_regular_file(ignored))
                    found.push_back(entry.path().string());
            }
            if (error) fail(path, error.message());
            std::sort(found.begin(), found.end());
            files.insert(files.end(), found.begin(), found.end());
        } else if (fs::exists(status)) {
            files.push_back(path);
        } else {
            fail(path, error ? error.message() : std::strerror(ENOENT));
        }
    }
    return files;
}

// --- cells -----------------------------------------------------------------
std::optional<double> cell::number() const {
    if (type == kind::integer) return static_cast<double>(integer);
    if (type == kind::real) return real;
    if (type == kind::text && !text.empty() &&
        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        double out = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
        if (error == std::errc() && end == text.data() + text.size()) return out;
    }
    return std::nullopt;
}

std::string cell::str() const {
    switch (type) {
    case kind::null: return std::string();
    case kind::integer: return std::to_string(integer);
    case kind::real: {
        if (!std::isfinite(real)) return real != real ? "nan" : (real > 0 ? "inf" : "-inf");
        char buffer[32];
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, real);
        return std::string(buffer, result.ptr);
    }
    case kind::text:
    case kind::json: return text;
    }
    return std::string();
}

json cell::to_json() const {
    switch (type) {
    case kind::null: return nullptr;
    case kind::integer: return integer;
    case kind::real: return std::isfinite(real) ? json(real) : json(nullptr);
    case kind::text: {
        // An integer beyond 64 signed bits is kept as the text of its digits.
        std::uint64_t big = 0;
        const char *end = text.data() + text.size();
        const auto parsed = std::from_chars(text.data(), end, big);
        if (!text.empty() && text[0] != '0' && parsed.ec == std::errc() && parsed.ptr == end &&
            big > static_cast<std::uint64_t>(INT64_MAX))
            return big;
        return text;
    }
    case kind::json: {
        json parsed = json::parse(text, nullptr, false);
        return parsed.is_discarded() ? json(text) : parsed;  // a catalog edited by hand
    }
    }
    return nullptr;
}

// --- conditions ------------------------------------------------------------
condition parse_condition(std::string_view text) {
    const auto bad = [&text](const std::string &why) {
        throw trouble("bad condition '" + std::string(text) + "': " + why);
    };
    const size_t at = text.find_first_of("=!<>~");
    if (at == std::string_view::npos) bad("no operator (=, !=, <, <=, >, >=, ~)");
    condition out;
    size_t width = 1;
    const char next = at + 1 < text.size() ? text[at + 1] : '\0';
    switch (text[at]) {
    case '=': out.relation = condition::op::eq; break;
    case '~': out.relation = condition::op::glob; break;
    case '!':
        if (next != '=') bad("no operator (=, !=, <, <=, >, >=, ~)");
        out.relation = condition::op::ne;
        width = 2;
        break;
    case '<':
    case '>': {
        const bool less = text[at] == '<';
        width = next == '=' ? 2 : 1;
        out.relation = less ? (width == 2 ? condition::op::le : condition::op::lt)
                            : (width == 2 ? condition::op::ge : condition::op::gt);
        break;
    }
    default: break;
    }
    const auto trim = [](std::string_view s) {
        while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
        while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
        return std::string(s);
    };
    out.name = trim(text.substr(0, at));
    out.value = trim(text.substr(at + width));
    if (out.name.empty()) bad("no name");
    if (out.name.front() == '.' && !is_field(out.name)) bad("no field " + out.name);
    return out;
}

}  // namespace mekal::catalog
