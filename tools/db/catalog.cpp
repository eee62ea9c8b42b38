// The catalog: one SQLite file in WAL mode, its schema versioned and
// upgraded step by step, records added one transaction per batch, and runs
// read back under conditions. Every statement is prepared from the texts in
// sql.h; values only ever reach SQLite as bound parameters.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <unordered_map>

#include <sqlite3.h>

#include "catalog.h"
#include "sql.h"

namespace mekal::catalog {
namespace {

// Job epilogues on many nodes may add at once: each waits its turn this long.
constexpr int kBusyTimeoutMs = 60000;

std::string message_of(sqlite3 *db) { return db != nullptr ? sqlite3_errmsg(db) : "out of memory"; }

class statement {
public:
    statement(sqlite3 *db, std::string_view text, const std::string &where) : db_(db), where_(where) {
        if (sqlite3_prepare_v3(db, text.data(), static_cast<int>(text.size()), SQLITE_PREPARE_PERSISTENT,
                               &stmt_, nullptr) != SQLITE_OK)
            throw trouble(where_ + ": " + message_of(db));
    }
    ~statement() { sqlite3_finalize(stmt_); }
    statement(const statement &) = delete;
    statement &operator=(const statement &) = delete;

    statement &reset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
        return *this;
    }
    void bind(int i, std::int64_t value) { check(sqlite3_bind_int64(stmt_, i, value)); }
    void bind(int i, std::string_view text) {
        // The caller's text outlives the step that reads it.
        check(sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_STATIC));
    }
    void bind(int i, const cell &value) {
        switch (value.type) {
        case cell::kind::null: check(sqlite3_bind_null(stmt_, i)); break;
        case cell::kind::integer: bind(i, value.integer); break;
        case cell::kind::real: check(sqlite3_bind_double(stmt_, i, value.real)); break;
        case cell::kind::text:
        case cell::kind::json: bind(i, std::string_view(value.text)); break;
        }
    }
    // The text, or NULL when empty.
    void bind_or_null(int i, std::string_view text) {
        if (text.empty()) check(sqlite3_bind_null(stmt_, i));
        else bind(i, text);
    }
    template <typename T> void bind_or_null(int i, const std::optional<T> &value) {
        if (value) bind(i, static_cast<std::int64_t>(*value));
        else check(sqlite3_bind_null(stmt_, i));
    }
    // true while there is a row.
    bool step() {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        throw trouble(where_ + ": " + message_of(db_));
    }
    void run() {
        step();
        sqlite3_reset(stmt_);
    }
    std::int64_t integer(int i) const { return sqlite3_column_int64(stmt_, i); }
    std::string text(int i) const {
        const auto *t = reinterpret_cast<const char *>(sqlite3_column_text(stmt_, i));
        return t != nullptr ? std::string(t, static_cast<size_t>(sqlite3_column_bytes(stmt_, i))) : "";
    }
    bool is_null(int i) const { return sqlite3_column_type(stmt_, i) == SQLITE_NULL; }
    cell value(int i, bool as_json = false) const {
        cell out;
        switch (sqlite3_column_type(stmt_, i)) {
        case SQLITE_INTEGER:
            out.type = cell::kind::integer;
            out.integer = integer(i);
            break;
        case SQLITE_FLOAT:
            out.type = cell::kind::real;
            out.real = sqlite3_column_double(stmt_, i);
            break;
        case SQLITE_TEXT:
        case SQLITE_BLOB:
            out.type = as_json ? cell::kind::json : cell::kind::text;
            out.text = text(i);
            break;
        default: break;
        }
        return out;
    }

private:
    void check(int rc) const {
        if (rc != SQLITE_OK) throw trouble(where_ + ": " + message_of(db_));
    }
    sqlite3 *db_;
    sqlite3_stmt *stmt_ = nullptr;
    const std::string &where_;
};

void exec(sqlite3 *db, std::string_view text, const std::string &where) {
    const std::string sql(text);
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
        throw trouble(where + ": " + message_of(db));
}

std::int64_t pragma(sqlite3 *db, std::string_view text, const std::string &where) {
    statement query(db, text, where);
    return query.step() ? query.integer(0) : 0;
}

