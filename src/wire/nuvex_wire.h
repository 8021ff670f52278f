/*
 * nuvex_wire.h - what travels between the library and the drivers, in one place: request
 * codes with the shape of each request, the device frame of the host platform, and every
 * request and reply layout with named offsets and sizes. All multi-byte fields are
 * little-endian and read and written through the NuvexWire_Load and Store helpers below,
 * never by casting a structure onto the bytes.
 *
 * Plain C with no system calls, so that the library, the driver cores (which must stay
 * embeddable in a kernel driver), the host platform, the tools and the tests all include
 * the same file. C++ translation units also get the constants under the names the library
 * uses (namespaces nuvex::main_driver, nuvex::acl_driver, ...), derived from the macros here.
 */
#ifndef NUVEX_WIRE_H
#define NUVEX_WIRE_H

#include <stddef.h>
#include <stdint.h>

/* ---- little-endian access ------------------------------------------------------------- */

static inline uint16_t NuvexWire_Load16(const void* at) {
    const uint8_t* p = (const uint8_t*)at;
    return (uint16_t)(p[0] | (p[1] << 8));
}
static inline uint32_t NuvexWire_Load32(const void* at) {
    const uint8_t* p = (const uint8_t*)at;
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) |
           ((uint32_t)p[3] << 24);
}
static inline uint64_t NuvexWire_Load64(const void* at) {
    const uint8_t* p = (const uint8_t*)at;
    return (uint64_t)NuvexWire_Load32(p) | ((uint64_t)NuvexWire_Load32(p + 4) << 32);
}
static inline void NuvexWire_Store16(void* at, uint16_t value) {
    uint8_t* p = (uint8_t*)at;
    p[0] = (uint8_t)value;
    p[1] = (uint8_t)(value >> 8);
}
static inline void NuvexWire_Store32(void* at, uint32_t value) {
    uint8_t* p = (uint8_t*)at;
    p[0] = (uint8_t)value;
    p[1] = (uint8_t)(value >> 8);
    p[2] = (uint8_t)(value >> 16);
    p[3] = (uint8_t)(value >> 24);
}
static inline void NuvexWire_Store64(void* at, uint64_t value) {
    uint8_t* p = (uint8_t*)at;
    NuvexWire_Store32(p, (uint32_t)value);
    NuvexWire_Store32(p + 4, (uint32_t)(value >> 32));
}

/* ---- request codes -------------------------------------------------------------------- */

/* CTL_CODE(deviceType, function, METHOD_BUFFERED, FILE_ANY_ACCESS). */
#define NUVEX_CONTROL_CODE(deviceType, function) \
    ((uint32_t)(((uint32_t)(deviceType) << 16) | ((uint32_t)(function) << 2)))

#define NUVEX_MAIN_DEVICE_TYPE 0x8309u
#define NUVEX_ACL_DEVICE_TYPE 0x8666u

/* The control devices (\\.\NAME to CreateFile; on the host a socket <root>/Device/NAME). */
#define NUVEX_MAIN_DEVICE_NAME "Nuvexcdo_3"
#define NUVEX_ACL_DEVICE_NAME "NuvexACLcdo_3"

/* An input length a request accepts whatever it is (texts, the header request). */
#define NUVEX_WIRE_ANY_LENGTH 0xFFFFFFFFu

/* ---- main filter driver: layouts ------------------------------------------------------ */

/* Status reply (12 bytes). */
#define NUVEX_STATUS_SIZE 12u
#define NUVEX_STATUS_SUSPENDED 0u  /* u8: suspended (1) or running (0) */
#define NUVEX_STATUS_LOGGING 1u    /* u8: logging on (1) or off (0) */
#define NUVEX_STATUS_PASS_PATHS 2u /* u16: number of pass paths */
#define NUVEX_STATUS_POLICIES 4u   /* u32: number of policies */
#define NUVEX_STATUS_VIOLATIONS 8u /* u32: requests that arrived outside the handshake */

/* A u32 travelling alone: the handshake token, a process or file handle, an answer. */
#define NUVEX_WORD_SIZE 4u

/* Answer bits of the authorised-process query. */
#define NUVEX_AUTH_CONTROLLER 1u /* the process has completed a control handshake */
#define NUVEX_AUTH_SECURE_RUN 2u /* document headers have been served to the process */

