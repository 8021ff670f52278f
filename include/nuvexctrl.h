/*
 * nuvexctrl.h - public interface of Nuvexctrl, the user-mode control library of the
 * Nuvex document-protection drivers.
 *
 * Every export returns a 32-bit result code: 0 is success, every other value names one
 * failure site of that export (the same number can mean unrelated things in different
 * exports). Lists and buffers handed out by the library belong to the caller and are
 * released with the matching Free export, never with the caller's own allocator.
 *
 * On 32-bit Windows the exports use the stdcall convention and every argument is 32 bits
 * wide. On the Linux host build they use the platform's default convention.
 */
#ifndef NUVEXCTRL_H
#define NUVEXCTRL_H

#include <stddef.h>
#include <stdint.h>

/* The library's version: the one place it is written. The build takes it from here for the
 * shared object's soname, the DLL's version resource, the CMake package, the pkg-config file
 * and `nuvexctl --version`. NUVEXCTRL_VERSION_NUMBER compares as one integer
 * (major * 10000 + minor * 100 + patch). */
#define NUVEXCTRL_VERSION_MAJOR 1
#define NUVEXCTRL_VERSION_MINOR 0
#define NUVEXCTRL_VERSION_PATCH 0
#define NUVEXCTRL_VERSION_NUMBER \
    (NUVEXCTRL_VERSION_MAJOR * 10000 + NUVEXCTRL_VERSION_MINOR * 100 + NUVEXCTRL_VERSION_PATCH)
#define NUVEXCTRL_VERSION_TEXT_(major, minor, patch) #major "." #minor "." #patch
#define NUVEXCTRL_VERSION_TEXT(major, minor, patch) NUVEXCTRL_VERSION_TEXT_(major, minor, patch)
#define NUVEXCTRL_VERSION \
    NUVEXCTRL_VERSION_TEXT(NUVEXCTRL_VERSION_MAJOR, NUVEXCTRL_VERSION_MINOR, NUVEXCTRL_VERSION_PATCH)

#if defined(_WIN32)
#define NUVEXAPI __stdcall
#if defined(NUVEXCTRL_BUILDING)
#define NUVEX_EXPORT
#else
#define NUVEX_EXPORT __declspec(dllimport)
#endif
#else
#define NUVEXAPI
#if defined(NUVEXCTRL_BUILDING)
#define NUVEX_EXPORT __attribute__((visibility("default")))
#else
#define NUVEX_EXPORT
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------------------ */
/* Records that cross the boundary. Natural alignment, no packing: on 32-bit targets the */
/* sizes and offsets below are exact; on 64-bit targets only pointers and what follows   */
/* them move (the library converts to and from the drivers' 32-bit wire layout).         */
/* ------------------------------------------------------------------------------------ */

/* A calendar time as Windows' SYSTEMTIME holds it. */
typedef struct NuvexSystemTime {
    uint16_t wYear;
    uint16_t wMonth;
    uint16_t wDayOfWeek;
    uint16_t wDay;
    uint16_t wHour;
    uint16_t wMinute;
    uint16_t wSecond;
    uint16_t wMilliseconds;
} NuvexSystemTime;

/* One string of a string list. `data` holds the string followed by two zero bytes. */
typedef struct UserStrNode {
    struct UserStrNode* next;
    char* data;
} UserStrNode;

/* Input node of NuvexCtrl_AddStructPassPath; shaped like UserStrNode so that a list from
 * NuvexCtrl_GetPassPath can be passed in unchanged. */
typedef UserStrNode PassPathNode;

/* 12 status bytes whose layout belongs to the main filter driver. */
typedef struct DriverStatus {
    uint8_t bytes[12];
} DriverStatus;

/* One record of the main filter driver's log. The block is 46 + n bytes for a text of n
 * characters; `text` runs past the declared array. */
typedef struct LogEntry {
    struct LogEntry* next;
    uint32_t value1;
    NuvexSystemTime time;
    uint32_t value2;
    uint8_t data[16];
    uint8_t reserved;
    char text[1];
} LogEntry;
#define NUVEX_LOGENTRY_FIXED_SIZE offsetof(LogEntry, text)

struct SecRunSubEntry;

/* Secure-run process entry (272 bytes on 32-bit targets); heads a list of sub-entries. */
typedef struct SecRunProcEntry {
    struct SecRunProcEntry* next;
    uint32_t id;
    uint32_t driverData;
    struct SecRunSubEntry* subEntries;
    uint8_t data[256];
} SecRunProcEntry;

