// Merging the values of the ranks of an MPI job into one list.
#include "job_merge.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "growable_text.h"

namespace mekal::record {
namespace {

constexpr size_t kNoIndex = static_cast<size_t>(-1);

// The answer's items: a name of rank 0 the rank lacks, one whose entry
// differs (the rank's entry follows), a name rank 0 lacks (its entry).
constexpr char kLacks = 'L';
constexpr char kDiffers = 'D';
constexpr char kExtra = 'X';

template <typename T>
void put_word(growable_text *out, T value) {
    out->append(reinterpret_cast<const char *>(&value), sizeof value);
}

void put_text(growable_text *out, const char *text) {
    const auto length = static_cast<uint32_t>(std::strlen(text));
    put_word(out, length);
    out->append(text, length);
}

void put_entry(growable_text *out, const record_entry &e) {
    put_word(out, e.category);
    put_word(out, static_cast<uint8_t>(e.unrendered ? 1 : 0));
    put_word(out, e.value_key);
    put_word(out, static_cast<int64_t>(e.recorded.tv_sec));
    put_word(out, static_cast<int64_t>(e.recorded.tv_nsec));
    for (const char *text : {e.name, e.name_json, e.subcategory_json, e.type_json,
                             e.long_type_json, e.value_json})
        put_text(out, text);
}

// Reads an answer, refusing anything that runs past its end.
struct reader {
    const char *at;
    const char *end;
    bool ok = true;

    template <typename T>
    T word() {
        T value{};
        if (static_cast<size_t>(end - at) < sizeof value) {
            ok = false;
            return value;
        }
        std::memcpy(&value, at, sizeof value);
        at += sizeof value;
        return value;
    }

    // A text copied into a NUL-terminated block of its own.
    char *text() {
        const auto length = word<uint32_t>();
        if (!ok || static_cast<size_t>(end - at) < length) {
            ok = false;
            return nullptr;
        }
        auto *copy = static_cast<char *>(std::malloc(length + 1));
        if (copy == nullptr) {
            ok = false;
            return nullptr;
        }
        std::memcpy(copy, at, length);
        copy[length] = '\0';
        at += length;
        return copy;
    }

