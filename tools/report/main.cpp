// mekal-report: one self-contained HTML page of a run, or of many runs with
// their plots. Exits 0 when the page is written from every input, 1 when it
// is written but inputs were skipped, and 2 on trouble.
#include <getopt.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "../diff/diff.h"
#include "record_file.h"
#include "report.h"

namespace mekal::report {
namespace {

constexpr const char *kUsage = R"(Usage: mekal-report [OPTIONS] RECORD|DIR...
Write one HTML page of mekal run records: a run's values, or a table of many
runs with plots of their metrics. The page works offline, opened from disk.

  -o, --output=FILE   write the page to FILE (default mekal-report.html;
                      "-" for standard output)
      --by=NAME       group the runs by the value NAME (host, a commit, ...)
      --metric=NAME   plot the value NAME over the runs' start times and per
                      group; may be repeated
      --columns=NAMES further columns of the table of runs, separated by
                      commas; may be repeated
  -h, --help          print this help and exit
  -V, --version       print the version and exit

Directories are searched for *.json records, also in subdirectories. Exit
status: 0 if the page was written from every input, 1 if inputs were
skipped, 2 on trouble.
)";

constexpr const char *kDefaultOutput = "mekal-report.html";

int bad_usage(const std::string &message) {
    if (!message.empty()) std::cerr << "mekal-report: " << message << '\n';
    std::cerr << kUsage;
    return 2;
}

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

// The record files an operand names: itself, or the *.json files under a
// directory, sorted so that the page does not depend on the file system's order.
std::vector<std::string> record_files(const std::string &operand,
                                      std::vector<skipped_input> &skipped) {
    namespace fs = std::filesystem;
    std::error_code error;
    if (!fs::is_directory(operand, error)) return {operand};
    std::vector<std::string> files;
    fs::recursive_directory_iterator it(operand, error), end;
    for (; !error && it != end; it.increment(error))
        if (it->path().extension() == ".json" && it->is_regular_file(error))
            files.push_back(it->path().string());
    if (error) skipped.push_back({operand, error.message()});
    std::sort(files.begin(), files.end());
    return files;
}

bool write_page(const std::string &path, const std::string &page) {
    if (path == "-") return static_cast<bool>(std::cout.write(page.data(), static_cast<long>(page.size())).flush());
    const mode_t mask = umask(0);
    umask(mask);
    const int error = mekal::record::write_atomically(path.c_str(), page.data(), page.size(),
                                                      0666 & ~mask);
    if (error != 0) std::cerr << "mekal-report: " << path << ": " << std::strerror(error) << '\n';
    return error == 0;
}

int report_main(int argc, char **argv) {
    enum { kBy = 256, kMetric, kColumns };
    static const option kOptions[] = {{"output", required_argument, nullptr, 'o'},
                                      {"by", required_argument, nullptr, kBy},
                                      {"metric", required_argument, nullptr, kMetric},
                                      {"columns", required_argument, nullptr, kColumns},
                                      {"help", no_argument, nullptr, 'h'},
                                      {"version", no_argument, nullptr, 'V'},
                                      {nullptr, 0, nullptr, 0}};
    // getopt names the program after argv[0] in its one-line complaints.
    static char program_name[] = "mekal-report";
    argv[0] = program_name;
    std::string output = kDefaultOutput;
    view_options options;
    for (int c; (c = getopt_long(argc, argv, "o:hV", kOptions, nullptr)) != -1;) {
        switch (c) {
        case 'o': output = optarg; break;
        case kBy: options.by = optarg; break;
        case kMetric: options.metrics.emplace_back(optarg); break;
        case kColumns: split_names(optarg, options.columns); break;
        case 'h': std::cout << kUsage; return std::cout.flush() ? 0 : 2;
        case 'V':
            std::cout << "mekal-report (mekal) " MEKAL_REPORT_VERSION "\n";
            return std::cout.flush() ? 0 : 2;
        default: return bad_usage("");  // getopt has said what was wrong
        }
    }
    if (optind == argc) return bad_usage("no run records named");
    if (output.empty()) return bad_usage("empty output file name");

    std::vector<skipped_input> skipped;
    std::vector<run> runs;
    for (int i = optind; i < argc; ++i) {
        for (const std::string &file : record_files(argv[i], skipped)) {
            try {
                runs.push_back(run_of_record(file, mekal::diff::load_record(file)));
            } catch (const mekal::diff::trouble &error) {
                const std::string what = error.what();
                skipped.push_back({file, what.substr(std::min(what.size(), file.size() + 2))});
            }
        }
    }
    for (const skipped_input &input : skipped)
        std::cerr << "mekal-report: " << input.source << ": " << input.reason << " (skipped)\n";
    if (runs.empty()) {
        std::cerr << "mekal-report: no run records to report\n";
        return 2;
    }
    const json data = runs.size() == 1
                          ? run_page_data(runs.front(), skipped)
                          : runs_page_data(table_of_runs(runs, options), options, json(), skipped);
    if (!write_page(output, render_page(data))) return 2;
    return skipped.empty() ? 0 : 1;
}

}  // namespace
}  // namespace mekal::report

int main(int argc, char **argv) {
    try {
        return mekal::report::report_main(argc, argv);
    } catch (const std::exception &error) {
        // Exhausted memory, in practice.
        std::cerr << "mekal-report: " << error.what() << '\n';
    }
    return 2;
}
