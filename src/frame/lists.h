// List routines shared by the exports that hand lists to callers.
#pragma once

#include <cstdint>

#include "nuvexctrl.h"

namespace nuvex {

// Results of UserStrList_Add. Its callers turn them into codes of their own, so they never
// reach an export's caller.
constexpr uint32_t kListNodeNotAllocated = 28;
constexpr uint32_t kListDataNotAllocated = 22;

// Builds one UserStrNode holding a copy of `length` bytes of `source` followed by at least
// two zero bytes, and links it at the tail (atTail non-zero) or at the head of the list.
// Returns 0, kListNodeNotAllocated or kListDataNotAllocated.
uint32_t UserStrList_Add(UserStrNode** head, const void* source, uint32_t length,
                         uint32_t atTail);

// Links a caller-built record at the head of a record list whose records begin with `next`.
template <typename Record>
void List_PushFront(Record** head, Record* node) {
    node->next = *head;
    *head = node;
}

// Releases every record of a record list, reading each `next` before freeing the record.
template <typename Record>
void FreeRecordList(Record* list);

}  // namespace nuvex
