#include "driver/device.h"

#include "nuvex_wire.h"

namespace nuvex {
namespace {

UniqueHandle OpenDevice(const char* name) {
    return UniqueHandle(CreateFileA(name, GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

UniqueHandle OpenControlDevice() { return OpenDevice(kMainDeviceName); }

UniqueHandle OpenAclDevice() { return OpenDevice(kAclDeviceName); }

RequestResult DeviceRequest(HANDLE device, uint32_t code, const void* in, uint32_t inLength,
                            void* out, uint32_t outLength) {
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(device, code, const_cast<void*>(in), inLength, out, outLength,
                              &returned, nullptr);
    // A driver cannot legitimately report more than the output it was given; never let a
    // caller read past its buffer on the strength of a larger count.
    if (returned > outLength) returned = outLength;
    return RequestResult{ok != FALSE, returned};
}

void BeginDriverControl(HANDLE device) {
    uint8_t token[4] = {0, 0, 0, 0};
    RequestResult begin = DeviceRequest(device, main_driver::kBeginControl, nullptr, 0, token,
                                        sizeof token);
    if (begin.returned != 0)
        DeviceRequest(device, main_driver::kConfirmControl, token, sizeof token, nullptr, 0);
}

void EndDriverControl(HANDLE device) {
    DeviceRequest(device, main_driver::kEndControl, nullptr, 0, nullptr, 0);
}

}  // namespace nuvex
