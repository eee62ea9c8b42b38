// Comparing two run records: numbers by their exact value, texts with the
// run's pid taken out, entries by name, the header member by member.
#include <algorithm>
#include <set>
#include <string>
#include <utility>

#include "diff.h"

namespace mekal::diff {

std::string without_pid(std::string_view text, std::string_view pid) {
    if (pid.empty()) return std::string(text);
    const auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
    std::string out;
    size_t copied = 0;
    for (size_t at = text.find(pid); at != std::string_view::npos; at = text.find(pid, at + 1)) {
        const size_t end = at + pid.size();
        if ((at > 0 && is_digit(text[at - 1])) || (end < text.size() && is_digit(text[end])))
            continue;
        out.append(text, copied, at - copied).append(kPidMark);
        copied = end;
        at = end - 1;
    }
    return out.append(text, copied);
}

namespace {

// A pid spelled as a whole number inside a text ("/tmp/app.41235.log") or a
// name makes it differ in every run; such texts are compared with the pid
// replaced. Pids shorter than this are too often plain numbers of the run.
constexpr size_t kMinPidDigits = 3;

// The pid of a record as text, or empty where its texts are left alone.
std::string pid_text(const json_value &record) {
    const json_value *program = record.find("program");
    const json_value *pid = program != nullptr ? program->find("pid") : nullptr;
    if (pid == nullptr || pid->kind != json_kind::number) return {};
    // A plain non-negative integer; "41235.0" names no process.
    if (pid->text.size() < kMinPidDigits ||
        pid->text.find_first_not_of("0123456789") != std::string_view::npos)
        return {};
    return std::string(pid->text);
}

struct pids {
    std::string a, b;
};

bool same(const json_value &a, const json_value &b, const pids &pid) {
    if (a.kind != b.kind) return false;
    switch (a.kind) {
    case json_kind::null: return true;
    case json_kind::boolean: return a.truth == b.truth;
    case json_kind::number: return a.text == b.text || exact_number(a.text) == exact_number(b.text);
    case json_kind::string:
        if (pid.a.empty() && pid.b.empty()) return a.text == b.text;
        return without_pid(a.text, pid.a) == without_pid(b.text, pid.b);
    case json_kind::array:
    case json_kind::object:
        // Members are sorted by name, so objects compare pairwise too.
        if (a.count != b.count) return false;
        for (uint32_t i = 0; i < a.count; ++i)
            if (a.first[i].name != b.first[i].name || !same(a.first[i].value, b.first[i].value, pid))
                return false;
        return true;
    }
    return false;
}

// Calls visit(name, in_a, in_b) for each member name of a or b, in order,
// with nullptr for the side that lacks it. Either object may be null.
template <typename Visit>
void for_each_member(const json_value *a, const json_value *b, Visit visit) {
    const std::span<const json_member> in_a =
        a != nullptr && a->kind == json_kind::object ? a->children() : std::span<const json_member>();
    const std::span<const json_member> in_b =
        b != nullptr && b->kind == json_kind::object ? b->children() : std::span<const json_member>();
    size_t i = 0, j = 0;
    while (i < in_a.size() || j < in_b.size()) {
        const bool take_a = j == in_b.size() || (i < in_a.size() && in_a[i].name <= in_b[j].name);
        const bool take_b = i == in_a.size() || (j < in_b.size() && in_b[j].name <= in_a[i].name);
        const std::string_view name = take_a ? in_a[i].name : in_b[j].name;
        visit(name, take_a ? &in_a[i].value : nullptr, take_b ? &in_b[j].value : nullptr);
        i += take_a ? 1 : 0;
        j += take_b ? 1 : 0;
    }
}

// An entry of a record under the name it is compared by.
struct keyed_entry {
    std::string key;
    const json_value *entry;
    bool operator<(const keyed_entry &other) const { return key < other.key; }
};

class comparer {
public:
    comparer(const json_value &a, const json_value &b, const settings &options)
        : all_(options.all), ignored_(options.ignored.begin(), options.ignored.end()) {
        if (!all_) {
            for (const std::string_view name : ignored_by_default) ignored_.emplace(name);
            pid_ = {pid_text(a), pid_text(b)};
            // The same pid in both runs marks nothing that differs.
            if (pid_.a == pid_.b) pid_ = {};
        }
    }

