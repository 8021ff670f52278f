// Paths and registry names shared by the installers of the three drivers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nuvex {

// Path buffers of the installers hold this many characters, terminator included.
constexpr std::size_t kPathCapacity = 260;

// Services key under HKEY_LOCAL_MACHINE that holds every driver's service key.
constexpr char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services";

// One installable driver: its service name doubles as the base name of its file.
struct DriverNames {
    const char* service;      // "Nuvex", "NuvexACL", "NuvexMon"
    const char* serviceKey;   // the service key under HKEY_LOCAL_MACHINE
};

constexpr DriverNames kMainDriver{"Nuvex", "SYSTEM\\CurrentControlSet\\Services\\Nuvex"};
constexpr DriverNames kAclDriver{"NuvexACL", "SYSTEM\\CurrentControlSet\\Services\\NuvexACL"};
constexpr DriverNames kMonitorDriver{"NuvexMon", "SYSTEM\\CurrentControlSet\\Services\\NuvexMon"};

// <system directory>\drivers\<service>.sys into `path` (kPathCapacity characters). False when
// the system directory cannot be had or the whole path does not fit; `path` is then empty.
bool BuildDriverFilePath(const DriverNames& driver, char* path);

// <directory of the running executable><service>.sys into `path` (kPathCapacity characters):
// the driver file that ships next to the host program. False when the executable's path
// cannot be had or the whole path does not fit; `path` is then empty.
bool BuildDefaultSourcePath(const DriverNames& driver, char* path);

// Clears the file's attributes and deletes it; true when the file was deleted.
bool RemoveDriverFile(const char* path);

// True when both paths lead to one existing file (same volume and file index), however they
// are spelled: installing from the file already in the drivers folder must not delete it.
bool IsSameFile(const char* first, const char* second);

// Puts the driver file at `source` into place at `target`, unless `source` already is the
// target file, which then stays as it is. The source must be a regular disk file (checked on
// its opened handle: no pipe, device, socket or file the kernel makes up as it is read). It
// is copied beside the target under a staging name, checked to hold as many bytes as the
// source, flushed to the disk and renamed over the target in one step, so the target holds
// the old file or the complete new one whatever happens (a missing, unreadable or special
// source, a full disk, a kill); a failure removes the staging copy and leaves the old file
// whole. False when the file could not be put in place. *copied tells whether it was.
bool PlaceDriverFile(const char* source, const char* target, bool* copied);

}  // namespace nuvex
