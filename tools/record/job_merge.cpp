// Merging the values of the ranks of an MPI job into one list.
#include "job_merge.h"

#include <cstdlib>
#include <cstring>

#include "record_file.h"

namespace mekal::record {
namespace {

constexpr uint64_t kNameSeed = 0x6e616d65u;
constexpr uint64_t kEntrySeed = 0x656e7472u;
constexpr size_t kNoIndex = static_cast<size_t>(-1);

constexpr char kNameStart[] = "{\"name\":\"";
constexpr char kType[] = ",\"type\":";
constexpr char kLongType[] = ",\"long_type\":";
constexpr char kValue[] = ",\"value\":";
constexpr char kRecorded[] = ",\"recorded\":";

uint64_t rotate(uint64_t x, int bits) { return (x << bits) | (x >> (64 - bits)); }

uint64_t finish_hash(uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9u;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebu;
    return x ^ (x >> 31);
}

// First place of key in line[from, end), or kNoIndex. Inside a JSON string
// a quote is always escaped, so a ',' followed by a quote only ever starts a
// member: the first such member name found is the member itself.
size_t find_key(const char *line, size_t from, size_t end, const char *key, size_t key_length) {
    if (from > end) return kNoIndex;
    const void *at = memmem(line + from, end - from, key, key_length);
    return at == nullptr ? kNoIndex : static_cast<size_t>(static_cast<const char *>(at) - line);
}

// Last place of key in line[from, end): a value rendered as JSON (a
// jsonstring) may hold the recording time's member name, the time never.
size_t find_last_key(const char *line, size_t from, size_t end, const char *key,
                     size_t key_length) {
    for (size_t at = end; at >= from + key_length; --at)
        if (std::memcmp(line + at - key_length, key, key_length) == 0) return at - key_length;
    return kNoIndex;
}

struct text_part {
    const char *text;
    size_t length;
    bool operator==(const text_part &other) const {
        return length == other.length && std::memcmp(text, other.text, length) == 0;
    }
};

text_part type_of(const entry_line &e) {
    const size_t from = e.type_at + sizeof kType - 1;
    return {e.line + from, e.long_type_at - from};
}

text_part long_type_of(const entry_line &e) {
    const size_t from = e.long_type_at + sizeof kLongType - 1;
    return {e.line + from, e.value_at - from};
}

text_part value_of(const entry_line &e) {
    const size_t from = e.value_at + sizeof kValue - 1;
    return {e.line + from, e.recorded_at - from};
}

int compare_by_name(const void *left, const void *right) {
    const uint64_t a = static_cast<const value_table::by_name *>(left)->hash;
    const uint64_t b = static_cast<const value_table::by_name *>(right)->hash;
    return a < b ? -1 : a > b ? 1 : 0;
}

// A rank's entry in an entry that has a value per rank.
struct holder {
    int rank;
    const entry_line *entry;
};

// Writes one entry with the value of each holder; its name, category,
// subcategory and recording time are the first holder's.
void put_ranks_entry(text_buffer *out, const holder *holders, size_t count) {
    const entry_line &first = *holders[0].entry;
    bool same_type = true;
    for (size_t i = 1; i < count && same_type; ++i)
        same_type = type_of(*holders[i].entry) == type_of(first) &&
                    long_type_of(*holders[i].entry) == long_type_of(first);
    out->append(first.line, first.type_at);
    out->append(kType);
    const text_part type = type_of(first), long_type = long_type_of(first);
    if (same_type) out->append(type.text, type.length);
    else out->append("null");
    out->append(kLongType);
    if (same_type) out->append(long_type.text, long_type.length);
    else out->append("null");
    out->append(",\"ranks\":[");
    for (size_t i = 0; i < count; ++i) {
        const entry_line &e = *holders[i].entry;
        const text_part t = type_of(e), l = long_type_of(e), v = value_of(e);
        out->append(i == 0 ? "{\"rank\":" : ",{\"rank\":");
        out->append_long(holders[i].rank);
        out->append(kType);
        out->append(t.text, t.length);
        out->append(kLongType);
        out->append(l.text, l.length);
        out->append(kValue);
        out->append(v.text, v.length);
        out->append("}");
    }
    out->append("]");
    out->append(first.line + first.recorded_at, first.length - first.recorded_at);
}

// Opens and closes the job's list, one entry per line.
struct entry_list {
    text_buffer text;
    bool empty = true;

