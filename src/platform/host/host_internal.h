// Internals shared by the host platform's source files: the machine root, path translation,
// the error code of the calling thread, the table of open handles and the test hooks' state.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/host/win32_host.h"

namespace nuvex::host {

// ---- machine root and paths --------------------------------------------------------------
// Absolute path of the machine root (no trailing '/'); its standard folders exist. Empty, with
// the thread's error set (ERROR_ACCESS_DENIED for a root or standard folder that is a link,
// is owned by another user or is writable by group or others), when the root is refused:
// every caller then fails without touching anything.
std::string MachineRoot();
// The root of the last successful MachineRoot(), or empty; neither creates nor checks.
std::string CachedMachineRoot();
// `\` becomes `/`; nothing else changes.
std::string TranslatePath(const char* path);
// UTF-16 (surrogate pairs joined; a lone surrogate is kept as its three-byte form) to UTF-8.
std::string Utf16ToUtf8(const char16_t* text, size_t units);
// Creates a directory and its missing parents (mode 0700); true when it exists afterwards.
bool MakeDirectories(const std::string& path);
// The device name of a `\\.\NAME` path (already translated to `//./NAME`), or empty.
std::string DeviceNameOf(const std::string& translated);
// <root>/Windows/System32, or empty when the root is refused.
std::string SystemDirectory();

// ---- descriptors -----------------------------------------------------------------------------
// A descriptor of the calling function's own, closed when it ends unless released (handed to
// the handle table).
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor();
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

// ---- errors --------------------------------------------------------------------------------
void SetError(DWORD error);
// The Windows error code that stands for an errno value; `path` (may be empty) lets ENOENT
// tell a missing file (ERROR_FILE_NOT_FOUND) from a missing folder (ERROR_PATH_NOT_FOUND).
DWORD ErrorFromErrno(int error, const std::string& path = std::string());
// Sets the thread's error from errno and returns FALSE.
BOOL FailErrno(int error, const std::string& path = std::string());
inline BOOL Fail(DWORD error) {
    SetError(error);
    return FALSE;
}
// Runs the body of a call so that no exception (out of memory, no more threads) ever reaches
// the library: such a failure becomes `onFailure` with the thread's error set to `error`.
template <typename Result, typename Body>
Result NoThrow(Result onFailure, DWORD error, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        SetError(error);
        return onFailure;
    }
}

// ---- handles --------------------------------------------------------------------------------
enum class HandleKind { File, Device, Token };

// What the platform knows about an open file, device or token handle (the HANDLE is the fd).
struct HandleInfo {
    HandleKind kind = HandleKind::File;
    DWORD access = 0;
    bool canRead = false;
    bool canWrite = false;
    bool appendOnly = false;
    bool broken = false;     // a device connection that broke: every later request fails
    std::mutex requestLock;  // one device request at a time per handle, answered in order
};

// Registers a descriptor under its number; the handle table owns it from now on.
HANDLE RegisterHandle(int fd, std::shared_ptr<HandleInfo> info);
// The information of an open handle, or null (error set to ERROR_INVALID_HANDLE).
std::shared_ptr<HandleInfo> LookupHandle(HANDLE handle, int* fd);
// Removes a handle from the table and closes its descriptor; false if it was not open.
bool CloseRegisteredHandle(HANDLE handle);
// A descriptor number of 3 or more (0, 1 and 2 would make odd HANDLE values), close-on-exec.
int LiftDescriptor(int fd);

// Counters of open objects that are not descriptors (keys, services, module references).
void CountObjectOpened();
void CountObjectClosed();
uint32_t OpenHandleCount();

// ---- files and devices ---------------------------------------------------------------------
// CreateFile for an ordinary file (translated path), without counting or injected faults.
// INVALID_HANDLE_VALUE with the thread's error set on failure; *existed tells whether the file
// was there before.
// A security descriptor gives a file that the call creates exactly its permission bits.
HANDLE OpenFileHandle(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                      DWORD flags, bool* existed, const SECURITY_DESCRIPTOR* security = nullptr);
// Connects to the control device NAME (the socket <root>/Device/NAME).
HANDLE OpenDeviceHandle(const std::string& name);
// True when the file has no write permission bit, i.e. carries FILE_ATTRIBUTE_READONLY.
bool IsReadOnlyMode(unsigned mode);

// ---- file attributes -------------------------------------------------------------------------
// The attributes besides read-only that a file keeps (hidden, system, archive, temporary,
// offline, not content indexed). They live in the file's extended attribute
// "user.nuvex.attributes" (a 32-bit little-endian value); read-only is the absence of every
// write permission bit.
constexpr DWORD kStoredAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                    FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY |
                                    FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
// The stored attributes of the file open as `fd` (or, with fd -1, named `path`); 0 for none.
DWORD ReadStoredAttributes(const std::string& path, int fd);
// Stores `attributes & kStoredAttributes` (removes the record when that is 0). Needs the file
// to be writable by the caller (user extended attributes follow the write permission).
bool WriteStoredAttributes(const std::string& path, int fd, DWORD attributes);
// What GetFileAttributesA reports for a file of `mode` with `stored` attributes.
DWORD AttributesOf(unsigned mode, DWORD stored);

// ---- test hooks' state -------------------------------------------------------------------
enum class FileOp { Open = 0, Read, Write, Flush, Move, Delete, SetAttributes };
// Counts an operation; true when an injected fault makes it fail.
bool FileOpFails(FileOp op);
// The number of bytes the current WriteFile may write (`requested` unless a short write is due).
DWORD WriteAllowance(DWORD requested);
// Forced NtLoadDriver outcome: true and *status set while a forced status is pending.
bool TakeForcedLoadStatus(NTSTATUS* status);
void CountLoadDriverCall();
void ResetTokenState();
void ResetForcedLoads();
// Arming and reading the state above; reached only through the test hooks (host_hooks.h).
void ArmFileFault(int kind, uint32_t nth, bool sticky);
void ArmShortWrite(uint32_t nth, uint32_t bytes);
uint32_t FileOpCount(int kind);
void ResetFaults();
void ForceLoadStatus(uint32_t count, NTSTATUS status);
uint32_t LoadDriverCallCount();
// Forgets the cached machine root and creates the standard folders of the one
// NUVEX_HOST_ROOT names now.
void ResetMachineRoot();
// Library threads (platform/threads.h): 1 holds every new one before it begins until the mode
// goes back to 0 (as a loader lock held by the caller does on Windows), 2 refuses new ones.
void HoldThreadStarts(int mode);
// Library threads started and not yet ended, held ones included.
uint32_t LiveThreadCount();

}  // namespace nuvex::host
