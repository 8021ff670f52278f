/*
 * nuvexctrl_ex.h - the extension interface of Nuvexctrl, beside the 61 exports of
 * nuvexctrl.h, whose behaviour it leaves as it is.
 *
 * The document exports of nuvexctrl.h encipher under the document key that the process hands
 * to the main filter driver (NuvexCtrl_SetKey); a process that has not done so enciphers under
 * the built-in default key, which every copy of the library holds. The exports here take the
 * document key as an argument instead: no module-wide state, no driver needed, and the same
 * document bytes as NuvexCtrl_EncryptFile and NuvexCtrl_DecryptFile write after
 * NuvexCtrl_SetKey with the same key. They also report progress and can be cancelled.
 *
 * Same conventions as nuvexctrl.h: on 32-bit Windows stdcall with every argument 32 bits wide
 * (decorated names in nuvexctrl.def), 0 for success and a result code otherwise.
 */
#ifndef NUVEXCTRL_EX_H
#define NUVEXCTRL_EX_H

#include "nuvexctrl.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The cipher uses the first 20 bytes of a document key, zero-filled when it is shorter: keys
 * that agree in those bytes make the same documents. */
#define NUVEXCTRLEX_KEY_BYTES_USED 20u

/* What a progress callback is told: the body bytes written so far and in all. */
typedef struct NuvexCtrlExProgressInfo {
    uint64_t bytesDone;
    uint64_t bytesTotal;
} NuvexCtrlExProgressInfo;

/* Called on the calling thread of NuvexCtrlEx_EncryptFile or NuvexCtrlEx_DecryptFile: once
 * before the body is copied (bytesDone 0), as the copy goes, and once when it is complete.
 * Returning non-zero cancels the call: it ends with NUVEX_E_CANCELLED, its temporary file
 * removed and the source (and any existing target) as they were. */
typedef uint32_t(NUVEXAPI* NuvexCtrlExProgress)(void* context, const NuvexCtrlExProgressInfo* info);

/* ---- extension ------------------------------------------------------------------------ */

/**
 * The library's version (the NUVEXCTRL_VERSION_* values of the header it was built with).
 * @param major receives the major version; may be null.
 * @param minor receives the minor version; may be null.
 * @param patch receives the patch version; may be null.
 * @blocking no.
 * @threads any thread.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrlEx_GetVersion(uint32_t* major, uint32_t* minor,
                                                      uint32_t* patch);

/**
 * The meaning of a result code of an export, as the library's result table gives it, as a
 * NUL-terminated text ("not an encrypted document" for NuvexCtrl_DecryptFile and 531). A code
 * the table does not list for the export gives "unexpected result" and NUVEX_E_CODE_UNKNOWN.
 * @param exportName the export's name, e.g. "NuvexCtrl_EncryptFile".
 * @param code the result code it returned.
 * @param text receives the meaning, cut to fit and always terminated when capacity > 0.
 * @param capacity the size of `text` in bytes.
 * @blocking no.
 * @threads any thread.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrlEx_DescribeResult(const char* exportName, uint32_t code,
                                                          char* text, uint32_t capacity);

/**
 * Turns a plain file into an encrypted document under the same name, as NuvexCtrl_EncryptFile
 * does, enciphered under `key` instead of the module's document key. Returns the codes of
 * NuvexCtrl_EncryptFile with their meanings, and the extension's own.
 * @param fileName the plain file's path (8-bit, NUL-terminated).
 * @param key the document key's bytes (as NuvexCtrl_SetKey takes them); copied, not kept.
 *            Null with a keyLength of 0 means the built-in default key, which every copy of
 *            the library holds and which therefore protects nothing.
 * @param keyLength the number of key bytes, 1 to 256 (0 only with a null key).
 * @param progress called on the calling thread as the copy goes; may be null.
 * @param context passed to `progress` unchanged.
 * @blocking reads the whole file and writes the document; flushes it to disk.
 * @threads as NuvexCtrl_EncryptFile; uses no module-wide state.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrlEx_EncryptFile(const char* fileName, const void* key,
                                                       uint32_t keyLength,
                                                       NuvexCtrlExProgress progress,
                                                       void* context);

/**
 * Turns a document back into a plain file, in place or into another file, as
 * NuvexCtrl_DecryptFile does, deciphered under `key` instead of the module's document key.
 * The format carries no check of the key: a wrong key gives a file of garbage (in place: in
 * the document's stead). Returns the codes of NuvexCtrl_DecryptFile with their meanings, and
 * the extension's own.
 * @param fileName the document's path (8-bit, NUL-terminated).
 * @param outFileName the plain file's path, or null to decrypt in place.
 * @param key the document key's bytes; copied, not kept. Null with a keyLength of 0 means
 *            the built-in default key.
 * @param keyLength the number of key bytes, 1 to 256 (0 only with a null key).
 * @param progress called on the calling thread as the copy goes; may be null.
 * @param context passed to `progress` unchanged.
 * @blocking reads the whole document and writes the plain file; flushes it to disk.
 * @threads as NuvexCtrl_DecryptFile; uses no module-wide state.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrlEx_DecryptFile(const char* fileName, const char* outFileName,
                                                       const void* key, uint32_t keyLength,
                                                       NuvexCtrlExProgress progress,
                                                       void* context);

/* A folder the caller holds open, for the exports that work on a name inside it: on Windows
 * a directory HANDLE (CreateFileW with FILE_FLAG_BACKUP_SEMANTICS), on Linux a directory's
 * file descriptor (O_DIRECTORY; O_PATH will do). The caller keeps it open during the call. */
