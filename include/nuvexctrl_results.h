/*
 * nuvexctrl_results.h - every result code of every Nuvexctrl export, in one table.
 *
 * Included by nuvexctrl.h; it can also be included on its own. Each export returns 0 on
 * success and otherwise one of the codes listed for it below. The same number can stand for
 * unrelated conditions in different exports, so a code is always read together with the
 * export that returned it.
 *
 * Two kinds of codes exist:
 *   - NUVEX_RESULT_FIXED: the export's own numbers, fixed by the interface that callers of
 *     the original library already test for;
 *   - NUVEX_RESULT_ADDED: codes this library adds where the original interface reported a
 *     failure as success or did something unsafe. Each has a public NUVEX_E_* name below.
 *
 * NUVEX_RESULT_CODES(X) expands X(export, Name, value, kind, meaning) once per code, grouped
 * by export in the order of nuvexctrl.h: `export` is the export's name as a bare token, `Name`
 * a CamelCase token unique within that export, `value` the number (a NUVEX_E_* constant for
 * added codes), `kind` NUVEX_RESULT_FIXED or NUVEX_RESULT_ADDED and `meaning` a short
 * sentence for people. Callers may expand it into their own message tables; the library's
 * return sites, the nuvexctl messages and the reference pages are all made from it.
 */
#ifndef NUVEXCTRL_RESULTS_H
#define NUVEXCTRL_RESULTS_H

