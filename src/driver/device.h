// The control devices of the drivers and the control handshake of the main filter driver.
#pragma once

#include <cstdint>

#include "frame/owners.h"
#include "nuvex_wire.h"

namespace nuvex {

constexpr char kMainDeviceName[] = "\\\\.\\" NUVEX_MAIN_DEVICE_NAME;
constexpr char kAclDeviceName[] = "\\\\.\\" NUVEX_ACL_DEVICE_NAME;

// Opens the main filter driver's control device (read/write, shared read/write, existing).
// An invalid owner means the driver is not reachable.
UniqueHandle OpenControlDevice();
// The same for the access-control driver.
UniqueHandle OpenAclDevice();

// Result of one synchronous request.
struct RequestResult {
    bool ok;             // the BOOL result of DeviceIoControl
    uint32_t returned;   // the bytes-returned count (set to 0 before the request)
};

// Sends one request on an open device. `in`/`out` may be null with length 0.
RequestResult DeviceRequest(HANDLE device, uint32_t code, const void* in, uint32_t inLength,
                            void* out, uint32_t outLength);

// Opening half of the control handshake: asks for a 4-byte token and, when bytes came back,
// hands the same 4 bytes back. No result is checked.
void BeginDriverControl(HANDLE device);
// Closing request of the handshake; the caller closes the handle afterwards.
void EndDriverControl(HANDLE device);

// A main-driver session bracketed by the handshake: the handshake is opened when the device
// opens and closed (then the handle) when the session ends, on every path.
class ControlSession {
public:
    ControlSession() : device_(OpenControlDevice()) {
        if (device_) BeginDriverControl(device_.get());
    }
    ControlSession(const ControlSession&) = delete;
    ControlSession& operator=(const ControlSession&) = delete;
    ~ControlSession() {
        if (device_) EndDriverControl(device_.get());
    }
    bool opened() const { return static_cast<bool>(device_); }
    HANDLE device() const { return device_.get(); }
    RequestResult Request(uint32_t code, const void* in, uint32_t inLength, void* out,
                          uint32_t outLength) const {
        return DeviceRequest(device_.get(), code, in, inLength, out, outLength);
    }

private:
    UniqueHandle device_;
};

}  // namespace nuvex
