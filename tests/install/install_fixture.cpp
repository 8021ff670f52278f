#include "install_fixture.h"

#include <cstdlib>
#include <filesystem>

#include "platform/host/host_hooks.h"

namespace nuvex::test {

namespace fs = std::filesystem;

void InstallTest::SetUp() {
    MachineRootTest::SetUp();
    events_ = Scratch("events");
    ::setenv("NUVEX_HOST_EVENTS", events_.c_str(), 1);
}

void InstallTest::TearDown() {
    // Drivers that a test loaded run as processes of their own: end them with the test.
    NuvexHost_StopDrivers();
    ::unsetenv("NUVEX_HOST_EVENTS");
    MachineRootTest::TearDown();
}

std::string InstallTest::ServiceKey(const std::string& service) const {
    return Root() + "/Registry/HKEY_LOCAL_MACHINE/SYSTEM/CurrentControlSet/Services/" + service;
}

std::string InstallTest::DriverFile(const std::string& service) const {
    return Root() + "/Windows/System32/drivers/" + service + ".sys";
}

std::string InstallTest::PidFile(const std::string& service) const {
    return Root() + "/Drivers/" + service + ".pid";
}

std::string InstallTest::DeviceSocket(const std::string& service) const {
    return Root() + "/Device/" + service + "cdo_3";
}

std::set<std::string> InstallTest::ValueNames(const std::string& service) const {
    std::set<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(ServiceKey(service), error))
        if (entry.is_regular_file()) names.insert(entry.path().filename().string());
    return names;
}

std::string InstallTest::Value(const std::string& service, const std::string& file) const {
    return ReadFileBytes(ServiceKey(service) + "/" + file);
}

std::string InstallTest::Events() const { return ReadFileBytes(events_); }

std::string InstallTest::MakeSource(const std::string& name, const std::string& content) {
    std::string path = Scratch(name);
    WriteFileBytes(path, content);
    return path;
}

std::string Dword(uint32_t value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(value >> (8 * i));
    return bytes;
}

bool LoadPrivilegeEnabled() { return NuvexHost_LoadDriverPrivilegeEnabled() != 0; }

}  // namespace nuvex::test
