// Layout of the main filter driver's log batches and the bounds of one drain.
#pragma once

#include <cstdint>

namespace nuvex::driver_log {

constexpr uint32_t kBatchSize = 4096;
constexpr uint32_t kHeaderSize = 8;  // used, more
constexpr uint32_t kRecordArea = kBatchSize - kHeaderSize;

// Driver log record: value1, FILETIME low, FILETIME high, value2, 16-byte data, one byte
// that is not carried over, then the text and its zero byte.
constexpr uint32_t kRecordValue1 = 0;
constexpr uint32_t kRecordTimeLow = 4;
constexpr uint32_t kRecordTimeHigh = 8;
constexpr uint32_t kRecordValue2 = 12;
constexpr uint32_t kRecordData = 16;
constexpr uint32_t kRecordText = 33;

// A driver whose `more` flag never clears must not hold the caller forever: a drain ends
// after this many fetches in all, or after this many fetches in a row that held no record.
constexpr uint32_t kMaxFetches = 16384;
constexpr uint32_t kMaxEmptyFetchesInRow = 64;

}  // namespace nuvex::driver_log
