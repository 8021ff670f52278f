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

/* ------------------------------------------------------------------------------------ */
/* Result codes that this library adds to the fixed ones of each export. Each is used by */
/* the export(s) named and by nothing else in them.                                      */
/* ------------------------------------------------------------------------------------ */
/* keys */
#define NUVEX_E_SETKEY_TOO_LONG 1565u    /* NuvexCtrl_SetKey: keyLength above 256; nothing sent */
#define NUVEX_E_SETSYSKEY_TOO_LONG 1607u /* NuvexCtrl_SetSysKey: keyLength above 256; nothing sent */
/* documents */
/* The document passed the document test but cannot be opened (for SetEnFileRights and     */
/* ClearEnFileRights: for reading and writing, e.g. a read-only file). Nothing changed.     */
/* NuvexCtrl_DecryptFile, NuvexCtrl_SetEnFileRights, NuvexCtrl_ClearEnFileRights,           */
/* NuvexCtrl_GetFileGUID.                                                                   */
#define NUVEX_E_DOC_OPEN_FAILED 2401u
/* The document cannot be read whole: a read failed, or its body ended before its size.     */
/* Nothing changed. NuvexCtrl_DecryptFile, NuvexCtrl_SetEnFileRights,                       */
/* NuvexCtrl_ClearEnFileRights.                                                             */
#define NUVEX_E_DOC_READ_FAILED 2402u
/* No memory for the header request buffer. Nothing changed. NuvexCtrl_SetEnFileRights,    */
/* NuvexCtrl_ClearEnFileRights.                                                             */
#define NUVEX_E_DOC_NO_MEMORY 2403u
/* The document is shorter than its 4096-byte header by the time it is read (it shrank      */
/* after the document test). Nothing changed. NuvexCtrl_DecryptFile,                        */
/* NuvexCtrl_SetEnFileRights, NuvexCtrl_ClearEnFileRights.                                  */
#define NUVEX_E_DOC_SHRUNK 2404u
/* A read of the plain file failed, or the copy ended before the file's size. The plain     */
/* file is unchanged, the temporary file removed. NuvexCtrl_EncryptFile.                    */
#define NUVEX_E_PLAIN_READ_FAILED 2405u
/* A write to the temporary file failed or was short. The source file (and any existing     */
/* target) is unchanged, the temporary file removed. NuvexCtrl_EncryptFile,                 */
/* NuvexCtrl_DecryptFile.                                                                   */
#define NUVEX_E_TEMP_WRITE_FAILED 2406u
/* The temporary file could not be flushed to disk before the replace. Nothing changed,     */
/* the temporary file removed. NuvexCtrl_EncryptFile, NuvexCtrl_DecryptFile.                */
#define NUVEX_E_TEMP_FLUSH_FAILED 2407u
/* Too large for the format: a plain file of 2^32 - 4113 bytes or more (EncryptFile), or a  */
/* document of more than 2^32 - 18 bytes (DecryptFile). Nothing changed.                    */
/* NuvexCtrl_EncryptFile, NuvexCtrl_DecryptFile.                                            */
#define NUVEX_E_FILE_TOO_LARGE 2408u
/* The target path (outFileName, or fileName when decrypting in place) has 260 characters   */
/* or more. Nothing changed. NuvexCtrl_DecryptFile.                                         */
#define NUVEX_E_PATH_TOO_LONG 2409u
/* The complete temporary file could not replace the target (MoveFileExA failed). The       */
/* document and any existing target are unchanged, the temporary file removed.              */
/* NuvexCtrl_DecryptFile.                                                                   */
#define NUVEX_E_REPLACE_FAILED 2410u
/* Another encryption, decryption or rights change of this library (in this or another       */
/* process) is working on the file, or on the target. Nothing changed, no temporary file.   */
/* NuvexCtrl_DecryptFile, NuvexCtrl_SetEnFileRights, NuvexCtrl_ClearEnFileRights            */
/* (NuvexCtrl_EncryptFile reports it as 797).                                               */
#define NUVEX_E_DOC_BUSY 2411u
/* lists, pass paths and policies */
/* NuvexCtrl_AddStringPassPath, NuvexCtrl_AddStructPassPath, NuvexCtrl_DeleteAllPassPath with
 * the persist flag: the driver accepted the change (and keeps it) but the pass-path file
 * could not be updated (held by another updater for too long, or not opened, read or
 * written); the file keeps its previous content. */