/* Secure-run sub-entry (272 bytes on 32-bit targets). */
typedef struct SecRunSubEntry {
    struct SecRunSubEntry* next;
    uint32_t id;
    uint8_t data[264];
} SecRunSubEntry;

/* One of the ten entries of a policy record (104 bytes). */
typedef struct PolicyEntry {
    uint8_t driverFields1[68];
    char SignCode[32]; /* 32 characters, not NUL-terminated; all zero when unused */
    uint8_t driverFields2[4];
} PolicyEntry;

#define NUVEX_POLICY_ENTRIES 10
#define NUVEX_POLICY_VALUES 11
#define NUVEX_TEXTLIST_BYTES 256

/* Policy of the main filter driver (2468 bytes on 32-bit targets). Values1/Values2 are in
 * host byte order here; the library reverses the used slots on the wire. */
typedef struct PolicyRecord {
    struct PolicyRecord* next;
    uint32_t PolicyId;
    uint8_t DriverFields[40];
    uint32_t EntryCount;
    PolicyEntry Entries[NUVEX_POLICY_ENTRIES];
    char TextList1[NUVEX_TEXTLIST_BYTES];
    uint32_t ValueCount1;
    uint32_t Values1[NUVEX_POLICY_VALUES];
    char TextList2[NUVEX_TEXTLIST_BYTES];
    uint32_t ValueCount2;
    uint32_t Values2[NUVEX_POLICY_VALUES];
    char TextList3[NUVEX_TEXTLIST_BYTES];
    char TextList4[NUVEX_TEXTLIST_BYTES];
    char TextList5[NUVEX_TEXTLIST_BYTES];
} PolicyRecord;

/* Policy of the access-control driver (1196 bytes on 32-bit targets). */
typedef struct AccPolicyRecord {
    struct AccPolicyRecord* next;
    uint32_t PolicyId;
    uint8_t DriverFields[36];
    char PrimaryText[128];
    char TextList1[NUVEX_TEXTLIST_BYTES];
    char TextList2[NUVEX_TEXTLIST_BYTES];
    char TextList3[NUVEX_TEXTLIST_BYTES];
    char TextList4[NUVEX_TEXTLIST_BYTES];
} AccPolicyRecord;

/* Record of the access-control driver's log (296 bytes on 32-bit targets). */
typedef struct AccLogRecord {
    struct AccLogRecord* next;
    uint8_t data[292];
} AccLogRecord;

/* ------------------------------------------------------------------------------------ */
/* Rights status values (optional out-argument of the rights exports).                  */
/* ------------------------------------------------------------------------------------ */
#define NUVEX_RIGHTS_ACCEPTED 0x00000000u     /* password accepted, header written back */
#define NUVEX_RIGHTS_BAD_PASSWORD 0x80000001u /* password does not match */
#define NUVEX_RIGHTS_NOT_DOCUMENT 0x80000002u /* not an encrypted document, or unreadable */
#define NUVEX_RIGHTS_NO_RECORD 0x80000003u    /* nothing to clear */
#define NUVEX_RIGHTS_PENDING 0x80000004u      /* stored on entry; call ended otherwise */

/* Rights flag bits of a document header. */
#define NUVEX_RIGHTS_FLAG_COUNT 0x02u
#define NUVEX_RIGHTS_FLAG_PRINT 0x04u
#define NUVEX_RIGHTS_FLAG_VALUE 0x08u
#define NUVEX_RIGHTS_FLAG_WRITTEN 0x10u

/* Result codes: the NUVEX_E_* constants and the table of every code of every export. */
#include "nuvexctrl_results.h"

/*
 * The exports. Each is documented below: what it does, each argument, who owns what it hands
 * out, whether it blocks and what it shares with other threads. The codes each export
 * returns are in the table of nuvexctrl_results.h (and in docs/api.md beside each export).
 *
 * Common to all of them:
 *   - Every export is one whole transaction: it opens the driver's control device or the
 *     files it works on, sends its requests, closes what it opened and returns. Requests to
 *     a driver are synchronous: an export that talks to a driver blocks until the driver has
 *     answered each of its requests.
 *   - Any export may be called from any thread. Calls in flight at once share nothing but the
 *     drivers, the files named in their arguments and the two keys (which are read and
 *     replaced under a lock). Where an export says more, it is under "threads".
 *   - Lists and buffers that an export hands out come from the library's own heap and belong
 *     to the caller, who releases them with the matching Free export, never with an
 *     allocator of its own. The library keeps no pointer that a caller passed in.
 *   - Out-arguments are set to their empty values as soon as the pointers are known to be
 *     valid, so after most failures they read as empty.
 *   - A result code is read together with the export that returned it: the same number can
 *     mean unrelated things in different exports. The export's own numbers are fixed by the
 *     interface; the NUVEX_E_* codes are added by this library where the original interface
 *     reported a failure as success or did something unsafe.
 */

