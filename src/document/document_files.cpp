// Recognising, encrypting and decrypting documents. Both directions hold the file they read
// from the document test to the end (one operation per file), write a complete temporary file
// beside the file they replace, created so that only its creator can open it, flush it, and
// only then put it in the old file's place keeping that file's identity, so a failure (or a
// crash) at any point leaves either the old file or the complete new one, never a mixture.
#include <cstring>

#include "document/document_header.h"
#include "document/document_io.h"
#include "document/documents.h"
#include "document/keys.h"
#include "document/operation_files.h"
#include "frame/result_codes.h"
#include "nuvexctrl.h"
#include "platform/file_security.h"
#include "platform/path_text.h"

namespace nuvex::document {

bool PassesQuickTest(HANDLE file) {
    if (FileSizeLow(file) < kHeaderSize || !SeekTo(file, kSignatureOffset)) return false;
    uint8_t bytes[kQuickSignatureSize];
    ReadOutcome got = ReadUpTo(file, bytes, sizeof bytes);
    return got.ok && got.bytes == sizeof bytes && QuickSignatureMatches(bytes);
}

namespace {

struct CopyCodes {
    uint32_t readFailed;   // a read failed or the source ended early
    uint32_t writeFailed;  // a write failed or was short
};

// Copies `length` body bytes from `source` (positioned at the first one) to `target` through
// the cipher under `key`, starting at stream offset `stream`, in `buffer` (made for `length`),
// telling `progress` (may be null) as it goes. Returns 0, the failing side's code, or
// NUVEX_E_CANCELLED when `progress` stopped it.
uint32_t CopyThroughCipher(HANDLE source, HANDLE target, uint64_t length, uint32_t stream,
                           const SealKey& key, bool encrypt, CopyBuffer& buffer,
                           const CopyProgress* progress, const CopyCodes& codes) {
    uint32_t result = 0;
    switch (CipherCopy(source, target, length, stream, key, encrypt, buffer.get(), progress)) {
        case CopyFailure::kNone: break;
        case CopyFailure::kRead: result = codes.readFailed; break;
        case CopyFailure::kWrite: result = codes.writeFailed; break;
        case CopyFailure::kCancelled: result = NUVEX_E_CANCELLED; break;
    }
    // The chunks hold plain bytes (all of them when decrypting, a failed read's when
    // encrypting); they do not go back to the heap readable.
    buffer.WipeAfterCopy(length);
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
    if (fileName == nullptr || isDocument == nullptr)
        return rc::NuvexCtrl_IsEncryptFile::kNullArgument;
    auto open = [&](DWORD share) {
        if (isWide != 0)
            return CreateFileW(static_cast<LPCWSTR>(fileName), kReadData, share, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        return CreateFileA(static_cast<const char*>(fileName), kReadData, share, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    // A document that someone holds open for writing is still examined: the second open
    // shares write access. Both share deleting, so that a test never makes an encryption or
    // decryption of the same file fail at its replace.
    UniqueHandle file(open(FILE_SHARE_READ | FILE_SHARE_DELETE));
    if (!file) file.reset(open(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));
    // Only a disk file can be a document: a device or a pipe is not read at all.
    if (!file || GetFileType(file.get()) != FILE_TYPE_DISK) {
        *isDocument = 0;
        return rc::NuvexCtrl_IsEncryptFile::kOpenFailed;
    }
    const uint32_t answer = PassesQuickTest(file.get()) ? 1 : 0;
    file.reset();
    *isDocument = answer;
    return 0;
}

}  // extern "C"

namespace nuvex::document {

namespace {

// The attributes of an open file (FILE_ATTRIBUTE_NORMAL when they cannot be read).
DWORD AttributesOf(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(file, &information)) return FILE_ATTRIBUTE_NORMAL;
    return information.dwFileAttributes;
}

// How the file an operation is named for is opened: a caller's path follows a link at its
// last name as the operation folder allows (on the host it has resolved one of the caller's own
// already, so nothing is followed then); a name in a caller's folder (a walk) never does.
constexpr bool kFollowLastLink = !platform::kFolderResolvesLinks;
HoldRules HoldRulesFor(bool followLink) {
    return {kReadData | kHeldIdentityAccess, FILE_SHARE_READ | FILE_SHARE_DELETE, followLink,
            /*watchWriters=*/true};
}

// The work of an encryption once the plain file's folder is held.
uint32_t EncryptInFolder(const OperationFolder& folder, bool followLink, const SealKey& key,
                         const CopyProgress* progress) {
    HeapBlock<NameChar> path = NameIn(folder, folder.leaf(), folder.leafLength());
    if (!path) return rc::NuvexCtrl_EncryptFile::kNoNameMemory;
    // The plain file is held from the document test to the replace: read sharing lets readers
    // in, delete sharing lets the replace happen, and no writer or other operation gets in.
    // Missing, held by a writer, not a disk file or held by another operation: 797.
    HeldFile plain;
    if (HoldFile(path.get(), HoldRulesFor(followLink), plain) != Hold::Held)
        return rc::NuvexCtrl_EncryptFile::kOpenFailed;
    // The plain file as it is now: a write that gets past the hold where writers cannot be
    // watched is noticed before the replace instead of being replaced away.
    SeenFile seen;
    if (!See(plain.handle(), seen)) return NUVEX_E_PLAIN_READ_FAILED;
    if (PassesQuickTest(plain.handle())) {
        OutputDebugStringA("7777en11111111111111111111111111111");
        return rc::NuvexCtrl_EncryptFile::kAlreadyDocument;
    }
    // Its other names would keep the plain bytes after the replace put a document under this
    // one: refused, nothing changed.
    if (seen.information.nNumberOfLinks > 1) return NUVEX_E_PLAIN_HAS_OTHER_NAMES;
    uint64_t plainSize = 0;
    if (!FileSize64(plain.handle(), plainSize)) return NUVEX_E_PLAIN_READ_FAILED;
    if (plainSize >= kPlainSizeLimit) return NUVEX_E_FILE_TOO_LARGE;

    // The document takes the plain file's attributes (without read-only) from the start, its
    // owner just before the replace and its permissions just after it; until then only its
    // creator can open it (under the built-in key a document is as good as plain).
    const DWORD attributes = seen.information.dwFileAttributes;
    platform::PrivateFileSecurity privateFile;
    if (privateFile.attributes() == nullptr) return rc::NuvexCtrl_EncryptFile::kTempCreateFailed;
    // The temporary file is removed on every failure below, except after a failed replace,
    // where the complete document is left beside the untouched plain file.
    TempFile temp;
    bool noMemory = false;
    if (!temp.Create(folder, folder.leaf(), folder.leafLength(),
                     kTempEncryptAccess | kTempIdentityAccess, FILE_SHARE_READ,
                     CarriedAttributes(attributes), /*announce=*/true, privateFile.attributes(),
                     noMemory))
        return noMemory ? rc::NuvexCtrl_EncryptFile::kNoNameMemory
                        : rc::NuvexCtrl_EncryptFile::kTempCreateFailed;
    CopyBuffer buffer(plainSize);
    if (!buffer) return rc::NuvexCtrl_EncryptFile::kNoBufferMemory;

    static_assert(kCopyWorkspaceBytes >= kHeaderSize, "every copy buffer has room for the header");
    EncodeHeader(CreateHeader(), buffer.get());
    if (!WriteAll(temp.handle(), buffer.get(), kHeaderSize))
        return rc::NuvexCtrl_EncryptFile::kHeaderWriteFailed;
    if (!SeekTo(plain.handle(), 0)) return NUVEX_E_PLAIN_READ_FAILED;
    uint32_t copied = CopyThroughCipher(plain.handle(), temp.handle(), plainSize, kBodyStreamOffset,
                                        key, /*encrypt=*/true, buffer, progress,
                                        {NUVEX_E_PLAIN_READ_FAILED, NUVEX_E_TEMP_WRITE_FAILED});
    if (copied != 0) return copied;
    if (!AtEnd(plain.handle())) return NUVEX_E_PLAIN_READ_FAILED;
    // On disk before it replaces the plain file: a crash after the replace must not leave a
    // truncated document in its place.
    if (!FlushFileBuffers(temp.handle())) return NUVEX_E_TEMP_FLUSH_FAILED;

    switch (ReplaceHeld(folder, folder.leaf(), plain, plain.handle(), temp, plain, seen)) {
    case Replace::Done: temp.Keep(); return 0;
    // The changed plain file stays as its writer left it; the document of its old content
    // goes.
    case Replace::SourceChanged: return NUVEX_E_SOURCE_CHANGED;
    // Another operation got the plain file and replaced it: as when it is held at the start.
    case Replace::Taken: return rc::NuvexCtrl_EncryptFile::kOpenFailed;
    case Replace::Failed: break;
    }
    temp.Keep();  // the complete document stays beside the untouched plain file
    return rc::NuvexCtrl_EncryptFile::kReplaceFailed;
}

// Where a decryption puts its plain file: the document's own folder and name (in place), or
// a target of its own.
struct DecryptTarget {
    const OperationFolder* folder;
    const NameChar* leaf;
    std::size_t leafLength;
    bool followLink;
};

// The work of a decryption once the document's folder is held; `target` is null in place, or
// opens the target's folder (after the document's checks, whose codes come first).
uint32_t DecryptInFolder(const OperationFolder& documentFolder, bool followLink,
                         const char* givenTarget,
                         OperationFolder::Opened (*openTarget)(void* context, OperationFolder& folder),
                         void* openContext, const SealKey& key, const CopyProgress* progress) {
    HeapBlock<NameChar> documentPath =
        NameIn(documentFolder, documentFolder.leaf(), documentFolder.leafLength());
    if (!documentPath) return rc::NuvexCtrl_DecryptFile::kNoMemory;
    // The document is held from its test to the end, as the plain file of an encryption is.
    HeldFile document;
    switch (HoldFile(documentPath.get(), HoldRulesFor(followLink), document)) {
    case Hold::Held: break;
    case Hold::Busy: return NUVEX_E_DOC_BUSY;
    default: return NUVEX_E_DOC_OPEN_FAILED;  // "cannot open" is not "not a document"
    }
    SeenFile seen;  // checked before the replace, as for an encryption
    if (!See(document.handle(), seen)) return NUVEX_E_DOC_READ_FAILED;
    if (!PassesQuickTest(document.handle())) return rc::NuvexCtrl_DecryptFile::kNotDocument;
    OutputDebugStringA("enter de");

    // The target's limit is MAX_PATH in characters as the file system counts them, not bytes.
    if (platform::CountPathCharacters(givenTarget, std::strlen(givenTarget)) >= MAX_PATH)
        return NUVEX_E_PATH_TOO_LONG;

    uint64_t size = 0;
    if (!FileSize64(document.handle(), size)) return NUVEX_E_DOC_READ_FAILED;
    if (size < kHeaderSize) return NUVEX_E_DOC_SHRUNK;
    if (size > kDocumentSizeMax) return NUVEX_E_FILE_TOO_LARGE;
    CopyBuffer buffer(size - kHeaderSize);
    if (!buffer) return rc::NuvexCtrl_DecryptFile::kNoMemory;

    OperationFolder targetFolder;
    DecryptTarget target{&documentFolder, documentFolder.leaf(), documentFolder.leafLength(),
                         followLink};
    if (openTarget != nullptr) {
        switch (openTarget(openContext, targetFolder)) {
        case OperationFolder::Opened::Yes: break;
        case OperationFolder::Opened::NoMemory: return rc::NuvexCtrl_DecryptFile::kNoMemory;
        default: return rc::NuvexCtrl_DecryptFile::kTargetCreateFailed;
        }
        target = {&targetFolder, targetFolder.leaf(), targetFolder.leafLength(), followLink};
    }
    const OperationFolder& folder = *target.folder;
    HeapBlock<NameChar> targetPath = NameIn(folder, target.leaf, target.leafLength);
    if (!targetPath) return rc::NuvexCtrl_DecryptFile::kNoMemory;

    OutputDebugStringA("222");
    OutputDebugStringA(givenTarget);

    // The file to replace: the document itself (in place, or a target naming the same file),
    // an existing target, held like the document, or none when the target is new.
    HeldFile existing;
    HeldFile* replaced = &document;
    bool newTarget = false;
    if (openTarget != nullptr && !NamesFile(targetPath.get(), document.handle())) {
        switch (HoldFile(targetPath.get(), HoldRulesFor(target.followLink), existing)) {
        case Hold::Held: replaced = &existing; break;
        case Hold::Busy: return NUVEX_E_DOC_BUSY;
        case Hold::NotDiskFile: return rc::NuvexCtrl_DecryptFile::kTargetCreateFailed;
        case Hold::NoMemory: return rc::NuvexCtrl_DecryptFile::kNoMemory;
        case Hold::CannotOpen:
            if (GetLastError() != ERROR_FILE_NOT_FOUND)
                return rc::NuvexCtrl_DecryptFile::kTargetCreateFailed;
            newTarget = true;
            break;
        }
    }
    // The plain file takes the replaced file's attributes without read-only (a new target
    // none) from its creation; until its rename only its creator can open it.
    // In place, the document's attributes are those it was seen with.
    const DWORD attributes = newTarget              ? FILE_ATTRIBUTE_NORMAL
                             : replaced == &document ? seen.information.dwFileAttributes
                                                     : AttributesOf(replaced->handle());
    platform::PrivateFileSecurity privateFile;
    if (privateFile.attributes() == nullptr) return rc::NuvexCtrl_DecryptFile::kTargetCreateFailed;
    TempFile temp;
    bool noMemory = false;
    if (!temp.Create(folder, target.leaf, target.leafLength,
                     kPlainTargetAccess | kTempIdentityAccess, FILE_SHARE_READ,
                     CarriedAttributes(attributes), /*announce=*/false, privateFile.attributes(),
                     noMemory))
        return noMemory ? rc::NuvexCtrl_DecryptFile::kNoMemory
                        : rc::NuvexCtrl_DecryptFile::kTargetCreateFailed;
    if (!SeekTo(document.handle(), kHeaderSize)) return NUVEX_E_DOC_READ_FAILED;
    uint32_t copied = CopyThroughCipher(document.handle(), temp.handle(), size - kHeaderSize,
                                        kBodyStreamOffset, key, /*encrypt=*/false, buffer,
                                        progress, {NUVEX_E_DOC_READ_FAILED, NUVEX_E_TEMP_WRITE_FAILED});
    if (copied != 0) return copied;
    if (!FlushFileBuffers(temp.handle())) return NUVEX_E_TEMP_FLUSH_FAILED;
    OutputDebugStringA("WriteFile");

    // The plain text is never given to more than had the document: a new target, or an
    // existing one of another owner's (someone who made the name first), takes the
    // document's identity; a target of the document's owner keeps its own.
    Replace done = Replace::Failed;
    if (newTarget) {
        // Not created over a file that appeared meanwhile (another decryption to the same
        // name): that one stays, and this one fails.
        done = PlaceNew(folder, target.leaf, document.handle(), temp, document, seen);
    } else {
        const HANDLE identity =
            replaced == &document || platform::SameOwner(document.handle(), replaced->handle())
                ? replaced->handle()
                : document.handle();
        done = ReplaceHeld(folder, target.leaf, *replaced, identity, temp, document, seen);
    }
    switch (done) {
    case Replace::Done: temp.Keep(); return 0;
    case Replace::SourceChanged: return NUVEX_E_SOURCE_CHANGED;
    case Replace::Taken: return NUVEX_E_DOC_BUSY;
    case Replace::Failed: break;
    }
    return NUVEX_E_REPLACE_FAILED;
}

OperationFolder::Opened OpenByPath(void* path, OperationFolder& folder) {
    return folder.Open(static_cast<const char*>(path));
}

struct NameInCallerFolder {
    intptr_t folder;
    const char* name;
};

OperationFolder::Opened OpenInCallerFolder(void* context, OperationFolder& folder) {
    const auto* place = static_cast<const NameInCallerFolder*>(context);
    return folder.OpenIn(place->folder, place->name);
}

}  // namespace

uint32_t EncryptDocumentFile(const char* fileName, const SealKey& key, const CopyProgress* progress) {
    if (fileName == nullptr) return rc::NuvexCtrl_EncryptFile::kNullArgument;
    // The folder is resolved once and held: the temporary file goes beside the file in that
    // very folder, and the replace happens there, however the path was spelled.
    OperationFolder folder;
    switch (folder.Open(fileName)) {
    case OperationFolder::Opened::Yes: break;
    case OperationFolder::Opened::NoMemory: return rc::NuvexCtrl_EncryptFile::kNoNameMemory;
    default: return rc::NuvexCtrl_EncryptFile::kOpenFailed;
    }
    return EncryptInFolder(folder, kFollowLastLink, key, progress);
}

uint32_t EncryptDocumentIn(intptr_t folderHandle, const char* name, const SealKey& key,
                           const CopyProgress* progress) {
    if (name == nullptr) return rc::NuvexCtrl_EncryptFile::kNullArgument;
    OperationFolder folder;
    switch (folder.OpenIn(folderHandle, name)) {
    case OperationFolder::Opened::Yes: break;
    case OperationFolder::Opened::NoMemory: return rc::NuvexCtrl_EncryptFile::kNoNameMemory;
    default: return rc::NuvexCtrl_EncryptFile::kOpenFailed;
    }
    return EncryptInFolder(folder, /*followLink=*/false, key, progress);
}

uint32_t DecryptDocumentFile(const char* fileName, uint32_t toOtherFile, const char* outFileName,
                             const SealKey& key, const CopyProgress* progress) {
    if (outFileName != nullptr) OutputDebugStringA(outFileName);
    if (fileName == nullptr) return rc::NuvexCtrl_DecryptFile::kNullArgument;
    if (toOtherFile != 0 && outFileName == nullptr) return rc::NuvexCtrl_DecryptFile::kNoTarget;
    OperationFolder folder;
    switch (folder.Open(fileName)) {
    case OperationFolder::Opened::Yes: break;
    case OperationFolder::Opened::NoMemory: return rc::NuvexCtrl_DecryptFile::kNoMemory;
    default: return NUVEX_E_DOC_OPEN_FAILED;
    }
    if (toOtherFile == 0)
        return DecryptInFolder(folder, kFollowLastLink, fileName, nullptr, nullptr, key,
                               progress);
    return DecryptInFolder(folder, kFollowLastLink, outFileName, &OpenByPath,
                           const_cast<char*>(outFileName), key, progress);
}

uint32_t DecryptDocumentIn(intptr_t folderHandle, const char* name, const char* outName,
                           const SealKey& key, const CopyProgress* progress) {
    if (name == nullptr) return rc::NuvexCtrl_DecryptFile::kNullArgument;
    OperationFolder folder;
    switch (folder.OpenIn(folderHandle, name)) {
    case OperationFolder::Opened::Yes: break;
    case OperationFolder::Opened::NoMemory: return rc::NuvexCtrl_DecryptFile::kNoMemory;
    default: return NUVEX_E_DOC_OPEN_FAILED;
    }
    if (outName == nullptr)
        return DecryptInFolder(folder, /*followLink=*/false, name, nullptr, nullptr, key, progress);
    NameInCallerFolder place{folderHandle, outName};
    return DecryptInFolder(folder, /*followLink=*/false, outName, &OpenInCallerFolder, &place, key,
                           progress);
}

}  // namespace nuvex::document

extern "C" {

// The key and useKey arguments have no effect: the body is enciphered under the module's
// document key, one snapshot of it for the whole file.
uint32_t NUVEXAPI NuvexCtrl_EncryptFile(const char* fileName, uint32_t /*reserved*/,
                                        const void* /*key*/, uint32_t /*useKey*/) {
    SealKey key = DocumentKeySnapshot();
    const uint32_t result = EncryptDocumentFile(fileName, key, nullptr);
    SecureWipe(key.data(), key.size());
    return result;
}

uint32_t NUVEXAPI NuvexCtrl_DecryptFile(const char* fileName, uint32_t toOtherFile,
                                        const char* outFileName, uint32_t /*reserved*/,
                                        const void* /*key*/, uint32_t /*useKey*/) {
    SealKey key = DocumentKeySnapshot();
    const uint32_t result = DecryptDocumentFile(fileName, toOtherFile, outFileName, key, nullptr);
    SecureWipe(key.data(), key.size());
    return result;
}

}  // extern "C"
