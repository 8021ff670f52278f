// Recognising, encrypting and decrypting documents. Both directions write a complete
// temporary file beside the file they replace, flush it, and only then move it over the old
// file, so a failure (or a crash) at any point leaves either the old file or the complete new
// one, never a mixture.
#include <cstring>

#include "document/document_header.h"
#include "document/document_io.h"
#include "document/documents.h"
#include "document/keys.h"
#include "nuvexctrl.h"

namespace nuvex::document {

bool IsDocument(const char* fileName) {
    uint32_t answer = 0;
    NuvexCtrl_IsEncryptFile(fileName, 0, &answer);  // only the answer counts
    return answer == 1;
}

namespace {

struct CopyCodes {
    uint32_t readFailed;   // a read failed or the source ended early
    uint32_t writeFailed;  // a write failed or was short
};

// Copies `length` body bytes from `source` (positioned at the first one) to `target` through
// the cipher, starting at stream offset `stream`, with `buffer` of kCopyBufferSize bytes.
// Returns 0 or the failing side's code.
uint32_t CopyThroughCipher(HANDLE source, HANDLE target, uint64_t length, uint32_t stream,
                           bool encrypt, uint8_t* buffer, const CopyCodes& codes) {
    SealKey key = DocumentKeySnapshot();  // one key for the whole file
    uint32_t result = 0;
    uint64_t done = 0;
    {
        // Chunk n + 1 is read and enciphered while chunk n is being written.
        ChunkWriter writer(target, buffer);
        while (done < length) {
            uint8_t* chunk = writer.Acquire();
            if (chunk == nullptr) break;  // a write failed
            uint32_t want = static_cast<uint32_t>(
                length - done < kCopyChunkSize ? length - done : kCopyChunkSize);
            ReadOutcome got = ReadUpTo(source, chunk, want);
            if (!got.ok || got.bytes != want) {
                result = codes.readFailed;
                break;
            }
            CipherInPlace(chunk, want, stream + static_cast<uint32_t>(done), key, encrypt);
            writer.Submit(want);
            done += want;
        }
        if (!writer.Finish() && result == 0) result = codes.writeFailed;
    }
    SecureWipe(key.data(), key.size());
    // The chunks hold plain bytes (all of them when decrypting, a failed read's when
    // encrypting); they do not go back to the heap readable.
    SecureWipe(buffer, kCopyBufferSize);
    return result;
}

// True when the source has no byte beyond what was copied (it did not grow meanwhile).
bool AtEnd(HANDLE source) {
    uint8_t probe = 0;
    ReadOutcome more = ReadUpTo(source, &probe, 1);
    return more.ok && more.bytes == 0;
}

}  // namespace
}  // namespace nuvex::document

using namespace nuvex;
using namespace nuvex::document;