// The file name of a job's record that a rank's record belongs to:
// "job.rank3.json" gives "job.json".
std::string job_file_of(const std::string &source) {
    std::string name = source.substr(source.rfind('/') + 1);
    const size_t dot = name.rfind(".rank");
    if (dot == std::string::npos) return name;
    const size_t end = name.find('.', dot + 1);
    return name.substr(0, dot) + (end == std::string::npos ? ".json" : name.substr(end));
}

std::string file_name(const std::string &source) { return source.substr(source.rfind('/') + 1); }

const sql::field *field_of(std::string_view name) {
    for (const sql::field &f : sql::kFields)
        if (f.name == name) return &f;
    return nullptr;
}

std::string_view field_column(std::string_view name) {
    const sql::field *f = field_of(name);
    return f != nullptr ? f->column : std::string_view();
}

std::string with_x(std::string_view fragment, std::string_view x) {
    std::string out(fragment);
    for (size_t at = 0; (at = out.find("{x}", at)) != std::string::npos; at += x.size())
        out.replace(at, 3, x);
    return out;
}

enum class compared_as { number, date, text };

compared_as classify(const condition &c, cell *parameter) {
    if (c.relation == condition::op::glob) {
        parameter->type = cell::kind::text;
        parameter->text = c.value;
        return compared_as::text;
    }
    if (c.value == "true" || c.value == "false") {
        parameter->type = cell::kind::real;
        parameter->real = c.value == "true" ? 1 : 0;
        return compared_as::number;
    }
    if (!c.value.empty()) {
        char *end = nullptr;
        errno = 0;
        const double number = std::strtod(c.value.c_str(), &end);
        if (*end == '\0' && errno == 0 && std::isfinite(number) && c.value.find_first_of("xXnN") == std::string::npos) {
            parameter->type = cell::kind::real;
            parameter->real = number;
            return compared_as::number;
        }
    }
    static const std::regex kDate(R"(\d{4}-\d{2}-\d{2}([T ]\d{2}:\d{2}(:\d{2}(\.\d+)?)?)?Z?)");
    parameter->type = cell::kind::text;
    parameter->text = c.value;
    return std::regex_match(c.value, kDate) ? compared_as::date : compared_as::text;
}

}  // namespace

// The statements of adding, prepared once per catalog.
struct catalog::statements {
    statements(sqlite3 *db, const std::string &where)
        : find_run(db, sql::kFindRun, where), insert_run(db, sql::kInsertRun, where),
          update_run(db, sql::kUpdateRun, where), delete_run(db, sql::kDeleteRun, where),
          delete_values(db, sql::kDeleteValues, where),
          delete_rank_values(db, sql::kDeleteRankValues, where),
          delete_job_ranks(db, sql::kDeleteJobRanks, where), find_name(db, sql::kFindName, where),
          insert_name(db, sql::kInsertName, where), insert_value(db, sql::kInsertValue, where),
          insert_rank_value(db, sql::kInsertRankValue, where),
          insert_job_rank(db, sql::kInsertJobRank, where),
          rank_records_of(db, sql::kRankRecordsOf, where), jobs_holding(db, sql::kJobsHolding, where) {}
    statement find_run, insert_run, update_run, delete_run, delete_values, delete_rank_values,
        delete_job_ranks, find_name, insert_name, insert_value, insert_rank_value, insert_job_rank,
        rank_records_of, jobs_holding;
};

catalog::catalog(const std::string &path, open_mode mode) : path_(path) {
    struct stat st;
    if (mode == open_mode::existing && path != ":memory:" && ::stat(path.c_str(), &st) != 0)
        throw trouble(path + ": " + std::strerror(errno));
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX |
                      (mode == open_mode::create ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        const std::string why = message_of(db_);
        sqlite3_close(db_);
        db_ = nullptr;
        throw trouble(path + ": " + why);
    }
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    try {
        open_schema();
        cached_ = std::make_unique<statements>(db_, path_);
    } catch (...) {
        cached_.reset();
        sqlite3_close(db_);
        throw;
    }
}

catalog::~catalog() {
    cached_.reset();  // statements before the connection they belong to
    sqlite3_close(db_);
}

int catalog::schema_version() { return sql::kSchemaVersion; }

std::string catalog::schema_sql() {
    std::string out;
    for (const std::string_view step : sql::upgrade) out += step;
    return out;
}

