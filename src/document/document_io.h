// File input and output shared by the document exports: opens with the exact access masks
// and share modes, whole reads and writes, and the chunked cipher pass over a body.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/seal.h"
#include "frame/heap.h"
#include "frame/owners.h"
#include "platform/platform.h"

namespace nuvex::document {

// Access masks used on documents and plain files.
constexpr DWORD kReadData = SYNCHRONIZE | FILE_READ_DATA;                       // 0x00100001
constexpr DWORD kReadWriteData = SYNCHRONIZE | FILE_READ_DATA | FILE_WRITE_DATA;  // 0x00100003
constexpr DWORD kTempEncryptAccess = GENERIC_WRITE | SYNCHRONIZE;               // 0x40100000
constexpr DWORD kPlainTargetAccess = SYNCHRONIZE | FILE_WRITE_ATTRIBUTES | FILE_READ_ATTRIBUTES |
                                     FILE_WRITE_DATA | FILE_READ_DATA;          // 0x00100183

// Bytes moved per read, cipher pass and write when copying a body. Any size gives the same
// bytes; this one keeps peak memory small while making the per-call costs negligible.
constexpr uint32_t kCopyChunkSize = 1u << 20;
// Chunks in flight in a copy: one being read, one enciphered, one written, and one more so
// that a slow side does not stall the others at once. The copy buffer holds this many.
constexpr uint32_t kCopySlots = 4;
// Threads that may work on one copy at once (the caller's and its helpers); each enciphers in
// a cipher workspace of its own, kept after the chunks in the copy buffer rather than on a
// stack (the caller's thread may have little stack left).
constexpr uint32_t kCopyThreads = 4;
constexpr uint32_t kCopyWorkspaceBytes = 40u * 1024;  // room for one cipher workspace
// The largest copy buffer: every slot and every thread's workspace.
constexpr uint32_t kCopyBufferSize =
    kCopySlots * kCopyChunkSize + kCopyThreads * kCopyWorkspaceBytes;

// How a copy of `length` bytes lays out its buffer: its chunk slots, one after the other, then
// the cipher workspaces of the threads it may use. A copy of one chunk has one slot of the
// chunk's own size, so that a small file costs a small buffer, not four slots of 1 MiB.
struct CopyBufferLayout {
    uint32_t slots;       // chunk n lives in slot n % slots
    uint32_t slotBytes;   // a whole chunk, or the single chunk rounded up to a cache line
    uint32_t workspaces;  // the caller's thread's and one per helper
    std::size_t WorkspacesAt() const { return std::size_t{slots} * slotBytes; }
    std::size_t Bytes() const { return WorkspacesAt() + std::size_t{workspaces} * kCopyWorkspaceBytes; }
};
CopyBufferLayout CopyBufferFor(uint64_t length);

// The buffer of one copy of `length` bytes, at least CopyBufferFor(length).Bytes() long.
// Buffers of long copies are full-sized and kept for later calls (a few of them, so that
// copies on several threads each find one): allocating and releasing megabytes per call
// costs a fresh mapping and its page faults on every file where the C heap does not keep
// such blocks (32-bit Linux, Windows). A buffer is kept only once WipeAfterCopy has wiped
// what its copy used, so that nothing kept holds a plain byte between calls; the kept
// buffers are released when the module unloads.
class CopyBuffer {
public:
    explicit CopyBuffer(uint64_t length);
    ~CopyBuffer();
    CopyBuffer(const CopyBuffer&) = delete;
    CopyBuffer& operator=(const CopyBuffer&) = delete;
    uint8_t* get() const { return block_; }
    explicit operator bool() const { return block_ != nullptr; }
    // Wipes what a copy of `length` bytes may have left in it: the chunk slots as far as its
    // chunks reached and the cipher workspaces of the threads it may have used, not the whole
    // buffer, so that a small file costs a small wipe. Only a buffer wiped after its copy is
    // kept, so that one left with a header or the heap's old bytes is not.
    void WipeAfterCopy(uint64_t length);

private:
    uint8_t* block_ = nullptr;
    bool full_ = false;   // a full-sized buffer, kept after use when there is room
    bool wiped_ = false;  // wiped since its last use
    bool fresh_ = false;  // allocated for this copy rather than taken from the keep
};
// Buffers kept between calls now, and whether every byte of them is zero (for the tests:
// a kept buffer must hold no plain byte).
uint32_t KeptCopyBuffers();
bool KeptCopyBuffersAreClean();

// Opens an existing file; an invalid owner when that fails or `path` is null.
UniqueHandle OpenExisting(const char* path, DWORD access, DWORD share);

// Reads until `length` bytes have arrived, the file ends or a read fails.
struct ReadOutcome {
    bool ok;         // no read failed
    uint32_t bytes;  // bytes placed in the buffer
};
ReadOutcome ReadUpTo(HANDLE file, void* buffer, uint32_t length);
// One write of `length` bytes; a failed or short write is a failure.
bool WriteAll(HANDLE file, const void* buffer, uint32_t length);
// Moves the file pointer to an absolute offset below 2 GiB.
bool SeekTo(HANDLE file, uint32_t offset);
// The full 64-bit size; false when it cannot be had.
bool FileSize64(HANDLE file, uint64_t& size);
// The low 32 bits of the size, as the format's readers take it (0 when unknown).
uint32_t FileSizeLow(HANDLE file);

// Which side of a copy through the cipher failed.
enum class CopyFailure { kNone, kRead, kWrite, kCancelled };

// Progress of a copy, reported on the thread that called CipherCopy: once before the first
// chunk (0 bytes), after chunks are written, and once the copy is complete. `report` returns
// true to go on and false to stop the copy (kCancelled).
struct CopyProgress {
    bool (*report)(void* context, uint64_t done, uint64_t total);
    void* context;
};

// Copies `length` bytes from `source` (positioned at the first one) to `target` through the
// cipher, as the stretch that starts at stream offset `stream`, under `key`. Reading,
// enciphering and writing overlap: while pieces of chunk n are enciphered, chunk n + 1 is read
// and chunk n - 1 written and its write-out to the disk started, so that the flush which
// follows the copy has little left to wait for. The chunks live in `buffer` (laid out as
// CopyBufferFor(length) says), slot after slot in turn, followed by each thread's cipher
// workspace; nothing else is allocated. Enciphering and deciphering are the same operation: `encrypt` only names it. The caller's thread does
// every task itself when it has to: helper threads (none for a short copy) join in if and
// when they start, so the copy never waits for a thread to start and completes under the
// loader lock or any lock the caller holds. Every helper that began is done with the copy
// before the call returns; one that had not begun never touches it. The bytes written are the
// same either way. A read that fails or comes up short stops the copy with kRead; after a
// failed or short write nothing more reaches the target (kWrite).
// With `progress` (may be null) the calling thread reports as the copy goes and stops it when
// told (kCancelled: nothing more is read, enciphered or written).
CopyFailure CipherCopy(HANDLE source, HANDLE target, uint64_t length, uint32_t stream,
                       const SealKey& key, bool encrypt, uint8_t* buffer,
                       const CopyProgress* progress = nullptr);

}  // namespace nuvex::document