extern "C" {

uint32_t NUVEXAPI NuvexCtrl_IsEncryptFile(const void* fileName, uint32_t isWide,
                                          uint32_t* isDocument) {
    if (fileName == nullptr || isDocument == nullptr) return 353;
    auto open = [&](DWORD share) {
        if (isWide != 0)
            return CreateFileW(static_cast<LPCWSTR>(fileName), kReadData, share, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        return CreateFileA(static_cast<const char*>(fileName), kReadData, share, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    // A document that someone holds open for writing is still examined: the second open
    // shares write access.
    UniqueHandle file(open(FILE_SHARE_READ));
    if (!file) file.reset(open(FILE_SHARE_READ | FILE_SHARE_WRITE));
    if (!file) {
        *isDocument = 0;
        return 486;
    }
    uint32_t answer = 0;
    if (FileSizeLow(file.get()) >= kHeaderSize && SeekTo(file.get(), kSignatureOffset)) {
        uint8_t bytes[kQuickSignatureSize];
        ReadOutcome got = ReadUpTo(file.get(), bytes, sizeof bytes);
        if (got.ok && got.bytes == sizeof bytes && QuickSignatureMatches(bytes)) answer = 1;
    }
    file.reset();
    *isDocument = answer;
    return 0;
}

uint32_t NUVEXAPI NuvexCtrl_EncryptFile(const char* fileName, uint32_t /*reserved*/,
                                        const void* /*key*/, uint32_t /*useKey*/) {
    if (fileName == nullptr) return 636;
    if (IsDocument(fileName)) {
        OutputDebugStringA("7777en11111111111111111111111111111");
        return 651;
    }
    const std::size_t nameSize = std::strlen(fileName) + kTempSuffixRoom;
    HeapBlock<char> name(static_cast<char*>(MemAlloc(nameSize)));
    if (!name) return 813;

    // The temporary file is removed on every failure below, except after a failed replace,
    // where the complete document is left beside the untouched plain file.
    TempFile temp;
    if (!temp.Create(fileName, name.get(), nameSize, kTempEncryptAccess, FILE_SHARE_READ,
                     FILE_ATTRIBUTE_NORMAL, /*announce=*/true, /*ownerOnly=*/false))
        return 807;
    UniqueHandle plain = OpenExisting(fileName, kReadData, FILE_SHARE_READ);
    if (!plain) return 797;
    uint64_t plainSize = 0;
    if (!FileSize64(plain.get(), plainSize)) return NUVEX_E_PLAIN_READ_FAILED;
    if (plainSize >= kPlainSizeLimit) return NUVEX_E_FILE_TOO_LARGE;
    HeapBlock<uint8_t> buffer(static_cast<uint8_t*>(MemAlloc(kCopyBufferSize)));
    if (!buffer) return 787;

    EncodeHeader(CreateHeader(), buffer.get());
    if (!WriteAll(temp.handle(), buffer.get(), kHeaderSize)) return 780;
    uint32_t copied = CopyThroughCipher(plain.get(), temp.handle(), plainSize, kBodyStreamOffset,
                                        /*encrypt=*/true, buffer.get(),
                                        {NUVEX_E_PLAIN_READ_FAILED, NUVEX_E_TEMP_WRITE_FAILED});
    if (copied != 0) return copied;
    if (!AtEnd(plain.get())) return NUVEX_E_PLAIN_READ_FAILED;
    // On disk before it replaces the plain file: a crash after the move must not leave a
    // truncated document in its place.
    if (!FlushFileBuffers(temp.handle())) return NUVEX_E_TEMP_FLUSH_FAILED;
    plain.reset();
    temp.Close();

    DWORD attributes = GetFileAttributesA(fileName);
    if (attributes == INVALID_FILE_ATTRIBUTES) attributes = FILE_ATTRIBUTE_NORMAL;
    const bool clearedReadOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
                                 SetFileAttributesA(fileName, attributes & ~FILE_ATTRIBUTE_READONLY);
    if (!MoveFileExA(temp.name(), fileName, MOVEFILE_REPLACE_EXISTING)) {
        if (clearedReadOnly) SetFileAttributesA(fileName, attributes);
        temp.Keep();
        return 776;
    }
    temp.Keep();
    return 0;
}

uint32_t NUVEXAPI NuvexCtrl_DecryptFile(const char* fileName, uint32_t toOtherFile,
                                        const char* outFileName, uint32_t /*reserved*/,
                                        const void* /*key*/, uint32_t /*useKey*/) {
    if (outFileName != nullptr) OutputDebugStringA(outFileName);
    if (fileName == nullptr) return 510;
    if (toOtherFile != 0 && outFileName == nullptr) return 517;
    if (!IsDocument(fileName)) return 531;
    OutputDebugStringA("enter de");

    const char* target = toOtherFile != 0 ? outFileName : fileName;
    if (std::strlen(target) >= MAX_PATH) return NUVEX_E_PATH_TOO_LONG;

    UniqueHandle document = OpenExisting(fileName, kReadData, FILE_SHARE_READ);
    if (!document) return NUVEX_E_DOC_OPEN_FAILED;
    uint64_t size = 0;
    if (!FileSize64(document.get(), size)) return NUVEX_E_DOC_READ_FAILED;
    if (size < kHeaderSize) return NUVEX_E_DOC_SHRUNK;
    if (size > kDocumentSizeMax) return NUVEX_E_FILE_TOO_LARGE;
    HeapBlock<uint8_t> buffer(static_cast<uint8_t*>(MemAlloc(kCopyBufferSize)));
    if (!buffer) return 616;

    OutputDebugStringA("222");
    OutputDebugStringA(target);

    // The target loses its read-only attribute and keeps the others; the new file is created
    // with them, and the read-only attribute of an existing target is cleared only for the
    // replace itself.
    DWORD attributes = GetFileAttributesA(target);
    if (attributes == INVALID_FILE_ATTRIBUTES) attributes = FILE_ATTRIBUTE_NORMAL;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return 609;
    const DWORD targetAttributes = attributes & ~FILE_ATTRIBUTE_READONLY;

    char name[MAX_PATH + kTempSuffixRoom];
    TempFile temp;
    if (!temp.Create(target, name, sizeof name, kPlainTargetAccess, FILE_SHARE_READ,
                     targetAttributes, /*announce=*/false, /*ownerOnly=*/true))
        return 609;
    if (!SeekTo(document.get(), kHeaderSize)) return NUVEX_E_DOC_READ_FAILED;
    uint32_t copied = CopyThroughCipher(document.get(), temp.handle(), size - kHeaderSize,
                                        kBodyStreamOffset, /*encrypt=*/false, buffer.get(),
                                        {NUVEX_E_DOC_READ_FAILED, NUVEX_E_TEMP_WRITE_FAILED});
    if (copied != 0) return copied;
    if (!FlushFileBuffers(temp.handle())) return NUVEX_E_TEMP_FLUSH_FAILED;
    OutputDebugStringA("WriteFile");
    document.reset();  // in place, the document itself is about to be replaced
    ReleaseOwnerOnly(temp.handle());
    temp.Close();

    const bool clearedReadOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
                                 SetFileAttributesA(target, targetAttributes);
    if (!MoveFileExA(temp.name(), target, MOVEFILE_REPLACE_EXISTING)) {
        if (clearedReadOnly) SetFileAttributesA(target, attributes);
        return NUVEX_E_REPLACE_FAILED;
    }
    temp.Keep();
    return 0;
}

}  // extern "C"