/* Answers of the file-type query. */
#define NUVEX_FILE_TYPE_PLAIN 1u
#define NUVEX_FILE_TYPE_DOCUMENT 2u

/* Log batch (4096 bytes): u32 bytes of records used, u32 more records waiting, records. */
#define NUVEX_LOG_BATCH_SIZE 4096u
#define NUVEX_LOG_BATCH_USED 0u
#define NUVEX_LOG_BATCH_MORE 4u
#define NUVEX_LOG_BATCH_HEADER_SIZE 8u
/* Log record inside a batch: fixed part, then the text and its zero byte. */
#define NUVEX_LOG_RECORD_VALUE1 0u    /* u32: the request code that caused it */
#define NUVEX_LOG_RECORD_TIME_LOW 4u  /* u32: FILETIME (UTC), low half */
#define NUVEX_LOG_RECORD_TIME_HIGH 8u /* u32: FILETIME, high half */
#define NUVEX_LOG_RECORD_VALUE2 12u   /* u32: the process that sent the request */
#define NUVEX_LOG_RECORD_DATA 16u     /* 16 bytes of request data */
#define NUVEX_LOG_RECORD_DATA_SIZE 16u
#define NUVEX_LOG_RECORD_OUTCOME 32u /* u8: served (1) or refused (0); not carried over */
#define NUVEX_LOG_RECORD_TEXT 33u

/* Secure-run blocks (272 bytes): the driver's `next`, the block's ID, then the data. Entry
 * requests carry the ID after which to continue; sub-entry requests the entry's ID and the
 * sub-entry ID after which to continue. */
#define NUVEX_SECRUN_BLOCK_SIZE 272u
#define NUVEX_SECRUN_NEXT 0u
#define NUVEX_SECRUN_ID 4u
#define NUVEX_SECRUN_ENTRY_DRIVER_DATA 8u /* u32: the process ID */
#define NUVEX_SECRUN_ENTRY_DATA 16u       /* 256 bytes: the process image name */
#define NUVEX_SECRUN_ENTRY_DATA_SIZE 256u
#define NUVEX_SECRUN_SUB_DATA 8u /* 264 bytes: u32 reads, u32 writes, 256-byte path */
#define NUVEX_SECRUN_SUB_DATA_SIZE 264u
#define NUVEX_SECRUN_SUB_READS 8u
#define NUVEX_SECRUN_SUB_WRITES 12u
#define NUVEX_SECRUN_SUB_PATH 16u
#define NUVEX_SECRUN_PATH_SIZE 256u
#define NUVEX_SECRUN_ENTRY_REQUEST_SIZE 4u
#define NUVEX_SECRUN_SUB_REQUEST_SIZE 8u

/* Texts of items separated by "|" (pass paths, encrypted documents). */
#define NUVEX_TEXT_SEPARATOR '|'

/* Policy record (2468 bytes) as the driver exchanges it: a 4-byte `next`, used value slots
 * byte-reversed, text lists ending in "|". */
#define NUVEX_POLICY_RECORD_SIZE 2468u
#define NUVEX_POLICY_NEXT 0u
#define NUVEX_POLICY_ID 4u
#define NUVEX_POLICY_DRIVER_FIELDS 8u
#define NUVEX_POLICY_ENTRY_COUNT 48u
#define NUVEX_POLICY_ENTRY_TABLE 52u
#define NUVEX_POLICY_ENTRY_SIZE 104u
#define NUVEX_POLICY_ENTRY_SIGN_CODE 68u /* within an entry */
#define NUVEX_POLICY_SIGN_CODE_SIZE 32u
#define NUVEX_POLICY_TEXT_LIST1 1092u
#define NUVEX_POLICY_VALUE_COUNT1 1348u
#define NUVEX_POLICY_VALUES1 1352u
#define NUVEX_POLICY_TEXT_LIST2 1396u
#define NUVEX_POLICY_VALUE_COUNT2 1652u
#define NUVEX_POLICY_VALUES2 1656u
#define NUVEX_POLICY_TEXT_LIST3 1700u
#define NUVEX_POLICY_TEXT_LIST4 1956u
#define NUVEX_POLICY_TEXT_LIST5 2212u
#define NUVEX_POLICY_TEXT_LIST_SIZE 256u
#define NUVEX_POLICY_MAX_ENTRIES 10u
#define NUVEX_POLICY_MAX_VALUES 11u
/* A policy text reply: at most 2047 characters and a zero byte. */
#define NUVEX_POLICY_TEXT_REPLY_SIZE 2048u

