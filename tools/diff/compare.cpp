// Comparing two run records: numbers by value, texts with the run's pid
// taken out, entries by name, the header member by member.
#include <cctype>
#include <cmath>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "diff.h"

namespace mekal::diff {
namespace {

// A pid spelled as a whole number inside a text ("/tmp/app.41235.log") or a
// name makes it differ in every run; such texts are compared with the pid
// replaced. Pids shorter than this are too often plain numbers of the run.
constexpr size_t kMinPidDigits = 3;
constexpr std::string_view kPidMark = "<pid>";

// The pid of each record as text, or empty where its texts are left alone.
struct pids {
    std::string a, b;
};

std::string pid_text(const json &record) {
    const auto program = record.find("program");
    if (program == record.end() || !program->is_object()) return {};
    const auto pid = program->find("pid");
    if (pid == program->end() || !pid->is_number_integer()) return {};
    std::string text = pid->dump();
    return text.size() >= kMinPidDigits && text.front() != '-' ? text : std::string{};
}

bool is_digit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

std::string without_pid(const std::string &text, const std::string &pid) {
    if (pid.empty()) return text;
    std::string out;
    size_t copied = 0;
    for (size_t at = text.find(pid); at != std::string::npos; at = text.find(pid, at + 1)) {
        const size_t end = at + pid.size();
        if ((at > 0 && is_digit(text[at - 1])) || (end < text.size() && is_digit(text[end])))
            continue;
        out.append(text, copied, at - copied).append(kPidMark);
        copied = end;
        at = end - 1;
    }
    return out.append(text, copied);
}

// An integer equals a double only when the double holds exactly that integer.
bool integer_equals_double(const json &integer, double d) {
    if (!std::isfinite(d) || std::trunc(d) != d) return false;
    constexpr double kTwo63 = 9223372036854775808.0;
    if (integer.is_number_unsigned())
        return d >= 0 && d < 2 * kTwo63 &&
               static_cast<uint64_t>(d) == integer.get<uint64_t>();
    return d >= -kTwo63 && d < kTwo63 && static_cast<int64_t>(d) == integer.get<int64_t>();
}

// Numbers by value and exactly: no integer goes through a double.
bool same_number(const json &a, const json &b) {
    if (a.is_number_float() && b.is_number_float()) return a.get<double>() == b.get<double>();
    if (a.is_number_float()) return integer_equals_double(b, a.get<double>());
    if (b.is_number_float()) return integer_equals_double(a, b.get<double>());
    if (a.is_number_unsigned() == b.is_number_unsigned()) return a == b;
    const json &signed_one = a.is_number_unsigned() ? b : a;
    const json &unsigned_one = a.is_number_unsigned() ? a : b;
    const int64_t s = signed_one.get<int64_t>();
    return s >= 0 && static_cast<uint64_t>(s) == unsigned_one.get<uint64_t>();
}

bool same(const json &a, const json &b, const pids &pid) {
    if (a.is_number() && b.is_number()) return same_number(a, b);
    if (a.type() != b.type()) return false;
    if (a.is_string())
        return without_pid(a.get_ref<const std::string &>(), pid.a) ==
               without_pid(b.get_ref<const std::string &>(), pid.b);
    if (a.is_array()) {
        if (a.size() != b.size()) return false;
        for (size_t i = 0; i < a.size(); ++i)
            if (!same(a[i], b[i], pid)) return false;
        return true;
    }
    if (a.is_object()) {
        if (a.size() != b.size()) return false;
        for (const auto &[key, value] : a.items()) {
            const auto other = b.find(key);
            if (other == b.end() || !same(value, *other, pid)) return false;
        }
        return true;
    }
    return a == b;
}

std::set<std::string> member_names(const json *a, const json *b) {
    std::set<std::string> names;
    for (const json *side : {a, b})
        if (side != nullptr && side->is_object())
            for (const auto &item : side->items()) names.insert(item.key());
    return names;
}

const json *member(const json *object, const std::string &name) {
    if (object == nullptr || !object->is_object()) return nullptr;
    const auto found = object->find(name);
    return found == object->end() ? nullptr : &*found;
}

class comparison {
public:
    comparison(const json &a, const json &b, const settings &options)
        : all_(options.all), ignored_(options.ignored.begin(), options.ignored.end()) {
        if (!all_) {
            for (const std::string_view name : ignored_by_default) ignored_.emplace(name);
            pid_ = {pid_text(a), pid_text(b)};
            // The same pid in both runs marks nothing that differs.
            if (pid_.a == pid_.b) pid_ = {};
        }
    }