// Refuses another program's database before writing a byte to it, then
// upgrades an older catalog one version at a time. Only a catalog of this
// version is taken on a first look: anything else is looked at again under
// the write lock, where the schema, its version and the marker are read in
// one snapshot, so that of two processes creating one catalog the second
// finds it done.
void catalog::open_schema() {
    const auto check = [this](std::int64_t application, std::int64_t version) {
        if (application != sql::kApplicationId &&
            (application != 0 || pragma(db_, sql::kCountObjects, path_) != 0))
            throw trouble(path_ + ": not a mekal-db catalog");
        if (version > sql::kSchemaVersion)
            throw trouble(path_ + ": catalog of schema version " + std::to_string(version) +
                          ", newer than this mekal-db reads (" + std::to_string(sql::kSchemaVersion) + ")");
    };
    if (pragma(db_, sql::kApplicationIdOf, path_) != sql::kApplicationId ||
        pragma(db_, sql::kUserVersion, path_) != sql::kSchemaVersion) {
        exec(db_, sql::kBegin, path_);
        try {
            const std::int64_t version = pragma(db_, sql::kUserVersion, path_);
            check(pragma(db_, sql::kApplicationIdOf, path_), version);
            for (std::int64_t step = version; step < sql::kSchemaVersion; ++step)
                exec(db_, sql::upgrade[step], path_);
            exec(db_, std::string(sql::kSetApplicationId) + std::to_string(sql::kApplicationId), path_);
            exec(db_, std::string(sql::kSetUserVersion) + std::to_string(sql::kSchemaVersion), path_);
            exec(db_, sql::kCommit, path_);
        } catch (...) {
            sqlite3_exec(db_, std::string(sql::kRollback).c_str(), nullptr, nullptr, nullptr);
            throw;
        }
    }
    // The journal mode cannot change inside a transaction: WAL comes after.
    exec(db_, sql::kSetUp, path_);
}

std::vector<add_outcome> catalog::add(const std::vector<run_record> &records) {
    std::vector<add_outcome> outcomes;
    outcomes.reserve(records.size());
    exec(db_, sql::kBegin, path_);
    try {
        for (const run_record &record : records) outcomes.push_back(add_one(record));
        exec(db_, sql::kCommit, path_);
    } catch (...) {
        sqlite3_exec(db_, std::string(sql::kRollback).c_str(), nullptr, nullptr, nullptr);
        names_.clear();  // ids handed out in the transaction are gone
        throw;
    }
    return outcomes;
}

add_outcome catalog::add_one(const run_record &record) {
    statements &s = *cached_;
    s.find_run.reset();
    s.find_run.bind(1, record.host);
    s.find_run.bind(2, record.start);
    s.find_run.bind(3, record.pid);
    std::optional<std::int64_t> id;
    add_outcome outcome = add_outcome::added;
    if (s.find_run.step()) {
        id = s.find_run.integer(0);
        const bool complete = s.find_run.integer(2) != 0;
        const bool newer = s.find_run.text(1) != record.digest &&
                           (record.complete != complete
                                ? record.complete
                                : record.updated > s.find_run.text(3));
        s.find_run.reset();
        if (!newer) return add_outcome::unchanged;
        remove_values(*id);
        s.update_run.reset();
        s.update_run.bind(1, *id);
        s.update_run.bind(2, record.executable);
        s.update_run.bind(3, record.argv);
        s.update_run.bind(4, std::int64_t{record.complete});
        s.update_run.bind_or_null(5, record.exit_status);
        s.update_run.bind(6, std::int64_t{record.ranks});
        s.update_run.bind_or_null(7, record.rank);
        s.update_run.bind(8, record.source);
        s.update_run.bind(9, record.updated);
        s.update_run.bind(10, record.digest);
        s.update_run.run();
        outcome = add_outcome::updated;
    } else {
        s.find_run.reset();
        if (record.rank && *record.rank > 0 && held_by_job(record)) return add_outcome::unchanged;
        s.insert_run.reset();
        s.insert_run.bind(1, record.host);
        s.insert_run.bind(2, record.pid);
        s.insert_run.bind(3, record.start);
        s.insert_run.bind(4, record.executable);
        s.insert_run.bind(5, record.argv);
        s.insert_run.bind(6, std::int64_t{record.complete});
        s.insert_run.bind_or_null(7, record.exit_status);
        s.insert_run.bind(8, std::int64_t{record.ranks});
        s.insert_run.bind_or_null(9, record.rank);
        s.insert_run.bind(10, record.source);
        s.insert_run.bind(11, record.updated);
        s.insert_run.bind(12, record.digest);
        s.insert_run.run();
        id = sqlite3_last_insert_rowid(db_);
    }
    insert_values(*id, record);
    if (!record.job_ranks.empty()) fold_rank_records(record);
    return outcome;
}

