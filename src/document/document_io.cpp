#include "document/document_io.h"

#include <cstring>

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

// Below this a chunk is enciphered by one thread: a hand-over costs more than it saves.
constexpr uint32_t kParallelThreshold = 128u * 1024;

void CipherStretch(uint8_t* data, uint32_t length, uint32_t offset, const SealKey& key,
                   bool encrypt) {
    if (length == 0) return;
    if (encrypt)
        EncryptDocumentBytes(data, data, length, offset, key);
    else
        DecryptDocumentBytes(data, data, length, offset, key);
}

// A chunk of at least kParallelThreshold bytes is enciphered in this many pieces, which the two
// cipher threads take in turn: when one thread is held up (the machine is busy), the other
// goes on with the next pieces, even of the next chunk, instead of waiting for it.
constexpr uint32_t kPiecesPerChunk = 4;

uint32_t PiecesOf(uint32_t length) { return length < kParallelThreshold ? 1 : kPiecesPerChunk; }

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

// One copy's reader, writer and cipher helper, and the counters they hand chunks on with.
// Chunk n lives in slot n % kCopySlots; the counters only grow, so a slot is free for chunk
// n once chunk n - kCopySlots is written. The caller's thread and the helper encipher the
// pieces of the chunks read so far in order, each taking the next piece when done with one;
// a chunk is enciphered when all its pieces are.
class CopyPipeline {
public:
    CopyPipeline(HANDLE source, HANDLE target, uint64_t length, uint32_t stream,
                 const SealKey& key, bool encrypt, uint8_t* buffer)
        : source_(source), target_(target), length_(length), stream_(stream), key_(key),
          encrypt_(encrypt), buffer_(buffer),
          chunks_((length + kCopyChunkSize - 1) / kCopyChunkSize), targetStart_(Position(target)) {}

    CopyFailure Run() {
        // The threads wait for the go-ahead, so that none has touched a file when another
        // cannot be started and the caller's thread does the copy alone instead.
        const bool threads = reader_.Start(&ReadEntry, this) && writer_.Start(&WriteEntry, this) &&
                             helper_.Start(&HelperEntry, this);
        {
            platform::LockHolder held(lock_);
            (threads ? go_ : abandoned_) = true;
        }
        changed_.WakeAll();
        if (!threads) {
            reader_.Join();
            writer_.Join();
            helper_.Join();
            return RunAlone();
        }
        CipherLoop();
        reader_.Join();
        writer_.Join();
        helper_.Join();
        return failure_;
    }

private:
    static void ReadEntry(void* self) { static_cast<CopyPipeline*>(self)->ReadLoop(); }
    static void WriteEntry(void* self) { static_cast<CopyPipeline*>(self)->WriteLoop(); }
    static void HelperEntry(void* self) {
        auto* pipeline = static_cast<CopyPipeline*>(self);
        {
            platform::LockHolder held(pipeline->lock_);
            if (!pipeline->AwaitGo(held)) return;
        }
        pipeline->CipherLoop();
    }

