// Merging the values of the ranks of an MPI job into one list: the parts
// that need no MPI, so that tests can drive them directly.
//
// Every rank renders its values as the registry does (one entry per line).
// Rank 0 sends each of its names as two 64-bit hashes, of the name and of
// the whole entry but its recording time. Every other rank answers with its
// entries that differ from rank 0's, the names of rank 0 it lacks, and its
// names that rank 0 lacks; a rank whose entries all equal rank 0's answers
// nothing. Rank 0 then builds the job's list from its own entries and the
// answers, so it receives what differs and nothing else.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mekal::record {

// A 64-bit hash of length bytes. Two texts of one length that differ in a
// single 8-byte word never share a hash; other different texts share one
// with a chance of about 2^-64.
uint64_t hash_bytes(const void *data, size_t length, uint64_t seed);

// One entry line as the registry renders it,
// {"name":...,"category":...,"category_name":...,"subcategory":...,
//  "type":...,"long_type":...,"value":...,"recorded":...}, cut at its members.
// Offsets count from line; each points at the ',' before the member's name.
struct entry_line {
    const char *line = nullptr;
    size_t length = 0;  // without a trailing ','
    const char *name = nullptr;  // the name's JSON text between its quotes
    size_t name_length = 0;
    size_t type_at = 0;
    size_t long_type_at = 0;
    size_t value_at = 0;
    size_t recorded_at = 0;
    uint64_t name_hash = 0;
    uint64_t entry_hash = 0;  // of everything up to the recording time
};

// Cuts line (length bytes, without its newline). False when it is not an
// entry line of the registry's rendering.
bool split_entry(const char *line, size_t length, entry_line *out);

// The entries of one rank in rendered order, and their name hashes sorted
// for look-ups. Points into the text it indexes, which must outlive it.
struct value_table {
    struct by_name {
        uint64_t hash;
        size_t index;
    };
    entry_line *entries = nullptr;
    by_name *sorted = nullptr;
    size_t count = 0;

    value_table() = default;
    value_table(const value_table &) = delete;
    value_table &operator=(const value_table &) = delete;
    ~value_table();

    // The entry whose name has hash, or NULL.
    const entry_line *find(uint64_t hash) const;
};

// Indexes the registry's JSON text values. False on exhausted memory, a line
// that is no entry, or two names of one hash (the merge is then given up
// rather than risk mixing two values up).
bool index_values(const char *values, value_table *table);

// Rank 0's names: (name hash, entry hash) per entry, in its order, into
// pairs (2 * count words).
void root_digest(const value_table &root, uint64_t *pairs);

// A rank's answer to rank 0's digest of count names, one line each:
// "<i>" for rank 0's name i that it lacks, "<i> <entry>" when its entry
// differs, "- <entry>" for a name of its own that rank 0 lacks. Empty when
// every entry equals rank 0's. NULL on exhausted memory.
char *answer_digest(const value_table &mine, const uint64_t *pairs, size_t count,
                    size_t *length);

// What a merge found: entries with one value for every rank, and entries
// with a value per rank.
struct merge_counts {
    size_t equal = 0;
    size_t per_rank = 0;
};

// Rank 0's merge of the answers of ranks 1 .. size-1 (answers[0] unused).
// The result is a JSON array, one entry per line: rank 0's entries in its
// order, then the names rank 0 lacks, sorted. An entry that is the same on
// every rank is rank 0's line; any other carries "ranks", an array of
// {"rank","type","long_type","value"} of the ranks that hold it, and the
// name, category, subcategory and recording time of the lowest of them, with
// "type" and "long_type" null where the ranks' differ. NULL on exhausted
// memory or an answer it cannot read.
char *merge_answers(const value_table &root, const char *const *answers, const size_t *lengths,
                    int size, merge_counts *counts);

// Rank 0's entries in now (the registry's JSON text) that at_merge does not
// hold line for line, that is, recorded after the merge: each as an entry
// held by rank 0 alone, in the form merge_answers writes. NULL on
// exhausted memory.
char *entries_since(const char *now, const char *at_merge);

}  // namespace mekal::record
