// mekal-diff: what differs between two run records, value by value. Exits
// 0 when they are equal, 1 when they differ and 2 on trouble, as diff does.
#include <getopt.h>

#include <iostream>
#include <string>

#include "diff.h"

namespace mekal::diff {
namespace {

constexpr const char *kUsage = R"(Usage: mekal-diff [OPTIONS] A.json B.json
Show what differs between two mekal run records, value by value.

  -a, --all          also compare what differs in every run: the times the
                     values were recorded, the pid and texts naming it, the
                     launch date, the timings and the load
      --ignore=NAME  leave out the value NAME, or the header member at the
                     path NAME (".program.host"); may be repeated
      --json         print the differences as one JSON document
  -h, --help         print this help and exit
  -V, --version      print the version and exit

Lines read "+ NAME: VALUE" (only in B), "- NAME: VALUE" (only in A) and
"~ NAME: A -> B" (changed); header members are named by their path, such as
".exit_status". Unless --all, a record's pid in a text or name is compared,
and shown, as <pid>. Exit status: 0 if equal, 1 if different, 2 on trouble.
)";

constexpr const char *kAbsent = "(absent)";

// Standard members of an entry; a summary also shows any others it carries.
constexpr std::string_view kEntryMembers[] = {"name",        "category", "category_name",
                                              "subcategory", "type",     "long_type",
                                              "value",       "recorded"};

// A value as it was compared: with the pid rule, texts show the pid replaced.
std::string compact(const json_value *value, std::string_view pid) {
    if (value == nullptr) return kAbsent;
    std::string text;
    write_json(text, *value, pid);
    return text;
}

std::string quoted(std::string_view text) {
    std::string out;
    write_json_string(out, text);
    return out;
}

// Names are printed bare unless that could be misread: empty, starting like a
// header path or a quoted name, holding control characters or ": ".
std::string shown_name(const std::string &name, bool header) {
    bool plain = header || (!name.empty() && name.front() != '.' && name.front() != '"' &&
                            name.front() != ' ' && name.find(": ") == std::string::npos);
    for (const char c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) plain = false;
    return plain ? name : quoted(name);
}

bool is_entry_member(std::string_view name) {
    for (const std::string_view known : kEntryMembers)
        if (known == name) return true;
    return false;
}

// An added or removed entry: its value, then any members beyond the standard ones.
std::string summary(const json_value &entry, std::string_view pid) {
    std::string text;
    if (const json_value *value = entry.find("value")) text = compact(value, pid);
    for (const json_member &extra : entry.children()) {
        if (is_entry_member(extra.name)) continue;
        if (!text.empty()) text += "; ";
        text.append(extra.name).append(": ").append(compact(&extra.value, pid));
    }
    return text;
}

const json_value *member(const json_value *entry, const std::string &name) {
    return entry != nullptr ? entry->find(name) : nullptr;
}

std::string text_line(const difference &d, const comparison &c) {
    static constexpr char kSigns[] = {'+', '-', '~'};
    std::string line = std::string(1, kSigns[static_cast<int>(d.kind)]) + " " +
                       shown_name(d.name, d.header) + ": ";
    if (d.kind == change::added) return line + (d.header ? compact(d.b, c.pid_b) : summary(*d.b, c.pid_b));
    if (d.kind == change::removed) return line + (d.header ? compact(d.a, c.pid_a) : summary(*d.a, c.pid_a));
    if (d.header) return line + compact(d.a, c.pid_a) + " -> " + compact(d.b, c.pid_b);
    for (size_t i = 0; i < d.members.size(); ++i) {
        const std::string &name = d.members[i];
        if (i > 0) line += "; ";
        if (name != "value") line += name + ": ";
        line += compact(member(d.a, name), c.pid_a) + " -> " + compact(member(d.b, name), c.pid_b);
    }
    return line;
}

// One difference as a JSON object; its members in reading order.
std::string json_difference(const difference &d, const comparison &c) {
    static constexpr const char *kNames[] = {"added", "removed", "changed"};
    std::string out = std::string("{\"change\":\"") + kNames[static_cast<int>(d.kind)] + "\",";
    out += d.header ? "\"path\":" : "\"name\":";
    out += quoted(d.name);
    if (d.kind == change::changed && !d.header) {
        out += ",\"members\":[";
        for (size_t i = 0; i < d.members.size(); ++i) {
            if (i > 0) out += ',';
            write_json_string(out, d.members[i]);
        }
        out += ']';
    }
    // Appended piece by piece: GCC 12 warns falsely on a literal plus a temporary.
    if (d.a != nullptr) out.append(",\"a\":").append(compact(d.a, c.pid_a));
    if (d.b != nullptr) out.append(",\"b\":").append(compact(d.b, c.pid_b));
    return out + "}";
}

// One JSON document, a difference per line, so that both jq and grep read it.
void print_json(const comparison &c, const std::string &a, const std::string &b) {
    std::cout << "{\"a\":" << quoted(a) << ",\"b\":" << quoted(b) << ",\"differences\":[";
    for (size_t i = 0; i < c.differences.size(); ++i)
        std::cout << (i == 0 ? "\n" : ",\n") << json_difference(c.differences[i], c);
    std::cout << (c.differences.empty() ? "]}\n" : "\n]}\n");
}

void print(const comparison &c, bool as_json, const std::string &a, const std::string &b) {
    if (as_json) return print_json(c, a, b);
    for (const difference &d : c.differences) std::cout << text_line(d, c) << '\n';
}

int bad_usage(const std::string &message) {
    if (!message.empty()) std::cerr << "mekal-diff: " << message << '\n';
    std::cerr << kUsage;
    return 2;
}

int run(int argc, char **argv) {
    static const option kOptions[] = {{"all", no_argument, nullptr, 'a'},
                                      {"ignore", required_argument, nullptr, 'i'},
                                      {"json", no_argument, nullptr, 'j'},
                                      {"help", no_argument, nullptr, 'h'},
                                      {"version", no_argument, nullptr, 'V'},
                                      {nullptr, 0, nullptr, 0}};
    // getopt names the program after argv[0] in its one-line complaints.
    static char program_name[] = "mekal-diff";
    argv[0] = program_name;
    settings options;
    bool as_json = false;
    for (int c; (c = getopt_long(argc, argv, "ahV", kOptions, nullptr)) != -1;) {
        switch (c) {
        case 'a': options.all = true; break;
        case 'i': options.ignored.emplace_back(optarg); break;
        case 'j': as_json = true; break;
        case 'h': std::cout << kUsage; return std::cout.flush() ? 0 : 2;
        case 'V':
            std::cout << "mekal-diff (mekal) " MEKAL_DIFF_VERSION "\n";
            return std::cout.flush() ? 0 : 2;
        default: return bad_usage("");  // getopt has said what was wrong
        }
    }
    if (argc - optind < 2)
        return bad_usage(argc == optind ? "missing operands"
                                        : "missing operand after '" + std::string(argv[optind]) + "'");
    if (argc - optind > 2) return bad_usage("extra operand '" + std::string(argv[optind + 2]) + "'");

    const std::string path_a = argv[optind], path_b = argv[optind + 1];
    if (path_a == "-" && path_b == "-")
        return bad_usage("standard input can be read only once: give '-' for one record at most");
    const std::unique_ptr<json_document> a = load_record(path_a);
    const std::unique_ptr<json_document> b = load_record(path_b);
    const comparison result = compare_records(a->root, b->root, options);
    print(result, as_json, path_a, path_b);
    if (!std::cout.flush()) {
        std::cerr << "mekal-diff: write error\n";
        return 2;
    }
    return result.differences.empty() ? 0 : 1;
}

}  // namespace
}  // namespace mekal::diff

int main(int argc, char **argv) {
    try {
        return mekal::diff::run(argc, argv);
    } catch (const mekal::diff::trouble &error) {
        std::cerr << "mekal-diff: " << error.what() << '\n';
    } catch (const std::exception &error) {
        // Exhausted memory, in practice.
        std::cerr << "mekal-diff: " << error.what() << '\n';
    }
    return 2;
}
