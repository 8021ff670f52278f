/* Preloaded into a nuvexctl run by the walk tests: stands between the tool and the library's
 * document exports (those that encrypt and decrypt, and the one that tells a document, which
 * `doc clean` asks) and, just before the NUVEXCTL_SWAP_AT-th call of any of them (counted from
 * 1 over the whole run, whatever thread makes it), lets another user swap a name the tool has
 * already listed: as the user NUVEXCTL_SWAP_UID, NUVEXCTL_SWAP_NAME is renamed to
 * NUVEXCTL_SWAP_ASIDE and a symbolic link to NUVEXCTL_SWAP_TARGET is put in its place. That is
 * the moment a walk is open to a swap: its listing is done, and the file is about to be worked
 * on. The calls themselves reach the library unchanged. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <grp.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "nuvexctrl_ex.h"

static pthread_mutex_t g_swapping = PTHREAD_MUTEX_INITIALIZER;
static long g_calls = 0;

/* The swap, in a child that has become the other user; a note on standard error when it failed,
 * so that a test that finds no link knows why. */
static void SwapAsOtherUser(void) {
    const char* name = getenv("NUVEXCTL_SWAP_NAME");
    const char* aside = getenv("NUVEXCTL_SWAP_ASIDE");
    const char* target = getenv("NUVEXCTL_SWAP_TARGET");
    const char* uidText = getenv("NUVEXCTL_SWAP_UID");
    if (name == NULL || aside == NULL || target == NULL || uidText == NULL) return;
    const uid_t uid = (uid_t)strtoul(uidText, NULL, 10);
    const pid_t child = fork();
    if (child == 0) {
        const int became = setgroups(0, NULL) == 0 && setresgid(uid, uid, uid) == 0 && setresuid(uid, uid, uid) == 0;
        _exit(became && rename(name, aside) == 0 && symlink(target, name) == 0 ? 0 : 1);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fprintf(stderr, "walk_swap: the swap of %s failed\n", name);
}

static void BeforeCall(void) {
    const char* at = getenv("NUVEXCTL_SWAP_AT");
    if (at == NULL) return;
    /* Held through the swap: a call made at the same time on another thread goes on after it. */
    pthread_mutex_lock(&g_swapping);
    if (++g_calls == atol(at)) SwapAsOtherUser();
    pthread_mutex_unlock(&g_swapping);
}

#define NEXT(type, symbol) ((type)dlsym(RTLD_NEXT, symbol))

typedef uint32_t (*IsDocumentFn)(const void*, uint32_t, uint32_t*);
typedef uint32_t (*EncryptFn)(const char*, const void*, uint32_t, NuvexCtrlExProgress, void*);
typedef uint32_t (*DecryptFn)(const char*, const char*, const void*, uint32_t, NuvexCtrlExProgress, void*);
typedef uint32_t (*EncryptInFn)(NuvexCtrlExFolder, const char*, const void*, uint32_t, NuvexCtrlExProgress, void*);
typedef uint32_t (*DecryptInFn)(NuvexCtrlExFolder, const char*, const char*, const void*, uint32_t,
                                NuvexCtrlExProgress, void*);

uint32_t NuvexCtrl_IsEncryptFile(const void* fileName, uint32_t isWide, uint32_t* isDocument) {
    BeforeCall();
    return NEXT(IsDocumentFn, "NuvexCtrl_IsEncryptFile")(fileName, isWide, isDocument);
}

uint32_t NuvexCtrlEx_EncryptFile(const char* fileName, const void* key, uint32_t keyLength,
                                 NuvexCtrlExProgress progress, void* context) {
    BeforeCall();
    return NEXT(EncryptFn, "NuvexCtrlEx_EncryptFile")(fileName, key, keyLength, progress, context);
}

uint32_t NuvexCtrlEx_DecryptFile(const char* fileName, const char* outFileName, const void* key,
                                 uint32_t keyLength, NuvexCtrlExProgress progress, void* context) {
    BeforeCall();
    return NEXT(DecryptFn, "NuvexCtrlEx_DecryptFile")(fileName, outFileName, key, keyLength, progress, context);
}

uint32_t NuvexCtrlEx_EncryptFileIn(NuvexCtrlExFolder folder, const char* name, const void* key,
                                   uint32_t keyLength, NuvexCtrlExProgress progress, void* context) {
    BeforeCall();
    return NEXT(EncryptInFn, "NuvexCtrlEx_EncryptFileIn")(folder, name, key, keyLength, progress, context);
}

uint32_t NuvexCtrlEx_DecryptFileIn(NuvexCtrlExFolder folder, const char* name, const char* outName,
                                   const void* key, uint32_t keyLength, NuvexCtrlExProgress progress,
                                   void* context) {
    BeforeCall();
    return NEXT(DecryptInFn, "NuvexCtrlEx_DecryptFileIn")(folder, name, outName, key, keyLength, progress,
                                                           context);
}