    void header(const std::string &path, const json_value *a, const json_value *b) {
        if (ignored_.count(path) != 0) return;
        if (a != nullptr && b != nullptr && a->kind == json_kind::object &&
            b->kind == json_kind::object) {
            for_each_member(a, b, [&](std::string_view name, const json_value *in_a, const json_value *in_b) {
                header(std::string(path).append(".").append(name), in_a, in_b);
            });
            return;
        }
        if (a != nullptr && b != nullptr && same(*a, *b, pid_)) return;
        found_.push_back({kind_of(a, b), true, path, a, b, {}});
    }

    // Both lists sorted by the names as compared, then walked side by side.
    void values(const json_value &a, const json_value &b) {
        const std::vector<keyed_entry> in_a = keyed(a, pid_.a);
        const std::vector<keyed_entry> in_b = keyed(b, pid_.b);
        size_t i = 0, j = 0;
        while (i < in_a.size() || j < in_b.size()) {
            const bool take_a = j == in_b.size() || (i < in_a.size() && in_a[i].key <= in_b[j].key);
            const bool take_b = i == in_a.size() || (j < in_b.size() && in_b[j].key <= in_a[i].key);
            const json_value *entry_a = take_a ? in_a[i].entry : nullptr;
            const json_value *entry_b = take_b ? in_b[j].entry : nullptr;
            const std::string &key = take_a ? in_a[i].key : in_b[j].key;
            i += take_a ? 1 : 0;
            j += take_b ? 1 : 0;
            if (is_ignored(entry_a) || is_ignored(entry_b)) continue;
            difference found{kind_of(entry_a, entry_b), false, key, entry_a, entry_b, {}};
            if (found.kind == change::changed) {
                found.members = differing_members(*entry_a, *entry_b);
                if (found.members.empty()) continue;
            }
            found_.push_back(std::move(found));
        }
    }

    comparison take() { return {std::move(found_), pid_.a, pid_.b}; }

private:
    static change kind_of(const json_value *a, const json_value *b) {
        return a == nullptr ? change::added : b == nullptr ? change::removed : change::changed;
    }

    // The entries by the name as compared: with the run's pid replaced.
    static std::vector<keyed_entry> keyed(const json_value &values, const std::string &pid) {
        std::vector<keyed_entry> entries;
        entries.reserve(values.count);
        for (const json_member &element : values.children())
            entries.push_back({without_pid(element.value.find("name")->text, pid), &element.value});
        std::stable_sort(entries.begin(), entries.end());
        return entries;
    }

    bool is_ignored(const json_value *entry) const {
        return entry != nullptr && ignored_.find(entry->find("name")->text) != ignored_.end();
    }

    // The value leads; the other members follow by name. The name is the key
    // and the time of recording differs in every run.
    std::vector<std::string> differing_members(const json_value &a, const json_value &b) const {
        std::vector<std::string> members;
        for_each_member(&a, &b, [&](std::string_view name, const json_value *in_a, const json_value *in_b) {
            if (name == "name" || (name == "recorded" && !all_)) return;
            if (in_a != nullptr && in_b != nullptr && same(*in_a, *in_b, pid_)) return;
            if (name == "value")
                members.insert(members.begin(), std::string(name));
            else
                members.emplace_back(name);
        });
        return members;
    }

    bool all_;
    std::set<std::string, std::less<>> ignored_;
    pids pid_;
    std::vector<difference> found_;
};

}  // namespace

comparison compare_records(const json_value &a, const json_value &b, const settings &options) {
    comparer compare(a, b, options);
    for_each_member(&a, &b, [&](std::string_view name, const json_value *in_a, const json_value *in_b) {
        // Checked on reading; the values are compared entry by entry.
        if (name == "schema" || name == "schema_version" || name == "values") return;
        // Appended: GCC 12 warns falsely on a literal plus a temporary.
        compare.header(std::string(".").append(name), in_a, in_b);
    });
    compare.values(*a.find("values"), *b.find("values"));
    return compare.take();
}

}  // namespace mekal::diff
