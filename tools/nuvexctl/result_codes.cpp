#include "result_codes.h"

#include <algorithm>
#include <sstream>

#include "nuvexctrl.h"

namespace nuvexctl {
namespace {

// Codes that mean the same thing wherever they appear are spelled once here.
constexpr const char* kNoDevice = "the main filter driver is not reachable (control device cannot be opened)";
constexpr const char* kNoAclDevice = "the access-control driver is not reachable (control device cannot be opened)";
constexpr const char* kRefused = "the driver refused the request";

const std::vector<ResultCodeInfo> kTable = {
    {"NuvexCtrl_GetDriverStatus", 50, "the status pointer is null"},
    {"NuvexCtrl_GetDriverStatus", 74, kNoDevice},
    {"NuvexCtrl_GetDriverStatus", 67, "the driver returned no status bytes"},
    {"NuvexCtrl_SuspendDriver", 107, kNoDevice},
    {"NuvexCtrl_SuspendDriver", 100, kRefused},
    {"NuvexCtrl_ResumeDriver", 140, kNoDevice},
    {"NuvexCtrl_ResumeDriver", 133, kRefused},
    {"NuvexCtrl_IsAuthProc", 150, "the answer pointer is null"},
    {"NuvexCtrl_IsAuthProc", 178, kNoDevice},
    {"NuvexCtrl_IsAuthProc", 173, kRefused},
    {"NuvexCtrl_StartLogging", 32, kNoDevice},
    {"NuvexCtrl_StartLogging", 27, kRefused},
    {"NuvexCtrl_StopLogging", 57, kNoDevice},
    {"NuvexCtrl_StopLogging", 52, kRefused},
    {"NuvexCtrl_IsLogging", 224, "the state pointer is null"},
    {"NuvexCtrl_IsLogging", 246, kNoDevice},
    {"NuvexCtrl_IsLogging", 241, "the driver refused the request or returned no bytes"},
    {"NuvexCtrl_ClearAllLog", 214, kNoDevice},
    {"NuvexCtrl_ClearAllLog", 209, kRefused},
    {"NuvexCtrl_GetLog", 169, kNoDevice},
    {"NuvexCtrl_GetLog", 160, "a log request failed or returned no bytes"},
    {"NuvexCtrl_GetLog", 147, "out of memory for a log entry"},
    {"NuvexCtrl_FreeLog", 0, "always succeeds"},
    {"NuvexCtrl_GetSecRunProcList", 25, "the list pointer is null"},
    {"NuvexCtrl_GetSecRunProcList", 109, kNoDevice},
    {"NuvexCtrl_FreeSecRunProcList", 119, "the list is null"},
    {"NuvexCtrl_GetEnFileList", 159, "the list pointer is null"},
    {"NuvexCtrl_GetEnFileList", 256, kNoDevice},
    {"NuvexCtrl_GetEnFileList", 248, "out of memory for the list text"},
    {"NuvexCtrl_GetEnFileList", 240, "the driver refused the list text or returned nothing"},
    {"NuvexCtrl_GetEnFileList", 194, "the driver's list text is empty"},
    {"NuvexCtrl_GetEnFileList", 229, "out of memory for a list node"},
    {"NuvexCtrl_FreeUserStrList", 274, "the list is null"},
    {"NuvexCtrl_GetPassPath", 132, "the list pointer is null"},
    {"NuvexCtrl_GetPassPath", 229, kNoDevice},
    {"NuvexCtrl_GetPassPath", 221, "out of memory for the pass-path text"},
    {"NuvexCtrl_GetPassPath", 213, "the driver refused the pass-path text or returned nothing"},
    {"NuvexCtrl_GetPassPath", 167, "the driver's pass-path text is empty"},
    {"NuvexCtrl_GetPassPath", 202, "out of memory for a list node"},
    {"NuvexCtrl_AddStructPassPath", 270, "out of memory for the pass-path text"},
    {"NuvexCtrl_AddStructPassPath", 314, kNoDevice},
    {"NuvexCtrl_AddStructPassPath", 307, kRefused},
    {"NuvexCtrl_AddStringPassPath", 286, "the pass-path text is null"},
    {"NuvexCtrl_AddStringPassPath", 314, kNoDevice},
    {"NuvexCtrl_AddStringPassPath", 307, kRefused},
    {"NuvexCtrl_DeleteAllPassPath", 350, kNoDevice},
    {"NuvexCtrl_DeleteAllPassPath", 343, kRefused},
    {"NuvexCtrl_GetPolicyList", 314, "the list pointer is null"},
    {"NuvexCtrl_GetPolicyList", 438, kNoDevice},
    {"NuvexCtrl_GetOnePolicyByID", 448, "the policy ID is 0 or the record pointer is null"},
    {"NuvexCtrl_GetOnePolicyByID", 552, kNoDevice},
    {"NuvexCtrl_GetOnePolicyByID", 545, "the driver has no such policy"},
    {"NuvexCtrl_InsertNewPolicy", 583, "the record pointer is null"},
    {"NuvexCtrl_InsertNewPolicy", 662, kNoDevice},
    {"NuvexCtrl_InsertNewPolicy", 632, "the driver refused the policy"},
    {"NuvexCtrl_DeleteOnePolicy", 676, "the policy ID is 0"},
    {"NuvexCtrl_DeleteOnePolicy", 703, kNoDevice},
    {"NuvexCtrl_DeleteOnePolicy", 697, "the driver refused to delete the policy"},
    {"NuvexCtrl_GetNewValidPolicyID", 713, "the ID pointer is null"},
    {"NuvexCtrl_GetNewValidPolicyID", 741, kNoDevice},
    {"NuvexCtrl_GetNewValidPolicyID", 735, kRefused},
    {"NuvexCtrl_GetNewValidPolicyID", 731, "the driver has no free policy ID"},
    {"NuvexCtrl_DeleteAllPolicy", 776, kNoDevice},
    {"NuvexCtrl_DeleteAllPolicy", 770, kRefused},
    {"NuvexCtrl_FreePolicyList", 562, "the list is null"},
    {"NuvexCtrl_GetOnePolicyStr", 793, "the policy ID is 0 or the text pointer is null"},
    {"NuvexCtrl_GetOnePolicyStr", 842, kNoDevice},
    {"NuvexCtrl_GetOnePolicyStr", 834, "the driver has no such policy"},
    {"NuvexCtrl_GetPolicyStrList", 870, "the list pointer is null"},
    {"NuvexCtrl_GetPolicyStrList", 942, kNoDevice},
    {"NuvexCtrl_GetPolicyStrList", 926, "out of memory for a list node"},
    {"NuvexCtrl_InsertPolicyStr", 960, "the policy text is null"},
    {"NuvexCtrl_InsertPolicyStr", 997, kNoDevice},
    {"NuvexCtrl_InsertPolicyStr", 991, "the driver refused the policy text"},
    {"NuvexCtrl_FreeBuffer", 855, "the buffer is null"},
    {"NuvexCtrl_SaveCurrentPolicyToFile", 1012, "the path is null"},
    {"NuvexCtrl_SaveCurrentPolicyToFile", 942, kNoDevice},
    {"NuvexCtrl_SaveCurrentPolicyToFile", 1074, "the policy file cannot be created"},
    {"NuvexCtrl_SaveCurrentPolicyToFile", 1069, "out of memory for the working buffer"},
    {"NuvexCtrl_SaveCurrentPolicyToFile", 1063, "the policy file could not be written whole"},
    {"NuvexCtrl_LoadPolicyFromFile", 1087, "the path is null"},
    {"NuvexCtrl_LoadPolicyFromFile", 776, kNoDevice},
    {"NuvexCtrl_LoadPolicyFromFile", 770, "the driver refused to empty its policy table"},
    {"NuvexCtrl_LoadPolicyFromFile", 1149, "the policy file cannot be opened"},
    {"NuvexCtrl_LoadPolicyFromFile", 1144, "out of memory for the policy file"},
    {"NuvexCtrl_LoadPolicyFromFile", 1139, "the policy file cannot be read whole"},
    {"NuvexCtrl_LoadPolicyFromFile", 997, kNoDevice},
    {"NuvexCtrl_LoadPolicyFromFile", 991, "the driver refused a policy of the file"},
    {"NuvexCtrl_IsEncryptFile", 353, "the file name or the answer pointer is null"},
    {"NuvexCtrl_IsEncryptFile", 486, "the file cannot be opened, or is not a disk file"},
    {"NuvexCtrl_EncryptFile", 636, "the file name is null"},
    {"NuvexCtrl_EncryptFile", 651, "the file is already an encrypted document"},
    {"NuvexCtrl_EncryptFile", 776, "the document could not replace the plain file"},
    {"NuvexCtrl_EncryptFile", 780, "the document header could not be written"},
    {"NuvexCtrl_EncryptFile", 787, "out of memory for the copy buffer"},
    {"NuvexCtrl_EncryptFile", 797, "the plain file cannot be opened (missing, not a disk file, open for writing elsewhere, or being encrypted, decrypted or given rights by another call)"},
    {"NuvexCtrl_EncryptFile", 807, "no temporary file could be created beside the file"},
    {"NuvexCtrl_EncryptFile", 813, "out of memory for the temporary name"},
    {"NuvexCtrl_DecryptFile", 510, "the file name is null"},
    {"NuvexCtrl_DecryptFile", 517, "no target file was named"},
    {"NuvexCtrl_DecryptFile", 531, "not an encrypted document"},
    {"NuvexCtrl_DecryptFile", 609, "the target file cannot be created (or the existing target cannot be opened, or is not a disk file)"},
    {"NuvexCtrl_DecryptFile", 616, "out of memory for the document"},
    {"NuvexCtrl_SetEnFileRights", 840, "the file name or password is missing"},
    {"NuvexCtrl_SetEnFileRights", 846, "the file cannot be opened, or is not a disk file"},
    {"NuvexCtrl_SetEnFileRights", 855, "not an encrypted document"},
    {"NuvexCtrl_SetEnFileRights", 907, "wrong rights password"},
    {"NuvexCtrl_SetEnFileRights", 972, "the document header could not be written"},
    {"NuvexCtrl_SetEnFileRights", 1001, "the driver refused the header"},
    {"NuvexCtrl_SetEnFileRights", 1006, kNoDevice},
    {"NuvexCtrl_GetEnFileRights", 1036, "the print-count pointer is null"},
    {"NuvexCtrl_GetEnFileRights", 1068, "the file cannot be opened, or is not a disk file"},
    {"NuvexCtrl_GetEnFileRights", 1078, "not an encrypted document"},
    {"NuvexCtrl_GetEnFileRights", 1142, "the rights record cannot be read"},
    {"NuvexCtrl_ClearEnFileRights", 1167, "the file name or password is missing"},
    {"NuvexCtrl_ClearEnFileRights", 1178, "not an encrypted document, or it cannot be read"},
    {"NuvexCtrl_ClearEnFileRights", 1187, "the document has no rights to clear"},
    {"NuvexCtrl_ClearEnFileRights", 1240, "wrong rights password"},
    {"NuvexCtrl_ClearEnFileRights", 1266, "the document header could not be written"},
    {"NuvexCtrl_ClearEnFileRights", 1295, "the driver refused the header"},
    {"NuvexCtrl_ClearEnFileRights", 1300, kNoDevice},
    {"NuvexCtrl_SetFileRightsByDrv", 1387, "the driver refused to write the header"},
    {"NuvexCtrl_SetFileRightsByDrv", 1390, "the driver could not read a document header with rights"},
    {"NuvexCtrl_SetFileRightsByDrv", 1395, kNoDevice},
    {"NuvexCtrl_SetFileRightsByDrv", 1400, "out of memory for the request"},
    {"NuvexCtrl_SetFileRightsByDrv", 1406, "the document cannot be opened, or is not a disk file"},
    {"NuvexCtrl_GetFileRightsByDrv", 1494, "the driver could not read a document header with rights"},
    {"NuvexCtrl_GetFileRightsByDrv", 1499, kNoDevice},
    {"NuvexCtrl_GetFileRightsByDrv", 1504, "out of memory for the request"},
    {"NuvexCtrl_GetFileRightsByDrv", 1510, "the document cannot be opened, or is not a disk file"},
    {"NuvexCtrl_QueryDrvFileType", 103, kNoDevice},
    {"NuvexCtrl_QueryDrvFileType", 98, kRefused},
    {"NuvexCtrl_GetFileGUID", 1522, "the file name or GUID pointer is null"},
    {"NuvexCtrl_GetFileGUID", 1530, "not an encrypted document"},
    {"NuvexCtrl_GetFileGUID", 1547, "the document header cannot be read"},
    {"NuvexCtrl_SetKey", 1564, "the key is missing or empty"},
    {"NuvexCtrl_SetKey", 1588, "the driver refused the key"},
    {"NuvexCtrl_SetKey", 1595, kNoDevice},
    {"NuvexCtrl_SetSysKey", 1606, "the key is missing or empty"},
    {"NuvexCtrl_SetSysKey", 1628, "the driver refused the key"},
    {"NuvexCtrl_SetSysKey", 1635, kNoDevice},
    {"NuvexCtrl_GetProcSignCode", 1164, "the file name or output pointer is null"},
    {"NuvexCtrl_GetProcSignCode", 1192, "the file has no bytes past offset 4096"},
    {"NuvexCtrl_GetProcSignCode", 1196, "out of memory for the read buffer"},
    {"NuvexCtrl_GetProcSignCode", 1202, "the file cannot be opened, or is not a disk file"},
    {"NuvexCtrl_Install", 137, "the driver's service key cannot be created"},
    {"NuvexCtrl_Install", 144, "the Services registry key cannot be opened"},
    {"NuvexCtrl_Install", 149, "the driver file cannot be copied into the drivers folder"},
    {"NuvexCtrl_Install", 195, "the driver could not be loaded"},
    {"NuvexCtrl_Install", 200, "NtLoadDriver is not available"},
    {"NuvexCtrl_Install", 205, "ntdll.dll cannot be loaded"},
    {"NuvexCtrl_UnInstall", 334, "the driver refused the uninstall request (key and file removed)"},
    {"NuvexCtrl_UnInstall", 341, "the driver was not running (key and file removed)"},
    {"NuvexCtrl_UnInstall", 357, "the driver file cannot be deleted"},
    {"NuvexCtrl_UnInstall", 360, "the driver is not installed (service key cannot be deleted)"},
    {"NuvexAccCtrl_Install", 66, "the service control manager cannot be opened"},
    {"NuvexAccCtrl_Install", 82, "the service control manager cannot be opened again"},
    {"NuvexAccCtrl_Install", 105, "the service cannot be created"},
    {"NuvexAccCtrl_Install", 119, "the driver file cannot be copied into the drivers folder"},
    {"NuvexAccCtrl_UnInstall", 145, "the driver file cannot be deleted"},
    {"NuvexAccCtrl_UnInstall", 148, "the driver is not installed (service key cannot be deleted)"},
    {"NuvexAccCtrl_Start", 206, kNoAclDevice},
    {"NuvexAccCtrl_Start", 201, kRefused},
    {"NuvexAccCtrl_Stop", 230, kNoAclDevice},
    {"NuvexAccCtrl_Stop", 225, kRefused},
    {"NuvexAccCtrl_GetDriverStatus", 159, "the status pointer is null"},
    {"NuvexAccCtrl_GetDriverStatus", 181, kNoAclDevice},
    {"NuvexAccCtrl_GetDriverStatus", 176, kRefused},
    {"NuvexAccCtrl_AddNewPolicy", 240, "the record pointer is null"},
    {"NuvexAccCtrl_AddNewPolicy", 245, "the policy's primary text is empty"},
    {"NuvexAccCtrl_AddNewPolicy", 265, kNoAclDevice},
    {"NuvexAccCtrl_AddNewPolicy", 260, "the driver refused the policy"},
    {"NuvexAccCtrl_DeleteAllPolicy", 289, kNoAclDevice},
    {"NuvexAccCtrl_DeleteAllPolicy", 284, kRefused},
    {"NuvexAccCtrl_DeleteOnePolicy", 313, kNoAclDevice},
    {"NuvexAccCtrl_DeleteOnePolicy", 308, "the driver refused to delete the policy"},
    {"NuvexAccCtrl_GetOnePolicy", 322, "the record pointer is null"},
    {"NuvexAccCtrl_GetOnePolicy", 346, kNoAclDevice},
    {"NuvexAccCtrl_GetOnePolicy", 341, "the driver has no such policy"},
    {"NuvexAccCtrl_GetPolicyList", 356, "the list pointer is null"},
    {"NuvexAccCtrl_GetPolicyList", 428, kNoAclDevice},
    {"NuvexAccCtrl_FreePolicyList", 438, "the list is null"},
    {"NuvexAccCtrl_GetLog", 456, "the list pointer is null"},
    {"NuvexAccCtrl_GetLog", 494, kNoAclDevice},
    {"NuvexAntiSteal_Install", 255, "the service control manager cannot be opened"},
    {"NuvexAntiSteal_Install", 271, "the service control manager cannot be opened again"},
    {"NuvexAntiSteal_Install", 294, "the service cannot be created"},
    {"NuvexAntiSteal_Install", 308, "the driver file cannot be copied into the drivers folder"},
    {"NuvexAntiSteal_UnInstall", 384, "the driver file cannot be deleted"},
    {"NuvexAntiSteal_UnInstall", 387, "the driver is not installed (service key cannot be deleted)"},
    // Codes the library adds where a failure used to be reported as success or was unsafe.
    {"NuvexCtrl_SetKey", NUVEX_E_SETKEY_TOO_LONG, "the key is longer than 256 bytes; nothing was sent"},
    {"NuvexCtrl_SetSysKey", NUVEX_E_SETSYSKEY_TOO_LONG, "the key is longer than 256 bytes; nothing was sent"},
    {"NuvexCtrl_EncryptFile", NUVEX_E_PLAIN_READ_FAILED, "the plain file could not be read whole; it is unchanged"},
    {"NuvexCtrl_EncryptFile", NUVEX_E_TEMP_WRITE_FAILED, "the document could not be written; the plain file is unchanged"},
    {"NuvexCtrl_EncryptFile", NUVEX_E_TEMP_FLUSH_FAILED, "the document could not be flushed to disk; the plain file is unchanged"},
    {"NuvexCtrl_EncryptFile", NUVEX_E_FILE_TOO_LARGE, "the file is too large for the document format (4 GiB less 4113 bytes)"},
    {"NuvexCtrl_DecryptFile", NUVEX_E_DOC_OPEN_FAILED, "the document cannot be opened (missing, not a disk file, or held by another program); nothing changed"},
    {"NuvexCtrl_DecryptFile", NUVEX_E_DOC_READ_FAILED, "the document cannot be read whole; nothing changed"},
    {"NuvexCtrl_DecryptFile", NUVEX_E_DOC_SHRUNK, "the document shrank below its header; nothing changed"},
    {"NuvexCtrl_DecryptFile", NUVEX_E_TEMP_WRITE_FAILED, "the plain file could not be written; nothing changed"},
    {"NuvexCtrl_DecryptFile", NUVEX_E_TEMP_FLUSH_FAILED, "the plain file could not be flushed to disk; nothing changed"},
    {"NuvexCtrl_DecryptFile", NUVEX_E_FILE_TOO_LARGE, "the document is too large for the format"},
    {"NuvexCtrl_DecryptFile", NUVEX_E_PATH_TOO_LONG, "the target path has 260 characters or more"},
    {"NuvexCtrl_DecryptFile", NUVEX_E_REPLACE_FAILED, "the plain file could not replace the target; nothing changed"},
    {"NuvexCtrl_DecryptFile", NUVEX_E_DOC_BUSY, "another call is encrypting, decrypting or giving rights to the document or the target; nothing changed"},
    {"NuvexCtrl_SetEnFileRights", NUVEX_E_DOC_OPEN_FAILED, "the document cannot be opened for writing (read-only, or held by another program); nothing changed"},
    {"NuvexCtrl_SetEnFileRights", NUVEX_E_DOC_READ_FAILED, "the document header cannot be read; nothing changed"},
    {"NuvexCtrl_SetEnFileRights", NUVEX_E_DOC_NO_MEMORY, "out of memory for the header; nothing changed"},
    {"NuvexCtrl_SetEnFileRights", NUVEX_E_DOC_SHRUNK, "the document shrank below its header; nothing changed"},
    {"NuvexCtrl_SetEnFileRights", NUVEX_E_DOC_BUSY, "another call is encrypting, decrypting or giving rights to the document; nothing changed"},
    {"NuvexCtrl_ClearEnFileRights", NUVEX_E_DOC_OPEN_FAILED, "the file cannot be opened (or is not a disk file), or the document cannot be opened for writing (read-only, or held by another program); nothing changed"},
    {"NuvexCtrl_ClearEnFileRights", NUVEX_E_DOC_READ_FAILED, "the document header cannot be read; nothing changed"},
    {"NuvexCtrl_ClearEnFileRights", NUVEX_E_DOC_NO_MEMORY, "out of memory for the header; nothing changed"},
    {"NuvexCtrl_ClearEnFileRights", NUVEX_E_DOC_SHRUNK, "the document shrank below its header; nothing changed"},
    {"NuvexCtrl_ClearEnFileRights", NUVEX_E_DOC_BUSY, "another call is encrypting, decrypting or giving rights to the document; nothing changed"},
    {"NuvexCtrl_GetFileGUID", NUVEX_E_DOC_OPEN_FAILED, "the file cannot be opened, or is not a disk file"},
    {"NuvexCtrl_AddStringPassPath", NUVEX_E_PASSPATH_FILE_NOT_UPDATED, "the driver took the pass paths but the pass-path file could not be updated"},
    {"NuvexCtrl_AddStructPassPath", NUVEX_E_PASSPATH_FILE_NOT_UPDATED, "the driver took the pass paths but the pass-path file could not be updated"},
    {"NuvexCtrl_AddStructPassPath", NUVEX_E_PASSPATH_TEXT_TOO_LONG, "the paths do not fit in 10240 bytes; nothing was sent"},
    {"NuvexCtrl_DeleteAllPassPath", NUVEX_E_PASSPATH_FILE_NOT_UPDATED, "the driver cleared its pass paths but the pass-path file could not be emptied"},
    {"NuvexCtrl_SaveCurrentPolicyToFile", NUVEX_E_POLICY_SAVE_NO_MEMORY, "out of memory while gathering the policies; nothing was written"},
    {"NuvexCtrl_SaveCurrentPolicyToFile", NUVEX_E_WALK_BOUND_REACHED, "the driver's table did not end within 16384 policies; nothing was written"},
    {"NuvexCtrl_LoadPolicyFromFile", NUVEX_E_POLICY_LOAD_NO_MEMORY, "out of memory for the policies the table holds; nothing changed"},
    {"NuvexCtrl_LoadPolicyFromFile", NUVEX_E_POLICY_LOAD_NOT_RESTORED, "the driver refused a policy of the file and the previous table could not be put back whole"},
    {"NuvexCtrl_LoadPolicyFromFile", NUVEX_E_WALK_BOUND_REACHED, "the driver's table did not end within 16384 policies; nothing changed"},
    {"NuvexCtrl_GetPolicyList", NUVEX_E_WALK_BOUND_REACHED, "the driver's table did not end within 16384 policies; no list"},
    {"NuvexCtrl_GetPolicyStrList", NUVEX_E_WALK_BOUND_REACHED, "the driver's table did not end within 16384 policies; no list"},
    {"NuvexCtrl_GetSecRunProcList", NUVEX_E_WALK_BOUND_REACHED, "the driver's list did not end within 16384 entries and sub-entries; no list"},
    {"NuvexCtrl_GetLog", NUVEX_E_WALK_BOUND_REACHED, "the log did not run dry within 16384 fetches (or 64 empty ones in a row); the list holds what was fetched"},
    {"NuvexAccCtrl_GetPolicyList", NUVEX_E_WALK_BOUND_REACHED, "the driver's table did not end within 16384 policies; no list"},
    {"NuvexAccCtrl_GetLog", NUVEX_E_WALK_BOUND_REACHED, "the log did not run dry within 16384 records; the list holds what was fetched"},
    {"NuvexCtrl_GetEnFileList", NUVEX_E_TEXT_TOO_MANY_ITEMS, "the driver's list text holds more than 1048576 items; no list"},
    {"NuvexCtrl_GetPassPath", NUVEX_E_TEXT_TOO_MANY_ITEMS, "the driver's pass-path text holds more than 1048576 items; no list"},
    {"NuvexCtrl_Install", NUVEX_E_INSTALL_PATH_TOO_LONG, "a driver path does not fit in 260 characters; nothing changed"},
    {"NuvexCtrl_UnInstall", NUVEX_E_INSTALL_PATH_TOO_LONG, "a driver path does not fit in 260 characters; nothing changed"},
    {"NuvexAccCtrl_Install", NUVEX_E_INSTALL_PATH_TOO_LONG, "a driver path does not fit in 260 characters; nothing changed"},
    {"NuvexAccCtrl_UnInstall", NUVEX_E_INSTALL_PATH_TOO_LONG, "a driver path does not fit in 260 characters; nothing changed"},
    {"NuvexAntiSteal_Install", NUVEX_E_INSTALL_PATH_TOO_LONG, "a driver path does not fit in 260 characters; nothing changed"},
    {"NuvexAntiSteal_UnInstall", NUVEX_E_INSTALL_PATH_TOO_LONG, "a driver path does not fit in 260 characters; nothing changed"},
};

}  // namespace

const std::vector<ResultCodeInfo>& ResultCodeTable() { return kTable; }

std::string DescribeResult(const char* exportName, uint32_t code) {
    std::string name = exportName;
    for (const auto& entry : kTable)
        if (entry.code == code && name == entry.exportName) return entry.meaning;
    return "unexpected result";
}

std::string ResultCodesMarkdown() {
    std::ostringstream out;
    out << "# Result codes\n\n"
           "Every export returns 0 on success; any other value names one failure site of that\n"
           "export. The same number can mean unrelated things in different exports, so always read\n"
           "a code together with the export that returned it.\n\n"
           "This page is generated by `nuvexctl codes --markdown` from the table that the tool\n"
           "also uses for its error messages; do not edit it by hand.\n\n"
           "Every behaviour that differs from the original interface, with its reason and its\n"
           "code, is listed in [departures.md](departures.md).\n";
    // Group by export in the order exports first appear in the table.
    std::vector<std::string> order;
    for (const auto& entry : kTable)
        if (std::find(order.begin(), order.end(), entry.exportName) == order.end()) order.push_back(entry.exportName);
    std::vector<ResultCodeInfo> sorted;
    for (const auto& name : order)
        for (const auto& entry : kTable)
            if (name == entry.exportName) sorted.push_back(entry);
    std::string current;
    for (const auto& entry : sorted) {
        if (current != entry.exportName) {
            current = entry.exportName;
            out << "\n## " << current << "\n\n| Code | Meaning |\n|---:|---|\n";
        }
        out << "| " << entry.code << " | " << entry.meaning << " |\n";
    }
    return out.str();
}

}  // namespace nuvexctl