#define NUVEX_E_PASSPATH_FILE_NOT_UPDATED 3101
/* NuvexCtrl_AddStructPassPath: the joined text of the paths, each followed by "|", would
 * not fit 10240 bytes with its terminating zero; nothing was sent to the driver. */
#define NUVEX_E_PASSPATH_TEXT_TOO_LONG 3102
/* NuvexCtrl_SaveCurrentPolicyToFile: memory for gathering the policy texts or for growing the
 * working buffer could not be had. Nothing was written; a file at the path is unchanged. */
#define NUVEX_E_POLICY_SAVE_NO_MEMORY 3111
/* NuvexCtrl_LoadPolicyFromFile: the policies the driver's table holds could not be read as
 * texts beforehand (no memory for them or for the reply), so the load could not be undone
 * should the driver refuse a line; nothing was changed. */
#define NUVEX_E_POLICY_LOAD_NO_MEMORY 3112
/* NuvexCtrl_LoadPolicyFromFile: the driver refused a line of the file, and the table that was
 * there before could not be put back whole (the driver became unreachable or refused one of
 * the previous policies). The table holds what could be put back. */
#define NUVEX_E_POLICY_LOAD_NOT_RESTORED 3113
/* A walk through a driver's list stopped at its safety bound: 16384 answers (policies, policy
 * texts, secure-run blocks, access-control policies and log records) or log fetches, or 64
 * log fetches in a row that said "more" without a record. The driver kept answering; the
 * list would be truncated. NuvexCtrl_GetPolicyList, NuvexCtrl_GetPolicyStrList,
 * NuvexCtrl_GetSecRunProcList, NuvexAccCtrl_GetPolicyList: the list is released, *list is
 * null. NuvexCtrl_GetLog, NuvexAccCtrl_GetLog: the records fetched so far (which the driver
 * has handed over and no longer holds) are in *list for the caller to release.
 * NuvexCtrl_SaveCurrentPolicyToFile: nothing was written. NuvexCtrl_LoadPolicyFromFile (the
 * table is read before it is replaced): nothing was changed. */
#define NUVEX_E_WALK_BOUND_REACHED 3121
/* NuvexCtrl_GetEnFileList, NuvexCtrl_GetPassPath: the driver's separator text holds more than
 * 1048576 items; it is refused before any list node is built (*list null, count 0). */
#define NUVEX_E_TEXT_TOO_MANY_ITEMS 3122
/* installation and access control */
/* NuvexCtrl_Install, NuvexCtrl_UnInstall, NuvexAccCtrl_Install, NuvexAccCtrl_UnInstall,
 * NuvexAntiSteal_Install, NuvexAntiSteal_UnInstall: the system directory, or the directory
 * of the host program when no source path is given, does not fit in 260 characters with
 * the driver's file name appended; nothing was changed. */
#define NUVEX_E_INSTALL_PATH_TOO_LONG 1060u

/* ------------------------------------------------------------------------------------ */
/* Main filter driver: status and switches                                              */
/* ------------------------------------------------------------------------------------ */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_GetDriverStatus(DriverStatus* status);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_SuspendDriver(void);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_ResumeDriver(void);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_IsAuthProc(uint32_t processId, uint32_t* answer);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_StartLogging(void);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_StopLogging(void);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_IsLogging(uint32_t* state);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_ClearAllLog(void);

/* Log and monitoring lists */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_GetLog(LogEntry** list, uint32_t* count);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_FreeLog(LogEntry* list);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_GetSecRunProcList(SecRunProcEntry** list);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_FreeSecRunProcList(SecRunProcEntry* list);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_GetEnFileList(uint32_t selector, UserStrNode** list,
                                                       uint32_t* count);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_FreeUserStrList(UserStrNode* list);

/* Pass paths */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_GetPassPath(UserStrNode** list, uint32_t* count);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_AddStructPassPath(const PassPathNode* first,
                                                           uint32_t persist);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_AddStringPassPath(const char* text, uint32_t persist);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_DeleteAllPassPath(uint32_t persist);

