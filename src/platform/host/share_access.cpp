// Each open handle takes shared byte-range locks on six bytes far beyond any real data: "holds
// read / write / delete access" and "refuses to share read / write / delete". Locks of an open
// file description conflict with those of every other description, within one process too, so
// a new handle finds a conflicting one by probing the bytes it would clash with. A whole-file
// flock on the new description makes probe-and-record one step against concurrent opens.
//
// LockFileEx's locks live on two further planes of bytes, also as shared locks (a handle open
// for reading only could not take an exclusive one): a lock of range [o, o + n) is a lock of
// [kSharedPlane + o, +n) when shared and of [kExclusivePlane + o, +n) when exclusive. An
// exclusive request clashes with another handle's lock on either plane, a shared one with
// another handle's lock on the exclusive plane.
#include "platform/host/share_access.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>

namespace nuvex::host {
namespace {

static_assert(sizeof(off_t) == 8, "share locks need 64-bit file offsets");

constexpr off_t kShareBase = static_cast<off_t>(0x7FFFFFFF00000000LL);
constexpr off_t kSharedPlane = static_cast<off_t>(kLockRangeEnd);       // 2^61
constexpr off_t kExclusivePlane = static_cast<off_t>(kLockRangeEnd * 2);  // 2^62, ends below kShareBase
enum Slot { kHoldRead = 0, kHoldWrite, kHoldDelete, kDenyRead, kDenyWrite, kDenyDelete };

// True when another open file description holds a lock on the slot.
bool SlotTaken(int fd, Slot slot) {
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = kShareBase + slot;
    probe.l_len = 1;
    if (::fcntl(fd, F_OFD_GETLK, &probe) != 0) return false;
    return probe.l_type != F_UNLCK;
}

bool TakeSlot(int fd, Slot slot) {
    struct flock lock {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = kShareBase + slot;
    lock.l_len = 1;
    return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

void ReleaseSlots(int fd) {
    struct flock lock {};
    lock.l_type = F_UNLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = kShareBase;
    lock.l_len = 6;
    ::fcntl(fd, F_OFD_SETLK, &lock);
}

class Gate {
public:
    explicit Gate(int fd) : fd_(fd) {
        while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {}
    }
    ~Gate() { ::flock(fd_, LOCK_UN); }
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;

private:
    int fd_;
};

bool Conflicts(int fd, ShareAccess access, DWORD share) {
    if (access.read && SlotTaken(fd, kDenyRead)) return true;
    if (access.write && SlotTaken(fd, kDenyWrite)) return true;
    if (access.del && SlotTaken(fd, kDenyDelete)) return true;
    if (!(share & FILE_SHARE_READ) && SlotTaken(fd, kHoldRead)) return true;
    if (!(share & FILE_SHARE_WRITE) && SlotTaken(fd, kHoldWrite)) return true;
    if (!(share & FILE_SHARE_DELETE) && SlotTaken(fd, kHoldDelete)) return true;
    return false;
}

}  // namespace

ShareAccess ShareAccessOf(DWORD access) {
    ShareAccess result;
    result.read = (access & (GENERIC_READ | GENERIC_EXECUTE | GENERIC_ALL | FILE_READ_DATA |
                             0x20u /* FILE_EXECUTE */)) != 0;
    result.write =
        (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    result.del = (access & (DELETE | GENERIC_ALL)) != 0;
    return result;
}

bool AcquireShare(int fd, ShareAccess access, DWORD share) {
    // A handle that asks for none of the governed accesses neither conflicts nor is recorded.
    if (!access.Any()) return true;
    Gate gate(fd);
    if (Conflicts(fd, access, share)) return false;
    bool ok = (!access.read || TakeSlot(fd, kHoldRead)) &&
              (!access.write || TakeSlot(fd, kHoldWrite)) &&
              (!access.del || TakeSlot(fd, kHoldDelete)) &&
              ((share & FILE_SHARE_READ) || TakeSlot(fd, kDenyRead)) &&
              ((share & FILE_SHARE_WRITE) || TakeSlot(fd, kDenyWrite)) &&
              ((share & FILE_SHARE_DELETE) || TakeSlot(fd, kDenyDelete));
    if (!ok) ReleaseSlots(fd);
    // A descriptor that cannot hold read locks (opened write-only) is let through unrecorded.
    return true;
}

bool ShareAllows(int fd, ShareAccess access, DWORD share) {
    Gate gate(fd);
    return !Conflicts(fd, access, share);
}

namespace {

// True when another open file description holds a lock that overlaps [start, start + length).
bool RangeTaken(int fd, off_t start, off_t length) {
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = start;
    probe.l_len = length;
    if (::fcntl(fd, F_OFD_GETLK, &probe) != 0) return false;
    return probe.l_type != F_UNLCK;
}

bool ValidRange(uint64_t offset, uint64_t length) {
    return length != 0 && offset < kLockRangeEnd && length <= kLockRangeEnd - offset;
}

}  // namespace

RangeLock LockRange(int fd, uint64_t offset, uint64_t length, bool exclusive) {
    if (!ValidRange(offset, length)) return RangeLock::Invalid;
    const off_t start = static_cast<off_t>(offset);
    const off_t size = static_cast<off_t>(length);
    Gate gate(fd);
    if (RangeTaken(fd, kExclusivePlane + start, size)) return RangeLock::Conflict;
    if (exclusive && RangeTaken(fd, kSharedPlane + start, size)) return RangeLock::Conflict;
    struct flock lock {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = (exclusive ? kExclusivePlane : kSharedPlane) + start;
    lock.l_len = size;
    if (::fcntl(fd, F_OFD_SETLK, &lock) != 0) return RangeLock::Unsupported;  // e.g. write-only
    return RangeLock::Taken;
}

bool UnlockRange(int fd, uint64_t offset, uint64_t length) {
    if (!ValidRange(offset, length)) return false;
    const off_t planes[] = {kSharedPlane, kExclusivePlane};
    for (off_t plane : planes) {
        struct flock lock {};
        lock.l_type = F_UNLCK;
        lock.l_whence = SEEK_SET;
        lock.l_start = plane + static_cast<off_t>(offset);
        lock.l_len = static_cast<off_t>(length);
        ::fcntl(fd, F_OFD_SETLK, &lock);
    }
    return true;
}

}  // namespace nuvex::host