/* ---- Main filter driver: status and switches ---------------------------------------- */

/**
 * Reads the main filter driver's 12 status bytes (request inside the control handshake).
 * @param status receives the bytes exactly as the driver wrote them; their layout is the
 *     driver's. Not cleared beforehand: after a failure it holds what it held before or what
 *     the driver left.
 * @blocking one request to the main filter driver.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_GetDriverStatus(DriverStatus* status);

/**
 * Suspends the main filter driver's protection until NuvexCtrl_ResumeDriver.
 * @blocking one request to the main filter driver, inside the control handshake.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_SuspendDriver(void);

/**
 * Resumes the main filter driver's protection after NuvexCtrl_SuspendDriver.
 * @blocking one request to the main filter driver, inside the control handshake.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_ResumeDriver(void);

/**
 * Asks the main filter driver whether a process is authorised.
 * @param processId the process to ask about; 0 stands for the calling process.
 * @param answer receives the driver's 32-bit answer, passed through uninterpreted; set to 0
 *     first, so it reads 0 after a failure unless the driver wrote it.
 * @blocking one request to the main filter driver.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_IsAuthProc(uint32_t processId, uint32_t* answer);

/**
 * Switches the main filter driver's logging on.
 * @blocking one request to the main filter driver.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_StartLogging(void);

/**
 * Switches the main filter driver's logging off; records already logged stay.
 * @blocking one request to the main filter driver.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_StopLogging(void);

/**
 * Reads whether the main filter driver is logging.
 * @param state receives the driver's 32-bit logging state, passed through uninterpreted;
 *     0 after any failure.
 * @blocking one request to the main filter driver.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_IsLogging(uint32_t* state);

/**
 * Discards every record of the main filter driver's log.
 * @blocking one request to the main filter driver.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_ClearAllLog(void);

/* ---- Log and monitoring lists -------------------------------------------------------- */

/**
 * Drains the main filter driver's log into a list of LogEntry records in the driver's order.
 * The driver hands each record over once: records drained are no longer in its log.
 * @param list receives the head of the list (null when the log is empty). A null `list`
 *     returns 0 at once and touches nothing.
 * @param count receives the number of records, or null.
 * @ownership the caller owns the list, also after a failure that kept the records drained
 *     so far, and releases it with NuvexCtrl_FreeLog.
 * @blocking one request per batch of records until the driver reports no more.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_GetLog(LogEntry** list, uint32_t* count);

/**
 * Releases a list from NuvexCtrl_GetLog or NuvexAccCtrl_GetLog (any list whose records begin
 * with `next`). The same routine is exported as NuvexAccCtrl_FreeLog.
 * @param list the head of the list, or null (nothing to do).
 * @ownership takes the list back; its records must not be used afterwards.
 * @blocking no.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_FreeLog(LogEntry* list);

/**
 * Reads the main filter driver's secure-run process list: each SecRunProcEntry heads a list
 * of its SecRunSubEntry records. Both levels hold the driver's order reversed.
 * @param list receives the head of the list (null when the driver has none).
 * @ownership the caller owns the list and releases it with NuvexCtrl_FreeSecRunProcList.
 * @blocking one request per entry and sub-entry, inside the control handshake.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_GetSecRunProcList(SecRunProcEntry** list);

/**
 * Releases a list from NuvexCtrl_GetSecRunProcList, sub-entries included.
 * @param list the head of the list.
 * @ownership takes the list back; its entries must not be used afterwards.
 * @blocking no.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_FreeSecRunProcList(SecRunProcEntry* list);

/**
 * Reads the main filter driver's list of encrypted documents as a list of strings, in the
 * reverse of the driver's order.
 * @param selector which list the driver gives; passed to the driver unchanged.
 * @param list receives the head of the list (null when the driver's list is empty).
 * @param count receives the number of strings, or null.
 * @ownership the caller owns the list and releases it with NuvexCtrl_FreeUserStrList.
 * @blocking two requests to the main filter driver, inside the control handshake.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_GetEnFileList(uint32_t selector, UserStrNode** list,
                                                       uint32_t* count);

/**
 * Releases a string list from NuvexCtrl_GetEnFileList, NuvexCtrl_GetPassPath or
 * NuvexCtrl_GetPolicyStrList, each node's string included.
 * @param list the head of the list.
 * @ownership takes the list back; its nodes and strings must not be used afterwards.
 * @blocking no.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_FreeUserStrList(UserStrNode* list);

/* ---- Pass paths ---------------------------------------------------------------------- */

