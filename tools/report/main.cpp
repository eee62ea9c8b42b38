// mekal-report: one self-contained HTML page of a run, or of many runs with
// their plots, from run records or a mekal-db catalog. Exits 0 when the page
// is written from every input, 1 when it is written but inputs were skipped,
// and 2 on trouble.
#include <getopt.h>
#include <sys/stat.h>

#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "catalog.h"
#include "atomic_file.h"
#include "report.h"

namespace mekal::report {
namespace {

constexpr const char *kUsage = R"(Usage: mekal-report [OPTIONS] (--db FILE | RECORD|DIR...)
Write one HTML page of mekal run records: a run's values, or a table of many
runs with plots of their metrics. The page works offline, opened from disk.

  -o, --output=FILE   write the page to FILE (default mekal-report.html;
                      "-" for standard output)
      --by=NAME       group the runs by the value or field NAME (hostname,
                      .host, a commit, ...) and compare the groups
      --metric=NAME   plot the value NAME over the runs' start times and per
                      group; may be repeated
      --columns=NAMES further columns of the table of runs, separated by
                      commas; may be repeated
      --where=COND    only the runs where COND holds, as mekal-db list takes
                      it (NAME OP VALUE); may be repeated
      --db=FILE       read the runs from this mekal-db catalog
  -h, --help          print this help and exit
  -V, --version       print the version and exit

Directories are searched for *.json records, also in subdirectories. Exit
status: 0 if the page was written from every input, 1 if inputs were
skipped, 2 on trouble.
)";

constexpr const char *kDefaultOutput = "mekal-report.html";

struct settings {
    std::string output = kDefaultOutput;
    std::string db;  // empty: the records named
    view_options view;
    std::vector<catalog::condition> where;
    std::vector<std::string> operands;
};

struct usage_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

void split_names(const std::string &names, std::vector<std::string> &into) {
    size_t start = 0;
    for (;;) {
        const size_t comma = names.find(',', start);
        const std::string name = names.substr(start, comma - start);
        if (!name.empty()) into.push_back(name);
        if (comma == std::string::npos) return;
        start = comma + 1;
    }
}

// "path: reason" as the catalog's errors read, split again.
skipped_input skipped_of(const std::string &path, const catalog::trouble &error) {
    const std::string what = error.what();
    const bool named = what.compare(0, path.size() + 2, path + ": ") == 0;
    return {path, named ? what.substr(path.size() + 2) : what};
}

// The records under the operands, into a catalog in memory, which applies
// the conditions as mekal-db's does; what cannot be read is skipped.
void add_records(catalog::catalog &db, const std::vector<std::string> &operands,
                 std::vector<skipped_input> &skipped) {
    std::vector<catalog::run_record> records;
    for (const std::string &operand : operands) {
        std::vector<std::string> files;
        try {
            files = catalog::find_record_files({operand});
        } catch (const catalog::trouble &error) {
            skipped.push_back(skipped_of(operand, error));
        }
        for (const std::string &file : files) {
            try {
                records.push_back(catalog::read_run_record(file));
            } catch (const catalog::trouble &error) {
                skipped.push_back(skipped_of(file, error));
            }
        }
    }
    db.add(records);
}

// The page of the one run that passes: its record's values under the header
// the catalog keeps. Empty when its record cannot be read again (a catalog
// whose files have moved): the table of runs shows it then.
json one_run_data(catalog::catalog &db, const settings &options,
                  std::vector<skipped_input> &skipped) {
    const catalog::table header = db.list({options.where, header_columns(), "", false, 1});
    const std::string source = header.rows.front().front().str();
    try {
        json record = catalog::load_record(source);
        return run_page_data(header, std::move(record["values"]), skipped);
    } catch (const catalog::trouble &error) {
        skipped.push_back(skipped_of(source, error));
        return json();
    }
}

json many_runs_data(catalog::catalog &db, const settings &options, const catalog::table &runs,
                    const table_columns &columns, const std::vector<skipped_input> &skipped) {
    json compared;
    if (options.view.by && !options.view.metrics.empty()) {
        catalog::compare_options compare;
        compare.where = options.where;
        compare.by = *options.view.by;
        compare.metrics = options.view.metrics;
        try {
            compared = compare_data(catalog::compare(db, compare), compare);
        } catch (const catalog::trouble &error) {
            // Groups that cannot be compared still have their table and plots.
            std::cerr << "mekal-report: no comparison: " << error.what() << '\n';
        }
    }
    return runs_page_data(columns, runs, options.view, std::move(compared), skipped);
}

bool write_page(const std::string &path, const std::string &page) {
    if (path == "-") {
        std::cout.write(page.data(), static_cast<std::streamsize>(page.size()));
        return static_cast<bool>(std::cout.flush());
    }
    const mode_t mask = umask(0);
    umask(mask);
    const int error = mekal::record::write_atomically(path.c_str(), page.data(), page.size(),
                                                      0666 & ~mask);
    if (error != 0) std::cerr << "mekal-report: " << path << ": " << std::strerror(error) << '\n';
    return error == 0;
}

int write_report(const settings &options) {
    std::vector<skipped_input> skipped;
    catalog::catalog db(options.db.empty() ? ":memory:" : options.db,
                        options.db.empty() ? catalog::open_mode::create : catalog::open_mode::existing);
    if (options.db.empty()) add_records(db, options.operands, skipped);
    for (const skipped_input &input : skipped)
        std::cerr << "mekal-report: " << input.source << ": " << input.reason << " (skipped)\n";

    const table_columns columns = columns_of(options.view);
    const catalog::table runs = db.list({options.where, columns.names, "", false, std::nullopt});
    if (runs.rows.empty()) {
        std::cerr << "mekal-report: no run records to report"
                  << (options.where.empty() ? "" : " where the conditions hold") << '\n';
        return 2;
    }
    json data = runs.rows.size() == 1 ? one_run_data(db, options, skipped) : json();
    if (data.is_null()) {
        if (runs.rows.size() == 1)
            std::cerr << "mekal-report: " << skipped.back().source << ": " << skipped.back().reason
                      << " (its run is shown as a table)\n";
        data = many_runs_data(db, options, runs, columns, skipped);
    }
    if (!write_page(options.output, render_page(data))) return 2;
    return skipped.empty() ? 0 : 1;
}

// Parses the options; returns -1 to go on, or the exit status.
int parse_options(int argc, char **argv, settings &out) {
    enum { kBy = 256, kMetric, kColumns, kWhere, kDb };
    static const option kOptions[] = {{"output", required_argument, nullptr, 'o'},
                                      {"by", required_argument, nullptr, kBy},
                                      {"metric", required_argument, nullptr, kMetric},
                                      {"columns", required_argument, nullptr, kColumns},
                                      {"where", required_argument, nullptr, kWhere},
                                      {"db", required_argument, nullptr, kDb},
                                      {"help", no_argument, nullptr, 'h'},
                                      {"version", no_argument, nullptr, 'V'},
                                      {nullptr, 0, nullptr, 0}};
    // getopt names the program after argv[0] in its one-line complaints.
    static char program_name[] = "mekal-report";
    argv[0] = program_name;
    for (int c; (c = getopt_long(argc, argv, "o:hV", kOptions, nullptr)) != -1;) {
        switch (c) {
        case 'o': out.output = optarg; break;
        case kBy: out.view.by = optarg; break;
        case kMetric: out.view.metrics.emplace_back(optarg); break;
        case kColumns: split_names(optarg, out.view.columns); break;
        case kWhere:
            try {
                out.where.push_back(catalog::parse_condition(optarg));
            } catch (const catalog::trouble &error) {
                throw usage_error(error.what());
            }
            out.view.conditions.emplace_back(optarg);
            break;
        case kDb: out.db = optarg; break;
        case 'h': std::cout << kUsage; return std::cout.flush() ? 0 : 2;
        case 'V':
            std::cout << "mekal-report (mekal) " MEKAL_REPORT_VERSION "\n";
            return std::cout.flush() ? 0 : 2;
        default: throw usage_error("");  // getopt has said what was wrong
        }
    }
    out.operands.assign(argv + optind, argv + argc);
    if (out.output.empty()) throw usage_error("empty output file name");
    if (!out.db.empty() && !out.operands.empty())
        throw usage_error("--db and record operands exclude each other");
    if (out.db.empty() && out.operands.empty()) throw usage_error("no run records named");
    return -1;
}

int report_main(int argc, char **argv) {
    settings options;
    try {
        if (const int status = parse_options(argc, argv, options); status >= 0) return status;
    } catch (const usage_error &error) {
        if (*error.what() != '\0') std::cerr << "mekal-report: " << error.what() << '\n';
        std::cerr << kUsage;
        return 2;
    }
    return write_report(options);
}

}  // namespace
}  // namespace mekal::report

int main(int argc, char **argv) {
    try {
        return mekal::report::report_main(argc, argv);
    } catch (const std::exception &error) {
        // A catalog that cannot be opened or read, or exhausted memory.
        std::cerr << "mekal-report: " << error.what() << '\n';
    }
    return 2;
}