/* Document header request: u32 file handle, u32 direction, u32 header offset (0), u32 header
 * length (4096), the 4096 header bytes (for a write the new header, for a read zero), and a
 * reserved zero u32. A write sends the whole request; a read sends the first 20 bytes (the
 * four words and four zero bytes) or the whole request and receives the header. */
#define NUVEX_HEADER_SIZE 4096u
#define NUVEX_HEADER_REQUEST_SIZE 4116u
#define NUVEX_HEADER_REQUEST_READ_SIZE 20u
#define NUVEX_HEADER_REQUEST_HANDLE 0u
#define NUVEX_HEADER_REQUEST_DIRECTION 4u
#define NUVEX_HEADER_REQUEST_OFFSET 8u
#define NUVEX_HEADER_REQUEST_LENGTH 12u
#define NUVEX_HEADER_REQUEST_DATA 16u
#define NUVEX_HEADER_REQUEST_RESERVED 4112u
#define NUVEX_HEADER_WRITE 0u
#define NUVEX_HEADER_READ 1u

/* Key requests: the document key request is a u32 parameter and a 256-byte key field, the
 * system key request the key field alone. */
#define NUVEX_KEY_FIELD_SIZE 256u
#define NUVEX_SET_KEY_PARAM 0u
#define NUVEX_SET_KEY_KEY 4u
#define NUVEX_SET_KEY_REQUEST_SIZE 260u
#define NUVEX_SET_SYSKEY_REQUEST_SIZE 256u

/* ---- main filter driver: requests ----------------------------------------------------- */

/* One row per request: name, code, input length (exact, or NUVEX_WIRE_ANY_LENGTH), the
 * smallest output capacity the driver serves, and whether it belongs inside the control
 * handshake (1) or may be sent on any handle (0). */