/**
 * Reads the paths the main filter driver lets pass, as a list of strings in the driver's
 * order.
 * @param list receives the head of the list (null when the driver has no pass paths).
 * @param count receives the number of paths, or null.
 * @ownership the caller owns the list and releases it with NuvexCtrl_FreeUserStrList.
 * @blocking two requests to the main filter driver, inside the control handshake.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_GetPassPath(UserStrNode** list, uint32_t* count);

/**
 * Adds the paths of a list to the main filter driver's pass paths: they are joined, each
 * followed by "|", and handed to NuvexCtrl_AddStringPassPath.
 * @param first the first node of the paths (a list from NuvexCtrl_GetPassPath will do), or
 *     null for none. Read during the call only.
 * @param persist non-zero: also append the paths to the pass-path file in the system
 *     directory.
 * @blocking one request to the main filter driver; with `persist`, may wait up to 2 s for
 *     another updater of the pass-path file.
 * @threads concurrent updates of the pass-path file are serialised by the file itself.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_AddStructPassPath(const PassPathNode* first,
                                                           uint32_t persist);

/**
 * Adds pass paths given as one text of "|"-separated paths to the main filter driver.
 * @param text the paths, NUL-terminated; sent without its terminator.
 * @param persist non-zero: also append the text to the pass-path file in the system
 *     directory (an empty text leaves the file as it is).
 * @blocking one request to the main filter driver; with `persist`, may wait up to 2 s for
 *     another updater of the pass-path file.
 * @threads concurrent updates of the pass-path file are serialised by the file itself.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_AddStringPassPath(const char* text, uint32_t persist);

/**
 * Removes every pass path from the main filter driver.
 * @param persist non-zero: also empty the pass-path file in the system directory.
 * @blocking one request to the main filter driver; with `persist`, may wait up to 2 s for
 *     another updater of the pass-path file.
 * @threads concurrent updates of the pass-path file are serialised by the file itself.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_DeleteAllPassPath(uint32_t persist);

/* ---- Policies: records --------------------------------------------------------------- */

/**
 * Reads the main filter driver's policy table as a list of PolicyRecord, in the reverse of
 * the driver's order. Values1 and Values2 are in host byte order.
 * @param list receives the head of the list (null when the table is empty).
 * @ownership the caller owns the list and releases it with NuvexCtrl_FreePolicyList.
 * @blocking one request per policy, inside the control handshake.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_GetPolicyList(PolicyRecord** list);

/**
 * Reads one policy of the main filter driver's table into the caller's record.
 * @param id the policy's ID, not 0.
 * @param record receives the policy (2468 bytes on 32-bit targets); not cleared beforehand.
 * @blocking one request to the main filter driver, inside the control handshake.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_GetOnePolicyByID(uint32_t id, PolicyRecord* record);

/**
 * Inserts a policy into the main filter driver's table.
 * @param record the policy. Its values are converted to the wire's byte order for the
 *     request and back afterwards; an entry whose SignCode starts with a zero byte has its
 *     SignCode cleared to zeros in the caller's record.
 * @blocking one request to the main filter driver, inside the control handshake.
 * @threads the caller's record is changed during the call: do not share it with another
 *     thread meanwhile.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_InsertNewPolicy(PolicyRecord* record);

/**
 * Deletes one policy from the main filter driver's table.
 * @param id the policy's ID, not 0.
 * @param reply receives the driver's 32-bit reply on success, or null.
 * @blocking one request to the main filter driver, inside the control handshake.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_DeleteOnePolicy(uint32_t id, uint32_t* reply);

/**
 * Asks the main filter driver for an ID that no policy of its table uses.
 * @param newId receives the ID; 0 after any failure.
 * @blocking one request to the main filter driver, inside the control handshake.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_GetNewValidPolicyID(uint32_t* newId);

/**
 * Empties the main filter driver's policy table.
 * @param reply receives the driver's 32-bit reply on success, or null.
 * @blocking one request to the main filter driver, inside the control handshake.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_DeleteAllPolicy(uint32_t* reply);

/**
 * Releases a list from NuvexCtrl_GetPolicyList.
 * @param list the head of the list.
 * @ownership takes the list back; its records must not be used afterwards.
 * @blocking no.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_FreePolicyList(PolicyRecord* list);

/* ---- Policies: texts and the policy file --------------------------------------------- */

