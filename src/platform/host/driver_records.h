// The record of loaded drivers: <root>/Drivers/NAME.pid holds the pid of the running image.
#pragma once

#include <sys/types.h>

#include <string>

namespace nuvex::host {

void RecordDriver(const std::string& name, pid_t pid);
void ForgetDriver(const std::string& name);
// True while the recorded process runs and is a driver of this machine root (a recycled pid
// of some other program does not count).
bool DriverRunning(const std::string& name);
// Ends every recorded driver of the machine root; returns how many were running.
unsigned StopAllDrivers();

}  // namespace nuvex::host
