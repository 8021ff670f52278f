// The platform's part of a document operation's replace: watching a held file for writers of
// other programs, and the rename that puts a new file in the place of the held one. The two
// platforms keep the same promise in different ways; see docs/reliability.md ("One file
// layer").
#pragma once

#include <cstdint>

#include "platform/operation_folder.h"
#include "platform/platform.h"

namespace nuvex::platform {

// ---- writers of other programs -------------------------------------------------------------
enum class Watch {
    Watching,        // a writer's open from now on is noticed (WriterCame)
    NotWatched,      // it cannot be watched here; the caller compares what it saw instead
    OpenForWriting,  // another program has the file open for writing now
};

// Starts watching the file open as `file` (for reading only) for other programs' writers.
// Host: a read lease (F_SETLEASE). A writer's open then waits until the lease ends, and its
// wait is seen (F_GETLEASE), without a signal handler: the lease signal is set to SIGURG, whose
// default is to be ignored, and a lease is taken only while the process leaves SIGURG at that
// default. Where none can be taken (not the file's owner and no CAP_LEASE, a file system
// without leases, a program that handles SIGURG itself), NotWatched. Windows: the share modes
// of the held handle keep writers out; NotWatched (nothing to watch).
Watch WatchWriters(HANDLE file);
// True when a writer came to a watched file (its open waits for the lease, or it ended it).
bool WriterCame(HANDLE file);
// Whether a writer that came is still there: none came; it came and went (an open for
// writing refused at once, as a non-blocking one is, keeps nothing open; the file is watched
// again, and the caller compares what it saw of the file to tell a write that came and went
// in that moment); or it stays (it has the file open for writing, or waits to). Windows: None.
enum class Writer { None, Went, Stays };
Writer WriterOf(HANDLE file);
// Ends the watch at once, so that a waiting writer goes on (also where a copy of the handle
// lives on in a child process, which would keep the lease).
void StopWatching(HANDLE file);

// ---- the rename --------------------------------------------------------------------------
// The file a rename replaces, as the operation holds it.
struct ReplacedFile {
    HANDLE held = INVALID_HANDLE_VALUE;  // the operation's handle, open until released
    bool watched = false;                // WatchWriters gave Watching for it
    // Ends the operation's hold (lock and handle); Windows must, before a plain rename.
    void (*release)(void* context) = nullptr;
    void* context = nullptr;
    // The byte every operation on a file locks: after letting go, a lock found there again is
    // another operation's, which took the file meanwhile (Taken, not a writer).
    uint64_t operationLock = 0;
};

enum class Renamed {
    Done,        // `to` holds the new file
    Failed,      // nothing moved (GetLastError tells why)
    Taken,       // another operation replaced the file while this one had let go of it
    WriterCame,  // another program began writing the file; nothing moved, the writer's bytes kept
};

// Renames the name `from` of `folder` (the new file, open as `placed`: reached through its
// writing handle, which is closed, sharing everything) over the name `to`. `replaced` is the
// file held under `to`, or null for a new name, which must not exist then.
//
// Host: an atomic exchange (RENAME_EXCHANGE) of the two names, then a look at both: the name
// `from` must hold the replaced file (else someone replaced it meanwhile: Taken) and no
// writer may have come to it (one whose open began before the exchange waits on its lease):
// else a second exchange gives the old file back. The folder is synced, the writer looked for
// once more, and the old file, now under `from`, removed. Where the file system has no
// exchange, one rename after the same looks. A read-only target is replaced without clearing
// its attribute first. Windows: a rename through `placed` with POSIX semantics, which replaces
// the file while it is still held and ignores its read-only attribute, where the system offers
// it; else the hold is let go, and before each attempt the file is opened again without
// sharing writes and must be as it was decided on (identity, and no other operation holding
// it: else Taken; size and last write time, marked one unit on before the hold ended: else
// WriterCame), its read-only attribute cleared through that handle (and set again when the
// rename fails), and renamed through a handle of the new file made beforehand. On Done the new
// name is on the disk.
Renamed RenameInFolder(const OperationFolder& folder, const NameChar* from, const NameChar* to,
                       HANDLE placed, ReplacedFile* replaced);

}  // namespace nuvex::platform