/**
 * Reads one policy of the main filter driver's table in its text form: a three-character
 * lead, the ID in decimal, "|" and the content (one trailing "|" removed).
 * @param id the policy's ID, not 0.
 * @param text receives the text, NUL-terminated, at most 2047 characters. Null after a
 *     failure, and also after a success when no memory for the text could be had.
 * @ownership the caller owns the text and releases it with NuvexCtrl_FreeBuffer.
 * @blocking one request to the main filter driver, inside the control handshake.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_GetOnePolicyStr(uint32_t id, char** text);

/**
 * Reads the main filter driver's whole policy table in text form, one string per policy, in
 * the reverse of the driver's order.
 * @param list receives the head of the list (null when the table is empty).
 * @ownership the caller owns the list and releases it with NuvexCtrl_FreeUserStrList.
 * @blocking one request per policy, inside the control handshake.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_GetPolicyStrList(UserStrNode** list);

/**
 * Inserts a policy given in text form into the main filter driver's table.
 * @param text the policy text, NUL-terminated; sent without its terminator.
 * @blocking one request to the main filter driver, inside the control handshake.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_InsertPolicyStr(const char* text);

/**
 * Releases one buffer the library handed out (the text of NuvexCtrl_GetOnePolicyStr).
 * @param buffer the buffer.
 * @ownership takes the buffer back; it must not be used afterwards.
 * @blocking no.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_FreeBuffer(void* buffer);

/**
 * Saves the main filter driver's policy table, in text form and enciphered, to a policy
 * file. The file is written beside the target and moved over it only when complete: on any
 * failure a file already at the path stays as it was. An empty table writes no file.
 * @param path the policy file's path, NUL-terminated.
 * @blocking one request per policy, then writing the file.
 * @threads two saves to the same path at once: the last one to finish wins whole.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_SaveCurrentPolicyToFile(const char* path);

/**
 * Replaces the main filter driver's policy table with the policies of a policy file. The
 * file is read and deciphered whole before the table is touched; when the driver refuses a
 * line, the previous table is put back.
 * @param path the policy file's path, NUL-terminated.
 * @blocking reads the file, then one request per policy read, deleted and inserted.
 * @threads other changes to the policy table while a load runs are not coordinated with it.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_LoadPolicyFromFile(const char* path);

/* ---- Encrypted documents ------------------------------------------------------------- */