#define NUVEX_MAIN_REQUESTS(X)                                                             \
    X(GetStatus, 0x83092000u, 0u, NUVEX_STATUS_SIZE, 1)                                    \
    X(BeginControl, 0x83092004u, 0u, NUVEX_WORD_SIZE, 0)                                   \
    X(ConfirmControl, 0x83092008u, NUVEX_WORD_SIZE, 0u, 0)                                 \
    X(EndControl, 0x8309200cu, 0u, 0u, 0)                                                  \
    X(Suspend, 0x83092010u, 0u, 0u, 1)                                                     \
    X(Resume, 0x83092014u, 0u, 0u, 1)                                                      \
    X(Uninstall, 0x83092018u, 0u, 0u, 1)                                                   \
    X(SecRunNextEntry, 0x830920c0u, NUVEX_SECRUN_ENTRY_REQUEST_SIZE,                       \
      NUVEX_SECRUN_BLOCK_SIZE, 1)                                                          \
    X(SecRunNextSubEntry, 0x830920c4u, NUVEX_SECRUN_SUB_REQUEST_SIZE,                      \
      NUVEX_SECRUN_BLOCK_SIZE, 1)                                                          \
    X(IsAuthProc, 0x830920c8u, NUVEX_WORD_SIZE, NUVEX_WORD_SIZE, 0)                        \
    X(EnFileTextSize, 0x83092100u, NUVEX_WORD_SIZE, NUVEX_WORD_SIZE, 1)                    \
    X(EnFileText, 0x83092104u, NUVEX_WORD_SIZE, NUVEX_WORD_SIZE, 1)                        \
    X(PolicyNext, 0x83092140u, NUVEX_WORD_SIZE, NUVEX_POLICY_RECORD_SIZE, 1)               \
    X(PolicyStrNext, 0x83092144u, NUVEX_WORD_SIZE, 1u, 1)                                  \
    X(PolicyById, 0x83092148u, NUVEX_WORD_SIZE, NUVEX_POLICY_RECORD_SIZE, 1)               \
    X(PolicyStrById, 0x8309214cu, NUVEX_WORD_SIZE, 1u, 1)                                  \
    X(PolicyInsert, 0x83092150u, NUVEX_POLICY_RECORD_SIZE, 0u, 1)                          \
    X(PolicyStrInsert, 0x83092154u, NUVEX_WIRE_ANY_LENGTH, 0u, 1)                          \
    X(PolicyDeleteOne, 0x83092158u, NUVEX_WORD_SIZE, NUVEX_WORD_SIZE, 1)                   \
    X(PolicyDeleteAll, 0x8309215cu, 0u, NUVEX_WORD_SIZE, 1)                                \
    X(PolicyNewId, 0x83092160u, 0u, NUVEX_WORD_SIZE, 1)                                    \
    X(PassPathSize, 0x83092200u, 0u, NUVEX_WORD_SIZE, 1)                                   \
    X(PassPathText, 0x83092204u, 0u, NUVEX_WORD_SIZE, 1)                                   \
    X(PassPathAdd, 0x83092208u, NUVEX_WIRE_ANY_LENGTH, 0u, 1)                              \
    X(PassPathDeleteAll, 0x8309220cu, 0u, 0u, 1)                                           \
    X(QueryFileType, 0x830922c0u, NUVEX_WORD_SIZE, NUVEX_WORD_SIZE, 0)                     \
    X(HeaderRequest, 0x830922c4u, NUVEX_WIRE_ANY_LENGTH, 0u, 0)                            \
    X(GetLog, 0x83092400u, 0u, NUVEX_LOG_BATCH_SIZE, 0)                                    \
    X(StartLogging, 0x83092404u, 0u, 0u, 0)                                                \
    X(StopLogging, 0x83092408u, 0u, 0u, 0)                                                 \
    X(ClearLog, 0x8309240cu, 0u, 0u, 0)                                                    \
    X(IsLogging, 0x83092410u, 0u, NUVEX_WORD_SIZE, 0)                                      \
    X(SetKey, 0x830924c0u, NUVEX_SET_KEY_REQUEST_SIZE, 0u, 1)                              \
    X(SetSysKey, 0x830924d8u, NUVEX_SET_SYSKEY_REQUEST_SIZE, 0u, 1)

/* ---- access-control driver: layouts --------------------------------------------------- */

/* Policy record (1196 bytes). */
#define NUVEX_ACL_POLICY_SIZE 1196u
#define NUVEX_ACL_POLICY_NEXT 0u
#define NUVEX_ACL_POLICY_ID 4u /* 0 in an add request: the driver picks the ID */
#define NUVEX_ACL_POLICY_DRIVER_FIELDS 8u
#define NUVEX_ACL_POLICY_PRIMARY_TEXT 44u
#define NUVEX_ACL_POLICY_PRIMARY_TEXT_SIZE 128u
#define NUVEX_ACL_POLICY_TEXT_LIST1 172u
#define NUVEX_ACL_POLICY_TEXT_LIST2 428u
#define NUVEX_ACL_POLICY_TEXT_LIST3 684u
#define NUVEX_ACL_POLICY_TEXT_LIST4 940u
#define NUVEX_ACL_POLICY_TEXT_LIST_SIZE 256u

/* Policy read request (8 bytes): u32 ID, u32 selector. */
#define NUVEX_ACL_QUERY_SIZE 8u
#define NUVEX_ACL_QUERY_ID 0u
#define NUVEX_ACL_QUERY_SELECTOR 4u
#define NUVEX_ACL_SELECT_NEXT 2u  /* the policy after the ID */
#define NUVEX_ACL_SELECT_BY_ID 3u /* the policy with the ID */

/* Status reply (8 bytes). */
#define NUVEX_ACL_STATUS_SIZE 8u
#define NUVEX_ACL_STATUS_RUNNING 0u  /* u32: running (1) or stopped (0) */
#define NUVEX_ACL_STATUS_POLICIES 4u /* u32: number of policies */

/* Log record (296 bytes): a zero u32 (the reader's `next`), then 292 data bytes. An empty
 * reply means the log is dry. */