#define NUVEX_RESULT_FIXED 0
#define NUVEX_RESULT_ADDED 1

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
/* The complete temporary file could not replace the target. The                          */
/* document and any existing target are unchanged, the temporary file removed.              */
/* NuvexCtrl_DecryptFile.                                                                   */
#define NUVEX_E_REPLACE_FAILED 2410u
/* Another encryption, decryption or rights change of this library (in this or another       */
/* process) is working on the file, or on the target. Nothing changed, no temporary file.   */
/* NuvexCtrl_DecryptFile, NuvexCtrl_SetEnFileRights, NuvexCtrl_ClearEnFileRights            */
/* (NuvexCtrl_EncryptFile reports it as 797).                                               */
#define NUVEX_E_DOC_BUSY 2411u
/* Another program wrote the file being encrypted or decrypted while the call ran (a write    */
/* the host platform's share modes could not keep out): its size, times or identity differ   */
/* from what the call saw when it took hold of it. The changed file is kept as written and    */
/* nothing replaced, the temporary file removed. NuvexCtrl_EncryptFile, NuvexCtrl_DecryptFile. */
#define NUVEX_E_SOURCE_CHANGED 2412u
/* The plain file has other names (hard links): a document under this name would leave the  */
/* plain bytes readable under the others. Nothing changed. NuvexCtrl_EncryptFile.           */
#define NUVEX_E_PLAIN_HAS_OTHER_NAMES 2417u
/* The extension interface (nuvexctrl_ex.h).                                               */
/* The progress callback asked to stop. The temporary file is removed; the source and any  */
/* existing target are as they were. NuvexCtrlEx_EncryptFile, NuvexCtrlEx_DecryptFile.     */
#define NUVEX_E_CANCELLED 2413u
/* The key is null or its length is not 1 to 256 bytes. Nothing done.                      */
/* NuvexCtrlEx_EncryptFile, NuvexCtrlEx_DecryptFile.                                       */
#define NUVEX_E_KEY_INVALID 2414u
/* NuvexCtrlEx_DescribeResult: the table lists no such code for that export (or the export */
/* name is null or unknown); the text says "unexpected result".                            */
#define NUVEX_E_RESULT_UNKNOWN 2415u
/* NuvexCtrlEx_DescribeResult: the text does not fit (or no buffer was given); as much as  */
/* fits is there, terminated.                                                              */
#define NUVEX_E_TEXT_CUT 2416u
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
 * of the host program when no source path is given, cannot be had (on the host platform: a
 * machine root that is not the caller's own) or does not fit in 260 characters with the
 * driver's file name appended; nothing was changed. */
#define NUVEX_E_INSTALL_PATH_TOO_LONG 1060u

/* ------------------------------------------------------------------------------------ */
/* The table.                                                                           */
/* ------------------------------------------------------------------------------------ */
/* clang-format off */
#define NUVEX_RESULT_CODES(X) \
    X(NuvexCtrl_GetDriverStatus, NullArgument, 50, NUVEX_RESULT_FIXED, "the status pointer is null") \
    X(NuvexCtrl_GetDriverStatus, NoDevice, 74, NUVEX_RESULT_FIXED, "the main filter driver is not reachable (control device cannot be opened)") \
    X(NuvexCtrl_GetDriverStatus, NoStatusBytes, 67, NUVEX_RESULT_FIXED, "the driver returned no status bytes") \
    X(NuvexCtrl_SuspendDriver, NoDevice, 107, NUVEX_RESULT_FIXED, "the main filter driver is not reachable (control device cannot be opened)") \
    X(NuvexCtrl_SuspendDriver, Refused, 100, NUVEX_RESULT_FIXED, "the driver refused the request") \
    X(NuvexCtrl_ResumeDriver, NoDevice, 140, NUVEX_RESULT_FIXED, "the main filter driver is not reachable (control device cannot be opened)") \
    X(NuvexCtrl_ResumeDriver, Refused, 133, NUVEX_RESULT_FIXED, "the driver refused the request") \
    X(NuvexCtrl_IsAuthProc, NullArgument, 150, NUVEX_RESULT_FIXED, "the answer pointer is null") \
    X(NuvexCtrl_IsAuthProc, NoDevice, 178, NUVEX_RESULT_FIXED, "the main filter driver is not reachable (control device cannot be opened)") \
    X(NuvexCtrl_IsAuthProc, Refused, 173, NUVEX_RESULT_FIXED, "the driver refused the request") \
    X(NuvexCtrl_StartLogging, NoDevice, 32, NUVEX_RESULT_FIXED, "the main filter driver is not reachable (control device cannot be opened)") \
    X(NuvexCtrl_StartLogging, Refused, 27, NUVEX_RESULT_FIXED, "the driver refused the request") \
    X(NuvexCtrl_StopLogging, NoDevice, 57, NUVEX_RESULT_FIXED, "the main filter driver is not reachable (control device cannot be opened)") \
    X(NuvexCtrl_StopLogging, Refused, 52, NUVEX_RESULT_FIXED, "the driver refused the request") \
    X(NuvexCtrl_IsLogging, NullArgument, 224, NUVEX_RESULT_FIXED, "the state pointer is null") \
    X(NuvexCtrl_IsLogging, NoDevice, 246, NUVEX_RESULT_FIXED, "the main filter driver is not reachable (control device cannot be opened)") \
    X(NuvexCtrl_IsLogging, Refused, 241, NUVEX_RESULT_FIXED, "the driver refused the request or returned no bytes") \
    X(NuvexCtrl_ClearAllLog, NoDevice, 214, NUVEX_RESULT_FIXED, "the main filter driver is not reachable (control device cannot be opened)") \
    X(NuvexCtrl_ClearAllLog, Refused, 209, NUVEX_RESULT_FIXED, "the driver refused the request") \
    X(NuvexCtrl_GetLog, NoDevice, 169, NUVEX_RESULT_FIXED, "the main filter driver is not reachable (control device cannot be opened)") \
    X(NuvexCtrl_GetLog, RequestFailed, 160, NUVEX_RESULT_FIXED, "a log request failed or returned no bytes") \
    X(NuvexCtrl_GetLog, NoMemory, 147, NUVEX_RESULT_FIXED, "out of memory for a log entry") \
    X(NuvexCtrl_GetLog, WalkBoundReached, NUVEX_E_WALK_BOUND_REACHED, NUVEX_RESULT_ADDED, "the log did not run dry within 16384 fetches (or 64 empty ones in a row); the list holds what was fetched") \
    X(NuvexCtrl_FreeLog, Done, 0, NUVEX_RESULT_FIXED, "always succeeds") \
    X(NuvexCtrl_GetSecRunProcList, NullArgument, 25, NUVEX_RESULT_FIXED, "the list pointer is null") \
    X(NuvexCtrl_GetSecRunProcList, NoDevice, 109, NUVEX_RESULT_FIXED, "the main filter driver is not reachable (control device cannot be opened)") \
    X(NuvexCtrl_GetSecRunProcList, WalkBoundReached, NUVEX_E_WALK_BOUND_REACHED, NUVEX_RESULT_ADDED, "the driver's list did not end within 16384 entries and sub-entries; no list") \
    X(NuvexCtrl_FreeSecRunProcList, NullArgument, 119, NUVEX_RESULT_FIXED, "the list is null") \
    X(NuvexCtrl_GetEnFileList, NullArgument, 159, NUVEX_RESULT_FIXED, "the list pointer is null") \
    X(NuvexCtrl_GetEnFileList, NoDevice, 256, NUVEX_RESULT_FIXED, "the main filter driver is not reachable (control device cannot be opened)") \
    X(NuvexCtrl_GetEnFileList, NoTextMemory, 248, NUVEX_RESULT_FIXED, "out of memory for the list text") \
    X(NuvexCtrl_GetEnFileList, Refused, 240, NUVEX_RESULT_FIXED, "the driver refused the list text or returned nothing") \
    X(NuvexCtrl_GetEnFileList, EmptyText, 194, NUVEX_RESULT_FIXED, "the driver's list text is empty") \
    X(NuvexCtrl_GetEnFileList, NoNodeMemory, 229, NUVEX_RESULT_FIXED, "out of memory for a list node") \
    X(NuvexCtrl_GetEnFileList, TextTooManyItems, NUVEX_E_TEXT_TOO_MANY_ITEMS, NUVEX_RESULT_ADDED, "the driver's list text holds more than 1048576 items; no list") \
    X(NuvexCtrl_FreeUserStrList, NullArgument, 274, NUVEX_RESULT_FIXED, "the list is null") \
    X(NuvexCtrl_GetPassPath, NullArgument, 132, NUVEX_RESULT_FIXED, "the list pointer is null") \
    X(NuvexCtrl_GetPassPath, NoDevice, 229, NUVEX_RESULT_FIXED, "the main filter driver is not reachable (control device cannot be opened)") \
    X(NuvexCtrl_GetPassPath, NoTextMemory, 221, NUVEX_RESULT_FIXED, "out of memory for the pass-path text") \
    X(NuvexCtrl_GetPassPath, Refused, 213, NUVEX_RESULT_FIXED, "the driver refused the pass-path text or returned nothing") \
    X(NuvexCtrl_GetPassPath, EmptyText, 167, NUVEX_RESULT_FIXED, "the driver's pass-path text is empty") \
    X(NuvexCtrl_GetPassPath, NoNodeMemory, 202, NUVEX_RESULT_FIXED, "out of memory for a list node") \
    X(NuvexCtrl_GetPassPath, TextTooManyItems, NUVEX_E_TEXT_TOO_MANY_ITEMS, NUVEX_RESULT_ADDED, "the driver's pass-path text holds more than 1048576 items; no list") \
    X(NuvexCtrl_AddStructPassPath, NoMemory, 270, NUVEX_RESULT_FIXED, "out of memory for the pass-path text") \
    X(NuvexCtrl_AddStructPassPath, NoDevice, 314, NUVEX_RESULT_FIXED, "the main filter driver is not reachable (control device cannot be opened)") \
    X(NuvexCtrl_AddStructPassPath, Refused, 307, NUVEX_RESULT_FIXED, "the driver refused the request") \
    X(NuvexCtrl_AddStructPassPath, PasspathFileNotUpdated, NUVEX_E_PASSPATH_FILE_NOT_UPDATED, NUVEX_RESULT_ADDED, "the driver took the pass paths but the pass-path file could not be updated") \
    X(NuvexCtrl_AddStructPassPath, PasspathTextTooLong, NUVEX_E_PASSPATH_TEXT_TOO_LONG, NUVEX_RESULT_ADDED, "the paths do not fit in 10240 bytes; nothing was sent") \
    X(NuvexCtrl_AddStringPassPath, NullArgument, 286, NUVEX_RESULT_FIXED, "the pass-path text is null") \
    X(NuvexCtrl_AddStringPassPath, NoDevice, 314, NUVEX_RESULT_FIXED, "the main filter driver is not reachable (control device cannot be opened)") \
    X(NuvexCtrl_AddStringPassPath, Refused, 307, NUVEX_RESULT_FIXED, "the driver refused the request") \
    X(NuvexCtrl_AddStringPassPath, PasspathFileNotUpdated, NUVEX_E_PASSPATH_FILE_NOT_UPDATED, NUVEX_RESULT_ADDED, "the driver took the pass paths but the pass-path file could not be updated") \
    X(NuvexCtrl_DeleteAllPassPath, NoDevice, 350, NUVEX_RESULT_FIXED, "the main filter driver is not reachable (control device cannot be opened)") \
    X(NuvexCtrl_DeleteAllPassPath, Refused, 343, NUVEX_RESULT_FIXED, "the driver refused the request") \
    X(NuvexCtrl_DeleteAllPassPath, PasspathFileNotUpdated, NUVEX_E_PASSPATH_FILE_NOT_UPDATED, NUVEX_RESULT_ADDED, "the driver cleared its pass paths but the pass-path file could not be emptied") \
    X(NuvexCtrl_GetPolicyList, NullArgument, 314, NUVEX_RESULT_FIXED, "the list pointer is null") \
    X(NuvexCtrl_GetPolicyList, NoDevice, 438, NUVEX_RESULT_FIXED, "the main filter driver is not reachable (control device cannot be opened)") \
    X(NuvexCtrl_GetPolicyList, WalkBoundReached, NUVEX_E_WALK_BOUND_REACHED, NUVEX_RESULT_ADDED, "the driver's table did not end within 16384 policies; no list") \
    X(NuvexCtrl_GetOnePolicyByID, NullArgument, 448, NUVEX_RESULT_FIXED, "the policy ID is 0 or the record pointer is null") \
    X(NuvexCtrl_GetOnePolicyByID, NoDevice, 552, NUVEX_RESULT_FIXED, "the main filter driver is not reachable (control device cannot be opened)") \
    X(NuvexCtrl_GetOnePolicyByID, NoSuchPolicy, 545, NUVEX_RESULT_FIXED, "the driver has no such policy") \
    X(NuvexCtrl_InsertNewPolicy, NullArgument, 583, NUVEX_RESULT_FIXED, "the record pointer is null") \
    X(NuvexCtrl_InsertNewPolicy, NoDevice, 662, NUVEX_RESULT_FIXED, "the main filter driver is not reachable (control device cannot be opened)") \
    X(NuvexCtrl_InsertNewPolicy, Refused, 632, NUVEX_RESULT_FIXED, "the driver refused the policy") \
    X(NuvexCtrl_DeleteOnePolicy, ZeroId, 676, NUVEX_RESULT_FIXED, "the policy ID is 0") \
    X(NuvexCtrl_DeleteOnePolicy, NoDevice, 703, NUVEX_RESULT_FIXED, "the main filter driver is not reachable (control device cannot be opened)") \
    X(NuvexCtrl_DeleteOnePolicy, Refused, 697, NUVEX_RESULT_FIXED, "the driver refused to delete the policy") \
    X(NuvexCtrl_GetNewValidPolicyID, NullArgument, 713, NUVEX_RESULT_FIXED, "the ID pointer is null") \
    X(NuvexCtrl_GetNewValidPolicyID, NoDevice, 741, NUVEX_RESULT_FIXED, "the main filter driver is not reachable (control device cannot be opened)") \
    X(NuvexCtrl_GetNewValidPolicyID, Refused, 735, NUVEX_RESULT_FIXED, "the driver refused the request") \
    X(NuvexCtrl_GetNewValidPolicyID, NoFreeId, 731, NUVEX_RESULT_FIXED, "the driver has no free policy ID") \
    X(NuvexCtrl_DeleteAllPolicy, NoDevice, 776, NUVEX_RESULT_FIXED, "the main filter driver is not reachable (control device cannot be opened)") \
    X(NuvexCtrl_DeleteAllPolicy, Refused, 770, NUVEX_RESULT_FIXED, "the driver refused the request") \
    X(NuvexCtrl_FreePolicyList, NullArgument, 562, NUVEX_RESULT_FIXED, "the list is null") \
    X(NuvexCtrl_GetOnePolicyStr, NullArgument, 793, NUVEX_RESULT_FIXED, "the policy ID is 0 or the text pointer is null") \
    X(NuvexCtrl_GetOnePolicyStr, NoDevice, 842, NUVEX_RESULT_FIXED, "the main filter driver is not reachable (control device cannot be opened)") \
    X(NuvexCtrl_GetOnePolicyStr, NoSuchPolicy, 834, NUVEX_RESULT_FIXED, "the driver has no such policy") \
    X(NuvexCtrl_GetPolicyStrList, NullArgument, 870, NUVEX_RESULT_FIXED, "the list pointer is null") \
    X(NuvexCtrl_GetPolicyStrList, NoDevice, 942, NUVEX_RESULT_FIXED, "the main filter driver is not reachable (control device cannot be opened)") \
    X(NuvexCtrl_GetPolicyStrList, NoMemory, 926, NUVEX_RESULT_FIXED, "out of memory for a list node") \
    X(NuvexCtrl_GetPolicyStrList, WalkBoundReached, NUVEX_E_WALK_BOUND_REACHED, NUVEX_RESULT_ADDED, "the driver's table did not end within 16384 policies; no list") \
    X(NuvexCtrl_InsertPolicyStr, NullArgument, 960, NUVEX_RESULT_FIXED, "the policy text is null") \
    X(NuvexCtrl_InsertPolicyStr, NoDevice, 997, NUVEX_RESULT_FIXED, "the main filter driver is not reachable (control device cannot be opened)") \
    X(NuvexCtrl_InsertPolicyStr, Refused, 991, NUVEX_RESULT_FIXED, "the driver refused the policy text") \
    X(NuvexCtrl_FreeBuffer, NullArgument, 855, NUVEX_RESULT_FIXED, "the buffer is null") \
    X(NuvexCtrl_SaveCurrentPolicyToFile, NullArgument, 1012, NUVEX_RESULT_FIXED, "the path is null") \
    X(NuvexCtrl_SaveCurrentPolicyToFile, NoDevice, 942, NUVEX_RESULT_FIXED, "the main filter driver is not reachable (control device cannot be opened)") \
    X(NuvexCtrl_SaveCurrentPolicyToFile, CreateFailed, 1074, NUVEX_RESULT_FIXED, "the policy file cannot be created") \
    X(NuvexCtrl_SaveCurrentPolicyToFile, NoMemory, 1069, NUVEX_RESULT_FIXED, "out of memory for the working buffer") \
    X(NuvexCtrl_SaveCurrentPolicyToFile, WriteFailed, 1063, NUVEX_RESULT_FIXED, "the policy file could not be written whole") \
    X(NuvexCtrl_SaveCurrentPolicyToFile, PolicySaveNoMemory, NUVEX_E_POLICY_SAVE_NO_MEMORY, NUVEX_RESULT_ADDED, "out of memory while gathering the policies; nothing was written") \
    X(NuvexCtrl_SaveCurrentPolicyToFile, WalkBoundReached, NUVEX_E_WALK_BOUND_REACHED, NUVEX_RESULT_ADDED, "the driver's table did not end within 16384 policies; nothing was written") \
    X(NuvexCtrl_LoadPolicyFromFile, NullArgument, 1087, NUVEX_RESULT_FIXED, "the path is null") \
    X(NuvexCtrl_LoadPolicyFromFile, ClearNoDevice, 776, NUVEX_RESULT_FIXED, "the main filter driver is not reachable (control device cannot be opened)") \
    X(NuvexCtrl_LoadPolicyFromFile, ClearRefused, 770, NUVEX_RESULT_FIXED, "the driver refused to empty its policy table") \
    X(NuvexCtrl_LoadPolicyFromFile, OpenFailed, 1149, NUVEX_RESULT_FIXED, "the policy file cannot be opened") \
    X(NuvexCtrl_LoadPolicyFromFile, NoMemory, 1144, NUVEX_RESULT_FIXED, "out of memory for the policy file") \
    X(NuvexCtrl_LoadPolicyFromFile, ReadFailed, 1139, NUVEX_RESULT_FIXED, "the policy file cannot be read whole") \
    X(NuvexCtrl_LoadPolicyFromFile, InsertNoDevice, 997, NUVEX_RESULT_FIXED, "the main filter driver is not reachable (control device cannot be opened)") \
    X(NuvexCtrl_LoadPolicyFromFile, InsertRefused, 991, NUVEX_RESULT_FIXED, "the driver refused a policy of the file") \
    X(NuvexCtrl_LoadPolicyFromFile, PolicyLoadNoMemory, NUVEX_E_POLICY_LOAD_NO_MEMORY, NUVEX_RESULT_ADDED, "out of memory for the policies the table holds; nothing changed") \
    X(NuvexCtrl_LoadPolicyFromFile, PolicyLoadNotRestored, NUVEX_E_POLICY_LOAD_NOT_RESTORED, NUVEX_RESULT_ADDED, "the driver refused a policy of the file and the previous table could not be put back whole") \
    X(NuvexCtrl_LoadPolicyFromFile, WalkBoundReached, NUVEX_E_WALK_BOUND_REACHED, NUVEX_RESULT_ADDED, "the driver's table did not end within 16384 policies; nothing changed") \
    X(NuvexCtrl_IsEncryptFile, NullArgument, 353, NUVEX_RESULT_FIXED, "the file name or the answer pointer is null") \
    X(NuvexCtrl_IsEncryptFile, OpenFailed, 486, NUVEX_RESULT_FIXED, "the file cannot be opened, or is not a disk file") \
    X(NuvexCtrl_EncryptFile, NullArgument, 636, NUVEX_RESULT_FIXED, "the file name is null") \
    X(NuvexCtrl_EncryptFile, AlreadyDocument, 651, NUVEX_RESULT_FIXED, "the file is already an encrypted document") \
    X(NuvexCtrl_EncryptFile, ReplaceFailed, 776, NUVEX_RESULT_FIXED, "the document could not replace the plain file") \
    X(NuvexCtrl_EncryptFile, HeaderWriteFailed, 780, NUVEX_RESULT_FIXED, "the document header could not be written") \
    X(NuvexCtrl_EncryptFile, NoBufferMemory, 787, NUVEX_RESULT_FIXED, "out of memory for the copy buffer") \
    X(NuvexCtrl_EncryptFile, OpenFailed, 797, NUVEX_RESULT_FIXED, "the plain file cannot be opened (missing, not a disk file, open for writing elsewhere, or being encrypted, decrypted or given rights by another call)") \
    X(NuvexCtrl_EncryptFile, TempCreateFailed, 807, NUVEX_RESULT_FIXED, "no temporary file could be created beside the file") \
    X(NuvexCtrl_EncryptFile, NoNameMemory, 813, NUVEX_RESULT_FIXED, "out of memory for the temporary name") \
    X(NuvexCtrl_EncryptFile, PlainReadFailed, NUVEX_E_PLAIN_READ_FAILED, NUVEX_RESULT_ADDED, "the plain file could not be read whole; it is unchanged") \
    X(NuvexCtrl_EncryptFile, TempWriteFailed, NUVEX_E_TEMP_WRITE_FAILED, NUVEX_RESULT_ADDED, "the document could not be written; the plain file is unchanged") \
    X(NuvexCtrl_EncryptFile, TempFlushFailed, NUVEX_E_TEMP_FLUSH_FAILED, NUVEX_RESULT_ADDED, "the document could not be flushed to disk; the plain file is unchanged") \
    X(NuvexCtrl_EncryptFile, FileTooLarge, NUVEX_E_FILE_TOO_LARGE, NUVEX_RESULT_ADDED, "the file is too large for the document format (4 GiB less 4113 bytes)") \
    X(NuvexCtrl_EncryptFile, SourceChanged, NUVEX_E_SOURCE_CHANGED, NUVEX_RESULT_ADDED, "another program wrote the plain file meanwhile; it is kept as written, nothing replaced") \
    X(NuvexCtrl_EncryptFile, PlainHasOtherNames, NUVEX_E_PLAIN_HAS_OTHER_NAMES, NUVEX_RESULT_ADDED, "the plain file has other names (hard links) that would keep the plain text; nothing changed") \
    X(NuvexCtrl_DecryptFile, NullArgument, 510, NUVEX_RESULT_FIXED, "the file name is null") \
    X(NuvexCtrl_DecryptFile, NoTarget, 517, NUVEX_RESULT_FIXED, "no target file was named") \
    X(NuvexCtrl_DecryptFile, NotDocument, 531, NUVEX_RESULT_FIXED, "not an encrypted document") \
    X(NuvexCtrl_DecryptFile, TargetCreateFailed, 609, NUVEX_RESULT_FIXED, "the target file cannot be created (or the existing target cannot be opened, or is not a disk file)") \
    X(NuvexCtrl_DecryptFile, NoMemory, 616, NUVEX_RESULT_FIXED, "out of memory for the document") \
    X(NuvexCtrl_DecryptFile, DocOpenFailed, NUVEX_E_DOC_OPEN_FAILED, NUVEX_RESULT_ADDED, "the document cannot be opened (missing, not a disk file, or held by another program); nothing changed") \
    X(NuvexCtrl_DecryptFile, DocReadFailed, NUVEX_E_DOC_READ_FAILED, NUVEX_RESULT_ADDED, "the document cannot be read whole; nothing changed") \
    X(NuvexCtrl_DecryptFile, DocShrunk, NUVEX_E_DOC_SHRUNK, NUVEX_RESULT_ADDED, "the document shrank below its header; nothing changed") \
    X(NuvexCtrl_DecryptFile, TempWriteFailed, NUVEX_E_TEMP_WRITE_FAILED, NUVEX_RESULT_ADDED, "the plain file could not be written; nothing changed") \
    X(NuvexCtrl_DecryptFile, TempFlushFailed, NUVEX_E_TEMP_FLUSH_FAILED, NUVEX_RESULT_ADDED, "the plain file could not be flushed to disk; nothing changed") \
    X(NuvexCtrl_DecryptFile, FileTooLarge, NUVEX_E_FILE_TOO_LARGE, NUVEX_RESULT_ADDED, "the document is too large for the format") \
    X(NuvexCtrl_DecryptFile, PathTooLong, NUVEX_E_PATH_TOO_LONG, NUVEX_RESULT_ADDED, "the target path has 260 characters or more") \
    X(NuvexCtrl_DecryptFile, ReplaceFailed, NUVEX_E_REPLACE_FAILED, NUVEX_RESULT_ADDED, "the plain file could not replace the target; nothing changed") \
    X(NuvexCtrl_DecryptFile, DocBusy, NUVEX_E_DOC_BUSY, NUVEX_RESULT_ADDED, "another call is encrypting, decrypting or giving rights to the document or the target; nothing changed") \
    X(NuvexCtrl_DecryptFile, SourceChanged, NUVEX_E_SOURCE_CHANGED, NUVEX_RESULT_ADDED, "another program wrote the document meanwhile; it is kept as written, nothing replaced") \
    X(NuvexCtrl_SetEnFileRights, NullArgument, 840, NUVEX_RESULT_FIXED, "the file name or password is missing") \
    X(NuvexCtrl_SetEnFileRights, OpenFailed, 846, NUVEX_RESULT_FIXED, "the file cannot be opened, or is not a disk file") \
    X(NuvexCtrl_SetEnFileRights, NotDocument, 855, NUVEX_RESULT_FIXED, "not an encrypted document") \
    X(NuvexCtrl_SetEnFileRights, BadPassword, 907, NUVEX_RESULT_FIXED, "wrong rights password") \
    X(NuvexCtrl_SetEnFileRights, HeaderWriteFailed, 972, NUVEX_RESULT_FIXED, "the document header could not be written") \
    X(NuvexCtrl_SetEnFileRights, Refused, 1001, NUVEX_RESULT_FIXED, "the driver refused the header") \
    X(NuvexCtrl_SetEnFileRights, NoDevice, 1006, NUVEX_RESULT_FIXED, "the main filter driver is not reachable (control device cannot be opened)") \
    X(NuvexCtrl_SetEnFileRights, DocOpenFailed, NUVEX_E_DOC_OPEN_FAILED, NUVEX_RESULT_ADDED, "the document cannot be opened for writing (read-only, or held by another program); nothing changed") \
    X(NuvexCtrl_SetEnFileRights, DocReadFailed, NUVEX_E_DOC_READ_FAILED, NUVEX_RESULT_ADDED, "the document header cannot be read; nothing changed") \
    X(NuvexCtrl_SetEnFileRights, DocNoMemory, NUVEX_E_DOC_NO_MEMORY, NUVEX_RESULT_ADDED, "out of memory for the header; nothing changed") \
    X(NuvexCtrl_SetEnFileRights, DocShrunk, NUVEX_E_DOC_SHRUNK, NUVEX_RESULT_ADDED, "the document shrank below its header; nothing changed") \
    X(NuvexCtrl_SetEnFileRights, DocBusy, NUVEX_E_DOC_BUSY, NUVEX_RESULT_ADDED, "another call is encrypting, decrypting or giving rights to the document; nothing changed") \
    X(NuvexCtrl_GetEnFileRights, NullArgument, 1036, NUVEX_RESULT_FIXED, "the print-count pointer is null") \
    X(NuvexCtrl_GetEnFileRights, OpenFailed, 1068, NUVEX_RESULT_FIXED, "the file cannot be opened, or is not a disk file") \
    X(NuvexCtrl_GetEnFileRights, NotDocument, 1078, NUVEX_RESULT_FIXED, "not an encrypted document") \
    X(NuvexCtrl_GetEnFileRights, RightsReadFailed, 1142, NUVEX_RESULT_FIXED, "the rights record cannot be read") \
    X(NuvexCtrl_ClearEnFileRights, NullArgument, 1167, NUVEX_RESULT_FIXED, "the file name or password is missing") \
    X(NuvexCtrl_ClearEnFileRights, NotDocument, 1178, NUVEX_RESULT_FIXED, "not an encrypted document, or it cannot be read") \
    X(NuvexCtrl_ClearEnFileRights, NoRights, 1187, NUVEX_RESULT_FIXED, "the document has no rights to clear") \
    X(NuvexCtrl_ClearEnFileRights, BadPassword, 1240, NUVEX_RESULT_FIXED, "wrong rights password") \
    X(NuvexCtrl_ClearEnFileRights, HeaderWriteFailed, 1266, NUVEX_RESULT_FIXED, "the document header could not be written") \
    X(NuvexCtrl_ClearEnFileRights, Refused, 1295, NUVEX_RESULT_FIXED, "the driver refused the header") \
    X(NuvexCtrl_ClearEnFileRights, NoDevice, 1300, NUVEX_RESULT_FIXED, "the main filter driver is not reachable (control device cannot be opened)") \
    X(NuvexCtrl_ClearEnFileRights, DocOpenFailed, NUVEX_E_DOC_OPEN_FAILED, NUVEX_RESULT_ADDED, "the file cannot be opened (or is not a disk file), or the document cannot be opened for writing (read-only, or held by another program); nothing changed") \
    X(NuvexCtrl_ClearEnFileRights, DocReadFailed, NUVEX_E_DOC_READ_FAILED, NUVEX_RESULT_ADDED, "the document header cannot be read; nothing changed") \
    X(NuvexCtrl_ClearEnFileRights, DocNoMemory, NUVEX_E_DOC_NO_MEMORY, NUVEX_RESULT_ADDED, "out of memory for the header; nothing changed") \
    X(NuvexCtrl_ClearEnFileRights, DocShrunk, NUVEX_E_DOC_SHRUNK, NUVEX_RESULT_ADDED, "the document shrank below its header; nothing changed") \
    X(NuvexCtrl_ClearEnFileRights, DocBusy, NUVEX_E_DOC_BUSY, NUVEX_RESULT_ADDED, "another call is encrypting, decrypting or giving rights to the document; nothing changed") \
    X(NuvexCtrl_SetFileRightsByDrv, Refused, 1387, NUVEX_RESULT_FIXED, "the driver refused to write the header") \
    X(NuvexCtrl_SetFileRightsByDrv, HeaderReadFailed, 1390, NUVEX_RESULT_FIXED, "the driver could not read a document header with rights") \
    X(NuvexCtrl_SetFileRightsByDrv, NoDevice, 1395, NUVEX_RESULT_FIXED, "the main filter driver is not reachable (control device cannot be opened)") \
    X(NuvexCtrl_SetFileRightsByDrv, NoMemory, 1400, NUVEX_RESULT_FIXED, "out of memory for the request") \
    X(NuvexCtrl_SetFileRightsByDrv, OpenFailed, 1406, NUVEX_RESULT_FIXED, "the document cannot be opened, or is not a disk file") \
    X(NuvexCtrl_GetFileRightsByDrv, HeaderReadFailed, 1494, NUVEX_RESULT_FIXED, "the driver could not read a document header with rights") \
    X(NuvexCtrl_GetFileRightsByDrv, NoDevice, 1499, NUVEX_RESULT_FIXED, "the main filter driver is not reachable (control device cannot be opened)") \
    X(NuvexCtrl_GetFileRightsByDrv, NoMemory, 1504, NUVEX_RESULT_FIXED, "out of memory for the request") \
    X(NuvexCtrl_GetFileRightsByDrv, OpenFailed, 1510, NUVEX_RESULT_FIXED, "the document cannot be opened, or is not a disk file") \
    X(NuvexCtrl_QueryDrvFileType, NoDevice, 103, NUVEX_RESULT_FIXED, "the main filter driver is not reachable (control device cannot be opened)") \
    X(NuvexCtrl_QueryDrvFileType, Refused, 98, NUVEX_RESULT_FIXED, "the driver refused the request") \
    X(NuvexCtrl_GetFileGUID, NullArgument, 1522, NUVEX_RESULT_FIXED, "the file name or GUID pointer is null") \
    X(NuvexCtrl_GetFileGUID, NotDocument, 1530, NUVEX_RESULT_FIXED, "not an encrypted document") \
    X(NuvexCtrl_GetFileGUID, HeaderReadFailed, 1547, NUVEX_RESULT_FIXED, "the document header cannot be read") \
    X(NuvexCtrl_GetFileGUID, DocOpenFailed, NUVEX_E_DOC_OPEN_FAILED, NUVEX_RESULT_ADDED, "the file cannot be opened, or is not a disk file") \
    X(NuvexCtrl_SetKey, NullArgument, 1564, NUVEX_RESULT_FIXED, "the key is missing or empty") \
    X(NuvexCtrl_SetKey, Refused, 1588, NUVEX_RESULT_FIXED, "the driver refused the key") \
    X(NuvexCtrl_SetKey, NoDevice, 1595, NUVEX_RESULT_FIXED, "the main filter driver is not reachable (control device cannot be opened)") \
    X(NuvexCtrl_SetKey, SetkeyTooLong, NUVEX_E_SETKEY_TOO_LONG, NUVEX_RESULT_ADDED, "the key is longer than 256 bytes; nothing was sent") \
    X(NuvexCtrl_SetSysKey, NullArgument, 1606, NUVEX_RESULT_FIXED, "the key is missing or empty") \
    X(NuvexCtrl_SetSysKey, Refused, 1628, NUVEX_RESULT_FIXED, "the driver refused the key") \
    X(NuvexCtrl_SetSysKey, NoDevice, 1635, NUVEX_RESULT_FIXED, "the main filter driver is not reachable (control device cannot be opened)") \
    X(NuvexCtrl_SetSysKey, SetsyskeyTooLong, NUVEX_E_SETSYSKEY_TOO_LONG, NUVEX_RESULT_ADDED, "the key is longer than 256 bytes; nothing was sent") \
    X(NuvexCtrl_GetProcSignCode, NullArgument, 1164, NUVEX_RESULT_FIXED, "the file name or output pointer is null") \
    X(NuvexCtrl_GetProcSignCode, TooShort, 1192, NUVEX_RESULT_FIXED, "the file has no bytes past offset 4096") \
    X(NuvexCtrl_GetProcSignCode, NoMemory, 1196, NUVEX_RESULT_FIXED, "out of memory for the read buffer") \
    X(NuvexCtrl_GetProcSignCode, OpenFailed, 1202, NUVEX_RESULT_FIXED, "the file cannot be opened, or is not a disk file") \
    X(NuvexCtrl_Install, ServiceKeyCreateFailed, 137, NUVEX_RESULT_FIXED, "the driver's service key cannot be created") \
    X(NuvexCtrl_Install, ServicesKeyOpenFailed, 144, NUVEX_RESULT_FIXED, "the Services registry key cannot be opened") \
    X(NuvexCtrl_Install, CopyFailed, 149, NUVEX_RESULT_FIXED, "the driver file cannot be copied into the drivers folder") \
    X(NuvexCtrl_Install, LoadFailed, 195, NUVEX_RESULT_FIXED, "the driver could not be loaded") \
    X(NuvexCtrl_Install, NoNtLoadDriver, 200, NUVEX_RESULT_FIXED, "NtLoadDriver is not available") \
    X(NuvexCtrl_Install, NoNtdll, 205, NUVEX_RESULT_FIXED, "ntdll.dll cannot be loaded") \
    X(NuvexCtrl_Install, InstallPathTooLong, NUVEX_E_INSTALL_PATH_TOO_LONG, NUVEX_RESULT_ADDED, "a driver path cannot be had or does not fit in 260 characters; nothing changed") \
    X(NuvexCtrl_UnInstall, Refused, 334, NUVEX_RESULT_FIXED, "the driver refused the uninstall request (key and file removed)") \
    X(NuvexCtrl_UnInstall, NotRunning, 341, NUVEX_RESULT_FIXED, "the driver was not running (key and file removed)") \
    X(NuvexCtrl_UnInstall, FileDeleteFailed, 357, NUVEX_RESULT_FIXED, "the driver file cannot be deleted") \
    X(NuvexCtrl_UnInstall, NotInstalled, 360, NUVEX_RESULT_FIXED, "the driver is not installed (service key cannot be deleted)") \
    X(NuvexCtrl_UnInstall, InstallPathTooLong, NUVEX_E_INSTALL_PATH_TOO_LONG, NUVEX_RESULT_ADDED, "a driver path cannot be had or does not fit in 260 characters; nothing changed") \
    X(NuvexAccCtrl_Install, ManagerOpenFailed, 66, NUVEX_RESULT_FIXED, "the service control manager cannot be opened") \
    X(NuvexAccCtrl_Install, ManagerReopenFailed, 82, NUVEX_RESULT_FIXED, "the service control manager cannot be opened again") \
    X(NuvexAccCtrl_Install, ServiceCreateFailed, 105, NUVEX_RESULT_FIXED, "the service cannot be created") \
    X(NuvexAccCtrl_Install, CopyFailed, 119, NUVEX_RESULT_FIXED, "the driver file cannot be copied into the drivers folder") \
    X(NuvexAccCtrl_Install, InstallPathTooLong, NUVEX_E_INSTALL_PATH_TOO_LONG, NUVEX_RESULT_ADDED, "a driver path cannot be had or does not fit in 260 characters; nothing changed") \
    X(NuvexAccCtrl_UnInstall, FileDeleteFailed, 145, NUVEX_RESULT_FIXED, "the driver file cannot be deleted") \
    X(NuvexAccCtrl_UnInstall, NotInstalled, 148, NUVEX_RESULT_FIXED, "the driver is not installed (service key cannot be deleted)") \
    X(NuvexAccCtrl_UnInstall, InstallPathTooLong, NUVEX_E_INSTALL_PATH_TOO_LONG, NUVEX_RESULT_ADDED, "a driver path cannot be had or does not fit in 260 characters; nothing changed") \
    X(NuvexAccCtrl_Start, NoDevice, 206, NUVEX_RESULT_FIXED, "the access-control driver is not reachable (control device cannot be opened)") \
    X(NuvexAccCtrl_Start, Refused, 201, NUVEX_RESULT_FIXED, "the driver refused the request") \
    X(NuvexAccCtrl_Stop, NoDevice, 230, NUVEX_RESULT_FIXED, "the access-control driver is not reachable (control device cannot be opened)") \
    X(NuvexAccCtrl_Stop, Refused, 225, NUVEX_RESULT_FIXED, "the driver refused the request") \
    X(NuvexAccCtrl_GetDriverStatus, NullArgument, 159, NUVEX_RESULT_FIXED, "the status pointer is null") \
    X(NuvexAccCtrl_GetDriverStatus, NoDevice, 181, NUVEX_RESULT_FIXED, "the access-control driver is not reachable (control device cannot be opened)") \
    X(NuvexAccCtrl_GetDriverStatus, Refused, 176, NUVEX_RESULT_FIXED, "the driver refused the request") \
    X(NuvexAccCtrl_AddNewPolicy, NullArgument, 240, NUVEX_RESULT_FIXED, "the record pointer is null") \
    X(NuvexAccCtrl_AddNewPolicy, EmptyPrimaryText, 245, NUVEX_RESULT_FIXED, "the policy's primary text is empty") \
    X(NuvexAccCtrl_AddNewPolicy, NoDevice, 265, NUVEX_RESULT_FIXED, "the access-control driver is not reachable (control device cannot be opened)") \
    X(NuvexAccCtrl_AddNewPolicy, Refused, 260, NUVEX_RESULT_FIXED, "the driver refused the policy") \
    X(NuvexAccCtrl_DeleteAllPolicy, NoDevice, 289, NUVEX_RESULT_FIXED, "the access-control driver is not reachable (control device cannot be opened)") \
    X(NuvexAccCtrl_DeleteAllPolicy, Refused, 284, NUVEX_RESULT_FIXED, "the driver refused the request") \
    X(NuvexAccCtrl_DeleteOnePolicy, NoDevice, 313, NUVEX_RESULT_FIXED, "the access-control driver is not reachable (control device cannot be opened)") \
    X(NuvexAccCtrl_DeleteOnePolicy, Refused, 308, NUVEX_RESULT_FIXED, "the driver refused to delete the policy") \
    X(NuvexAccCtrl_GetOnePolicy, NullArgument, 322, NUVEX_RESULT_FIXED, "the record pointer is null") \
    X(NuvexAccCtrl_GetOnePolicy, NoDevice, 346, NUVEX_RESULT_FIXED, "the access-control driver is not reachable (control device cannot be opened)") \
    X(NuvexAccCtrl_GetOnePolicy, NoSuchPolicy, 341, NUVEX_RESULT_FIXED, "the driver has no such policy") \
    X(NuvexAccCtrl_GetPolicyList, NullArgument, 356, NUVEX_RESULT_FIXED, "the list pointer is null") \
    X(NuvexAccCtrl_GetPolicyList, NoDevice, 428, NUVEX_RESULT_FIXED, "the access-control driver is not reachable (control device cannot be opened)") \
    X(NuvexAccCtrl_GetPolicyList, WalkBoundReached, NUVEX_E_WALK_BOUND_REACHED, NUVEX_RESULT_ADDED, "the driver's table did not end within 16384 policies; no list") \
    X(NuvexAccCtrl_FreePolicyList, NullArgument, 438, NUVEX_RESULT_FIXED, "the list is null") \
    X(NuvexAccCtrl_GetLog, NullArgument, 456, NUVEX_RESULT_FIXED, "the list pointer is null") \
    X(NuvexAccCtrl_GetLog, NoDevice, 494, NUVEX_RESULT_FIXED, "the access-control driver is not reachable (control device cannot be opened)") \
    X(NuvexAccCtrl_GetLog, WalkBoundReached, NUVEX_E_WALK_BOUND_REACHED, NUVEX_RESULT_ADDED, "the log did not run dry within 16384 records; the list holds what was fetched") \
    X(NuvexAccCtrl_FreeLog, Done, 0, NUVEX_RESULT_FIXED, "always succeeds") \
    X(NuvexAntiSteal_Install, ManagerOpenFailed, 255, NUVEX_RESULT_FIXED, "the service control manager cannot be opened") \
    X(NuvexAntiSteal_Install, ManagerReopenFailed, 271, NUVEX_RESULT_FIXED, "the service control manager cannot be opened again") \
    X(NuvexAntiSteal_Install, ServiceCreateFailed, 294, NUVEX_RESULT_FIXED, "the service cannot be created") \
    X(NuvexAntiSteal_Install, CopyFailed, 308, NUVEX_RESULT_FIXED, "the driver file cannot be copied into the drivers folder") \
    X(NuvexAntiSteal_Install, InstallPathTooLong, NUVEX_E_INSTALL_PATH_TOO_LONG, NUVEX_RESULT_ADDED, "a driver path cannot be had or does not fit in 260 characters; nothing changed") \
    X(NuvexAntiSteal_UnInstall, FileDeleteFailed, 384, NUVEX_RESULT_FIXED, "the driver file cannot be deleted") \
    X(NuvexAntiSteal_UnInstall, NotInstalled, 387, NUVEX_RESULT_FIXED, "the driver is not installed (service key cannot be deleted)") \
    X(NuvexAntiSteal_UnInstall, InstallPathTooLong, NUVEX_E_INSTALL_PATH_TOO_LONG, NUVEX_RESULT_ADDED, "a driver path cannot be had or does not fit in 260 characters; nothing changed") \
    X(NuvexCtrlEx_DescribeResult, ResultUnknown, NUVEX_E_RESULT_UNKNOWN, NUVEX_RESULT_ADDED, "the table lists no such code for that export; the text is: unexpected result") \
    X(NuvexCtrlEx_DescribeResult, TextCut, NUVEX_E_TEXT_CUT, NUVEX_RESULT_ADDED, "the text does not fit the buffer (or there is none); as much as fits is there, terminated") \
    X(NuvexCtrlEx_EncryptFile, KeyInvalid, NUVEX_E_KEY_INVALID, NUVEX_RESULT_ADDED, "the key is not 1 to 256 bytes (nor null with a length of 0 for the built-in key); nothing done") \
    X(NuvexCtrlEx_EncryptFile, Cancelled, NUVEX_E_CANCELLED, NUVEX_RESULT_ADDED, "the progress callback asked to stop; temporary file removed, plain file as it was") \
    X(NuvexCtrlEx_DecryptFile, KeyInvalid, NUVEX_E_KEY_INVALID, NUVEX_RESULT_ADDED, "the key is not 1 to 256 bytes (nor null with a length of 0 for the built-in key); nothing done") \
    X(NuvexCtrlEx_DecryptFile, Cancelled, NUVEX_E_CANCELLED, NUVEX_RESULT_ADDED, "the progress callback asked to stop; temporary file removed, document and target as they were") \
    X(NuvexCtrlEx_EncryptFileIn, KeyInvalid, NUVEX_E_KEY_INVALID, NUVEX_RESULT_ADDED, "the key is not 1 to 256 bytes (nor null with a length of 0 for the built-in key); nothing done") \
    X(NuvexCtrlEx_EncryptFileIn, Cancelled, NUVEX_E_CANCELLED, NUVEX_RESULT_ADDED, "the progress callback asked to stop; temporary file removed, plain file as it was") \
    X(NuvexCtrlEx_DecryptFileIn, KeyInvalid, NUVEX_E_KEY_INVALID, NUVEX_RESULT_ADDED, "the key is not 1 to 256 bytes (nor null with a length of 0 for the built-in key); nothing done") \
    X(NuvexCtrlEx_DecryptFileIn, Cancelled, NUVEX_E_CANCELLED, NUVEX_RESULT_ADDED, "the progress callback asked to stop; temporary file removed, document and target as they were") \
    /* end of table */
/* clang-format on */

#endif /* NUVEXCTRL_RESULTS_H */