    void header(const std::string &path, const json *a, const json *b) {
        if (ignored_.count(path) != 0) return;
        if (a != nullptr && b != nullptr && a->is_object() && b->is_object()) {
            for (const std::string &name : member_names(a, b)) {
                std::string child = path;
                child.append(".").append(name);
                header(child, member(a, name), member(b, name));
            }
            return;
        }
        if (a != nullptr && b != nullptr && same(*a, *b, pid_)) return;
        found_.push_back({kind_of(a, b), true, path, a, b, {}});
    }

    void values(const json &a, const json &b) {
        std::map<std::string, std::pair<const json *, const json *>> by_name;
        for (const json &entry : a) by_name[key_of(entry, pid_.a)].first = &entry;
        for (const json &entry : b) by_name[key_of(entry, pid_.b)].second = &entry;
        for (const auto &[key, sides] : by_name) {
            const auto [entry_a, entry_b] = sides;
            if (is_ignored(entry_a) || is_ignored(entry_b)) continue;
            const json &shown = entry_a != nullptr ? *entry_a : *entry_b;
            difference found{kind_of(entry_a, entry_b), false, shown["name"].get<std::string>(),
                             entry_a, entry_b, {}};
            if (found.kind == change::changed) {
                found.members = differing_members(*entry_a, *entry_b);
                if (found.members.empty()) continue;
            }
            found_.push_back(std::move(found));
        }
    }

    std::vector<difference> take() { return std::move(found_); }

private:
    static change kind_of(const json *a, const json *b) {
        return a == nullptr ? change::added : b == nullptr ? change::removed : change::changed;
    }

    static std::string key_of(const json &entry, const std::string &pid) {
        return without_pid(entry["name"].get_ref<const std::string &>(), pid);
    }

    bool is_ignored(const json *entry) const {
        return entry != nullptr &&
               ignored_.count(entry->at("name").get_ref<const std::string &>()) != 0;
    }

    // The value leads; the other members follow by name. The name is the key
    // and the time of recording differs in every run.
    std::vector<std::string> differing_members(const json &a, const json &b) const {
        std::vector<std::string> members;
        for (const std::string &name : member_names(&a, &b)) {
            if (name == "name" || (name == "recorded" && !all_)) continue;
            const json *in_a = member(&a, name);
            const json *in_b = member(&b, name);
            if (in_a != nullptr && in_b != nullptr && same(*in_a, *in_b, pid_)) continue;
            if (name == "value")
                members.insert(members.begin(), name);
            else
                members.push_back(name);
        }
        return members;
    }

    bool all_;
    std::set<std::string, std::less<>> ignored_;
    pids pid_;
    std::vector<difference> found_;
};

}  // namespace

std::vector<difference> compare_records(const json &a, const json &b, const settings &options) {
    comparison compare(a, b, options);
    for (const std::string &name : member_names(&a, &b)) {
        // Checked on reading; the values are compared entry by entry.
        if (name == "schema" || name == "schema_version" || name == "values") continue;
        compare.header("." + name, member(&a, name), member(&b, name));
    }
    compare.values(a["values"], b["values"]);
    return compare.take();
}

}  // namespace mekal::diff
