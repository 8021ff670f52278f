#include "document/document_io.h"

#include <atomic>
#include <cstring>

#include "crypto/seal_core.h"
#include "platform/threads.h"
#include "platform/write_out.h"

namespace nuvex::document {

UniqueHandle OpenExisting(const char* path, DWORD access, DWORD share) {
    if (path == nullptr) return UniqueHandle();
    return UniqueHandle(
        CreateFileA(path, access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

ReadOutcome ReadUpTo(HANDLE file, void* buffer, uint32_t length) {
    auto* at = static_cast<uint8_t*>(buffer);
    uint32_t total = 0;
    while (total < length) {
        DWORD got = 0;
        if (!ReadFile(file, at + total, length - total, &got, nullptr)) return {false, total};
        if (got == 0) break;  // end of file
        total += got;
    }
    return {true, total};
}

bool WriteAll(HANDLE file, const void* buffer, uint32_t length) {
    DWORD written = 0;
    return WriteFile(file, buffer, length, &written, nullptr) && written == length;
}

bool SeekTo(HANDLE file, uint32_t offset) {
    return SetFilePointer(file, static_cast<LONG>(offset), nullptr, FILE_BEGIN) ==
           static_cast<DWORD>(offset);
}

bool FileSize64(HANDLE file, uint64_t& size) {
    DWORD high = 0;
    SetLastError(ERROR_SUCCESS);
    DWORD low = GetFileSize(file, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS) return false;
    size = (static_cast<uint64_t>(high) << 32) | low;
    return true;
}

uint32_t FileSizeLow(HANDLE file) {
    uint64_t size = 0;
    return FileSize64(file, size) ? static_cast<uint32_t>(size) : 0;
}

// ---- copy through the cipher -----------------------------------------------------------

namespace {

// Below this a chunk is enciphered in one piece: a hand-over costs more than it saves.
constexpr uint32_t kSplitFrom = 128u * 1024;

// Enciphering and deciphering are the same operation.
void CipherStretch(SealWorkspace& workspace, uint8_t* data, uint32_t length, uint32_t offset,
                   const SealKey& key) {
    if (length == 0) return;
    CryptDocumentBytesWith(workspace, data, length, offset, key);
}

// In a copy with helpers, a chunk of at least kSplitFrom bytes is enciphered in this many
// pieces, which the copy's threads take in turn: when one thread is held up (the machine is
// busy), the others go on with the next pieces, even of the next chunk, instead of waiting.
constexpr uint32_t kPiecesPerChunk = 4;
// Threads enciphering at once: two keep two processors busy while a third thread reads and a
// fourth writes; more only crowd the processors the reads and writes need.
constexpr uint32_t kCipherThreads = 2;

// Pieces of a chunk of `length` bytes in a copy with `helpers` helper threads.
uint32_t PiecesOf(uint32_t length, uint32_t helpers) {
    return helpers == 0 || length < kSplitFrom ? 1 : kPiecesPerChunk;
}

// Where piece `piece` of a chunk of `length` bytes at stream offset `offset` starts: an even
// share, moved back to a keystream block edge so that no block is made twice. Every byte
// depends only on its own stream offset, so the pieces can be done at the same time.
uint32_t PieceStart(uint32_t length, uint32_t offset, uint32_t piece, uint32_t pieces) {
    if (piece == 0) return 0;
    if (piece == pieces) return length;
    const uint32_t even = static_cast<uint32_t>(uint64_t{length} * piece / pieces);
    return even - (offset + even) % kSealBlockBytes;
}

// The file pointer's offset (0 when it cannot be had: the write-out hints then miss, and the
// flush after the copy writes everything).
uint64_t Position(HANDLE file) {
    LONG high = 0;
    SetLastError(ERROR_SUCCESS);
    const DWORD low = SetFilePointer(file, 0, &high, FILE_CURRENT);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS) return 0;
    return (static_cast<uint64_t>(static_cast<DWORD>(high)) << 32) | low;
}

// Helper threads a copy of `length` bytes starts. A copy of one chunk is done alone: its read,
// its cipher pass and its write cannot overlap, and sharing only the cipher pass between two
// threads cost more processor time than it saved, and no wall time, in a tree of office files
// (a thread's start and the hand-overs against well under a millisecond of keystream). Longer
// copies read, encipher and write at once.
uint32_t HelpersFor(uint64_t length) { return length <= kCopyChunkSize ? 0 : kCopyThreads - 1; }
constexpr uint32_t kMostHelpers = kCopyThreads - 1;
static_assert(sizeof(SealWorkspace) <= kCopyWorkspaceBytes &&
                  kCopyWorkspaceBytes % alignof(SealWorkspace) == 0,
              "a cipher workspace fits its room in the copy buffer");

// One copy's work, shared out in tasks: read the next chunk, encipher a piece of a chunk that
// has been read, write the next chunk that has been enciphered. Chunk n lives in slot
// n % kCopySlots; the counters only grow, so a slot is free for chunk n once chunk
// n - kCopySlots is written. Reads and writes go in order, one at a time each; any number of
// threads encipher pieces at once. The caller's thread works through the tasks until every
// chunk is written, whether or not any helper ever starts: a helper that starts joins in with
// whatever task is open, and one that starts after the copy is over finds nothing to do. A
// task is only ever waited for while a thread that has begun it is running it.
class CopyPipeline {
public:
    CopyPipeline(HANDLE source, HANDLE target, uint64_t length, uint32_t stream,
                 const SealKey& key, uint8_t* buffer, const CopyProgress* progress)
        : source_(source), target_(target), length_(length), stream_(stream), key_(key),
          buffer_(buffer), layout_(CopyBufferFor(length)), progress_(progress),
          chunks_((length + kCopyChunkSize - 1) / kCopyChunkSize), helperCount_(HelpersFor(length)),
          targetStart_(chunks_ > 1 ? Position(target) : 0) {}

    CopyFailure Run() {
        for (uint32_t i = 0; i < helperCount_; ++i) {
            seats_[i] = {this, i + 1};
            helpers_[i].Start(&HelperEntry, &seats_[i]);
        }
        Work(0);
        // Waits for helpers still at a task (they see the copy over when it ends); those
        // that have not begun never will touch this copy.
        for (platform::Thread& helper : helpers_) helper.Finish();
        // The last report: the whole copy is written.
        if (failure_ == CopyFailure::kNone && progress_ != nullptr && reported_ != chunks_ &&
            !progress_->report(progress_->context, length_, length_))
            failure_ = CopyFailure::kCancelled;
        return failure_;
    }

private:
    enum class Task { kNone, kRead, kCipher, kWrite, kReport, kDone };

    // A helper's place in the copy: the pipeline and the thread's number (0 is the caller's).
    struct Seat {
        CopyPipeline* pipeline;
        uint32_t thread;
    };
    static void HelperEntry(void* argument) {
        const Seat* seat = static_cast<const Seat*>(argument);
        seat->pipeline->Work(seat->thread);
    }

    SealWorkspace& Workspace(uint32_t thread) const {
        return *reinterpret_cast<SealWorkspace*>(buffer_ + layout_.WorkspacesAt() +
                                                 thread * std::size_t{kCopyWorkspaceBytes});
    }

    uint8_t* Slot(uint64_t chunk) const {
        return buffer_ + (chunk % layout_.slots) * std::size_t{layout_.slotBytes};
    }
    uint32_t ChunkLength(uint64_t chunk) const {
        const uint64_t left = length_ - chunk * kCopyChunkSize;
        return static_cast<uint32_t>(left < kCopyChunkSize ? left : kCopyChunkSize);
    }
    uint32_t ChunkOffset(uint64_t chunk) const {
        return stream_ + static_cast<uint32_t>(chunk * kCopyChunkSize);
    }

    bool ReadChunk(uint64_t chunk) {
        const uint32_t want = ChunkLength(chunk);
        const ReadOutcome got = ReadUpTo(source_, Slot(chunk), want);
        return got.ok && got.bytes == want;
    }
    // Each chunk's write-out starts as soon as it is written: the disk then works while later
    // chunks are read and enciphered, and the flush that follows the copy waits only for the
    // last ones. The last chunk gets no hint: the flush follows at once and writes it anyway,
    // so for a file of one chunk (most files) the hint would be a system call for nothing.
    bool WriteChunk(uint64_t chunk) {
        if (!WriteAll(target_, Slot(chunk), ChunkLength(chunk))) return false;
        if (chunk + 1 < chunks_)
            platform::StartWriteOut(target_, targetStart_ + chunk * kCopyChunkSize,
                                    ChunkLength(chunk));
        return true;
    }

    // Claims the next open task, with the lock held: the write of the next enciphered chunk,
    // then the read of the next chunk with a free slot, then the next piece to encipher. I/O
    // goes first so that the disk is kept busy while the rest encipher.
    Task Claim(uint32_t thread, uint64_t& chunk, uint32_t& piece) {
        if (stopped_ || written_ == chunks_) return Task::kDone;
        // Progress is told on the caller's thread only, when chunks were written since.
        if (thread == 0 && progress_ != nullptr && reported_ != written_) {
            chunk = reported_ = written_;
            return Task::kReport;
        }
        if (!writing_ && written_ < ciphered_) {
            writing_ = true;
            chunk = written_;
            return Task::kWrite;
        }
        if (!reading_ && read_ < chunks_ && read_ < written_ + layout_.slots) {
            reading_ = true;
            chunk = read_;
            return Task::kRead;
        }
        if (nextChunk_ < read_ && ciphering_ < kCipherThreads) {
            ++ciphering_;
            chunk = nextChunk_;
            piece = nextPiece_;
            if (++nextPiece_ == PiecesOf(ChunkLength(chunk), helperCount_)) {
                nextPiece_ = 0;
                ++nextChunk_;
            }
            return Task::kCipher;
        }
        return Task::kNone;
    }

    // Records the first failure and stops every side.
    void Fail(CopyFailure failure) {
        {
            platform::LockHolder held(lock_);
            if (failure_ == CopyFailure::kNone) failure_ = failure;
            stopped_ = true;
        }
        changed_.WakeAll();
    }

    // Works through the copy's tasks as thread number `thread` until the copy is over.
    void Work(uint32_t thread) {
        for (;;) {
            Task task = Task::kNone;
            uint64_t chunk = 0;
            uint32_t piece = 0;
            {
                platform::LockHolder held(lock_);
                changed_.Wait(held, [&] { return (task = Claim(thread, chunk, piece)) != Task::kNone; });
            }
            switch (task) {
            case Task::kRead:
                if (!ReadChunk(chunk)) return Fail(CopyFailure::kRead);
                Done([&] {
                    read_ = chunk + 1;
                    reading_ = false;
                    return true;
                });
                break;
            case Task::kWrite:
                if (!WriteChunk(chunk)) return Fail(CopyFailure::kWrite);
                Done([&] {
                    written_ = chunk + 1;
                    writing_ = false;
                    return true;
                });
                break;
            case Task::kCipher: {
                const uint32_t length = ChunkLength(chunk);
                const uint32_t offset = ChunkOffset(chunk);
                const uint32_t pieces = PiecesOf(length, helperCount_);
                const uint32_t from = PieceStart(length, offset, piece, pieces);
                const uint32_t to = PieceStart(length, offset, piece + 1, pieces);
                CipherStretch(Workspace(thread), Slot(chunk) + from, to - from, offset + from, key_);
                Done([&] {
                    --ciphering_;
                    ++piecesDone_[chunk % kCopySlots];
                    // Chunks are counted enciphered in order, each once all its pieces are.
                    bool advanced = false;
                    while (ciphered_ < chunks_ && piecesDone_[ciphered_ % kCopySlots] ==
                                                      PiecesOf(ChunkLength(ciphered_), helperCount_)) {
                        piecesDone_[ciphered_ % kCopySlots] = 0;
                        ++ciphered_;
                        advanced = true;
                    }
                    // A thread freed from enciphering may take the next piece.
                    return advanced || nextChunk_ < read_;
                });
                break;
            }
            case Task::kReport:
                // `chunk` is the number of chunks written: all but the last are whole.
                if (!progress_->report(progress_->context, chunk * kCopyChunkSize, length_))
                    return Fail(CopyFailure::kCancelled);
                break;
            case Task::kNone:
            case Task::kDone:
                return;
            }
        }
    }

    // Counts a task done under the lock; wakes the others when `update` opened a new task.
    template <typename Update>
    void Done(Update update) {
        bool opened = false;
        {
            platform::LockHolder held(lock_);
            opened = update();
        }
        if (opened) changed_.WakeAll();
    }

    const HANDLE source_;
    const HANDLE target_;
    const uint64_t length_;
    const uint32_t stream_;
    const SealKey& key_;
    uint8_t* const buffer_;
    const CopyBufferLayout layout_;
    const CopyProgress* const progress_;
    const uint64_t chunks_;
    const uint32_t helperCount_;  // helper threads the copy starts
    const uint64_t targetStart_;  // where the first chunk goes in the target (asked only when
                                  // there are write-out hints to give)

    platform::Lock lock_;
    platform::Condition changed_;
    // Under lock_:
    bool stopped_ = false;
    CopyFailure failure_ = CopyFailure::kNone;
    bool reading_ = false;   // chunk read_ is being read
    bool writing_ = false;   // chunk written_ is being written
    uint64_t read_ = 0;      // chunks read so far
    uint64_t ciphered_ = 0;  // chunks enciphered so far
    uint64_t written_ = 0;   // chunks written so far
    uint64_t nextChunk_ = 0;  // the chunk of the next piece to encipher
    uint32_t nextPiece_ = 0;  // and that piece
    uint32_t piecesDone_[kCopySlots] = {};  // pieces enciphered of the chunk in each slot
    uint32_t ciphering_ = 0;  // threads enciphering a piece now
    uint64_t reported_ = 0;   // chunks written when progress was last told

    Seat seats_[kMostHelpers] = {};
    // Declared last: finished first, should a path leave one at work.
    platform::Thread helpers_[kMostHelpers];
};

}  // namespace

CopyBufferLayout CopyBufferFor(uint64_t length) {
    const uint32_t workspaces = 1 + HelpersFor(length);
    if (length > kCopyChunkSize) {
        const uint64_t chunks = (length + kCopyChunkSize - 1) / kCopyChunkSize;
        return {chunks < kCopySlots ? static_cast<uint32_t>(chunks) : kCopySlots, kCopyChunkSize,
                workspaces};
    }
    // One chunk: its slot rounded up to a cache line keeps the workspaces after it aligned.
    constexpr uint32_t kLine = 64;
    static_assert(kLine % alignof(SealWorkspace) == 0, "workspaces stay aligned after a slot");
    const uint32_t bytes = (static_cast<uint32_t>(length) + kLine - 1) / kLine * kLine;
    return {1, bytes == 0 ? kLine : bytes, workspaces};
}

// ---- copy buffers kept between calls -----------------------------------------------------

namespace {

// Copies longer than this take a full-sized buffer, kept for later calls; shorter ones a
// buffer of their own size from the heap, where the C heap keeps such blocks for reuse.
constexpr uint64_t kFullBufferFrom = 256u * 1024;
// Full-sized buffers kept between calls: enough for two copies at once (a tool working on
// two files side by side) without holding more than about 8 MiB while the module is idle.
constexpr uint32_t kKeptBuffers = 2;
std::atomic<uint8_t*> g_keptBuffers[kKeptBuffers] = {};

// Releases the kept buffers when the module unloads (or the process ends).
struct KeptBuffersRelease {
    ~KeptBuffersRelease() {
        for (std::atomic<uint8_t*>& kept : g_keptBuffers)
            MemFree(kept.exchange(nullptr, std::memory_order_acquire));
    }
} g_keptBuffersRelease;

}  // namespace

CopyBuffer::CopyBuffer(uint64_t length) {
    if (length <= kFullBufferFrom) {
        block_ = static_cast<uint8_t*>(MemAlloc(CopyBufferFor(length).Bytes()));
        return;
    }
    full_ = true;
    for (std::atomic<uint8_t*>& kept : g_keptBuffers) {
        block_ = kept.exchange(nullptr, std::memory_order_acquire);
        if (block_ != nullptr) return;
    }
    block_ = static_cast<uint8_t*>(MemAlloc(kCopyBufferSize));
    fresh_ = true;
}

CopyBuffer::~CopyBuffer() {
    if (block_ == nullptr) return;
    const bool roomToKeep = [] {
        for (const std::atomic<uint8_t*>& kept : g_keptBuffers)
            if (kept.load(std::memory_order_relaxed) == nullptr) return true;
        return false;
    }();
    if (full_ && wiped_ && roomToKeep) {
        // A buffer from the keep was all zeros before this copy, which wiped what it used. A
        // new one also holds whatever the heap had there before, so it is wiped whole, once,
        // before it joins the keep.
        if (fresh_) SecureWipe(block_, kCopyBufferSize);
        for (std::atomic<uint8_t*>& kept : g_keptBuffers) {
            uint8_t* empty = nullptr;
            if (kept.compare_exchange_strong(empty, block_, std::memory_order_release)) return;
        }
    }
    MemFree(block_);
}

void CopyBuffer::WipeAfterCopy(uint64_t length) {
    const CopyBufferLayout layout = CopyBufferFor(length);
    // Chunk n fills slot n % slots from its start, so the chunks of a copy have written
    // nothing beyond its first `length` bytes (or beyond the slots).
    const uint64_t slotsEnd = layout.WorkspacesAt();
    SecureWipe(block_, static_cast<std::size_t>(length < slotsEnd ? length : slotsEnd));
    // The caller's thread enciphers in workspace 0, helper i in workspace i.
    SecureWipe(block_ + slotsEnd, layout.workspaces * std::size_t{kCopyWorkspaceBytes});
    wiped_ = true;
}

uint32_t KeptCopyBuffers() {
    uint32_t count = 0;
    for (const std::atomic<uint8_t*>& kept : g_keptBuffers)
        if (kept.load(std::memory_order_relaxed) != nullptr) ++count;
    return count;
}

bool KeptCopyBuffersAreClean() {
    bool clean = true;
    for (std::atomic<uint8_t*>& kept : g_keptBuffers) {
        uint8_t* block = kept.exchange(nullptr, std::memory_order_acquire);
        if (block == nullptr) continue;
        for (uint32_t i = 0; i < kCopyBufferSize && clean; ++i) clean = block[i] == 0;
        uint8_t* empty = nullptr;
        if (!kept.compare_exchange_strong(empty, block, std::memory_order_release)) MemFree(block);
    }
    return clean;
}

CopyFailure CipherCopy(HANDLE source, HANDLE target, uint64_t length, uint32_t stream,
                       const SealKey& key, bool encrypt, uint8_t* buffer,
                       const CopyProgress* progress) {
    static_cast<void>(encrypt);
    if (progress != nullptr && !progress->report(progress->context, 0, length))
        return CopyFailure::kCancelled;
    if (length == 0) {
        if (progress != nullptr && !progress->report(progress->context, 0, 0)) return CopyFailure::kCancelled;
        return CopyFailure::kNone;
    }
    CopyPipeline pipeline(source, target, length, stream, key, buffer, progress);
    return pipeline.Run();
}

}  // namespace nuvex::document
