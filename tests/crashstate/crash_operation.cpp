// One library operation, run in a process of its own under the recorder. After each call it
// appends a marker ("returned" or "returned <value>") to the recorder's log, so that a
// promise can tell the states before the call returned from those after.
//
//   crash_operation encrypt FILE
//   crash_operation decrypt FILE [TARGET]
//   crash_operation policy-save FILE
//   crash_operation install main|acl|monitor SOURCE
//   crash_operation registry KEY NAME=dword:N|NAME=sz:TEXT ...
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fs_events.h"
#include "nuvexctrl.h"
#include "platform/platform.h"

namespace {

void Mark(const std::string& text) {
    const char* log = std::getenv(NUVEX_CRASH_LOG_ENV);
    if (log == nullptr) return;
    NuvexFsEventHead head{};
    head.magic = NUVEX_FS_EVENT_MAGIC;
    head.kind = NUVEX_FS_MARKER;
    head.pid = static_cast<int32_t>(::getpid());
    head.pathLength = static_cast<uint32_t>(text.size());
    std::string record(reinterpret_cast<const char*>(&head), sizeof head);
    record += text;
    int fd = ::open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return;
    ssize_t ignored = ::write(fd, record.data(), record.size());
    (void)ignored;
    ::close(fd);
}

int Done(uint32_t code) {
    Mark("returned");
    std::printf("%u\n", code);
    return code == 0 ? 0 : 1;
}

int Registry(const std::string& key, const std::vector<std::string>& values) {
    HKEY opened = nullptr;
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, key.c_str(), &opened) != ERROR_SUCCESS) return 2;
    Mark("returned key");
    for (const std::string& value : values) {
        const size_t equals = value.find('=');
        const std::string name = value.substr(0, equals);
        const std::string setting = value.substr(equals + 1);
        LSTATUS status;
        if (setting.rfind("dword:", 0) == 0) {
            const uint32_t number = static_cast<uint32_t>(std::strtoul(setting.c_str() + 6, nullptr, 0));
            BYTE bytes[4] = {static_cast<BYTE>(number), static_cast<BYTE>(number >> 8),
                             static_cast<BYTE>(number >> 16), static_cast<BYTE>(number >> 24)};
            status = RegSetValueExA(opened, name.c_str(), 0, REG_DWORD, bytes, 4);
        } else {
            const std::string text = setting.substr(3);
            status = RegSetValueExA(opened, name.c_str(), 0, REG_SZ,
                                    reinterpret_cast<const BYTE*>(text.c_str()),
                                    static_cast<DWORD>(text.size() + 1));
        }
        if (status != ERROR_SUCCESS) return 2;
        Mark("returned " + name);
    }
    RegCloseKey(opened);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const std::string verb = argv[1];
    if (verb == "encrypt") return Done(NuvexCtrl_EncryptFile(argv[2], 0, nullptr, 0));
    if (verb == "decrypt")
        return Done(NuvexCtrl_DecryptFile(argv[2], argc > 3 ? 1 : 0, argc > 3 ? argv[3] : nullptr, 0,
                                          nullptr, 0));
    if (verb == "policy-save") return Done(NuvexCtrl_SaveCurrentPolicyToFile(argv[2]));
    if (verb == "install" && argc > 3) {
        const std::string driver = argv[2];
        if (driver == "main") return Done(NuvexCtrl_Install(0, argv[3]));
        if (driver == "acl") return Done(NuvexAccCtrl_Install(0, argv[3]));
        if (driver == "monitor") return Done(NuvexAntiSteal_Install(0, argv[3]));
    }
    if (verb == "registry") return Registry(argv[2], std::vector<std::string>(argv + 3, argv + argc));
    return 2;
}