/**
 * Tells whether a file is an encrypted document (by the signature in its header).
 * @param fileName the file's path, NUL-terminated: 8-bit characters, or UTF-16 when
 *     `isWide` is non-zero.
 * @param isWide selects the character width of `fileName`.
 * @param isDocument receives 1 for a document, 0 otherwise (also when the file cannot be
 *     opened).
 * @blocking opens the file and reads its header.
 * @threads takes no lock and never makes a concurrent encryption, decryption or rights
 *     change of the file fail.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_IsEncryptFile(const void* fileName, uint32_t isWide,
                                                       uint32_t* isDocument);

/**
 * Turns a plain file into an encrypted document under the same name, enciphered under the
 * current document key (NuvexCtrl_SetKey). The document is written to a temporary file
 * beside the plain file (in its folder, held open for the call), flushed, and moved over it:
 * on failure the plain file is unchanged. A plain file with other names (hard links) is
 * refused with NUVEX_E_PLAIN_HAS_OTHER_NAMES: they would keep the plain text.
 * @param fileName the plain file's path, 8-bit, NUL-terminated; a link at the last name is
 *     followed to the file it names.
 * @param reserved ignored.
 * @param key ignored (the current document key is always used).
 * @param useKey ignored.
 * @blocking reads and writes the whole file; uses helper threads that end before it returns.
 * @threads the document key is taken once at the start; a key replaced meanwhile does not
 *     mix into the file. A file another program has open for writing is refused (797); while
 *     it runs no other program can write the file (where one still opens it for writing,
 *     as programs the host platform's share modes do not bind can, the call notices it and
 *     returns NUVEX_E_SOURCE_CHANGED, keeping the write), and a second encryption, decryption
 *     or rights change of it (any thread or process) fails at once with 797 and changes
 *     nothing.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_EncryptFile(const char* fileName, uint32_t reserved,
                                                     const void* key, uint32_t useKey);

/**
 * Turns an encrypted document back into a plain file, in place or into another file. The
 * plain bytes go to a temporary file beside the target that replaces it only when complete
 * and flushed: on failure the document and any existing target are unchanged.
 * @param fileName the document's path, 8-bit, NUL-terminated.
 * @param toOtherFile non-zero: write to `outFileName` and leave the document as it is;
 *     zero: replace the document by its plain bytes.
 * @param outFileName the target's path (fewer than 260 characters) when `toOtherFile` is
 *     non-zero; may be null otherwise.
 * @param reserved ignored.
 * @param key ignored (the current document key is always used).
 * @param useKey ignored.
 * @blocking reads and writes the whole file; uses helper threads that end before it returns.
 * @threads the document key is taken once at the start. A document another program has open
 *     for writing is refused (NUVEX_E_DOC_BUSY); while it runs no other program can write the
 *     document (or an existing target; a writer that still gets in, as programs the host
 *     platform's share modes do not bind can, gives NUVEX_E_SOURCE_CHANGED and its write is
 *     kept), and a second encryption, decryption or rights change of either (any thread or
 *     process) fails at once with NUVEX_E_DOC_BUSY and changes nothing.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_DecryptFile(const char* fileName, uint32_t toOtherFile,
                                                     const char* outFileName, uint32_t reserved,
                                                     const void* key, uint32_t useKey);

/**
 * Sets the rights of a document: the rights record in its header, guarded by a rights
 * password (fixed by the first call, checked by later ones). The header is written back
 * through the main filter driver when it is running, else directly into the file.
 * @param fileName the document's path, 8-bit, NUL-terminated.
 * @param rightsValue 8 bytes for the rights value, or null for none.
 * @param rightsCount the rights count (low 16 bits); 0xFFFF stands for not set.
 * @param printCount the print count (low 16 bits); 0xFFFF stands for not set.
 * @param rightsFlags the caller's rights flag bits (NUVEX_RIGHTS_FLAG_*).
 * @param password the rights password's bytes.
 * @param passwordLength the number of password bytes, not 0.
 * @param status receives a rights status (NUVEX_RIGHTS_*), or null.
 * @blocking reads and rewrites the document's header; with the driver running, one request
 *     to it.
 * @threads while it runs the document is held for its rewrite; a second encryption,
 *     decryption or rights change of it (any thread or process) fails at once with
 *     NUVEX_E_DOC_BUSY and changes nothing.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_SetEnFileRights(const char* fileName,
                                                         const void* rightsValue,
                                                         uint32_t rightsCount, uint32_t printCount,
                                                         uint32_t rightsFlags, const void* password,
                                                         uint32_t passwordLength, uint32_t* status);

/**
 * Reads the rights record of a document from its header.
 * @param fileName the document's path, 8-bit, NUL-terminated.
 * @param printCountOut receives the print count (zero-extended) when the document has a
 *     rights record, else 0. Required.
 * @param rightsValueOut receives the 8-byte rights value, or null.
 * @param rightsCountOut receives the 16-bit rights count, or null.
 * @param printCount16Out receives the 16-bit print count, or null.
 * @param rightsFlagsOut receives the rights flags, or null.
 * @param status receives a rights status (NUVEX_RIGHTS_*; never 0 here), or null.
 * @blocking opens the document and reads its header.
 * @threads takes no lock and never makes a concurrent encryption, decryption or rights
 *     change of the file fail.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_GetEnFileRights(const char* fileName,
                                                         uint32_t* printCountOut,
                                                         void* rightsValueOut,
                                                         uint16_t* rightsCountOut,
                                                         uint16_t* printCount16Out,
                                                         uint32_t* rightsFlagsOut,
                                                         uint32_t* status);

/**
 * Clears the rights record of a document, given its rights password. The header is written
 * back through the main filter driver when it is running, else directly into the file.
 * @param fileName the document's path, 8-bit, NUL-terminated.
 * @param password the rights password's bytes.
 * @param passwordLength the number of password bytes, not 0.
 * @param status receives a rights status (NUVEX_RIGHTS_*), or null.
 * @blocking reads and rewrites the document's header; with the driver running, one request
 *     to it.
 * @threads while it runs the document is held for its rewrite; a second encryption,
 *     decryption or rights change of it (any thread or process) fails at once with
 *     NUVEX_E_DOC_BUSY and changes nothing.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_ClearEnFileRights(const char* fileName,
                                                           const void* password,
                                                           uint32_t passwordLength,
                                                           uint32_t* status);

/**
 * Sets a document's print count through the main filter driver: the driver reads the
 * header, the library puts the new count in, the driver writes it back. No rights password
 * is asked for; without the driver nothing happens.
 * @param fileName the document's path, 8-bit, NUL-terminated.
 * @param printCount the new print count (low 16 bits).
 * @blocking opens the document; two requests to the main filter driver.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_SetFileRightsByDrv(const char* fileName,
                                                            uint32_t printCount);

/**
 * Reads a document's rights through the main filter driver; each field is stored only when
 * its flag bit is set in the header. Without the driver nothing is read.
 * @param fileName the document's path, 8-bit, NUL-terminated.
 * @param rightsValueOut receives the 8-byte rights value (flag 0x08), or null.
 * @param rightsCountOut receives the 16-bit rights count (flag 0x02), or null.
 * @param printCountOut receives the 16-bit print count (flag 0x04); 0xFFFF is stored on
 *     entry. Or null.
 * @param rightsFlagsOut receives the rights flags whenever the header is accepted, or null.
 * @blocking opens the document; one request to the main filter driver.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_GetFileRightsByDrv(const char* fileName,
                                                            void* rightsValueOut,
                                                            uint16_t* rightsCountOut,
                                                            uint16_t* printCountOut,
                                                            uint32_t* rightsFlagsOut);

/**
 * Asks the main filter driver for the type of a file it knows.
 * @param fileRef a 32-bit value passed to the driver unchanged.
 * @param fileType receives the driver's 32-bit answer, or null.
 * @blocking one request to the main filter driver.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_QueryDrvFileType(uint32_t fileRef, uint32_t* fileType);

/**
 * Reads a document's 16-byte GUID from its header.
 * @param fileName the document's path, 8-bit, NUL-terminated.
 * @param guid receives the 16 bytes; untouched after a failure.
 * @blocking opens the document and reads its header.
 * @threads takes no lock and never makes a concurrent encryption, decryption or rights
 *     change of the file fail.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_GetFileGUID(const char* fileName, void* guid);

/* ---- Keys and signature codes -------------------------------------------------------- */