#define NUVEX_ACL_LOG_SIZE 296u
#define NUVEX_ACL_LOG_DATA 4u
#define NUVEX_ACL_LOG_DATA_SIZE 292u
/* Offsets within the data. */
#define NUVEX_ACL_LOG_EVENT 0u    /* u32: the request code that caused it */
#define NUVEX_ACL_LOG_SEQUENCE 4u /* u32: the record's number, from 1 */
#define NUVEX_ACL_LOG_TIME 8u     /* u64: FILETIME (UTC) */
#define NUVEX_ACL_LOG_POLICY 16u  /* u32: the policy concerned, 0 for none */
#define NUVEX_ACL_LOG_PROCESS 20u /* u32: the process that sent the request */
#define NUVEX_ACL_LOG_TEXT 24u    /* zero-terminated text */
#define NUVEX_ACL_LOG_TEXT_SIZE 268u

/* ---- access-control driver: requests -------------------------------------------------- */

/* One row per request: name, code, input length, smallest output capacity. */
#define NUVEX_ACL_REQUESTS(X)                                                              \
    X(AddPolicy, 0x86662000u, NUVEX_ACL_POLICY_SIZE, 0u)                                   \
    X(DeleteAllPolicies, 0x86662004u, 0u, 0u)                                              \
    X(DeleteOnePolicy, 0x86662008u, NUVEX_WORD_SIZE, 0u)                                   \
    X(GetPolicy, 0x8666200cu, NUVEX_ACL_QUERY_SIZE, NUVEX_ACL_POLICY_SIZE)                 \
    X(Start, 0x86662010u, 0u, 0u)                                                          \
    X(Stop, 0x86662014u, 0u, 0u)                                                           \
    X(GetStatus, 0x86662018u, 0u, NUVEX_ACL_STATUS_SIZE)                                   \
    X(GetLog, 0x8666201cu, 0u, NUVEX_ACL_LOG_SIZE)

/* ---- the device frame of the host platform -------------------------------------------- */

/* On the host platform a control device is a Unix stream socket and each DeviceIoControl
 * one request frame and one reply frame on it:
 *   request: u32 code, u32 input length, u32 output length, input bytes
 *   reply:   u32 ok, u32 bytes returned, that many bytes (never more than output length) */
#define NUVEX_FRAME_REQUEST_HEAD_SIZE 12u
#define NUVEX_FRAME_REQUEST_CODE 0u
#define NUVEX_FRAME_REQUEST_INPUT_LENGTH 4u
#define NUVEX_FRAME_REQUEST_OUTPUT_LENGTH 8u
#define NUVEX_FRAME_REPLY_HEAD_SIZE 8u
#define NUVEX_FRAME_REPLY_OK 0u
#define NUVEX_FRAME_REPLY_RETURNED 4u

typedef struct NuvexFrameRequest {
    uint32_t code;
    uint32_t inputLength;
    uint32_t outputLength;
} NuvexFrameRequest;

typedef struct NuvexFrameReply {
    uint32_t ok; /* 1 for success; anything else is a failure */
    uint32_t returned;
} NuvexFrameReply;

static inline void NuvexFrame_EncodeRequest(uint8_t head[NUVEX_FRAME_REQUEST_HEAD_SIZE],
                                            NuvexFrameRequest request) {
    NuvexWire_Store32(head + NUVEX_FRAME_REQUEST_CODE, request.code);
    NuvexWire_Store32(head + NUVEX_FRAME_REQUEST_INPUT_LENGTH, request.inputLength);
    NuvexWire_Store32(head + NUVEX_FRAME_REQUEST_OUTPUT_LENGTH, request.outputLength);
}
static inline NuvexFrameRequest NuvexFrame_DecodeRequest(
    const uint8_t head[NUVEX_FRAME_REQUEST_HEAD_SIZE]) {
    NuvexFrameRequest request;
    request.code = NuvexWire_Load32(head + NUVEX_FRAME_REQUEST_CODE);
    request.inputLength = NuvexWire_Load32(head + NUVEX_FRAME_REQUEST_INPUT_LENGTH);
    request.outputLength = NuvexWire_Load32(head + NUVEX_FRAME_REQUEST_OUTPUT_LENGTH);
    return request;
}
static inline void NuvexFrame_EncodeReply(uint8_t head[NUVEX_FRAME_REPLY_HEAD_SIZE],
                                          NuvexFrameReply reply) {
    NuvexWire_Store32(head + NUVEX_FRAME_REPLY_OK, reply.ok);
    NuvexWire_Store32(head + NUVEX_FRAME_REPLY_RETURNED, reply.returned);
}
static inline NuvexFrameReply NuvexFrame_DecodeReply(
    const uint8_t head[NUVEX_FRAME_REPLY_HEAD_SIZE]) {
    NuvexFrameReply reply;
    reply.ok = NuvexWire_Load32(head + NUVEX_FRAME_REPLY_OK);
    reply.returned = NuvexWire_Load32(head + NUVEX_FRAME_REPLY_RETURNED);
    return reply;
}

