// Merging the values of the ranks of an MPI job into one list: the parts
// that need no MPI, so that tests can drive them directly.
//
// Rank 0 sends each of its names as two 64-bit hashes, of the name and of
// the whole entry but its recording time (the value compared exactly, not
// as its JSON). Every other rank answers with its entries that differ from
// rank 0's, the names of rank 0 it lacks, and its names that rank 0 lacks;
// a rank whose entries all equal rank 0's answers nothing. Rank 0 then
// builds the job's list from its own entries and the answers, so it
// receives what differs and nothing else.
#pragma once

#include <cstddef>
#include <cstdint>

#include "entries.h"

namespace mekal::record {

// The entries of one rank in their order, and their name hashes sorted for
// look-ups. Borrows the entries of the list it indexes.
struct value_table {
    struct by_name {
        uint64_t hash;
        size_t index;
    };
    const record_entry **entries = nullptr;
    by_name *sorted = nullptr;
    size_t count = 0;

    value_table() = default;
    value_table(const value_table &) = delete;
    value_table &operator=(const value_table &) = delete;
    ~value_table();

    // The place of the entry whose name has hash, or count for none.
    size_t position(uint64_t hash) const;
};

// Indexes list. False on exhausted memory, or two names of one hash (the
// merge is then given up rather than risk mixing two values up).
bool index_values(const entry_list &list, value_table *table);

// Rank 0's names: (name hash, entry hash) per entry, in its order, into
// pairs (2 * count words).
void root_digest(const value_table &root, uint64_t *pairs);

// A rank's answer to rank 0's digest of count names: its entries that differ
// from rank 0's, rank 0's names it lacks and its names rank 0 lacks, in a
// compact form. Empty when every entry equals rank 0's. NULL on exhausted
// memory.
char *answer_digest(const value_table &mine, const uint64_t *pairs, size_t count,
                    size_t *length);

// What a merge found: entries with one value for every rank, and entries
// with a value per rank.
struct merge_counts {
    size_t equal = 0;
    size_t per_rank = 0;
};

// Rank 0's merge of the answers of ranks 1 .. size-1 (answers[0] unused)
// into job: rank 0's entries in its order, then the names rank 0 lacks,
// sorted. An entry that is the same on every rank is rank 0's; any other
// holds the value of each rank that has it, and the name, category,
// subcategory and recording time of the lowest of them, with the types
// "null" where the ranks' differ. False on exhausted memory or an answer it
// cannot read.
bool merge_answers(const value_table &root, const char *const *answers, const size_t *lengths,
                   int size, entry_list *job, merge_counts *counts);

}  // namespace mekal::record