/* Policies: records */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_GetPolicyList(PolicyRecord** list);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_GetOnePolicyByID(uint32_t id, PolicyRecord* record);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_InsertNewPolicy(PolicyRecord* record);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_DeleteOnePolicy(uint32_t id, uint32_t* reply);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_GetNewValidPolicyID(uint32_t* newId);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_DeleteAllPolicy(uint32_t* reply);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_FreePolicyList(PolicyRecord* list);

/* Policies: texts and the policy file */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_GetOnePolicyStr(uint32_t id, char** text);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_GetPolicyStrList(UserStrNode** list);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_InsertPolicyStr(const char* text);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_FreeBuffer(void* buffer);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_SaveCurrentPolicyToFile(const char* path);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_LoadPolicyFromFile(const char* path);

/* Encrypted documents */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_IsEncryptFile(const void* fileName, uint32_t isWide,
                                                       uint32_t* isDocument);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_EncryptFile(const char* fileName, uint32_t reserved,
                                                     const void* key, uint32_t useKey);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_DecryptFile(const char* fileName, uint32_t toOtherFile,
                                                     const char* outFileName, uint32_t reserved,
                                                     const void* key, uint32_t useKey);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_SetEnFileRights(const char* fileName,
                                                         const void* rightsValue,
                                                         uint32_t rightsCount, uint32_t printCount,
                                                         uint32_t rightsFlags, const void* password,
                                                         uint32_t passwordLength, uint32_t* status);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_GetEnFileRights(const char* fileName,
                                                         uint32_t* printCountOut,
                                                         void* rightsValueOut,
                                                         uint16_t* rightsCountOut,
                                                         uint16_t* printCount16Out,
                                                         uint32_t* rightsFlagsOut,
                                                         uint32_t* status);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_ClearEnFileRights(const char* fileName,
                                                           const void* password,
                                                           uint32_t passwordLength,
                                                           uint32_t* status);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_SetFileRightsByDrv(const char* fileName,
                                                            uint32_t printCount);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_GetFileRightsByDrv(const char* fileName,
                                                            void* rightsValueOut,
                                                            uint16_t* rightsCountOut,
                                                            uint16_t* printCountOut,
                                                            uint32_t* rightsFlagsOut);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_QueryDrvFileType(uint32_t fileRef, uint32_t* fileType);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_GetFileGUID(const char* fileName, void* guid);

/* Keys and signature codes */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_SetKey(uint32_t keyParam, const void* key,
                                                uint32_t keyLength);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_SetSysKey(const void* key, uint32_t keyLength);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_GetProcSignCode(const char* fileName, char* signCode);

/* Installation of the main filter driver */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_Install(uint32_t load, const char* driverPath);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_UnInstall(void);

/* ------------------------------------------------------------------------------------ */
/* Access-control driver                                                                */
/* ------------------------------------------------------------------------------------ */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexAccCtrl_Install(uint32_t start, const char* driverPath);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexAccCtrl_UnInstall(void);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexAccCtrl_Start(void);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexAccCtrl_Stop(void);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexAccCtrl_GetDriverStatus(uint32_t* status /* two words */);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexAccCtrl_AddNewPolicy(const AccPolicyRecord* record);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexAccCtrl_DeleteAllPolicy(void);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexAccCtrl_DeleteOnePolicy(uint32_t id);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexAccCtrl_GetOnePolicy(uint32_t id, AccPolicyRecord* record);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexAccCtrl_GetPolicyList(AccPolicyRecord** list);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexAccCtrl_FreePolicyList(AccPolicyRecord* list);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexAccCtrl_GetLog(AccLogRecord** list);
/* The same routine as NuvexCtrl_FreeLog: frees any list whose records begin with `next`. */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexAccCtrl_FreeLog(AccLogRecord* list);

/* ------------------------------------------------------------------------------------ */
/* Monitor driver                                                                       */
/* ------------------------------------------------------------------------------------ */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexAntiSteal_Install(uint32_t start, const char* driverPath);
NUVEX_EXPORT uint32_t NUVEXAPI NuvexAntiSteal_UnInstall(void);

#ifdef __cplusplus
}
#endif

#endif /* NUVEXCTRL_H */
