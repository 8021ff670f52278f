/*
 * fs_events.h - one recorded file-system call or external effect, as the recorder appends it
 * to its log and the checker reads it back: a fixed head followed by the first path, the
 * second path and the data, each as long as the head says. All fields in the host's byte
 * order (the log never leaves the machine that wrote it).
 */
#ifndef NUVEX_CRASH_FS_EVENTS_H
#define NUVEX_CRASH_FS_EVENTS_H

#include <stdint.h>

#define NUVEX_FS_EVENT_MAGIC 0x4546584eu /* "NXFE" */

/* Environment of a recorded process: the folders whose calls are recorded (':' between
 * them) and the log the events go to. Without both, the recorder passes every call on. */
#define NUVEX_CRASH_SCOPE_ENV "NUVEX_CRASH_SCOPE"
#define NUVEX_CRASH_LOG_ENV "NUVEX_CRASH_LOG"

enum NuvexFsEventKind {
    NUVEX_FS_CREATE = 1,   /* path; ino: the new file; a: its mode */
    NUVEX_FS_MKDIR = 2,    /* path; ino: the new folder; a: its mode */
    NUVEX_FS_WRITE = 3,    /* ino; a: offset; data: the bytes */
    NUVEX_FS_TRUNCATE = 4, /* ino; a: the new length */
    NUVEX_FS_RENAME = 5,   /* path -> path2; ino: the moved object; a: renameat2 flags */
    NUVEX_FS_UNLINK = 6,   /* path; ino: the removed name's object */
    NUVEX_FS_RMDIR = 7,    /* path */
    NUVEX_FS_LINK = 8,     /* path -> path2 (a new name for path's object) */
    NUVEX_FS_FSYNC = 9,    /* ino; flags: NUVEX_FS_FLAG_DATASYNC */
    NUVEX_FS_SYNC_ALL = 10,
    NUVEX_FS_CHMOD = 11,   /* ino; a: the new mode */
    NUVEX_FS_META = 12,    /* ino: owner or extended attributes changed */
    NUVEX_FS_CLOSE = 13,   /* ino */
    NUVEX_FS_REQUEST = 14, /* path: the control device; a: the request code */
    NUVEX_FS_MARKER = 15   /* path: a text the recorded program wrote (for example "returned") */
};

#define NUVEX_FS_FLAG_DIRECTORY 1u /* the object is a folder */
#define NUVEX_FS_FLAG_DATASYNC 2u  /* fdatasync rather than fsync */

struct NuvexFsEventHead {
    uint32_t magic;
    uint32_t kind;
    int32_t pid;
    uint32_t flags;
    uint64_t ino;
    uint64_t a;
    uint32_t pathLength;
    uint32_t path2Length;
    uint32_t dataLength;
    uint32_t reserved;
};

#endif
