// File input and output shared by the document exports: opens with the exact access masks
// and share modes, whole reads and writes, and the chunked cipher pass over a body.
#pragma once

#include <cstddef>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

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
// Chunks in flight between the reading side and the writing side of a copy; the copy buffer
// holds this many chunks.
constexpr uint32_t kCopySlots = 3;
constexpr uint32_t kCopyBufferSize = kCopySlots * kCopyChunkSize;

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

// Writes chunks to a file in order on a thread of its own, so that the next chunk can be
// read and enciphered meanwhile. The buffer holds kCopySlots chunks, handed out in turn.
// Without a thread to be had, every chunk is written at once by the caller's thread.
class ChunkWriter {
public:
    ChunkWriter(HANDLE target, uint8_t* buffer);
    ChunkWriter(const ChunkWriter&) = delete;
    ChunkWriter& operator=(const ChunkWriter&) = delete;
    ~ChunkWriter() { Finish(); }

    // The next free chunk (waits for one); nullptr once a write has failed.
    uint8_t* Acquire();
    // Queues the chunk from the last Acquire, holding `length` bytes, for writing.
    void Submit(uint32_t length);
    // Waits until every queued chunk is written; false when a write failed or was short.
    bool Finish();

private:
    void WriteLoop();
    uint8_t* Slot(uint64_t chunk) const { return buffer_ + (chunk % kCopySlots) * kCopyChunkSize; }

    HANDLE target_;
    uint8_t* buffer_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread thread_;
    uint32_t lengths_[kCopySlots] = {};
    uint64_t submitted_ = 0;  // chunks queued so far
    uint64_t written_ = 0;    // chunks written so far
    bool failed_ = false;
    bool closing_ = false;
};

// Runs the cipher over `length` bytes of `buffer` in place, as the stretch that starts at
// stream offset `offset`, under `key`; splits large stretches across two threads. The bytes
// are the same as one single-threaded pass.
void CipherInPlace(uint8_t* buffer, uint32_t length, uint32_t offset, const SealKey& key,
                   bool encrypt);

}  // namespace nuvex::document
