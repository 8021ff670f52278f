#include "document/document_io.h"

#include <cstring>
#include <thread>

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

// ---- pipelined writing -----------------------------------------------------------------

ChunkWriter::ChunkWriter(HANDLE target, uint8_t* buffer) : target_(target), buffer_(buffer) {
    try {
        thread_ = std::thread([this] { WriteLoop(); });
    } catch (...) {
        // No thread: Submit writes on the caller's thread.
    }
}

uint8_t* ChunkWriter::Acquire() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return failed_ || submitted_ - written_ < kCopySlots; });
    return failed_ ? nullptr : Slot(submitted_);
}

void ChunkWriter::Submit(uint32_t length) {
    if (!thread_.joinable()) {
        if (!WriteAll(target_, Slot(submitted_), length)) failed_ = true;
        ++submitted_;
        written_ = submitted_;
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    lengths_[submitted_ % kCopySlots] = length;
    ++submitted_;
    changed_.notify_all();
}

void ChunkWriter::WriteLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return closing_ || written_ < submitted_; });
        if (written_ == submitted_) return;  // closing, everything written
        const uint64_t chunk = written_;
        const uint32_t length = lengths_[chunk % kCopySlots];
        lock.unlock();
        const bool ok = WriteAll(target_, Slot(chunk), length);
        lock.lock();
        if (!ok) {
            // Nothing after a failed write may reach the file.
            failed_ = true;
            changed_.notify_all();
            return;
        }
        ++written_;
        changed_.notify_all();
    }
}

bool ChunkWriter::Finish() {
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closing_ = true;
            changed_.notify_all();
        }
        thread_.join();
    }
    return !failed_;
}

// ---- cipher pass -----------------------------------------------------------------------

namespace {

// Below this a second thread costs more than it saves.
constexpr uint32_t kParallelThreshold = 128u * 1024;

void CipherStretch(uint8_t* data, uint32_t length, uint32_t offset, const SealKey& key,
                   bool encrypt) {
    if (length == 0) return;
    if (encrypt)
        EncryptDocumentBytes(data, data, length, offset, key);
    else
        DecryptDocumentBytes(data, data, length, offset, key);
}

}  // namespace

void CipherInPlace(uint8_t* buffer, uint32_t length, uint32_t offset, const SealKey& key,
                   bool encrypt) {
    if (length < kParallelThreshold) {
        CipherStretch(buffer, length, offset, key, encrypt);
        return;
    }
    // Every byte depends only on its own stream offset, so the two halves can be done at the
    // same time. The split falls on a keystream block edge so that no block is made twice.
    uint32_t half = length / 2;
    half -= (offset + half) % 512;
    uint8_t* second = buffer + half;
    uint32_t secondLength = length - half;
    uint32_t secondOffset = offset + half;
    std::thread helper;
    try {
        helper = std::thread([=, &key] {
            CipherStretch(second, secondLength, secondOffset, key, encrypt);
        });
    } catch (...) {
        // No thread to be had: the caller's thread does it all.
        CipherStretch(buffer, length, offset, key, encrypt);
        return;
    }
    CipherStretch(buffer, half, offset, key, encrypt);
    helper.join();
}

}  // namespace nuvex::document