/**
 * Hands a new document key to the main filter driver and, once the driver has accepted it,
 * makes it the library's document key for this process (until the library is unloaded).
 * @param keyParam a 32-bit value passed to the driver with the key; the library gives it
 *     no meaning.
 * @param key the key's bytes; copied, not kept.
 * @param keyLength the number of key bytes, 1 to 256.
 * @blocking one request to the main filter driver.
 * @threads key replacements are serialised: the key the driver accepted last is the one
 *     the library keeps. Encryptions already running finish under the key they started with.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_SetKey(uint32_t keyParam, const void* key,
                                                uint32_t keyLength);

/**
 * Hands a new system key to the main filter driver and, once the driver has accepted it,
 * keeps it as the library's system key for this process.
 * @param key the key's bytes; copied, not kept.
 * @param keyLength the number of key bytes, 1 to 256.
 * @blocking one request to the main filter driver.
 * @threads key replacements are serialised: the key the driver accepted last is the one
 *     the library keeps.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_SetSysKey(const void* key, uint32_t keyLength);

/**
 * Computes a program's signature code: the MD5 digest of bytes 4096 to 12287 of the file
 * (as many as it has), as 32 upper-case hexadecimal characters.
 * @param fileName the program file's path, 8-bit, NUL-terminated.
 * @param signCode receives the 32 characters; no terminating zero is written (32 bytes).
 * @blocking opens the file and reads up to 8 KiB of it.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_GetProcSignCode(const char* fileName, char* signCode);

/* ---- Installation of the main filter driver ------------------------------------------ */

/**
 * Installs the main filter driver: copies its file into the drivers folder of the system
 * directory, registers it as a boot-start file-system filter and, on request, loads it at
 * once (enabling the caller's load-driver privilege when the first attempt is refused).
 * @param load non-zero: load the driver now; 0: it loads at the next system start.
 * @param driverPath the driver file to install, 8-bit, NUL-terminated; null for "Nuvex.sys"
 *     in the directory of the host program.
 * @blocking copies the file and writes the registry; loading waits for the driver to start.
 *     When the second load attempt fails a message box is shown, and the call waits until it
 *     is dismissed.
 * @threads install and uninstall calls at once are not coordinated.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_Install(uint32_t load, const char* driverPath);

/**
 * Uninstalls the main filter driver: asks it to unload, then deletes its service key and its
 * file. Key and file are removed even when the driver is not running or refuses; the result
 * says so.
 * @blocking one request to the main filter driver, then registry and file removal.
 * @threads install and uninstall calls at once are not coordinated.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_UnInstall(void);

/* ---- Access-control driver ----------------------------------------------------------- */

