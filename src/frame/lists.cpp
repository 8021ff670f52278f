#include "frame/lists.h"

#include <cstdint>
#include <cstring>

#include "frame/heap.h"
#include "frame/result_codes.h"

namespace rc = nuvex::rc;

namespace nuvex {

uint32_t UserStrList_Add(UserStrNode** head, const void* source, uint32_t length,
                         uint32_t atTail) {
    auto* node = static_cast<UserStrNode*>(MemAlloc(sizeof(UserStrNode)));
    if (node == nullptr) return kListNodeNotAllocated;
    node->next = nullptr;
    node->data = nullptr;
    // Two zero bytes behind the copy terminate it as an 8-bit and as a UTF-16 string. A length
    // whose block size would wrap around is refused like a refused allocation.
    if (static_cast<std::size_t>(length) > SIZE_MAX - 2) {
        MemFree(node);
        return kListDataNotAllocated;
    }
    auto* data = static_cast<char*>(MemAllocZero(static_cast<std::size_t>(length) + 2));
    if (data == nullptr) {
        MemFree(node);
        return kListDataNotAllocated;
    }
    if (length > 0) std::memcpy(data, source, length);
    node->data = data;
    if (atTail != 0) {
        UserStrNode** link = head;
        while (*link != nullptr) link = &(*link)->next;
        *link = node;
    } else {
        node->next = *head;
        *head = node;
    }
    return 0;
}

namespace {
struct LinkedBlock {
    LinkedBlock* next;
};

void FreeChain(void* list) {
    auto* record = static_cast<LinkedBlock*>(list);
    while (record != nullptr) {
        LinkedBlock* next = record->next;
        MemFree(record);
        record = next;
    }
}
}  // namespace

template <typename Record>
void FreeRecordList(Record* list) {
    FreeChain(list);
}

template void FreeRecordList<PolicyRecord>(PolicyRecord*);
template void FreeRecordList<AccPolicyRecord>(AccPolicyRecord*);
template void FreeRecordList<LogEntry>(LogEntry*);
template void FreeRecordList<AccLogRecord>(AccLogRecord*);

}  // namespace nuvex

using nuvex::FreeRecordList;

extern "C" {

// One routine for both log lists: it only follows `next`, so it frees either kind.
uint32_t NUVEXAPI NuvexCtrl_FreeLog(LogEntry* list) {
    FreeRecordList(list);
    return 0;
}

#if !defined(_WIN32)
// Exported a second time under the access-control family's name (on Windows the
// module-definition file gives the DLL's second name).
uint32_t NuvexAccCtrl_FreeLog(AccLogRecord* list) __attribute__((alias("NuvexCtrl_FreeLog")));
#endif

uint32_t NUVEXAPI NuvexCtrl_FreePolicyList(PolicyRecord* list) {
    if (list == nullptr) return rc::NuvexCtrl_FreePolicyList::kNullArgument;
    FreeRecordList(list);
    return 0;
}

uint32_t NUVEXAPI NuvexAccCtrl_FreePolicyList(AccPolicyRecord* list) {
    if (list == nullptr) return rc::NuvexAccCtrl_FreePolicyList::kNullArgument;
    FreeRecordList(list);
    return 0;
}

uint32_t NUVEXAPI NuvexCtrl_FreeSecRunProcList(SecRunProcEntry* list) {
    if (list == nullptr) return rc::NuvexCtrl_FreeSecRunProcList::kNullArgument;
    while (list != nullptr) {
        SecRunProcEntry* next = list->next;
        nuvex::FreeChain(list->subEntries);
        nuvex::MemFree(list);
        list = next;
    }
    return 0;
}

uint32_t NUVEXAPI NuvexCtrl_FreeUserStrList(UserStrNode* list) {
    if (list == nullptr) return rc::NuvexCtrl_FreeUserStrList::kNullArgument;
    while (list != nullptr) {
        UserStrNode* next = list->next;
        nuvex::MemFree(list->data);
        nuvex::MemFree(list);
        list = next;
    }
    return 0;
}

uint32_t NUVEXAPI NuvexCtrl_FreeBuffer(void* buffer) {
    if (buffer == nullptr) return rc::NuvexCtrl_FreeBuffer::kNullArgument;
    nuvex::MemFree(buffer);
    return 0;
}

}  // extern "C"
