// The records of the public header have the documented sizes and offsets on 32-bit targets
// (the product's word size). On 64-bit targets the pointers widen and the library converts
// to and from the drivers' 32-bit wire layout explicitly.
#include <cstddef>

#include "nuvexctrl.h"

#define NUVEX_AT(type, field, offset) static_assert(offsetof(type, field) == (offset), #type "." #field)

static_assert(sizeof(NuvexSystemTime) == 16);
static_assert(sizeof(DriverStatus) == 12);
static_assert(sizeof(PolicyEntry) == 104);
NUVEX_AT(PolicyEntry, SignCode, 68);

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(UserStrNode) == 8);
NUVEX_AT(UserStrNode, data, 4);

static_assert(NUVEX_LOGENTRY_FIXED_SIZE == 45);
NUVEX_AT(LogEntry, value1, 4);
NUVEX_AT(LogEntry, time, 8);
NUVEX_AT(LogEntry, value2, 24);
NUVEX_AT(LogEntry, data, 28);
NUVEX_AT(LogEntry, reserved, 44);
NUVEX_AT(LogEntry, text, 45);

static_assert(sizeof(SecRunProcEntry) == 272);
NUVEX_AT(SecRunProcEntry, id, 4);
NUVEX_AT(SecRunProcEntry, driverData, 8);
NUVEX_AT(SecRunProcEntry, subEntries, 12);
NUVEX_AT(SecRunProcEntry, data, 16);
static_assert(sizeof(SecRunSubEntry) == 272);
NUVEX_AT(SecRunSubEntry, id, 4);
NUVEX_AT(SecRunSubEntry, data, 8);

static_assert(sizeof(PolicyRecord) == 2468);
NUVEX_AT(PolicyRecord, PolicyId, 4);
NUVEX_AT(PolicyRecord, DriverFields, 8);
NUVEX_AT(PolicyRecord, EntryCount, 48);
NUVEX_AT(PolicyRecord, Entries, 52);
NUVEX_AT(PolicyRecord, TextList1, 1092);
NUVEX_AT(PolicyRecord, ValueCount1, 1348);
NUVEX_AT(PolicyRecord, Values1, 1352);
NUVEX_AT(PolicyRecord, TextList2, 1396);
NUVEX_AT(PolicyRecord, ValueCount2, 1652);
NUVEX_AT(PolicyRecord, Values2, 1656);
NUVEX_AT(PolicyRecord, TextList3, 1700);
NUVEX_AT(PolicyRecord, TextList4, 1956);
NUVEX_AT(PolicyRecord, TextList5, 2212);
static_assert(offsetof(PolicyRecord, Entries) + 104 * 3 + 68 == 120 + 104 * 3);

static_assert(sizeof(AccPolicyRecord) == 1196);
NUVEX_AT(AccPolicyRecord, PolicyId, 4);
NUVEX_AT(AccPolicyRecord, DriverFields, 8);
NUVEX_AT(AccPolicyRecord, PrimaryText, 44);
NUVEX_AT(AccPolicyRecord, TextList1, 172);
NUVEX_AT(AccPolicyRecord, TextList2, 428);
NUVEX_AT(AccPolicyRecord, TextList3, 684);
NUVEX_AT(AccPolicyRecord, TextList4, 940);

static_assert(sizeof(AccLogRecord) == 296);
NUVEX_AT(AccLogRecord, data, 4);
#endif
