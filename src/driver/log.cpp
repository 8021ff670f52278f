// Draining the main filter driver's log into a list of LogEntry records for the caller.
#include "driver/log.h"

#include <cstring>

#include "driver/device.h"
#include "nuvex_wire.h"
#include "frame/heap.h"
#include "frame/lists.h"
#include "frame/result_codes.h"
#include "frame/wire.h"
#include "nuvexctrl.h"

namespace nuvex {
namespace {

using namespace driver_log;

// The list handed to the caller, built at its tail so that it keeps the driver's order
// across all fetches.
struct LogListBuilder {
    LogEntry** head;
    LogEntry** tail;
    uint32_t* count;

    void Append(LogEntry* entry) {
        *tail = entry;
        tail = &entry->next;
        if (count != nullptr) ++*count;
    }
    // After an allocation failure the caller gets nothing of what was gathered so far.
    void Discard() {
        FreeRecordList(*head);
        *head = nullptr;
        tail = head;
        if (count != nullptr) *count = 0;
    }
};

// Builds one LogEntry from a record whose text of `textLength` bytes is known to end inside
// the record area. Returns nullptr when the heap refuses the block.
LogEntry* DecodeRecord(const uint8_t* record, uint32_t textLength) {
    const std::size_t blockSize = NUVEX_LOGENTRY_FIXED_SIZE + textLength + 1;
    auto* entry = static_cast<LogEntry*>(MemAllocZero(blockSize));
    if (entry == nullptr) return nullptr;
    entry->value1 = LoadU32(record + kRecordValue1);
    FILETIME stamp;
    stamp.dwLowDateTime = LoadU32(record + kRecordTimeLow);
    stamp.dwHighDateTime = LoadU32(record + kRecordTimeHigh);
    SYSTEMTIME time;
    // A stamp that cannot be converted (2^63 and above) leaves the time zero.
    if (FileTimeToSystemTime(&stamp, &time)) {
        entry->time.wYear = time.wYear;
        entry->time.wMonth = time.wMonth;
        entry->time.wDayOfWeek = time.wDayOfWeek;
        entry->time.wDay = time.wDay;
        entry->time.wHour = time.wHour;
        entry->time.wMinute = time.wMinute;
        entry->time.wSecond = time.wSecond;
        entry->time.wMilliseconds = time.wMilliseconds;
    }
    entry->value2 = LoadU32(record + kRecordValue2);
    std::memcpy(entry->data, record + kRecordData, sizeof entry->data);
    std::memcpy(entry->text, record + kRecordText, textLength);
    return entry;
}

enum class BatchOutcome { Complete, AllocationFailed, Malformed };

// Walks the records of one batch. Only bytes that are both inside `used` and inside what the
// driver returned are read; a record or text running past them ends the walk. `records`
// receives the number of records found in the batch.
BatchOutcome TakeRecords(const uint8_t* batch, uint32_t returned, LogListBuilder& list,
                         uint32_t& records) {
    records = 0;
    if (returned < kHeaderSize) return BatchOutcome::Malformed;
    const uint32_t used = LoadU32(batch);
    const uint32_t available = returned - kHeaderSize;
    const uint32_t limit = used < available ? used : available;
    const uint8_t* area = batch + kHeaderSize;

    uint32_t offset = 0;
    while (offset < limit) {
        if (limit - offset <= kRecordText) return BatchOutcome::Malformed;
        const uint8_t* text = area + offset + kRecordText;
        const void* end = std::memchr(text, 0, limit - offset - kRecordText);
        if (end == nullptr) return BatchOutcome::Malformed;
        const auto textLength = static_cast<uint32_t>(static_cast<const uint8_t*>(end) - text);
        ++records;
        LogEntry* entry = DecodeRecord(area + offset, textLength);
        if (entry == nullptr) return BatchOutcome::AllocationFailed;
        list.Append(entry);
        offset += kRecordText + textLength + 1;
    }
    // A batch announcing more than the driver returned is cut short.
    return used > available ? BatchOutcome::Malformed : BatchOutcome::Complete;
}

}  // namespace
}  // namespace nuvex

extern "C" uint32_t NUVEXAPI NuvexCtrl_GetLog(LogEntry** list, uint32_t* count) {
    using namespace nuvex;
    using namespace nuvex::driver_log;
    if (list == nullptr) return 0;
    *list = nullptr;
    if (count != nullptr) *count = 0;

    UniqueHandle device = OpenControlDevice();
    if (!device) return rc::NuvexCtrl_GetLog::kNoDevice;
    HeapBlock<uint8_t> batch;
    if (!batch.allocateZero(kBatchSize)) return 0;

    LogListBuilder builder{list, list, count};
    uint32_t result = 0;
    uint32_t emptyInRow = 0;
    // The walk ends when a batch says no more follows; a driver that keeps saying "more"
    // stops at a bound, which the caller learns: the list is not the whole log.
    bool drained = false;
    for (uint32_t fetch = 0; fetch < kMaxFetches; ++fetch) {
        std::memset(batch.get(), 0, kBatchSize);
        RequestResult reply =
            DeviceRequest(device.get(), main_driver::kGetLog, nullptr, 0, batch.get(), kBatchSize);
        uint32_t records = 0;
        if (!reply.ok || reply.returned == 0) {
            // No record of a failed fetch is taken, but a `more` flag that came back with it
            // still asks for the next batch.
            result = rc::NuvexCtrl_GetLog::kRequestFailed;
        } else {
            switch (TakeRecords(batch.get(), reply.returned, builder, records)) {
                case BatchOutcome::Complete:
                    break;
                case BatchOutcome::AllocationFailed:
                    builder.Discard();
                    result = rc::NuvexCtrl_GetLog::kNoMemory;
                    break;
                case BatchOutcome::Malformed:
                    // The records before the damage are kept; the caller learns the batch was
                    // bad.
                    result = rc::NuvexCtrl_GetLog::kRequestFailed;
                    break;
            }
        }
        // `more` counts only when the driver actually returned it.
        const uint32_t more = reply.returned >= kHeaderSize ? LoadU32(batch.get() + 4) : 0;
        if (more == 0) {
            drained = true;
            break;
        }
        emptyInRow = records == 0 ? emptyInRow + 1 : 0;
        if (emptyInRow >= kMaxEmptyFetchesInRow) break;
    }
    // The records gathered stay with the caller: the driver has handed them over.
    if (!drained) return NUVEX_E_WALK_BOUND_REACHED;
    return result;
}