void catalog::remove_values(std::int64_t run) {
    for (statement *remove : {&cached_->delete_values, &cached_->delete_rank_values, &cached_->delete_job_ranks}) {
        remove->reset();
        remove->bind(1, run);
        remove->run();
    }
}

// Whether the record one rank wrote while its job ran is held by the job's
// record already: same rank, host, start and file name.
bool catalog::held_by_job(const run_record &record) {
    statement &q = cached_->jobs_holding;
    q.reset();
    q.bind(1, record.host);
    q.bind(2, record.start);
    q.bind(3, std::int64_t{*record.rank});
    bool held = false;
    while (!held && q.step()) held = file_name(q.text(0)) == job_file_of(record.source);
    q.reset();
    return held;
}

// A job's record replaces the records its ranks wrote while it ran.
void catalog::fold_rank_records(const run_record &job) {
    statement &q = cached_->rank_records_of;
    const std::string job_file = file_name(job.source);
    for (const job_rank &rank : job.job_ranks) {
        if (rank.rank == 0) continue;  // rank 0's record is the job's own run
        std::vector<std::int64_t> folded;
        q.reset();
        q.bind(1, rank.host);
        q.bind(2, rank.start);
        q.bind(3, std::int64_t{rank.rank});
        while (q.step())
            if (job_file_of(q.text(1)) == job_file) folded.push_back(q.integer(0));
        q.reset();
        for (const std::int64_t run : folded) {
            remove_values(run);
            cached_->delete_run.reset();
            cached_->delete_run.bind(1, run);
            cached_->delete_run.run();
        }
    }
}

std::optional<std::int64_t> catalog::known_name_id(const std::string &name) {
    if (const auto found = names_.find(name); found != names_.end()) return found->second;
    statement &q = cached_->find_name;
    q.reset();
    q.bind(1, name);
    std::optional<std::int64_t> id;
    if (q.step()) id = q.integer(0);
    q.reset();
    if (id) names_.emplace(name, *id);
    return id;
}

std::int64_t catalog::name_id(const std::string &name) {
    if (const auto id = known_name_id(name)) return *id;
    cached_->insert_name.reset();
    cached_->insert_name.bind(1, name);
    cached_->insert_name.run();
    const std::int64_t id = sqlite3_last_insert_rowid(db_);
    names_.emplace(name, id);
    return id;
}

void catalog::insert_values(std::int64_t run, const run_record &record) {
    statement &v = cached_->insert_value;
    for (const record_value &value : record.values) {
        v.reset();
        v.bind(1, name_id(value.name));
        v.bind(2, run);
        v.bind_or_null(3, value.type);
        v.bind(4, value.value);
        v.run();
    }
    statement &r = cached_->insert_rank_value;
    for (const rank_value &value : record.rank_values) {
        r.reset();
        r.bind(1, run);
        r.bind(2, name_id(value.name));
        r.bind(3, std::int64_t{value.rank});
        r.bind_or_null(4, value.type);
        r.bind(5, value.value);
        r.run();
    }
    statement &j = cached_->insert_job_rank;
    for (const job_rank &rank : record.job_ranks) {
        j.reset();
        j.bind(1, run);
        j.bind(2, std::int64_t{rank.rank});
        j.bind(3, rank.host);
        j.bind(4, rank.start);
        j.run();
    }
}

// --- reading ---------------------------------------------------------------
// SQL of the runs that pass the conditions, with the parameters to bind in order.
struct catalog::selection {
    std::string sql;
    std::vector<cell> parameters;
};

