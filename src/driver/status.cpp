// Switches and queries of the main filter driver as a whole: status, suspend and resume,
// process authorisation, and the logging switches.
#include <cstring>

#include "driver/device.h"
#include "frame/result_codes.h"
#include "frame/wire.h"
#include "nuvex_wire.h"
#include "nuvexctrl.h"

using nuvex::ControlSession;
using nuvex::DeviceRequest;
using nuvex::OpenControlDevice;
using nuvex::UniqueHandle;
namespace codes = nuvex::main_driver;
namespace rc = nuvex::rc;

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
    if (status == nullptr) return rc::NuvexCtrl_GetDriverStatus::kNullArgument;
    ControlSession session;
    if (!session.opened()) return rc::NuvexCtrl_GetDriverStatus::kNoDevice;
    // The 12 bytes are the driver's own: a plain byte block, written straight into the
    // caller's, which is not cleared first. Only the byte count decides, not the BOOL result.
    nuvex::RequestResult result = session.Request(codes::kGetStatus, nullptr, 0, status->bytes,
                                                  sizeof status->bytes);
    return result.returned != 0 ? 0 : rc::NuvexCtrl_GetDriverStatus::kNoStatusBytes;
}

uint32_t NUVEXAPI NuvexCtrl_SuspendDriver(void) {
    return BracketedSwitch(codes::kSuspend, rc::NuvexCtrl_SuspendDriver::kNoDevice,
                           rc::NuvexCtrl_SuspendDriver::kRefused);
}

uint32_t NUVEXAPI NuvexCtrl_ResumeDriver(void) {
    return BracketedSwitch(codes::kResume, rc::NuvexCtrl_ResumeDriver::kNoDevice,
                           rc::NuvexCtrl_ResumeDriver::kRefused);
}

uint32_t NUVEXAPI NuvexCtrl_IsAuthProc(uint32_t processId, uint32_t* answer) {
    if (answer == nullptr) return rc::NuvexCtrl_IsAuthProc::kNullArgument;
    *answer = 0;
    if (processId == 0) processId = GetCurrentProcessId();
    UniqueHandle device = OpenControlDevice();
    if (!device) return rc::NuvexCtrl_IsAuthProc::kNoDevice;
    uint8_t id[4];
    nuvex::StoreU32(id, processId);
    uint8_t reply[4] = {0, 0, 0, 0};
    nuvex::RequestResult result =
        DeviceRequest(device.get(), codes::kIsAuthProc, id, sizeof id, reply, sizeof reply);
    // The answer is the driver's value, passed through as it wrote it.
    if (result.returned != 0) *answer = nuvex::LoadU32(reply);
    return result.ok ? 0 : rc::NuvexCtrl_IsAuthProc::kRefused;
}

uint32_t NUVEXAPI NuvexCtrl_StartLogging(void) {
    return PlainSwitch(codes::kStartLogging, rc::NuvexCtrl_StartLogging::kNoDevice,
                       rc::NuvexCtrl_StartLogging::kRefused);
}

uint32_t NUVEXAPI NuvexCtrl_StopLogging(void) {
    return PlainSwitch(codes::kStopLogging, rc::NuvexCtrl_StopLogging::kNoDevice,
                       rc::NuvexCtrl_StopLogging::kRefused);
}

uint32_t NUVEXAPI NuvexCtrl_IsLogging(uint32_t* state) {
    if (state == nullptr) return rc::NuvexCtrl_IsLogging::kNullArgument;
    *state = 0;
    UniqueHandle device = OpenControlDevice();
    if (!device) return rc::NuvexCtrl_IsLogging::kNoDevice;
    uint8_t reply[4] = {0, 0, 0, 0};
    nuvex::RequestResult result =
        DeviceRequest(device.get(), codes::kIsLogging, nullptr, 0, reply, sizeof reply);
    if (!result.ok || result.returned == 0) return rc::NuvexCtrl_IsLogging::kRefused;
    *state = nuvex::LoadU32(reply);
    return 0;
}

uint32_t NUVEXAPI NuvexCtrl_ClearAllLog(void) {
    return PlainSwitch(codes::kClearLog, rc::NuvexCtrl_ClearAllLog::kNoDevice,
                       rc::NuvexCtrl_ClearAllLog::kRefused);
}

}  // extern "C"
