// Request codes of the two drivers with control devices, in one table. Main filter driver
// codes have device type 0x8309, access-control driver codes 0x8666; all are METHOD_BUFFERED
// with any access, function 0x800 upward.
#pragma once

#include <cstdint>

namespace nuvex {

constexpr uint32_t ControlCode(uint32_t deviceType, uint32_t function) {
    return (deviceType << 16) | (function << 2);
}

namespace main_driver {
constexpr uint32_t kDeviceType = 0x8309;
constexpr uint32_t kGetStatus = 0x83092000;
constexpr uint32_t kBeginControl = 0x83092004;
constexpr uint32_t kConfirmControl = 0x83092008;
constexpr uint32_t kEndControl = 0x8309200c;
constexpr uint32_t kSuspend = 0x83092010;
constexpr uint32_t kResume = 0x83092014;
constexpr uint32_t kUninstall = 0x83092018;
constexpr uint32_t kSecRunNextEntry = 0x830920c0;
constexpr uint32_t kSecRunNextSubEntry = 0x830920c4;
constexpr uint32_t kIsAuthProc = 0x830920c8;
constexpr uint32_t kEnFileTextSize = 0x83092100;
constexpr uint32_t kEnFileText = 0x83092104;
constexpr uint32_t kPolicyNext = 0x83092140;
constexpr uint32_t kPolicyStrNext = 0x83092144;
constexpr uint32_t kPolicyById = 0x83092148;
constexpr uint32_t kPolicyStrById = 0x8309214c;
constexpr uint32_t kPolicyInsert = 0x83092150;
constexpr uint32_t kPolicyStrInsert = 0x83092154;
constexpr uint32_t kPolicyDeleteOne = 0x83092158;
constexpr uint32_t kPolicyDeleteAll = 0x8309215c;
constexpr uint32_t kPolicyNewId = 0x83092160;
constexpr uint32_t kPassPathSize = 0x83092200;
constexpr uint32_t kPassPathText = 0x83092204;
constexpr uint32_t kPassPathAdd = 0x83092208;
constexpr uint32_t kPassPathDeleteAll = 0x8309220c;
constexpr uint32_t kQueryFileType = 0x830922c0;
constexpr uint32_t kHeaderRequest = 0x830922c4;
constexpr uint32_t kGetLog = 0x83092400;
constexpr uint32_t kStartLogging = 0x83092404;
constexpr uint32_t kStopLogging = 0x83092408;
constexpr uint32_t kClearLog = 0x8309240c;
constexpr uint32_t kIsLogging = 0x83092410;
constexpr uint32_t kSetKey = 0x830924c0;
constexpr uint32_t kSetSysKey = 0x830924d8;

static_assert(kGetStatus == ControlCode(kDeviceType, 0x800));
static_assert(kSetSysKey == ControlCode(kDeviceType, 0x936));
}  // namespace main_driver

namespace acl_driver {
constexpr uint32_t kDeviceType = 0x8666;
constexpr uint32_t kAddPolicy = 0x86662000;
constexpr uint32_t kDeleteAllPolicies = 0x86662004;
constexpr uint32_t kDeleteOnePolicy = 0x86662008;
constexpr uint32_t kGetPolicy = 0x8666200c;
constexpr uint32_t kStart = 0x86662010;
constexpr uint32_t kStop = 0x86662014;
constexpr uint32_t kGetStatus = 0x86662018;
constexpr uint32_t kGetLog = 0x8666201c;

// Selector words of kGetPolicy.
constexpr uint32_t kSelectById = 3;
constexpr uint32_t kSelectNext = 2;

static_assert(kAddPolicy == ControlCode(kDeviceType, 0x800));
static_assert(kGetLog == ControlCode(kDeviceType, 0x807));
}  // namespace acl_driver

}  // namespace nuvex