typedef intptr_t NuvexCtrlExFolder;

/**
 * NuvexCtrlEx_EncryptFile for the file `name` inside `folder`, for walks through a tree: the
 * file is reached through the folder the caller holds, never through a path that a folder
 * swapped for a link meanwhile could steer elsewhere, and a link at `name` is not followed
 * (the call fails with 797 and changes nothing). The temporary file is made, and the replace
 * done, in that same folder. Returns the codes of NuvexCtrlEx_EncryptFile.
 * @param folder the folder holding the file (see NuvexCtrlExFolder).
 * @param name the file's name in it: one name, no separator, not "." or "..".
 * @param key as NuvexCtrlEx_EncryptFile.
 * @param keyLength as NuvexCtrlEx_EncryptFile.
 * @param progress called on the calling thread as the copy goes; may be null.
 * @param context passed to `progress` unchanged.
 * @blocking reads the whole file and writes the document; flushes it to disk.
 * @threads as NuvexCtrlEx_EncryptFile.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrlEx_EncryptFileIn(NuvexCtrlExFolder folder, const char* name,
                                                         const void* key, uint32_t keyLength,
                                                         NuvexCtrlExProgress progress,
                                                         void* context);

/**
 * NuvexCtrlEx_DecryptFile for the document `name` inside `folder`, as NuvexCtrlEx_EncryptFileIn
 * reaches its file: in place, or into `outName`, another name in the same folder. A link at
 * either name is not followed (2401 for the document, 609 for the target). Returns the codes
 * of NuvexCtrlEx_DecryptFile.
 * @param folder the folder holding the document (see NuvexCtrlExFolder).
 * @param name the document's name in it: one name, no separator, not "." or "..".
 * @param outName the plain file's name in the same folder, or null to decrypt in place.
 * @param key as NuvexCtrlEx_DecryptFile.
 * @param keyLength as NuvexCtrlEx_DecryptFile.
 * @param progress called on the calling thread as the copy goes; may be null.
 * @param context passed to `progress` unchanged.
 * @blocking reads the whole document and writes the plain file; flushes it to disk.
 * @threads as NuvexCtrlEx_DecryptFile.
 */
NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrlEx_DecryptFileIn(NuvexCtrlExFolder folder, const char* name,
                                                         const char* outName, const void* key,
                                                         uint32_t keyLength,
                                                         NuvexCtrlExProgress progress,
                                                         void* context);

#ifdef __cplusplus
}
#endif

#endif /* NUVEXCTRL_EX_H */