/* ---- C++ names ------------------------------------------------------------------------ */

#ifdef __cplusplus
namespace nuvex {

constexpr uint32_t ControlCode(uint32_t deviceType, uint32_t function) {
    return NUVEX_CONTROL_CODE(deviceType, function);
}

// Every code in the tables is a METHOD_BUFFERED, any-access code of its driver's device
// type with a function number from 0x800 up.
constexpr bool IsDriverCode(uint32_t code, uint32_t deviceType) {
    return (code >> 16) == deviceType && (code & 0xC003u) == 0 && ((code >> 2) & 0xFFFu) >= 0x800;
}

// The layouts add up.
static_assert(NUVEX_HEADER_REQUEST_DATA + NUVEX_HEADER_SIZE == NUVEX_HEADER_REQUEST_RESERVED);
static_assert(NUVEX_HEADER_REQUEST_RESERVED + NUVEX_WORD_SIZE == NUVEX_HEADER_REQUEST_SIZE);
static_assert(NUVEX_SECRUN_ENTRY_DATA + NUVEX_SECRUN_ENTRY_DATA_SIZE == NUVEX_SECRUN_BLOCK_SIZE);
static_assert(NUVEX_SECRUN_SUB_DATA + NUVEX_SECRUN_SUB_DATA_SIZE == NUVEX_SECRUN_BLOCK_SIZE);
static_assert(NUVEX_SECRUN_SUB_PATH + NUVEX_SECRUN_PATH_SIZE == NUVEX_SECRUN_BLOCK_SIZE);
static_assert(NUVEX_POLICY_TEXT_LIST5 + NUVEX_POLICY_TEXT_LIST_SIZE == NUVEX_POLICY_RECORD_SIZE);
static_assert(NUVEX_SET_KEY_KEY + NUVEX_KEY_FIELD_SIZE == NUVEX_SET_KEY_REQUEST_SIZE);
static_assert(NUVEX_ACL_POLICY_TEXT_LIST4 + NUVEX_ACL_POLICY_TEXT_LIST_SIZE ==
              NUVEX_ACL_POLICY_SIZE);
static_assert(NUVEX_ACL_LOG_DATA + NUVEX_ACL_LOG_DATA_SIZE == NUVEX_ACL_LOG_SIZE);
static_assert(NUVEX_ACL_LOG_TEXT + NUVEX_ACL_LOG_TEXT_SIZE == NUVEX_ACL_LOG_DATA_SIZE);

namespace main_driver {
constexpr uint32_t kDeviceType = NUVEX_MAIN_DEVICE_TYPE;
#define NUVEX_WIRE_NAME(name, code, input, minOutput, handshake) \
    constexpr uint32_t k##name = code;                          \
    static_assert(IsDriverCode(code, kDeviceType), #name);
NUVEX_MAIN_REQUESTS(NUVEX_WIRE_NAME)
#undef NUVEX_WIRE_NAME
}  // namespace main_driver

namespace acl_driver {
constexpr uint32_t kDeviceType = NUVEX_ACL_DEVICE_TYPE;
#define NUVEX_WIRE_NAME(name, code, input, minOutput) \
    constexpr uint32_t k##name = code;                \
    static_assert(IsDriverCode(code, kDeviceType), #name);
NUVEX_ACL_REQUESTS(NUVEX_WIRE_NAME)
#undef NUVEX_WIRE_NAME
// Selector words of kGetPolicy.
constexpr uint32_t kSelectById = NUVEX_ACL_SELECT_BY_ID;
constexpr uint32_t kSelectNext = NUVEX_ACL_SELECT_NEXT;
}  // namespace acl_driver

}  // namespace nuvex
#endif

#endif
