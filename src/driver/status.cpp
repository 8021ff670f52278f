// Switches and queries of the main filter driver as a whole: status, suspend and resume,
// process authorisation, and the logging switches.
#include <cstring>

#include "driver/device.h"
#include "driver/request_codes.h"
#include "frame/wire.h"
#include "nuvexctrl.h"

using nuvex::ControlSession;
using nuvex::DeviceRequest;
using nuvex::OpenControlDevice;
using nuvex::UniqueHandle;
namespace codes = nuvex::main_driver;

namespace {

// One request without buffers inside the control handshake; success is the BOOL result.
uint32_t BracketedSwitch(uint32_t code, uint32_t notOpened, uint32_t failed) {
    ControlSession session;
    if (!session.opened()) return notOpened;
    return session.Request(code, nullptr, 0, nullptr, 0).ok ? 0 : failed;
}

// One request without buffers and without the handshake; success is the BOOL result.
uint32_t PlainSwitch(uint32_t code, uint32_t notOpened, uint32_t failed) {
    UniqueHandle device = OpenControlDevice();
    if (!device) return notOpened;
    return DeviceRequest(device.get(), code, nullptr, 0, nullptr, 0).ok ? 0 : failed;
}

}  // namespace

extern "C" {

uint32_t NUVEXAPI NuvexCtrl_GetDriverStatus(DriverStatus* status) {
    if (status == nullptr) return 50;
    ControlSession session;
    if (!session.opened()) return 74;
    // The 12 bytes are the driver's own: a plain byte block, written straight into the
    // caller's, which is not cleared first. Only the byte count decides, not the BOOL result.
    nuvex::RequestResult result = session.Request(codes::kGetStatus, nullptr, 0, status->bytes,
                                                  sizeof status->bytes);
    return result.returned != 0 ? 0 : 67;
}

uint32_t NUVEXAPI NuvexCtrl_SuspendDriver(void) {
    return BracketedSwitch(codes::kSuspend, 107, 100);
}

uint32_t NUVEXAPI NuvexCtrl_ResumeDriver(void) {
    return BracketedSwitch(codes::kResume, 140, 133);
}

uint32_t NUVEXAPI NuvexCtrl_IsAuthProc(uint32_t processId, uint32_t* answer) {
    if (answer == nullptr) return 150;
    *answer = 0;
    if (processId == 0) processId = GetCurrentProcessId();
    UniqueHandle device = OpenControlDevice();
    if (!device) return 178;
    uint8_t id[4];
    nuvex::StoreU32(id, processId);
    uint8_t reply[4] = {0, 0, 0, 0};
    nuvex::RequestResult result =
        DeviceRequest(device.get(), codes::kIsAuthProc, id, sizeof id, reply, sizeof reply);
    // The answer is the driver's value, passed through as it wrote it.
    if (result.returned != 0) *answer = nuvex::LoadU32(reply);
    return result.ok ? 0 : 173;
}

uint32_t NUVEXAPI NuvexCtrl_StartLogging(void) {
    return PlainSwitch(codes::kStartLogging, 32, 27);
}

uint32_t NUVEXAPI NuvexCtrl_StopLogging(void) {
    return PlainSwitch(codes::kStopLogging, 57, 52);
}

uint32_t NUVEXAPI NuvexCtrl_IsLogging(uint32_t* state) {
    if (state == nullptr) return 224;
    *state = 0;
    UniqueHandle device = OpenControlDevice();
    if (!device) return 246;
    uint8_t reply[4] = {0, 0, 0, 0};
    nuvex::RequestResult result =
        DeviceRequest(device.get(), codes::kIsLogging, nullptr, 0, reply, sizeof reply);
    if (!result.ok || result.returned == 0) return 241;
    *state = nuvex::LoadU32(reply);
    return 0;
}

uint32_t NUVEXAPI NuvexCtrl_ClearAllLog(void) {
    return PlainSwitch(codes::kClearLog, 214, 209);
}

}  // extern "C"
