// Signature code of a program file: MD5 of the file's bytes 4096..12287 as 32 upper-case
// hexadecimal characters.
#include <cstring>

#include "crypto/md5.h"
#include "frame/heap.h"
#include "frame/owners.h"
#include "frame/result_codes.h"
#include "nuvexctrl.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t kSignedRegionStart = 4096;
constexpr uint32_t kSignedRegionBytes = 8192;
constexpr uint32_t kSignCodeChars = 32;

}  // namespace

extern "C" NUVEX_EXPORT uint32_t NUVEXAPI NuvexCtrl_GetProcSignCode(const char* fileName,
                                                                   char* signCode) {
    using namespace nuvex;
    namespace result = rc::NuvexCtrl_GetProcSignCode;
    if (signCode == nullptr || fileName == nullptr) return result::kNullArgument;

    UniqueHandle file(CreateFileA(fileName, SYNCHRONIZE | FILE_READ_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    // A console or a pipe would wait for input, a device would hand out what it likes: only a
    // disk file is read.
    if (!file || GetFileType(file.get()) != FILE_TYPE_DISK)
        return result::kOpenFailed;

    HeapBlock<uint8_t> region(static_cast<uint8_t*>(MemAllocZero(kSignedRegionBytes)));
    if (!region) return result::kNoMemory;

    // Where the move lands is not examined: a file too short for it yields no bytes below.
    SetFilePointer(file.get(), static_cast<LONG>(kSignedRegionStart), nullptr, FILE_BEGIN);
    DWORD read = 0;
    if (!ReadFile(file.get(), region.get(), kSignedRegionBytes, &read, nullptr) || read == 0)
        return result::kTooShort;

    uint8_t digest[16];
    Md5Digest(region.get(), read, digest);

    static const char kHex[] = "0123456789ABCDEF";
    char text[kSignCodeChars];
    for (int i = 0; i < 16; ++i) {
        text[2 * i] = kHex[digest[i] >> 4];
        text[2 * i + 1] = kHex[digest[i] & 0x0F];
    }
    std::memcpy(signCode, text, kSignCodeChars);
    return 0;
}
