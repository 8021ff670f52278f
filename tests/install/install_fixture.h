// Shared by the installation tests: where the host platform keeps the registry, the drivers
// folder and loaded drivers under the machine root, and a fixture that collects what a test
// shows a person and ends the driver processes that a test's loads started.
#pragma once

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "machine_root.h"

namespace nuvex::test {

class InstallTest : public MachineRootTest {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string ServiceKey(const std::string& service) const;
    std::string DriverFile(const std::string& service) const;
    std::string PidFile(const std::string& service) const;
    std::string DeviceSocket(const std::string& service) const;
    // Names of the value files in a service key ("Start.4", ...).
    std::set<std::string> ValueNames(const std::string& service) const;
    std::string Value(const std::string& service, const std::string& file) const;
    // Everything written to the events file (debug output and message boxes).
    std::string Events() const;
    // A driver source file with the given content in the scratch folder.
    std::string MakeSource(const std::string& name, const std::string& content);

    std::string events_;
};

std::string Dword(uint32_t value);
// Whether the calling process may load drivers now (its load-driver privilege is enabled).
bool LoadPrivilegeEnabled();

}  // namespace nuvex::test
