// mekal-db: a catalog of run records in SQLite. Option parsing and output;
// the catalog itself is in catalog.h.
#include <getopt.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <iostream>
#include <string>
#include <thread>

#include "catalog.h"

namespace mekal::catalog {
namespace {

constexpr const char *kUsage = R"(Usage: mekal-db [--db FILE] COMMAND [OPTIONS] [ARGS]
Keep mekal run records in an SQLite catalog, list them and compare groups of runs.

Commands:
  add PATH...        add run records: files, and directories searched for *.json
  list               print one row per run
  compare            compare groups of runs, metric by metric
  schema             print the catalog's SQL schema

Options:
      --db=FILE                 the catalog (default: $MEKAL_DB, else mekal-runs.db)
      --where=COND              NAME OP VALUE, OP one of = != < <= > >= ~ (glob);
                                may be repeated (list, compare)
      --columns=NAMES           list: the columns, separated by commas
      --sort=[-]NAME            list: sort by NAME, descending with '-'
      --limit=N                 list: at most N rows
      --format=table|csv|json   list, compare: the output's format
      --by=NAME                 compare: group the runs by this value or field
      --metric=NAME             compare: a metric to compare; may be repeated
      --baseline=VALUE          compare: the baseline group (default: the oldest run's)
      --threshold=PCT           compare: the change that counts, in percent (default 5)
      --alpha=P                 compare: the significance level (default 0.05)
      --higher-is-better=NAME   compare: more of this metric is better
  -h, --help                    print this help and exit
  -V, --version                 print the version and exit

Names starting with '.' are the run's fields: .id .host .pid .start .executable
.argv .complete .exit_status .ranks .rank .source .added; others are values.
Exit status: 0 on success; 1 when add refused a file or compare found a metric
worse than the baseline; 2 on trouble.
)";

// Records are decoded this many at a time, and each batch is added in one transaction.
constexpr size_t kBatch = 256;
// A table cell wider than this is cut, so that rows fit a terminal.
constexpr size_t kCellWidth = 40;

const char *const kDefaultColumns = ".id,.start,.host,.executable,.complete,.exit_status,.ranks";

enum class format { table, csv, json };

struct usage_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// --help or --version: answered before anything else is done.
struct info_request {
    bool version;
};

struct settings {
    std::string db;
    format output = format::table;
    list_query list;
    compare_options compare;
    std::vector<std::string> operands;
};

std::vector<std::string> split_names(const std::string &text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t comma; (comma = text.find(',', start)) != std::string::npos; start = comma + 1)
        if (comma > start) out.push_back(text.substr(start, comma - start));
    if (start < text.size()) out.push_back(text.substr(start));
    return out;
}

double number_option(const char *name, const std::string &text, double low, double high) {
    char *end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || errno != 0 || !(*end == '\0' || (*end == '%' && end[1] == '\0')) ||
        !(value >= low && value <= high))
        throw usage_error(std::string("bad ") + name + " '" + text + "'");
    return value;
}

// --- output ----------------------------------------------------------------
size_t display_width(const std::string &text) {
    return static_cast<size_t>(std::count_if(text.begin(), text.end(),
                                             [](char c) { return (c & 0xc0) != 0x80; }));
}

// Cut to kCellWidth characters; a path keeps its end, anything else its start.
std::string fit(const std::string &text) {
    if (display_width(text) <= kCellWidth) return text;
    const bool path = text.front() == '/';
    size_t keep = kCellWidth - 1, at = path ? text.size() : 0;
    while (keep > 0) {
        if (path) {
            do --at;
            while (at > 0 && (text[at] & 0xc0) == 0x80);
        } else {
            do ++at;
            while (at < text.size() && (text[at] & 0xc0) == 0x80);
        }
        --keep;
    }
    return path ? "\u2026" + text.substr(at) : text.substr(0, at) + "\u2026";
}