    entry_list() { text.append("["); }
    text_buffer *next() {
        text.append(empty ? "\n" : ",\n");
        empty = false;
        return &text;
    }
    char *close() {
        text.append(empty ? "]\n" : "\n]\n");
        return text.release();
    }
};

// One line of a rank's answer.
struct answer_item {
    int rank;
    size_t index;  // rank 0's name; kNoIndex for a name rank 0 lacks
    bool lacks;    // the rank lacks rank 0's name index
    entry_line entry;
};

bool same_name(const entry_line &a, const entry_line &b) {
    return a.name_length == b.name_length && std::memcmp(a.name, b.name, a.name_length) == 0;
}

int compare_extras(const void *left, const void *right) {
    const answer_item &a = **static_cast<const answer_item *const *>(left);
    const answer_item &b = **static_cast<const answer_item *const *>(right);
    const size_t common = a.entry.name_length < b.entry.name_length ? a.entry.name_length
                                                                    : b.entry.name_length;
    const int by_name = std::memcmp(a.entry.name, b.entry.name, common);
    if (by_name != 0) return by_name;
    if (a.entry.name_length != b.entry.name_length)
        return a.entry.name_length < b.entry.name_length ? -1 : 1;
    return a.rank - b.rank;
}

// Reads the answer of rank into items (which has room for two items per
// line). False for a line it cannot read or indices out of order.
bool read_answer(const value_table &root, int rank, const char *text, size_t length,
                 answer_item *items, size_t *used) {
    size_t last = kNoIndex;
    for (size_t at = 0; at < length;) {
        const char *line = text + at;
        const char *newline = static_cast<const char *>(std::memchr(line, '\n', length - at));
        if (newline == nullptr) return false;
        const size_t line_length = static_cast<size_t>(newline - line);
        at += line_length + 1;
        answer_item item{rank, kNoIndex, false, {}};
        size_t skip = 0;
        if (line_length >= 2 && line[0] == '-' && line[1] == ' ') {
            skip = 2;
        } else {
            size_t index = 0;
            while (skip < line_length && line[skip] >= '0' && line[skip] <= '9' &&
                   index < root.count)
                index = index * 10 + static_cast<size_t>(line[skip++] - '0');
            if (skip == 0 || index >= root.count || (last != kNoIndex && index <= last))
                return false;
            last = item.index = index;
            if (skip == line_length) {
                item.lacks = true;
                items[(*used)++] = item;
                continue;
            }
            if (line[skip++] != ' ') return false;
        }
        if (!split_entry(line + skip, line_length - skip, &item.entry)) return false;
        if (item.index != kNoIndex && !same_name(item.entry, root.entries[item.index])) {
            // Another name of the same hash: rank 0's name is missing here,
            // and this one is a name rank 0 lacks.
            items[(*used)++] = {rank, item.index, true, {}};
            item.index = kNoIndex;
        }
        items[(*used)++] = item;
    }
    return true;
}

}  // namespace

uint64_t hash_bytes(const void *data, size_t length, uint64_t seed) {
    constexpr uint64_t kOdd1 = 0x9e3779b97f4a7c15u;
    constexpr uint64_t kOdd2 = 0xc2b2ae3d27d4eb4fu;
    const auto *p = static_cast<const unsigned char *>(data);
    uint64_t h = finish_hash(seed ^ (static_cast<uint64_t>(length) * kOdd1));
    // Each step is one-to-one in the word, so one differing word always
    // changes the result.
    for (; length >= 8; length -= 8, p += 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        h = rotate(h ^ (word * kOdd1), 29) * kOdd2 + kOdd1;
    }
    if (length > 0) {
        uint64_t word = 0;
        std::memcpy(&word, p, length);
        h = rotate(h ^ (word * kOdd1), 29) * kOdd2 + kOdd1;
    }
    return finish_hash(h);
}

bool split_entry(const char *line, size_t length, entry_line *out) {
    if (length > 0 && line[length - 1] == ',') --length;
    constexpr size_t kStart = sizeof kNameStart - 1;
    if (length <= kStart || std::memcmp(line, kNameStart, kStart) != 0 || line[length - 1] != '}')
        return false;
    size_t at = kStart;
    while (at < length && line[at] != '"') at += line[at] == '\\' ? 2 : 1;
    if (at >= length) return false;
    entry_line e;
    e.line = line;
    e.length = length;
    e.name = line + kStart;
    e.name_length = at - kStart;
    e.type_at = find_key(line, at, length, kType, sizeof kType - 1);
    e.long_type_at = e.type_at == kNoIndex ? kNoIndex
                                           : find_key(line, e.type_at + 1, length, kLongType,
                                                      sizeof kLongType - 1);
    e.value_at = e.long_type_at == kNoIndex ? kNoIndex
                                            : find_key(line, e.long_type_at + 1, length, kValue,
                                                       sizeof kValue - 1);
    e.recorded_at = e.value_at == kNoIndex ? kNoIndex
                                           : find_last_key(line, e.value_at + 1, length,
                                                           kRecorded, sizeof kRecorded - 1);
    if (e.recorded_at == kNoIndex) return false;
    e.name_hash = hash_bytes(e.name, e.name_length, kNameSeed);
    e.entry_hash = hash_bytes(line, e.recorded_at, kEntrySeed);
    *out = e;
    return true;
}

value_table::~value_table() {
    std::free(entries);
    std::free(sorted);
}

const entry_line *value_table::find(uint64_t hash) const {
    size_t low = 0, high = count;
    while (low < high) {
        const size_t middle = low + (high - low) / 2;
        if (sorted[middle].hash < hash) low = middle + 1;
        else high = middle;
    }
    return low < count && sorted[low].hash == hash ? &entries[sorted[low].index] : nullptr;
}

bool index_values(const char *values, value_table *table) {
    size_t lines = 1;
    for (const char *p = std::strchr(values, '\n'); p != nullptr; p = std::strchr(p + 1, '\n'))
        ++lines;
    table->entries = static_cast<entry_line *>(std::calloc(lines, sizeof(entry_line)));
    table->sorted = static_cast<value_table::by_name *>(
        std::calloc(lines, sizeof(value_table::by_name)));
    if (table->entries == nullptr || table->sorted == nullptr) return false;
    for (const char *line = values; *line != '\0';) {
        const char *end = std::strchr(line, '\n');
        const size_t length = end ? static_cast<size_t>(end - line) : std::strlen(line);
        // The array's brackets have lines of their own.
        if (length > 0 && line[0] == '{') {
            entry_line &e = table->entries[table->count];
            if (!split_entry(line, length, &e)) return false;
            table->sorted[table->count] = {e.name_hash, table->count};
            ++table->count;
        }
        line += length + (end ? 1 : 0);
    }
    std::qsort(table->sorted, table->count, sizeof *table->sorted, compare_by_name);
    for (size_t i = 1; i < table->count; ++i)
        if (table->sorted[i].hash == table->sorted[i - 1].hash) return false;
    return true;
}

void root_digest(const value_table &root, uint64_t *pairs) {
    for (size_t i = 0; i < root.count; ++i) {
        pairs[2 * i] = root.entries[i].name_hash;
        pairs[2 * i + 1] = root.entries[i].entry_hash;
    }
}

char *answer_digest(const value_table &mine, const uint64_t *pairs, size_t count,
                    size_t *length) {
    auto *matched = static_cast<bool *>(std::calloc(mine.count + 1, sizeof(bool)));
    if (matched == nullptr) return nullptr;
    text_buffer out;
    for (size_t i = 0; i < count; ++i) {
        const entry_line *e = mine.find(pairs[2 * i]);
        if (e != nullptr) matched[e - mine.entries] = true;
        if (e != nullptr && e->entry_hash == pairs[2 * i + 1]) continue;
        out.append_long(static_cast<long long>(i));
        if (e != nullptr) {
            out.append(" ");
            out.append(e->line, e->length);
        }
        out.append("\n");
    }
    for (size_t i = 0; i < mine.count; ++i) {
        if (matched[i]) continue;
        out.append("- ");
        out.append(mine.entries[i].line, mine.entries[i].length);
        out.append("\n");
    }
    std::free(matched);
    *length = out.length;
    return out.release();
}

char *merge_answers(const value_table &root, const char *const *answers, const size_t *lengths,
                    int size, merge_counts *counts) {
    size_t lines = 0;
    for (int rank = 1; rank < size; ++rank)
        for (size_t i = 0; i < lengths[rank]; ++i) lines += answers[rank][i] == '\n';
    // Everything below is released on every way out.
    struct blocks {
        answer_item *items = nullptr;
        answer_item **extras = nullptr;
        size_t *cursor = nullptr;  // per rank: its next item, and the end of its items
        bool *differs = nullptr;
        holder *holders = nullptr;
        ~blocks() {
            std::free(items);
            std::free(extras);
            std::free(cursor);
            std::free(differs);
            std::free(holders);
        }
    } b;
    b.items = static_cast<answer_item *>(std::calloc(2 * lines + 1, sizeof(answer_item)));
    // NOLINTNEXTLINE(bugprone-sizeof-expression): an array of pointers
    b.extras = static_cast<answer_item **>(std::calloc(2 * lines + 1, sizeof(answer_item *)));
    b.cursor = static_cast<size_t *>(std::calloc(2 * static_cast<size_t>(size), sizeof(size_t)));
    b.differs = static_cast<bool *>(std::calloc(root.count + 1, sizeof(bool)));
    b.holders = static_cast<holder *>(std::calloc(static_cast<size_t>(size), sizeof(holder)));
    if (!b.items || !b.extras || !b.cursor || !b.differs || !b.holders) return nullptr;

    // The items of each rank follow each other, the rank's own order kept:
    // rank 0's names by index, then the names rank 0 lacks.
    size_t used = 0, extra_count = 0;
    size_t *end = b.cursor + size;
    for (int rank = 1; rank < size; ++rank) {
        b.cursor[rank] = used;
        if (!read_answer(root, rank, answers[rank], lengths[rank], b.items, &used)) return nullptr;
        end[rank] = used;
    }
    for (size_t i = 0; i < used; ++i) {
        if (b.items[i].index != kNoIndex) b.differs[b.items[i].index] = true;
        else b.extras[extra_count++] = &b.items[i];
    }

    entry_list out;
    merge_counts found;
    for (size_t index = 0; index < root.count; ++index) {
        const entry_line &mine = root.entries[index];
        if (!b.differs[index]) {
            out.next()->append(mine.line, mine.length);
            ++found.equal;
            continue;
        }
        // A rank that answered nothing for this name holds rank 0's entry.
        size_t count = 0;
        b.holders[count++] = {0, &mine};
        for (int rank = 1; rank < size; ++rank) {
            size_t &at = b.cursor[rank];
            while (at < end[rank] &&
                   (b.items[at].index == kNoIndex || b.items[at].index < index))
                ++at;
            const answer_item *item = at < end[rank] ? &b.items[at] : nullptr;
            if (item == nullptr || item->index != index) b.holders[count++] = {rank, &mine};
            else if (!item->lacks) b.holders[count++] = {rank, &item->entry};
        }
        put_ranks_entry(out.next(), b.holders, count);
        ++found.per_rank;
    }

    // NOLINTNEXTLINE(bugprone-sizeof-expression): an array of pointers
    std::qsort(b.extras, extra_count, sizeof *b.extras, compare_extras);
    for (size_t i = 0; i < extra_count;) {
        size_t count = 0;
        const answer_item &first = *b.extras[i];
        for (; i < extra_count && same_name(b.extras[i]->entry, first.entry); ++i) {
            // Sorted by rank: a rank that names a name twice is no answer.
            if (count > 0 && b.holders[count - 1].rank == b.extras[i]->rank) return nullptr;
            b.holders[count++] = {b.extras[i]->rank, &b.extras[i]->entry};
        }
        put_ranks_entry(out.next(), b.holders, count);
        ++found.per_rank;
    }
    if (counts != nullptr) *counts = found;
    return out.close();
}

char *entries_since(const char *now, const char *at_merge) {
    value_table current, before;
    if (!index_values(now, &current) || !index_values(at_merge, &before)) return nullptr;
    entry_list out;
    for (size_t i = 0; i < current.count; ++i) {
        const entry_line &e = current.entries[i];
        const entry_line *old = before.find(e.name_hash);
        if (old != nullptr && old->length == e.length &&
            std::memcmp(old->line, e.line, e.length) == 0)
            continue;
        const holder alone{0, &e};
        put_ranks_entry(out.next(), &alone, 1);
    }
    return out.close();
}

}  // namespace mekal::record