void catalog::add_conditions(const std::vector<condition> &where, selection *out) {
    for (const condition &c : where) {
        cell parameter;
        const compared_as as = classify(c, &parameter);
        const sql::field *field = field_of(c.name);
        const std::string x = field != nullptr ? std::string(field->column) : "value";
        const bool bare = field != nullptr && (field->text ? as == compared_as::text : as == compared_as::number);
        std::string test = bare ? x
                                : with_x(as == compared_as::number ? sql::kAsNumber
                                         : as == compared_as::date ? sql::kAsDate
                                                                   : sql::kAsText,
                                         x);
        test += sql::kOperators[static_cast<int>(c.relation)];
        test += as == compared_as::date ? sql::kDateParameter : "?";
        if (field != nullptr) {
            out->sql += " AND " + test;
        } else {
            out->sql += sql::kRunsWhoseValue;
            out->sql += test + ")";
            cell name;
            name.type = cell::kind::integer;
            name.integer = known_name_id(c.name).value_or(-1);
            out->parameters.push_back(name);
        }
        out->parameters.push_back(parameter);
    }
}

table catalog::list(const list_query &query) {
    selection s;
    s.sql = sql::kSelectRuns;
    std::vector<cell> column_parameters;
    const auto name_parameter = [this](const std::string &name) {
        cell id;
        id.type = cell::kind::integer;
        id.integer = known_name_id(name).value_or(-1);
        return id;
    };
    for (const std::string &column : query.columns) {
        if (is_field(column)) {
            s.sql += ", " + std::string(field_column(column));
        } else {
            s.sql += ", " + std::string(sql::kValueOfRun) + ", " + std::string(sql::kTypeOfRun);
            column_parameters.push_back(name_parameter(column));
            column_parameters.push_back(name_parameter(column));
        }
    }
    s.parameters = column_parameters;
    s.sql += sql::kFromRuns;
    add_conditions(query.where, &s);
    s.sql += sql::kOrderBy;
    if (!query.sort.empty()) {
        if (is_field(query.sort)) {
            s.sql += field_column(query.sort);
        } else {
            s.sql += sql::kValueOfRun;
            s.parameters.push_back(name_parameter(query.sort));
        }
        s.sql += query.descending ? " DESC, " : ", ";
    }
    s.sql += sql::kThenByStart;
    if (query.limit) {
        s.sql += sql::kLimit;
        cell limit;
        limit.type = cell::kind::integer;
        limit.integer = *query.limit;
        s.parameters.push_back(limit);
    }

    statement q(db_, s.sql, path_);
    for (size_t i = 0; i < s.parameters.size(); ++i) q.bind(static_cast<int>(i + 1), s.parameters[i]);
    table out;
    out.columns = query.columns;
    while (q.step()) {
        std::vector<cell> row;
        int at = 2;
        for (const std::string &column : query.columns) {
            if (is_field(column)) {
                row.push_back(q.value(at++));
            } else {
                row.push_back(q.value(at, is_json_type(q.text(at + 1))));
                at += 2;
            }
        }
        out.rows.push_back(std::move(row));
    }
    return out;
}

std::vector<run_cells> catalog::scan(const std::vector<condition> &where,
                                     const std::vector<std::string> &names) {
    selection s;
    s.sql = std::string(sql::kSelectRuns) + std::string(sql::kFromRuns);
    add_conditions(where, &s);
    std::vector<run_cells> runs;
    std::unordered_map<std::int64_t, size_t> index;
    {
        statement q(db_, s.sql, path_);
        for (size_t i = 0; i < s.parameters.size(); ++i) q.bind(static_cast<int>(i + 1), s.parameters[i]);
        while (q.step()) {
            index.emplace(q.integer(0), runs.size());
            runs.push_back({q.integer(0), q.text(1), std::vector<cell>(names.size())});
        }
    }
    for (size_t k = 0; k < names.size(); ++k) {
        std::optional<statement> q;
        if (is_field(names[k])) {
            q.emplace(db_, std::string(sql::kScanFieldPrefix) + std::string(field_column(names[k])) +
                               std::string(sql::kScanFieldSuffix), path_);
        } else {
            const auto id = known_name_id(names[k]);
            if (!id) continue;
            q.emplace(db_, sql::kScanValue, path_);
            q->bind(1, *id);
        }
        while (q->step())
            if (const auto found = index.find(q->integer(0)); found != index.end())
                runs[found->second].cells[k] = q->value(1);
    }
    return runs;
}

std::vector<std::string> fields() {
    std::vector<std::string> out;
    for (const sql::field &f : sql::kFields) out.emplace_back(f.name);
    return out;
}

bool is_field(std::string_view name) { return !field_column(name).empty(); }

}  // namespace mekal::catalog
