// Layout of the main filter driver's log batches and the bounds of one drain.
#pragma once

#include <cstdint>

#include "nuvex_wire.h"

namespace nuvex::driver_log {

constexpr uint32_t kBatchSize = NUVEX_LOG_BATCH_SIZE;
constexpr uint32_t kHeaderSize = NUVEX_LOG_BATCH_HEADER_SIZE;  // used, more
constexpr uint32_t kRecordArea = kBatchSize - kHeaderSize;

// Driver log record: value1, FILETIME low, FILETIME high, value2, 16-byte data, one byte
// that is not carried over, then the text and its zero byte.
constexpr uint32_t kRecordValue1 = NUVEX_LOG_RECORD_VALUE1;
constexpr uint32_t kRecordTimeLow = NUVEX_LOG_RECORD_TIME_LOW;
constexpr uint32_t kRecordTimeHigh = NUVEX_LOG_RECORD_TIME_HIGH;
constexpr uint32_t kRecordValue2 = NUVEX_LOG_RECORD_VALUE2;
constexpr uint32_t kRecordData = NUVEX_LOG_RECORD_DATA;
constexpr uint32_t kRecordText = NUVEX_LOG_RECORD_TEXT;

// A driver whose `more` flag never clears must not hold the caller forever: a drain ends
// after this many fetches in all, or after this many fetches in a row that held no record.
constexpr uint32_t kMaxFetches = 16384;
constexpr uint32_t kMaxEmptyFetchesInRow = 64;

}  // namespace nuvex::driver_log