/**
 * Installs the access-control driver as a boot-start service through the service control
 * manager, after copying its file into the drivers folder of the system directory.
 * @param start non-zero: start the service now (a service that fails to start still
 *     gives 0).
 * @param driverPath the driver file to install, 8-bit, NUL-terminated; null for
 *     "NuvexACL.sys" in the directory of the host program.
 * @blocking copies the file and talks to the service control manager.
 * @threads install and uninstall calls at once are not coordinated.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexAccCtrl_Install(uint32_t start, const char* driverPath);

/**
 * Uninstalls the access-control driver: deletes its service key and its file, then asks it
 * to stop (the result of that request is not reported). A running driver stays loaded until
 * the next system start.
 * @blocking registry and file removal, then one request to the access-control driver.
 * @threads install and uninstall calls at once are not coordinated.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexAccCtrl_UnInstall(void);

/**
 * Starts the access-control driver's protection.
 * @blocking one request to the access-control driver.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexAccCtrl_Start(void);

/**
 * Stops the access-control driver's protection.
 * @blocking one request to the access-control driver.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexAccCtrl_Stop(void);

/**
 * Reads the access-control driver's status.
 * @param status two 32-bit words that receive the driver's status; both set to 0 first.
 * @blocking one request to the access-control driver.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexAccCtrl_GetDriverStatus(uint32_t* status /* two words */);

/**
 * Adds a policy to the access-control driver's table.
 * @param record the policy; its PrimaryText must not be empty. Read during the call only.
 * @blocking one request to the access-control driver.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexAccCtrl_AddNewPolicy(const AccPolicyRecord* record);

/**
 * Empties the access-control driver's policy table.
 * @blocking one request to the access-control driver.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexAccCtrl_DeleteAllPolicy(void);

/**
 * Deletes one policy from the access-control driver's table.
 * @param id the policy's ID.
 * @blocking one request to the access-control driver.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexAccCtrl_DeleteOnePolicy(uint32_t id);

/**
 * Reads one policy of the access-control driver's table into the caller's record.
 * @param id the policy's ID (0 is passed on like any other).
 * @param record receives the policy (1196 bytes on 32-bit targets); not cleared beforehand.
 *     Every text field ends inside its array.
 * @blocking one request to the access-control driver.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexAccCtrl_GetOnePolicy(uint32_t id, AccPolicyRecord* record);

/**
 * Reads the access-control driver's policy table as a list of AccPolicyRecord, in the
 * reverse of the driver's order.
 * @param list receives the head of the list (null when the table is empty).
 * @ownership the caller owns the list and releases it with NuvexAccCtrl_FreePolicyList.
 * @blocking one request per policy to the access-control driver.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexAccCtrl_GetPolicyList(AccPolicyRecord** list);

/**
 * Releases a list from NuvexAccCtrl_GetPolicyList.
 * @param list the head of the list.
 * @ownership takes the list back; its records must not be used afterwards.
 * @blocking no.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexAccCtrl_FreePolicyList(AccPolicyRecord* list);

/**
 * Drains the access-control driver's log into a list of AccLogRecord, in the reverse of the
 * driver's order. Records drained are no longer in the driver's log.
 * @param list receives the head of the list (null when the log is empty).
 * @ownership the caller owns the list, also after a failure that kept the records drained
 *     so far, and releases it with NuvexAccCtrl_FreeLog (or NuvexCtrl_FreeLog).
 * @blocking one request per record until the driver reports no more.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexAccCtrl_GetLog(AccLogRecord** list);

/**
 * Releases a list from NuvexAccCtrl_GetLog or NuvexCtrl_GetLog: the same routine as
 * NuvexCtrl_FreeLog.
 * @param list the head of the list, or null (nothing to do).
 * @ownership takes the list back; its records must not be used afterwards.
 * @blocking no.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexAccCtrl_FreeLog(AccLogRecord* list);

/* ---- Monitor driver ------------------------------------------------------------------ */

/**
 * Installs the monitor driver as an auto-start service (after the TCP/IP stack) through the
 * service control manager, after copying its file into the drivers folder of the system
 * directory.
 * @param start non-zero: start the service now (a service that fails to start still
 *     gives 0).
 * @param driverPath the driver file to install, 8-bit, NUL-terminated; null for
 *     "NuvexMon.sys" in the directory of the host program.
 * @blocking copies the file and talks to the service control manager.
 * @threads install and uninstall calls at once are not coordinated.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexAntiSteal_Install(uint32_t start, const char* driverPath);

/**
 * Uninstalls the monitor driver: deletes its service key and its file. A running driver
 * stays loaded until the next system start.
 * @blocking registry and file removal.
 * @threads install and uninstall calls at once are not coordinated.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexAntiSteal_UnInstall(void);

#ifdef __cplusplus
}
#endif

#endif /* NUVEXCTRL_H */