    uint8_t* Slot(uint64_t chunk) const { return buffer_ + (chunk % kCopySlots) * kCopyChunkSize; }
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
    // last ones.
    bool WriteChunk(uint64_t chunk, const uint8_t* data) {
        if (!WriteAll(target_, data, ChunkLength(chunk))) return false;
        platform::StartWriteOut(target_, targetStart_ + chunk * kCopyChunkSize, ChunkLength(chunk));
        return true;
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

    // Waits for the go-ahead; false when the copy is done without threads.
    bool AwaitGo(platform::LockHolder& held) {
        changed_.Wait(held, [this] { return go_ || abandoned_; });
        return go_;
    }

    void ReadLoop() {
        for (uint64_t chunk = 0; chunk < chunks_; ++chunk) {
            {
                platform::LockHolder held(lock_);
                if (!AwaitGo(held)) return;
                changed_.Wait(held, [&] { return stopped_ || chunk < written_ + kCopySlots; });
                if (stopped_) return;
            }
            if (!ReadChunk(chunk)) return Fail(CopyFailure::kRead);
            {
                platform::LockHolder held(lock_);
                read_ = chunk + 1;
            }
            changed_.WakeAll();
        }
    }

    void WriteLoop() {
        for (uint64_t chunk = 0; chunk < chunks_; ++chunk) {
            {
                platform::LockHolder held(lock_);
                if (!AwaitGo(held)) return;
                changed_.Wait(held, [&] { return stopped_ || chunk < ciphered_; });
                if (stopped_) return;
            }
            if (!WriteChunk(chunk, Slot(chunk))) return Fail(CopyFailure::kWrite);
            {
                platform::LockHolder held(lock_);
                written_ = chunk + 1;
            }
            changed_.WakeAll();
        }
    }

    // One cipher thread (the caller's or the helper): takes the next piece of a chunk that has
    // been read, enciphers it, and counts it done; returns when no piece is left or the copy
    // stopped.
    void CipherLoop() {
        for (;;) {
            uint64_t chunk = 0;
            uint32_t piece = 0;
            {
                platform::LockHolder held(lock_);
                changed_.Wait(held, [&] {
                    return stopped_ || nextChunk_ == chunks_ || nextChunk_ < read_;
                });
                if (stopped_ || nextChunk_ == chunks_) return;
                chunk = nextChunk_;
                piece = nextPiece_;
                if (++nextPiece_ == PiecesOf(ChunkLength(chunk))) {
                    nextPiece_ = 0;
                    ++nextChunk_;
                }
            }
            const uint32_t length = ChunkLength(chunk);
            const uint32_t offset = ChunkOffset(chunk);
            const uint32_t pieces = PiecesOf(length);
            const uint32_t from = PieceStart(length, offset, piece, pieces);
            const uint32_t to = PieceStart(length, offset, piece + 1, pieces);
            CipherStretch(Slot(chunk) + from, to - from, offset + from, key_, encrypt_);
            bool advanced = false;
            {
                platform::LockHolder held(lock_);
                ++piecesDone_[chunk % kCopySlots];
                // Chunks are counted enciphered in order, each once all its pieces are.
                while (ciphered_ < chunks_ &&
                       piecesDone_[ciphered_ % kCopySlots] == PiecesOf(ChunkLength(ciphered_))) {
                    piecesDone_[ciphered_ % kCopySlots] = 0;
                    ++ciphered_;
                    advanced = true;
                }
            }
            if (advanced) changed_.WakeAll();
        }
    }

    // Without threads: each chunk read, enciphered and written in turn, in the first slot.
    CopyFailure RunAlone() {
        for (uint64_t chunk = 0; chunk < chunks_; ++chunk) {
            uint8_t* data = buffer_;
            const uint32_t length = ChunkLength(chunk);
            const ReadOutcome got = ReadUpTo(source_, data, length);
            if (!got.ok || got.bytes != length) return CopyFailure::kRead;
            CipherStretch(data, length, ChunkOffset(chunk), key_, encrypt_);
            if (!WriteChunk(chunk, data)) return CopyFailure::kWrite;
        }
        return CopyFailure::kNone;
    }

    const HANDLE source_;
    const HANDLE target_;
    const uint64_t length_;
    const uint32_t stream_;
    const SealKey& key_;
    const bool encrypt_;
    uint8_t* const buffer_;
    const uint64_t chunks_;
    const uint64_t targetStart_;  // where the first chunk goes in the target

    platform::Lock lock_;
    platform::Condition changed_;
    // Under lock_:
    bool go_ = false;
    bool abandoned_ = false;
    bool stopped_ = false;
    CopyFailure failure_ = CopyFailure::kNone;
    uint64_t read_ = 0;      // chunks read so far
    uint64_t ciphered_ = 0;  // chunks enciphered so far
    uint64_t written_ = 0;   // chunks written so far
    uint64_t nextChunk_ = 0;  // the chunk of the next piece to encipher
    uint32_t nextPiece_ = 0;  // and that piece
    uint32_t piecesDone_[kCopySlots] = {};  // pieces enciphered of the chunk in each slot

    // Declared last: destroyed (joined) first, should a path leave one running.
    platform::Thread reader_;
    platform::Thread writer_;
    platform::Thread helper_;
};

}  // namespace

CopyFailure CipherCopy(HANDLE source, HANDLE target, uint64_t length, uint32_t stream,
                       const SealKey& key, bool encrypt, uint8_t* buffer) {
    if (length == 0) return CopyFailure::kNone;
    CopyPipeline pipeline(source, target, length, stream, key, encrypt, buffer);
    return pipeline.Run();
}

}  // namespace nuvex::document
