// Sorting arrays of fixed-size records with a compare callback.
//
// Two sorts share one body of code:
// - sort_merge: stable. Natural runs are found from the left (a strictly descending run is
//   reversed in place), short runs are grown to 24 records by insertion, and runs are merged in
//   the order their "powers" give, through a malloc'd buffer of count/2 records.
//   Presorted and reverse-sorted input cost n - 1 comparisons and no merge.
// - sort_unstable: in place. A first pass finds the direction of the input and samples it; input
//   that is mostly monotone is straightened in one pass (reverse-sorted input is reversed), the
//   few records that do not fit are sorted on their own and merged back in place. Other input
//   goes to a median-of-three quicksort that ends partitions of 7 records or fewer with
//   insertion sort and falls back to heapsort when partitions keep coming out lopsided.
//
// The compare callback answers <= 0 when x may stay before y and > 0 when x belongs after y.
// It may raise (any C++ exception, KelThrow included): every sort keeps the array a permutation of
// its records at each call, so an exception leaves all records present exactly once, and the sort
// frees what it took. A callback that answers inconsistently never makes a sort touch memory
// outside the array, and the sorts still end.
//
// Two entry kinds:
// - the plain ones take the address of records that do not move (C++ arrays): the callback gets
//   addresses inside the array;
// - the *_series ones sort records that live in a series buffer, which may move while the callback
//   runs (the callback may allocate, the collector may compact). The sort keeps a rooted copy of
//   the series value and fetches the buffer through its node after every callback; the callback
//   gets addresses of copies of the records in the sort's own storage, never of the buffer. The
//   records the sort keeps outside the series meanwhile (the merge's parked run, the pivot) sit in
//   a rooted buffer of the memory manager, a block of cells when the series holds cells, so values
//   among them stay alive and follow node renumbering. The two copies handed to the callback are
//   not seen by the collector: a callback that allocates reads them first (or puts them on the
//   data stack).
#pragma once

#include "core/cell.h"

#include <cstddef>
#include <cstdint>

namespace kel {

using SortCompare = int (*)(const void* x, const void* y, intptr_t ctx1, intptr_t ctx2);

// Stable sort of count records of size bytes at base; returns count. Raises script too-long when
// count / 2 * size does not fit 32 bits and internal no-memory when the merge buffer cannot be had.
size_t sort_merge(void* base, size_t count, uint32_t size, intptr_t ctx1, intptr_t ctx2,
                  SortCompare compare);

// Unstable sort in place of count records of size bytes at base.
void sort_unstable(void* base, size_t count, uint32_t size, intptr_t ctx1, intptr_t ctx2,
                   SortCompare compare);

// Either sort (stable: sort_merge's, else sort_unstable's) of count records of `cells` value cells
// at base, in the order of their integer! cells at index key (reverse: the opposite order): the
// same result as those sorts with a callback answering that order, without a call per comparison.
// Every record's key cell must be an integer!.
void sort_integer_records(Cell* base, size_t count, uint32_t cells, uint32_t key, bool reverse,
                          bool stable);

// The same over count records that start offset bytes after the head of a series. series is any
// series value; its type and node are used. If the callback leaves the series with a buffer too
// small for the records, the sort raises script out-of-range.
uint32_t sort_merge_series(const Cell* series, uint32_t offset, uint32_t count, uint32_t size,
                           intptr_t ctx1, intptr_t ctx2, SortCompare compare);
void sort_unstable_series(const Cell* series, uint32_t offset, uint32_t count, uint32_t size,
                          intptr_t ctx1, intptr_t ctx2, SortCompare compare);

// Exchanges two records: 32 bits at a time when size is a multiple of 4 (16-byte records in one
// piece), else byte by byte.
void swap_records(void* a, void* b, uint32_t size);

} // namespace kel