std::string csv_field(const std::string &text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (const char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

std::string json_text(const nlohmann::ordered_json &value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

void print_table(const table &t, format as) {
    if (as == format::json) {
        std::cout << '[';
        for (size_t r = 0; r < t.rows.size(); ++r) {
            nlohmann::ordered_json row = nlohmann::ordered_json::object();
            for (size_t c = 0; c < t.columns.size(); ++c) row[t.columns[c]] = t.rows[r][c].to_json();
            std::cout << (r == 0 ? "\n" : ",\n") << json_text(row);
        }
        std::cout << (t.rows.empty() ? "]\n" : "\n]\n");
        return;
    }
    if (as == format::csv) {
        for (size_t c = 0; c < t.columns.size(); ++c) std::cout << (c ? "," : "") << csv_field(t.columns[c]);
        std::cout << "\r\n";
        for (const auto &row : t.rows) {
            for (size_t c = 0; c < row.size(); ++c) std::cout << (c ? "," : "") << csv_field(row[c].str());
            std::cout << "\r\n";
        }
        return;
    }
    std::vector<std::vector<std::string>> text(t.rows.size());
    std::vector<size_t> width(t.columns.size());
    for (size_t c = 0; c < t.columns.size(); ++c) width[c] = display_width(t.columns[c]);
    for (size_t r = 0; r < t.rows.size(); ++r) {
        for (size_t c = 0; c < t.columns.size(); ++c) {
            const cell &value = t.rows[r][c];
            std::string shown = value.type == cell::kind::null ? "-" : fit(value.str());
            // One line per row, whatever a text holds.
            std::replace_if(shown.begin(), shown.end(), [](char ch) { return ch == '\n' || ch == '\r' || ch == '\t'; }, ' ');
            width[c] = std::max(width[c], display_width(shown));
            text[r].push_back(std::move(shown));
        }
    }
    const auto line = [&width](const std::vector<std::string> &cells, const std::vector<bool> &right) {
        std::string out;
        for (size_t c = 0; c < cells.size(); ++c) {
            const std::string pad(width[c] - display_width(cells[c]), ' ');
            out += right[c] ? pad + cells[c] : cells[c] + (c + 1 < cells.size() ? pad : "");
            if (c + 1 < cells.size()) out += "  ";
        }
        return out + "\n";
    };
    std::cout << line(t.columns, std::vector<bool>(t.columns.size(), false));
    for (size_t r = 0; r < t.rows.size(); ++r) {
        std::vector<bool> right;
        for (const cell &value : t.rows[r])
            right.push_back(value.type == cell::kind::integer || value.type == cell::kind::real);
        std::cout << line(text[r], right);
    }
}

// --- add -------------------------------------------------------------------
struct decoded {
    std::optional<run_record> record;
    std::string error;
};

// Reads and checks files[begin, end) on several threads: parsing JSON costs
// more than adding to the catalog, which goes on meanwhile.
std::vector<decoded> decode(const std::vector<std::string> &files, size_t begin, size_t end) {
    std::vector<decoded> out(end - begin);
    std::atomic<size_t> next{begin};
    const auto work = [&] {
        for (size_t i; (i = next++) < end;) {
            try {
                out[i - begin].record = read_run_record(files[i]);
            } catch (const std::exception &error) {
                out[i - begin].error = error.what();
            }
        }
    };
    const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < threads && t < end - begin; ++t) pool.emplace_back(work);
    work();
    for (std::thread &t : pool) t.join();
    return out;
}

int add(const settings &options) {
    if (options.operands.empty()) throw usage_error("add: no PATH");
    add_counts counts;
    std::vector<std::string> files;
    for (const std::string &path : options.operands) {
        try {
            const std::vector<std::string> found = find_record_files({path});
            files.insert(files.end(), found.begin(), found.end());
        } catch (const trouble &error) {
            std::cerr << "mekal-db: " << error.what() << '\n';
            ++counts.refused;
        }
    }
    catalog db(options.db, open_mode::create);
    std::future<std::vector<decoded>> next;
    if (!files.empty()) next = std::async(std::launch::async, decode, std::cref(files), 0, std::min(kBatch, files.size()));
    for (size_t begin = 0; begin < files.size(); begin += kBatch) {
        std::vector<decoded> batch = next.get();
        const size_t after = begin + kBatch;
        if (after < files.size())
            next = std::async(std::launch::async, decode, std::cref(files), after, std::min(after + kBatch, files.size()));
        std::vector<run_record> records;
        for (decoded &d : batch) {
            if (d.record) {
                records.push_back(std::move(*d.record));
            } else {
                std::cerr << "mekal-db: " << d.error << '\n';
                ++counts.refused;
            }
        }
        try {
            for (const add_outcome outcome : db.add(records)) {
                if (outcome == add_outcome::added) ++counts.added;
                if (outcome == add_outcome::updated) ++counts.updated;
                if (outcome == add_outcome::unchanged) ++counts.unchanged;
            }
        } catch (...) {
            if (next.valid()) next.wait();  // the decoder reads files this frame owns
            throw;
        }
    }
    std::cout << counts.added << " added, " << counts.updated << " updated, " << counts.unchanged
              << " unchanged, " << counts.refused << " refused\n";
    return counts.refused > 0 ? 1 : 0;
}

// --- list and compare --------------------------------------------------------
int list(settings &options) {
    if (!options.operands.empty()) throw usage_error("list: extra operand '" + options.operands[0] + "'");
    if (options.list.columns.empty()) options.list.columns = split_names(kDefaultColumns);
    catalog db(options.db, open_mode::existing);
    print_table(db.list(options.list), options.output);
    return 0;
}

std::string number_text(double value, const char *style) {
    char buffer[64];
    const int length = std::snprintf(buffer, sizeof buffer, style, value);
    return std::string(buffer, static_cast<size_t>(std::clamp(length, 0, static_cast<int>(sizeof buffer) - 1)));
}

cell text_cell(std::string text) {
    cell out;
    out.type = cell::kind::text;
    out.text = std::move(text);
    return out;
}

cell real_cell(double value) {
    cell out;
    out.type = cell::kind::real;
    out.real = value;
    return out;
}

// The comparison as rows: full precision for csv and json, rounded for people.
table comparison_table(const comparison &result, const std::string &by, bool rounded) {
    table t;
    t.columns = {"metric", by, "n", "median", "mean", "sd", "min", "max", "ratio", "p", "test", "verdict"};
    const auto number = [rounded](double value, const char *style) {
        return rounded ? text_cell(number_text(value, style)) : real_cell(value);
    };
    for (const comparison_row &row : result.rows) {
        std::vector<cell> cells{text_cell(row.metric), text_cell(row.group)};
        cell n;
        n.type = cell::kind::integer;
        n.integer = static_cast<std::int64_t>(row.stats.n);
        cells.push_back(n);
        for (const double value : {row.stats.median, row.stats.mean, row.stats.sd, row.stats.min, row.stats.max})
            cells.push_back(row.stats.n > 0 ? number(value, "%.6g") : cell());
        cells.push_back(row.ratio ? number(*row.ratio, "%.3f") : cell());
        cells.push_back(row.test ? number(row.test->p, "%.3g") : cell());
        cells.push_back(row.test ? text_cell(row.test->exact ? "exact" : "normal") : cell());
        cells.push_back(text_cell(std::string(verdict_name(row.judged))));
        t.rows.push_back(std::move(cells));
    }
    return t;
}

int compare(settings &options) {
    compare_options &c = options.compare;
    if (!options.operands.empty()) throw usage_error("compare: extra operand '" + options.operands[0] + "'");
    if (c.by.empty()) throw usage_error("compare: no --by");
    if (c.metrics.empty()) throw usage_error("compare: no --metric");
    c.where = options.list.where;  // --where is parsed once for both commands
    catalog db(options.db, open_mode::existing);
    const comparison result = compare(db, c);
    const std::string test = "Mann-Whitney U, two-sided";
    const std::string exact_rule = "exact distribution when both groups have at most " +
                                   std::to_string(kExactMaxRuns) +
                                   " runs and no ties, else normal approximation with tie and "
                                   "continuity correction";
    if (options.output == format::json) {
        nlohmann::ordered_json head = {{"by", c.by},
                                       {"baseline", result.baseline},
                                       {"test", test},
                                       {"method", exact_rule},
                                       {"threshold", c.threshold},
                                       {"alpha", c.alpha},
                                       {"higher_is_better", c.higher_is_better},
                                       {"runs", result.runs},
                                       {"runs_without_group", result.without_group}};
        const std::string text = json_text(head);
        std::cout << text.substr(0, text.size() - 1) << ",\"rows\":";
        print_table(comparison_table(result, c.by, false), format::json);
        std::cout << "}\n";
    } else if (options.output == format::csv) {
        print_table(comparison_table(result, c.by, false), format::csv);
    } else {
        std::string higher;
        for (const std::string &name : c.higher_is_better) higher += (higher.empty() ? "" : ", ") + name;
        std::cout << "baseline: " << c.by << " = " << result.baseline
                  << (result.baseline_given ? "" : " (the group of the oldest run)") << '\n'
                  << "test: " << test << ", each group against the baseline; " << exact_rule << '\n'
                  << "verdict: better or worse when the median changes by more than "
                  << number_text(c.threshold * 100, "%g") << "% with p < " << number_text(c.alpha, "%g")
                  << "; lower is better" << (higher.empty() ? "" : " (higher for " + higher + ")") << '\n'
                  << "runs: " << result.runs;
        if (result.without_group > 0) std::cout << " (" << result.without_group << " without " << c.by << " left out)";
        std::cout << "\n\n";
        print_table(comparison_table(result, c.by, true), format::table);
    }
    return result.any_worse() ? 1 : 0;
}

// --- options -----------------------------------------------------------------
enum option_code { kDb = 256, kWhere, kColumns, kSort, kLimit, kFormat, kBy, kMetric, kBaseline, kThreshold, kAlpha, kHigher };

void parse(int argc, char **argv, const char *command, settings *out) {
    static const option kOptions[] = {
        {"db", required_argument, nullptr, kDb},           {"where", required_argument, nullptr, kWhere},
        {"columns", required_argument, nullptr, kColumns}, {"sort", required_argument, nullptr, kSort},
        {"limit", required_argument, nullptr, kLimit},     {"format", required_argument, nullptr, kFormat},
        {"by", required_argument, nullptr, kBy},           {"metric", required_argument, nullptr, kMetric},
        {"baseline", required_argument, nullptr, kBaseline},
        {"threshold", required_argument, nullptr, kThreshold},
        {"alpha", required_argument, nullptr, kAlpha},     {"higher-is-better", required_argument, nullptr, kHigher},
        {"help", no_argument, nullptr, 'h'},               {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0}};
    const std::string cmd = command;
    const auto only = [&cmd](const char *option, std::initializer_list<const char *> commands) {
        for (const char *c : commands)
            if (cmd == c) return;
        throw usage_error(cmd.empty() ? std::string("--") + option + " needs a command first"
                                      : std::string("--") + option + " is not an option of " + cmd);
    };
    optind = 0;  // GNU getopt starts afresh, '+' included
    for (int c; (c = getopt_long(argc, argv, command[0] ? "hV" : "+hV", kOptions, nullptr)) != -1;) {
        const std::string value = optarg != nullptr ? optarg : "";
        switch (c) {
        case kDb: out->db = value; break;
        case kWhere:
            only("where", {"list", "compare"});
            out->list.where.push_back(parse_condition(value));
            break;
        case kColumns:
            only("columns", {"list"});
            for (const std::string &name : split_names(value)) out->list.columns.push_back(name);
            break;
        case kSort:
            only("sort", {"list"});
            out->list.descending = !value.empty() && value[0] == '-';
            out->list.sort = out->list.descending ? value.substr(1) : value;
            break;
        case kLimit:
            only("limit", {"list"});
            out->list.limit = static_cast<std::int64_t>(number_option("--limit", value, 0, 1e15));
            if (static_cast<double>(*out->list.limit) != std::strtod(value.c_str(), nullptr))
                throw usage_error("bad --limit '" + value + "'");
            break;
        case kFormat:
            only("format", {"list", "compare"});
            if (value == "table") out->output = format::table;
            else if (value == "csv") out->output = format::csv;
            else if (value == "json") out->output = format::json;
            else throw usage_error("bad --format '" + value + "' (table, csv or json)");
            break;
        case kBy: only("by", {"compare"}); out->compare.by = value; break;
        case kMetric:
            only("metric", {"compare"});
            for (const std::string &name : split_names(value)) out->compare.metrics.push_back(name);
            break;
        case kBaseline: only("baseline", {"compare"}); out->compare.baseline = value; break;
        case kThreshold:
            only("threshold", {"compare"});
            out->compare.threshold = number_option("--threshold", value, 0, 1e9) / 100;
            break;
        case kAlpha: only("alpha", {"compare"}); out->compare.alpha = number_option("--alpha", value, 0, 1); break;
        case kHigher: only("higher-is-better", {"compare"}); out->compare.higher_is_better.push_back(value); break;
        case 'h': throw info_request{false};
        case 'V': throw info_request{true};
        default: throw usage_error("");  // getopt has said what was wrong
        }
    }
    for (int i = optind; i < argc; ++i) out->operands.emplace_back(argv[i]);
}

int bad_usage(const std::string &message) {
    if (!message.empty()) std::cerr << "mekal-db: " << message << '\n';
    std::cerr << kUsage;
    return 2;
}

int run(int argc, char **argv) {
    static char program_name[] = "mekal-db";
    argv[0] = program_name;
    settings options;
    try {
        parse(argc, argv, "", &options);  // the options before the command
        if (options.operands.empty()) return bad_usage("no command");
        const std::string command = options.operands.front();
        const std::string db = options.db;
        // The command's own options, and its operands, come after it.
        const int first = argc - static_cast<int>(options.operands.size());
        options = settings();
        options.db = db;
        argv[first] = program_name;
        if (command != "add" && command != "list" && command != "compare" && command != "schema")
            return bad_usage("unknown command '" + command + "'");
        parse(argc - first, argv + first, command.c_str(), &options);
        if (options.db.empty()) {
            const char *env = std::getenv("MEKAL_DB");
            options.db = env != nullptr && env[0] != '\0' ? env : "mekal-runs.db";
        }
        int status = 0;
        if (command == "add") status = add(options);
        else if (command == "list") status = list(options);
        else if (command == "compare") status = compare(options);
        else if (!options.operands.empty()) return bad_usage("schema: extra operand '" + options.operands[0] + "'");
        else std::cout << catalog::schema_sql();
        if (!std::cout.flush()) {
            std::cerr << "mekal-db: write error\n";
            return 2;
        }
        return status;
    } catch (const usage_error &error) {
        return bad_usage(error.what());
    } catch (const info_request &request) {
        if (request.version) std::cout << "mekal-db (mekal) " MEKAL_DB_VERSION "\n";
        else std::cout << kUsage;
        return std::cout.flush() ? 0 : 2;
    }
}

}  // namespace
}  // namespace mekal::catalog

int main(int argc, char **argv) {
    try {
        return mekal::catalog::run(argc, argv);
    } catch (const std::exception &error) {
        // The catalog's trouble names the file and the reason; else exhausted memory.
        std::cerr << "mekal-db: " << error.what() << '\n';
    }
    return 2;
}
