/* Preloaded into a nuvexctl run by the tool tests: records, in the order they are made, the calls
 * that decide what survives a power cut (flushes, truncations, renames, removals), one line
 * each in the file NUVEXCTL_CALL_LOG names: the call and the name of the file or folder it
 * works on ("fdatasync /tmp/x/out", "fsync /tmp/x/state/spool", "ftruncate /tmp/.../main-...").
 * The tests read the order from it; nothing else of the run changes. */
#define _GNU_SOURCE
/* Both ftruncate and ftruncate64 are stood in for, so neither may be the other's alias here. */
#undef _FILE_OFFSET_BITS
#define _LARGEFILE64_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

static void Record(const char* call, const char* name) {
    const char* log = getenv("NUVEXCTL_CALL_LOG");
    if (log == NULL) return;
    char line[2 * PATH_MAX];
    int length = snprintf(line, sizeof line, "%s %s\n", call, name);
    if (length <= 0) return;
    if (length >= (int)sizeof line) length = (int)sizeof line - 1;
    int fd = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return;
    ssize_t ignored = write(fd, line, (size_t)length);
    (void)ignored;
    close(fd);
}

/* The name of what `fd` is open on, or "fd:<n>". */
static void NameOf(int fd, char* name, size_t size) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, name, size - 1);
    if (n < 0) n = snprintf(name, size, "fd:%d", fd);
    name[n] = 0;
}

/* `path` as seen from the folder `dirfd` (AT_FDCWD: as given). */
static void NameAt(int dirfd, const char* path, char* name, size_t size) {
    if (dirfd == AT_FDCWD || path[0] == '/') {
        snprintf(name, size, "%s", path);
        return;
    }
    char folder[PATH_MAX];
    NameOf(dirfd, folder, sizeof folder);
    snprintf(name, size, "%s/%s", folder, path);
}

#define NEXT(type, symbol) ((type)dlsym(RTLD_NEXT, symbol))

static int RecordFd(const char* call, int fd) {
    char name[PATH_MAX];
    NameOf(fd, name, sizeof name);
    Record(call, name);
    return 0;
}

int fsync(int fd) {
    RecordFd("fsync", fd);
    return NEXT(int (*)(int), "fsync")(fd);
}

int fdatasync(int fd) {
    RecordFd("fdatasync", fd);
    return NEXT(int (*)(int), "fdatasync")(fd);
}

int ftruncate(int fd, off_t length) {
    RecordFd("ftruncate", fd);
    return NEXT(int (*)(int, off_t), "ftruncate")(fd, length);
}

int ftruncate64(int fd, off64_t length) {
    RecordFd("ftruncate", fd);
    return NEXT(int (*)(int, off64_t), "ftruncate64")(fd, length);
}

int rename(const char* from, const char* to) {
    Record("rename", to);
    return NEXT(int (*)(const char*, const char*), "rename")(from, to);
}

int renameat(int fromFolder, const char* from, int toFolder, const char* to) {
    char name[2 * PATH_MAX];
    NameAt(toFolder, to, name, sizeof name);
    Record("rename", name);
    return NEXT(int (*)(int, const char*, int, const char*), "renameat")(fromFolder, from, toFolder, to);
}

int unlink(const char* path) {
    Record("unlink", path);
    return NEXT(int (*)(const char*), "unlink")(path);
}

int unlinkat(int folder, const char* path, int flags) {
    char name[2 * PATH_MAX];
    NameAt(folder, path, name, sizeof name);
    Record("unlink", name);
    return NEXT(int (*)(int, const char*, int), "unlinkat")(folder, path, flags);
}

int remove(const char* path) {
    Record("unlink", path);
    return NEXT(int (*)(const char*), "remove")(path);
}