    record_entry *entry() {
        entry_fields f{};
        f.category = word<int32_t>();
        f.unrendered = word<uint8_t>() != 0;
        f.value_key = word<uint64_t>();
        f.recorded.tv_sec = static_cast<time_t>(word<int64_t>());
        f.recorded.tv_nsec = static_cast<long>(word<int64_t>());
        char *texts[6] = {};
        for (char *&text : texts) text = ok ? this->text() : nullptr;
        record_entry *e = nullptr;
        if (ok) {
            f.name = texts[0];
            f.name_json = texts[1];
            f.subcategory_json = texts[2];
            f.type_json = texts[3];
            f.long_type_json = texts[4];
            f.value_json = texts[5];
            e = new_entry(f);
            ok = e != nullptr;
        }
        for (char *text : texts) std::free(text);
        return e;
    }
};

int compare_by_hash(const void *left, const void *right) {
    const uint64_t a = static_cast<const value_table::by_name *>(left)->hash;
    const uint64_t b = static_cast<const value_table::by_name *>(right)->hash;
    return a < b ? -1 : a > b ? 1 : 0;
}

// One line of a rank's answer.
struct answer_item {
    int rank;
    size_t index;  // rank 0's name; kNoIndex for a name rank 0 lacks
    bool lacks;    // the rank lacks rank 0's name index
    record_entry *entry;
};

int compare_extras(const void *left, const void *right) {
    const answer_item &a = **static_cast<const answer_item *const *>(left);
    const answer_item &b = **static_cast<const answer_item *const *>(right);
    const int by_name = std::strcmp(a.entry->name, b.entry->name);
    return by_name != 0 ? by_name : a.rank - b.rank;
}

// A rank's entry in an entry that has a value per rank.
struct holder {
    int rank;
    const record_entry *entry;
};

// The job's entry with the value of each holder; its name, category,
// subcategory and recording time are the first holder's.
record_entry *ranks_entry(const holder *holders, size_t count, rank_value *values) {
    const record_entry &first = *holders[0].entry;
    bool same_type = true;
    for (size_t i = 0; i < count; ++i) {
        const record_entry &e = *holders[i].entry;
        same_type = same_type && std::strcmp(e.type_json, first.type_json) == 0 &&
                    std::strcmp(e.long_type_json, first.long_type_json) == 0;
        values[i] = {holders[i].rank, e.type_json, e.long_type_json, e.value_json, e.unrendered};
    }
    entry_fields f = first;
    if (!same_type) f.type_json = f.long_type_json = "null";
    f.value_json = "null";
    f.unrendered = false;
    return new_entry(f, values, static_cast<int>(count));
}

// Reads the answer of rank into items, which grows as needed. False for an
// answer it cannot read, indices out of order, or exhausted memory.
bool read_answer(const value_table &root, int rank, const char *text, size_t length,
                 answer_item **items, size_t *used, size_t *capacity) {
    reader in{text, text + length};
    size_t last = kNoIndex;
    while (in.at < in.end) {
        if (*used + 2 > *capacity) {
            const size_t grown = *capacity < 64 ? 64 : 2 * *capacity;
            auto *more = static_cast<answer_item *>(std::realloc(*items, grown * sizeof(answer_item)));
            if (more == nullptr) return false;
            *items = more;
            *capacity = grown;
        }
        const char kind = in.word<char>();
        answer_item item{rank, kNoIndex, false, nullptr};
        if (kind == kLacks || kind == kDiffers) {
            const auto index = in.word<uint64_t>();
            if (!in.ok || index >= root.count || (last != kNoIndex && index <= last)) return false;
            last = item.index = static_cast<size_t>(index);
            item.lacks = kind == kLacks;
        } else if (kind != kExtra) {
            return false;
        }
        if (!item.lacks) {
            item.entry = in.entry();
            if (item.entry == nullptr) return false;
            if (item.index != kNoIndex &&
                std::strcmp(item.entry->name, root.entries[item.index]->name) != 0) {
                // Another name of the same hash: rank 0's name is missing
                // here, and this one is a name rank 0 lacks.
                (*items)[(*used)++] = {rank, item.index, true, nullptr};
                item.index = kNoIndex;
            }
        }
        (*items)[(*used)++] = item;
    }
    return in.ok;
}

}  // namespace

value_table::~value_table() {
    std::free(entries);
    std::free(sorted);
}

size_t value_table::position(uint64_t hash) const {
    size_t low = 0, high = count;
    while (low < high) {
        const size_t middle = low + (high - low) / 2;
        if (sorted[middle].hash < hash) low = middle + 1;
        else high = middle;
    }
    return low < count && sorted[low].hash == hash ? sorted[low].index : count;
}

bool index_values(const entry_list &list, value_table *table) {
    const size_t n = list.size();
    // NOLINTNEXTLINE(bugprone-sizeof-expression): an array of pointers
    table->entries = static_cast<const record_entry **>(std::malloc((n + 1) * sizeof(record_entry *)));
    table->sorted = static_cast<value_table::by_name *>(std::malloc((n + 1) * sizeof(value_table::by_name)));
    if (table->entries == nullptr || table->sorted == nullptr) return false;
    table->count = 0;
    list.each([table](const record_entry &e) {
        table->sorted[table->count] = {e.name_hash, table->count};
        table->entries[table->count++] = &e;
    });
    std::qsort(table->sorted, table->count, sizeof *table->sorted, compare_by_hash);
    for (size_t i = 1; i < table->count; ++i)
        if (table->sorted[i].hash == table->sorted[i - 1].hash) return false;
    return true;
}

void root_digest(const value_table &root, uint64_t *pairs) {
    for (size_t i = 0; i < root.count; ++i) {
        pairs[2 * i] = root.entries[i]->name_hash;
        pairs[2 * i + 1] = root.entries[i]->entry_hash;
    }
}

char *answer_digest(const value_table &mine, const uint64_t *pairs, size_t count,
                    size_t *length) {
    auto *matched = static_cast<bool *>(std::calloc(mine.count + 1, sizeof(bool)));
    if (matched == nullptr) return nullptr;
    growable_text out;
    for (size_t i = 0; i < count; ++i) {
        const size_t at = mine.position(pairs[2 * i]);
        if (at == mine.count) {
            put_word(&out, kLacks);
            put_word(&out, static_cast<uint64_t>(i));
            continue;
        }
        const record_entry *e = mine.entries[at];
        matched[at] = true;
        if (e->entry_hash == pairs[2 * i + 1]) continue;
        put_word(&out, kDiffers);
        put_word(&out, static_cast<uint64_t>(i));
        put_entry(&out, *e);
    }
    for (size_t i = 0; i < mine.count; ++i) {
        if (matched[i]) continue;
        put_word(&out, kExtra);
        put_entry(&out, *mine.entries[i]);
    }
    std::free(matched);
    *length = out.size();
    return out.release();
}

bool merge_answers(const value_table &root, const char *const *answers, const size_t *lengths,
                   int size, entry_list *job, merge_counts *counts) {
    // Everything below is released on every way out.
    struct blocks {
        answer_item *items = nullptr;
        size_t used = 0;
        answer_item **extras = nullptr;
        size_t *cursor = nullptr;  // per rank: its next item, and the end of its items
        bool *differs = nullptr;
        holder *holders = nullptr;
        rank_value *values = nullptr;
        ~blocks() {
            for (size_t i = 0; items != nullptr && i < used; ++i) std::free(items[i].entry);
            std::free(items);
            std::free(extras);
            std::free(cursor);
            std::free(differs);
            std::free(holders);
            std::free(values);
        }
    } b;
    const auto ranks = static_cast<size_t>(size);
    b.cursor = static_cast<size_t *>(std::calloc(2 * ranks, sizeof(size_t)));
    b.differs = static_cast<bool *>(std::calloc(root.count + 1, sizeof(bool)));
    b.holders = static_cast<holder *>(std::calloc(ranks, sizeof(holder)));
    b.values = static_cast<rank_value *>(std::calloc(ranks, sizeof(rank_value)));
    if (!b.cursor || !b.differs || !b.holders || !b.values) return false;

    // The items of each rank follow each other, the rank's own order kept:
    // rank 0's names by index, then the names rank 0 lacks.
    size_t capacity = 0;
    size_t *end = b.cursor + size;
    for (int rank = 1; rank < size; ++rank) {
        b.cursor[rank] = b.used;
        if (!read_answer(root, rank, answers[rank], lengths[rank], &b.items, &b.used, &capacity))
            return false;
        end[rank] = b.used;
    }
    // NOLINTNEXTLINE(bugprone-sizeof-expression): an array of pointers
    b.extras = static_cast<answer_item **>(std::calloc(b.used + 1, sizeof(answer_item *)));
    if (b.extras == nullptr) return false;
    size_t extra_count = 0;
    for (size_t i = 0; i < b.used; ++i) {
        if (b.items[i].index != kNoIndex) b.differs[b.items[i].index] = true;
        else b.extras[extra_count++] = &b.items[i];
    }

    merge_counts found;
    bool ok = true;
    for (size_t index = 0; index < root.count && ok; ++index) {
        const record_entry &mine = *root.entries[index];
        if (!b.differs[index]) {
            ok = job->put(new_entry(mine));
            ++found.equal;
            continue;
        }
        // A rank that answered nothing for this name holds rank 0's entry.
        size_t count = 0;
        b.holders[count++] = {0, &mine};
        for (int rank = 1; rank < size; ++rank) {
            size_t &at = b.cursor[rank];
            while (at < end[rank] && (b.items[at].index == kNoIndex || b.items[at].index < index))
                ++at;
            const answer_item *item = at < end[rank] ? &b.items[at] : nullptr;
            if (item == nullptr || item->index != index) b.holders[count++] = {rank, &mine};
            else if (!item->lacks) b.holders[count++] = {rank, item->entry};
        }
        ok = job->put(ranks_entry(b.holders, count, b.values));
        ++found.per_rank;
    }

    // NOLINTNEXTLINE(bugprone-sizeof-expression): an array of pointers
    std::qsort(b.extras, extra_count, sizeof *b.extras, compare_extras);
    for (size_t i = 0; i < extra_count && ok;) {
        size_t count = 0;
        const answer_item &first = *b.extras[i];
        for (; i < extra_count && std::strcmp(b.extras[i]->entry->name, first.entry->name) == 0; ++i) {
            // Sorted by rank: a rank that names a name twice is no answer.
            if (count > 0 && b.holders[count - 1].rank == b.extras[i]->rank) return false;
            b.holders[count++] = {b.extras[i]->rank, b.extras[i]->entry};
        }
        ok = job->put(ranks_entry(b.holders, count, b.values));
        ++found.per_rank;
    }
    if (counts != nullptr) *counts = found;
    return ok;
}

}  // namespace mekal::record
