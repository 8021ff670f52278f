// Driver verbs and `status`: what is installed, loaded and answering, and the service-like verbs
// (install, uninstall, load, unload, restart, suspend, resume) that look before they act, so
// that a script can run them again and again and get the same answer.
//
// Three facts describe a driver:
//   installed  its service key is in the registry (it loads at the next system start);
//   loaded     its image runs (Windows: the service manager says so; host platform: the
//              process the loader recorded for the service still runs);
//   running    it answers on its control device (the monitor driver has none: loaded).
#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <winsvc.h>
#else
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "nuvexctrl.h"
#include "output.h"
#include "result_codes.h"
#include "text.h"

namespace fs = std::filesystem;

namespace nuvexctl {

namespace {

struct DriverKind {
    const char* name;     // as the command line names it
    const char* service;  // service name, file name without ".sys"
    const char* title;    // for tables
    bool hasDevice;       // answers control requests
};

constexpr DriverKind kDriverKinds[] = {
    {"main", "Nuvex", "main (Nuvex)", true},
    {"acl", "NuvexACL", "access control (NuvexACL)", true},
    {"monitor", "NuvexMon", "monitor (NuvexMon)", false},
};

const DriverKind* FindDriverKind(const std::string& name) {
    for (const DriverKind& kind : kDriverKinds)
        if (name == kind.name) return &kind;
    return nullptr;
}

int UnknownDriver(const std::string& name) {
    return ReportError("unknown driver '" + name + "' (main, acl, monitor)", kExitUsage);
}

// How long a driver is given to come or go before the tool says it did not.
constexpr std::chrono::milliseconds kUnloadWait{5000};
// A driver left loaded without its registration ends by itself on the host platform within
// a few tenths of a second; elsewhere it does not end at all.
constexpr std::chrono::milliseconds kUnregisteredWait{1500};

void Pause() { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }

// Loaded: its image runs, or it answers (defined with the facts below).
bool DriverLoaded(const DriverKind& kind);

// ---- what the platform lets the tool see and do ---------------------------------------------
#if defined(_WIN32)

std::string ServiceKeyName(const DriverKind& kind) {
    return std::string("SYSTEM\\CurrentControlSet\\Services\\") + kind.service;
}

bool ServiceRegistered(const DriverKind& kind) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, ServiceKeyName(kind).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// Closes a service-manager handle when it goes.
struct ScHandle {
    SC_HANDLE handle = nullptr;
    explicit ScHandle(SC_HANDLE h) : handle(h) {}
    ~ScHandle() {
        if (handle != nullptr) CloseServiceHandle(handle);
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
};

// The service's current state, or 0 when the service manager does not know the service (the
// main driver is registered in the registry directly, so the manager learns of it only when
// it next starts); `error` then holds the reason.
DWORD ServiceState(const DriverKind& kind, DWORD access, DWORD& error, ScHandle* keep = nullptr) {
    error = 0;
    ScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (manager.handle == nullptr) {
        error = GetLastError();
        return 0;
    }
    SC_HANDLE service = OpenServiceA(manager.handle, kind.service, access | SERVICE_QUERY_STATUS);
    if (service == nullptr) {
        error = GetLastError();
        return 0;
    }
    SERVICE_STATUS status{};
    DWORD state = QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
    if (state == 0) error = GetLastError();
    if (keep != nullptr) keep->handle = service;
    else CloseServiceHandle(service);
    return state;
}

bool ImageLoaded(const DriverKind& kind) {
    DWORD error = 0;
    DWORD state = ServiceState(kind, 0, error);
    return state != 0 && state != SERVICE_STOPPED;
}

std::string SystemError(DWORD error) {
    char text[512] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                             sizeof text, nullptr);
    std::string message(text, n);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    return (message.empty() ? "system error" : message) + " (" + std::to_string(error) + ")";
}

// The driver's file in the system folder, as the library's install takes it; empty when it
// cannot be named (the folder read in UTF-16, so no best-fit substitute names another file).
std::string InstalledImage(const DriverKind& kind) {
    wchar_t directory[MAX_PATH + 1] = {};
    UINT n = GetSystemDirectoryW(directory, MAX_PATH);
    if (n == 0 || n > MAX_PATH) return "";
    std::string name;
    const fs::path image = fs::path(std::wstring(directory, n)) / L"drivers" / (std::string(kind.service) + ".sys");
    return LibraryName(image, name) ? name : "";
}

bool StopImage(const DriverKind& kind, std::string& why) {
    DWORD error = 0;
    ScHandle service(nullptr);
    DWORD state = ServiceState(kind, SERVICE_STOP, error, &service);
    if (state == 0) {
        why = error == ERROR_SERVICE_DOES_NOT_EXIST
                  ? "the service manager does not know the service yet (it learns of a driver registered "
                    "in the registry directly at the next system start)"
                  : "the service manager cannot reach the service: " + SystemError(error);
        return false;
    }
    SERVICE_STATUS status{};
    if (state != SERVICE_STOPPED && state != SERVICE_STOP_PENDING &&
        !ControlService(service.handle, SERVICE_CONTROL_STOP, &status)) {
        why = "the service manager refused to stop it: " + SystemError(GetLastError());
        return false;
    }
    return true;
}

bool StartImage(const DriverKind& kind, bool& unknownToManager, std::string& why) {
    DWORD error = 0;
    ScHandle service(nullptr);
    unknownToManager = false;
    if (ServiceState(kind, SERVICE_START, error, &service) == 0) {
        unknownToManager = error == ERROR_SERVICE_DOES_NOT_EXIST;
        why = "the service manager cannot reach the service: " + SystemError(error);
        return false;
    }
    if (!StartServiceA(service.handle, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
        why = "the service manager could not start it: " + SystemError(GetLastError());
        return false;
    }
    return true;
}


#else  // the host platform: the machine is a folder (see docs/host-platform.md)

// The machine root the library works on, found as the host platform finds it. The tool only
// reads from it; the library itself makes and checks it.
std::string HostMachineRoot() {
    std::string root;
    const char* configured = std::getenv("NUVEX_HOST_ROOT");
    if (configured != nullptr && *configured != 0) {
        root = configured;
        for (char& c : root)
            if (c == '\\') c = '/';
        if (root[0] != '/') {
            std::error_code ec;
            root = fs::current_path(ec).string() + "/" + root;
        }
    } else if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && runtime[0] == '/') {
        root = std::string(runtime) + "/nuvex-host";
    } else {
        root = "/tmp/nuvex-host-" + std::to_string(static_cast<unsigned long>(::geteuid()));
    }
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root;
}

bool ServiceRegistered(const DriverKind& kind) {
    struct stat info {};
    std::string key = HostMachineRoot() + "/Registry/HKEY_LOCAL_MACHINE/SYSTEM/CurrentControlSet/Services/" + kind.service;
    return ::lstat(key.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string ReadSmall(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string text;
    char buffer[4096];
    while (in && text.size() < (1u << 20)) {
        in.read(buffer, sizeof buffer);
        text.append(buffer, static_cast<std::size_t>(in.gcount()));
    }
    return text;
}

// The process of the loaded driver, or 0. A recorded process counts only while it runs (not a
// zombie), was started for this machine root and for this service: a record left by a driver
// that ended may name a process id that something else has taken since.
pid_t DriverProcess(const DriverKind& kind) {
    const std::string root = HostMachineRoot();
    struct stat folder {};
    const std::string drivers = root + "/Drivers";
    // Records in a folder someone else could write are not believed.
    if (::lstat(drivers.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode) || folder.st_uid != ::geteuid() ||
        (folder.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return 0;
    long pid = std::strtol(ReadSmall(drivers + "/" + kind.service + ".pid").c_str(), nullptr, 10);
    if (pid <= 0 || pid >= 0x7FFFFFFF) return 0;
    const std::string proc = "/proc/" + std::to_string(pid);
    std::string stat = ReadSmall(proc + "/stat");
    std::size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size()) return 0;
    char state = stat[close + 2];
    if (state == 'Z' || state == 'X' || state == 'x') return 0;
    std::string environment = '\0' + ReadSmall(proc + "/environ");
    if (environment.find(std::string("\0NUVEX_HOST_ROOT=", 17) + root + '\0') == std::string::npos) return 0;
    std::string command = ReadSmall(proc + "/cmdline");
    std::size_t first = command.find('\0');
    if (first == std::string::npos || command.compare(first + 1, std::string::npos, std::string(kind.service) + '\0') != 0)
        return 0;
    return static_cast<pid_t>(pid);
}

bool ImageLoaded(const DriverKind& kind) { return DriverProcess(kind) != 0; }

std::string InstalledImage(const DriverKind& kind) {
    return HostMachineRoot() + "/Windows/System32/drivers/" + kind.service + ".sys";
}

// Unloads the driver as the service manager's stop does: the image is asked to end
// (SIGTERM: it closes its device and leaves) and, should it not, ended.
bool StopImage(const DriverKind& kind, std::string& why) {
    pid_t pid = DriverProcess(kind);
    if (pid == 0) {
        if (!DriverLoaded(kind)) return true;  // it has ended meanwhile
        // It answers, but the loader did not start it (an image run by hand): its process is
        // not the tool's to end.
        why = "the loader did not start it (no process is recorded for it); end it where it was started";
        return false;
    }
    if (::kill(pid, SIGTERM) != 0) {
        why = std::string("cannot signal its process: ") + std::strerror(errno);
        return false;
    }
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (DriverProcess(kind) == pid && std::chrono::steady_clock::now() < until) Pause();
    if (DriverProcess(kind) == pid) ::kill(pid, SIGKILL);
    return true;
}

// The host's loader is reached only through the library: there is no service manager call
// for the tool, so loading goes through the install export (below).
bool StartImage(const DriverKind&, bool& unknownToManager, std::string& why) {
    unknownToManager = true;
    why = "";
    return false;
}


#endif

// ---- the facts ---------------------------------------------------------------------------------
struct DriverFacts {
    bool installed = false;
    bool loaded = false;
    bool running = false;
    Json detail = Json::object();  // the driver's own state, when it answers
    std::string summary;           // the same for people
    Json error;                    // why it does not answer, when it is loaded
};

std::string StateWords(const DriverFacts& facts) {
    if (facts.running) return facts.installed ? "running" : "running, not installed";
    if (facts.loaded) return "loaded, not answering";
    return facts.installed ? "installed, not loaded" : "not installed";
}

Json ErrorOf(const char* exportName, uint32_t code) {
    return {{"export", exportName}, {"code", code}, {"meaning", DescribeResult(exportName, code)}};
}

// Asks the driver for its status; true when it answered.
bool AskDriver(const DriverKind& kind, DriverFacts& facts) {
    if (std::string(kind.name) == "main") {
        DriverStatus status{};
        uint32_t code = NuvexCtrl_GetDriverStatus(&status);
        if (code != 0) {
            facts.error = ErrorOf("NuvexCtrl_GetDriverStatus", code);
            return false;
        }
        // The Nuvex driver's 12 bytes: suspended flag, logging flag, 16-bit pass-path count,
        // 32-bit policy count, 32-bit count of requests that came outside a control handshake.
        const uint8_t* b = status.bytes;
        auto word = [b](int at) {
            return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
                   (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
        };
        bool suspended = b[0] != 0;
        uint32_t logging = 0;
        NuvexCtrl_IsLogging(&logging);
        uint32_t passPaths = static_cast<uint32_t>(b[2] | (b[3] << 8));
        uint32_t policies = word(4);
        facts.detail = {{"statusBytes", Hex(status.bytes, 12)}, {"suspended", suspended}, {"logging", logging != 0},
                        {"passPaths", passPaths}, {"policies", policies}, {"handshakeViolations", word(8)}};
        facts.summary = std::string(suspended ? "suspended" : "active") + ", logging " + (logging != 0 ? "on" : "off") +
                        ", " + std::to_string(policies) + " policies, " + std::to_string(passPaths) + " pass paths";
        return true;
    }
    if (std::string(kind.name) == "acl") {
        uint32_t words[2] = {0, 0};
        uint32_t code = NuvexAccCtrl_GetDriverStatus(words);
        if (code != 0) {
            facts.error = ErrorOf("NuvexAccCtrl_GetDriverStatus", code);
            return false;
        }
        facts.detail = {{"started", words[0] != 0}, {"policies", words[1]}};
        facts.summary = std::string(words[0] != 0 ? "started" : "stopped") + ", " + std::to_string(words[1]) + " policies";
        return true;
    }
    return false;
}

DriverFacts Observe(const DriverKind& kind) {
    DriverFacts facts;
    facts.installed = ServiceRegistered(kind);
    facts.loaded = ImageLoaded(kind);
    if (kind.hasDevice) {
        // Asked whatever the loader says: a driver that answers is loaded, also where the
        // platform cannot tell (Windows' service manager before it knows the main driver).
        facts.running = AskDriver(kind, facts);
        facts.loaded = facts.loaded || facts.running;
    } else {
        facts.running = facts.loaded;
    }
    if (!facts.loaded) facts.error = nullptr;
    return facts;
}

bool DriverLoaded(const DriverKind& kind) { return Observe(kind).loaded; }

// Waits until the driver is no longer loaded (nor answering); false when it still is.
bool WaitUnloaded(const DriverKind& kind, std::chrono::milliseconds wait = kUnloadWait) {
    auto until = std::chrono::steady_clock::now() + wait;
    while (DriverLoaded(kind) && std::chrono::steady_clock::now() < until) Pause();
    return !DriverLoaded(kind);
}

// Waits until the driver answers (or, without a device, runs); false when it does not.
bool WaitRunning(const DriverKind& kind) {
    auto until = std::chrono::steady_clock::now() + kUnloadWait;
    for (;;) {
        if (Observe(kind).running) return true;
        if (std::chrono::steady_clock::now() >= until) return false;
        Pause();
    }
}

Json FactsJson(const DriverKind& kind, const DriverFacts& facts) {
    Json entry = {{"driver", kind.name}, {"service", kind.service},  {"installed", facts.installed},
                  {"loaded", facts.loaded}, {"running", facts.running}, {"state", StateWords(facts)}};
    for (auto& [key, value] : facts.detail.items()) entry[key] = value;
    if (!facts.error.is_null()) entry["error"] = facts.error;
    return entry;
}

// The result every driver verb prints with --json: what it did and where the driver stands.
int DriverDone(const DriverKind& kind, bool changed, const std::string& message) {
    Say(message);
    DriverFacts after = Observe(kind);
    return PrintJson({{"ok", true},
                      {"driver", kind.name},
                      {"changed", changed},
                      {"installed", after.installed},
                      {"loaded", after.loaded},
                      {"running", after.running},
                      {"state", StateWords(after)}});
}

uint32_t CallInstall(const DriverKind& kind, bool load, const char* source, const char*& exportName) {
    const std::string name = kind.name;
    if (name == "main") {
        exportName = "NuvexCtrl_Install";
        return NuvexCtrl_Install(load ? 1 : 0, source);
    }
    if (name == "acl") {
        exportName = "NuvexAccCtrl_Install";
        return NuvexAccCtrl_Install(load ? 1 : 0, source);
    }
    exportName = "NuvexAntiSteal_Install";
    return NuvexAntiSteal_Install(load ? 1 : 0, source);
}

uint32_t CallUninstall(const DriverKind& kind, const char*& exportName) {
    const std::string name = kind.name;
    if (name == "main") {
        exportName = "NuvexCtrl_UnInstall";
        return NuvexCtrl_UnInstall();
    }
    if (name == "acl") {
        exportName = "NuvexAccCtrl_UnInstall";
        return NuvexAccCtrl_UnInstall();
    }
    exportName = "NuvexAntiSteal_UnInstall";
    return NuvexAntiSteal_UnInstall();
}

// Loads an installed driver that is not loaded by installing its own image again with the load
// asked for: the library's install is the one way to the loader that works for every driver on
// every platform. Installed from the installed file itself, the file stays in place and only
// the registration is written again.
bool ReinstallLoaded(const DriverKind& kind, int& status) {
    const std::string image = InstalledImage(kind);
    std::error_code ec;
    if (image.empty() || !fs::is_regular_file(PathFromText(image), ec)) {
        status = ReportError(std::string("the ") + kind.name + " driver is registered but its file " + image +
                             " is missing; install it again with `nuvexctl driver install " + kind.name +
                             " --source FILE`");
        return false;
    }
    const char* exportName = nullptr;
    uint32_t code = CallInstall(kind, true, image.c_str(), exportName);
    if (code != 0) {
        status = ReportFailure(std::string("loading the ") + kind.name + " driver", exportName, code);
        return false;
    }
    return true;
}

// Loads an installed driver that is not loaded: through the service manager where it knows the
// service, otherwise through the library's install (above). Confirms that the driver came up:
// the companion installs do not report a start that failed.
bool LoadInstalled(const DriverKind& kind, int& status) {
    bool unknown = false;
    std::string why;
    if (!StartImage(kind, unknown, why)) {
        if (!unknown) {
            status = ReportError(std::string("cannot load the ") + kind.name + " driver: " + why);
            return false;
        }
        if (!ReinstallLoaded(kind, status)) return false;
    }
    if (!WaitRunning(kind)) {
        status = ReportError(std::string("the ") + kind.name + " driver was started but did not come up" +
                             (kind.hasDevice ? " (its control device does not answer)" : ""));
        return false;
    }
    return true;
}

bool UnloadLoaded(const DriverKind& kind, int& status) {
    std::string why;
    if (!StopImage(kind, why)) {
        status = ReportError(std::string("cannot unload the ") + kind.name + " driver: " + why);
        return false;
    }
    if (!WaitUnloaded(kind)) {
        status = ReportError(std::string("the ") + kind.name + " driver was asked to unload but is still loaded");
        return false;
    }
    return true;
}

// ---- the verbs ------------------------------------------------------------------------------
int Status(const std::vector<std::string>& names, bool check) {
    std::vector<const DriverKind*> kinds;
    for (const std::string& name : names) {
        const DriverKind* kind = FindDriverKind(name);
        if (kind == nullptr) return UnknownDriver(name);
        kinds.push_back(kind);
    }
    if (kinds.empty())
        for (const DriverKind& kind : kDriverKinds) kinds.push_back(&kind);

    Json drivers = Json::array();
    std::vector<std::vector<std::string>> rows;
    bool allRunning = true;
    for (const DriverKind* kind : kinds) {
        DriverFacts facts = Observe(*kind);
        allRunning = allRunning && facts.running;
        drivers.push_back(FactsJson(*kind, facts));
        std::string detail = facts.summary;
        if (facts.loaded && !facts.running && !facts.error.is_null())
            detail = facts.error["meaning"].get<std::string>();
        rows.push_back({kind->title, facts.installed ? "yes" : "no", facts.loaded ? "yes" : "no",
                        facts.running ? "yes" : "no", detail});
    }
    int status = check && !allRunning ? kExitNotRunning : kExitOk;
    if (CurrentSettings().json) {
        PrintJson({{"ok", true}, {"allRunning", allRunning}, {"drivers", drivers}});
        return status;
    }
    PrintTable({"DRIVER", "INSTALLED", "LOADED", "RUNNING", "DETAIL"}, rows);
    return status;
}

int Install(const std::string& name, const std::string& source, bool noLoad) {
    const DriverKind* kind = FindDriverKind(name);
    if (kind == nullptr) return UnknownDriver(name);
    DriverFacts facts = Observe(*kind);
    if (facts.loaded && facts.installed) {
        // Installing over a loaded driver cannot replace its image and, for the main driver,
        // would end in the library's message box: look first and leave it as it is.
        if (!facts.running)
            return ReportError("the " + name + " driver is installed and loaded but does not answer; try `nuvexctl driver restart " +
                               name + "`");
        return DriverDone(*kind, false,
                          "the " + name + " driver is already installed and running; nothing changed" +
                              (source.empty() ? "" : " (to replace its file: `nuvexctl driver unload " + name +
                                                         "`, then install)"));
    }
    if (facts.loaded) {
        // Loaded without a registration (uninstalled while it ran, or started by hand). On
        // the host platform one that was uninstalled leaves by itself shortly: give it the
        // time, then install as usual. One that stays is registered, not loaded again.
        if (!WaitUnloaded(*kind, kUnregisteredWait)) {
            const char* exportName = nullptr;
            uint32_t code = CallInstall(*kind, false, source.empty() ? nullptr : source.c_str(), exportName);
            if (code != 0) return ReportFailure("install of the " + name + " driver", exportName, code);
            if (DriverLoaded(*kind) || noLoad)
                return DriverDone(*kind, true, "registered the " + name + " driver; it was already running");
            // It ended meanwhile after all.
            int status = kExitOk;
            if (!LoadInstalled(*kind, status)) return status;
            return DriverDone(*kind, true, "installed the " + name + " driver and loaded it");
        }
    }
    const char* exportName = nullptr;
    uint32_t code = CallInstall(*kind, !noLoad, source.empty() ? nullptr : source.c_str(), exportName);
    if (code != 0) return ReportFailure("install of the " + name + " driver", exportName, code);
    if (!noLoad && !WaitRunning(*kind))
        return ReportError("installed the " + name + " driver, but it did not come up" +
                           (kind->hasDevice ? " (its control device does not answer)" : ""));
    return DriverDone(*kind, true,
                      "installed the " + name + " driver" + (noLoad ? " (loads at the next start)" : " and loaded it"));
}

int Uninstall(const std::string& name) {
    const DriverKind* kind = FindDriverKind(name);
    if (kind == nullptr) return UnknownDriver(name);
    DriverFacts facts = Observe(*kind);
    if (!facts.installed) {
        if (facts.loaded)
            Warn("the " + name + " driver is not installed but still loaded; `nuvexctl driver unload " + name +
                 "` ends it");
        return DriverDone(*kind, false, "the " + name + " driver is not installed; nothing to do");
    }
    // A loaded driver is unloaded first: the uninstall exports leave a loaded companion
    // loaded, and the image of a loaded driver cannot be deleted (Windows), so the export would
    // stop half-way with the registration gone and the file still there. Where the tool cannot
    // unload the main driver, its uninstall request asks the driver to unload itself.
    if (facts.loaded) {
        std::string why;
        bool unloaded = StopImage(*kind, why) && WaitUnloaded(*kind);
        if (!unloaded && std::string(kind->name) != "main")
            Warn("the " + name + " driver could not be unloaded first" + (why.empty() ? "" : ": " + why));
    }
    const char* exportName = nullptr;
    uint32_t code = CallUninstall(*kind, exportName);
    // A main driver that was not running is still removed: say so, but it is no failure.
    const bool notReached = std::string(kind->name) == "main" && code == 341;
    if (code != 0 && !notReached) return ReportFailure("uninstall of the " + name + " driver", exportName, code);
    if (facts.loaded && !WaitUnloaded(*kind))
        Warn("the " + name + " driver is uninstalled but still loaded; it is not loaded at the next start");
    return DriverDone(*kind, true,
                      "uninstalled the " + name + " driver" + (notReached && !facts.loaded ? " (it was not running)" : ""));
}

int Load(const std::string& name) {
    const DriverKind* kind = FindDriverKind(name);
    if (kind == nullptr) return UnknownDriver(name);
    DriverFacts facts = Observe(*kind);
    if (!facts.installed && !facts.loaded)
        return ReportError("the " + name + " driver is not installed; `nuvexctl driver install " + name + "` installs and loads it");
    if (facts.loaded) {
        if (!facts.running)
            return ReportError("the " + name + " driver is loaded but does not answer; try `nuvexctl driver restart " + name + "`");
        return DriverDone(*kind, false, "the " + name + " driver is already loaded; nothing changed");
    }
    int status = kExitOk;
    if (!LoadInstalled(*kind, status)) return status;
    return DriverDone(*kind, true, "loaded the " + name + " driver");
}

int Unload(const std::string& name) {
    const DriverKind* kind = FindDriverKind(name);
    if (kind == nullptr) return UnknownDriver(name);
    DriverFacts facts = Observe(*kind);
    if (!facts.loaded)
        return DriverDone(*kind, false, "the " + name + " driver is not loaded; nothing to do");
    int status = kExitOk;
    if (!UnloadLoaded(*kind, status)) return status;
    return DriverDone(*kind, true, "unloaded the " + name + " driver" + (facts.installed ? " (it stays installed)" : ""));
}

int Restart(const std::string& name) {
    const DriverKind* kind = FindDriverKind(name);
    if (kind == nullptr) return UnknownDriver(name);
    DriverFacts facts = Observe(*kind);
    if (!facts.installed)
        return ReportError("the " + name + " driver is not installed; `nuvexctl driver install " + name + "` installs and loads it");
    int status = kExitOk;
    if (facts.loaded && !UnloadLoaded(*kind, status)) return status;
    if (!LoadInstalled(*kind, status)) return status;
    return DriverDone(*kind, true, std::string(facts.loaded ? "restarted" : "loaded") + " the " + name + " driver");
}

uint32_t SuspendMain() { return NuvexCtrl_SuspendDriver(); }
uint32_t ResumeMain() { return NuvexCtrl_ResumeDriver(); }

// What each platform can do, for the help texts.
#if defined(_WIN32)
constexpr const char* kLoadHow =
    "Loading goes through the service manager; the main driver, which the library registers in\n"
    "the registry directly, is loaded through the library's install from its installed file\n"
    "until the service manager learns of it at the next system start.";
constexpr const char* kUnloadHow =
    "Unloading is the service manager's stop. It cannot unload the main driver before the\n"
    "service manager has learnt of it at the next system start (restart the system instead),\n"
    "and a driver that does not support unloading refuses.";
#else
constexpr const char* kLoadHow =
    "Loading goes through the library's install from the installed file, which stays in place;\n"
    "every driver can be loaded.";
constexpr const char* kUnloadHow =
    "Unloading asks the driver's process to end (SIGTERM; after 3 s it is ended); every driver\n"
    "can be unloaded.";
#endif

}  // namespace

void AddStatusCommands(CLI::App& app) {
    auto* status = app.add_subcommand(
        "status", "Show for each driver whether it is installed, loaded and running (answering its control device)");
    static std::vector<std::string> names;
    static bool check = false;
    status->add_option("driver", names, "main, acl or monitor (default: all three)");
    status->add_flag("--check", check,
                     "Exit with 0 when every named driver is running, 3 when one is not (default: all three)");
    status->footer(Example("nuvexctl status\n  nuvexctl status --check main acl && echo up"));
    Bind(status, [] { return Status(names, check); });
}

void AddDriverCommands(CLI::App& app) {
    auto* driver = app.add_subcommand("driver", "Install, remove, load, unload, suspend and resume the drivers");
    driver->require_subcommand(1);
    driver->footer(Example("nuvexctl driver install main\n  nuvexctl driver restart acl\n  nuvexctl driver uninstall acl"));

    auto* install = driver->add_subcommand(
        "install", "Copy a driver into place, register and load it (nothing to do when it runs)");
    static std::string which, source;
    static bool noLoad = false;
    install->add_option("driver", which, "main, acl or monitor")->required();
    install->add_option("--source", source, "Driver file (default: beside the calling program)");
    install->add_flag("--no-load", noLoad, "Only register; load at the next start (or with `driver load`)");
    install->footer(Example("nuvexctl driver install main --source ./Nuvex.sys"));
    Bind(install, [] { return Install(which, source, noLoad); });

    auto* uninstall = driver->add_subcommand(
        "uninstall", "Unload a driver, remove its registration and file (nothing to do when absent)");
    static std::string whichOut;
    uninstall->add_option("driver", whichOut, "main, acl or monitor")->required();
    uninstall->footer(Example("nuvexctl driver uninstall main"));
    Bind(uninstall, [] { return Uninstall(whichOut); });

    static std::string whichLoad, whichUnload, whichRestart;
    auto* load = driver->add_subcommand("load", "Load an installed driver that is not loaded");
    load->add_option("driver", whichLoad, "main, acl or monitor")->required();
    load->footer(std::string("\n") + kLoadHow + "\n" + Example("nuvexctl driver install acl --no-load\n  nuvexctl driver load acl"));
    Bind(load, [] { return Load(whichLoad); });
    auto* unload = driver->add_subcommand("unload", "Unload a driver and keep it installed (it loads again at the next start)");
    unload->add_option("driver", whichUnload, "main, acl or monitor")->required();
    unload->footer(std::string("\n") + kUnloadHow + "\n" + Example("nuvexctl driver unload acl"));
    Bind(unload, [] { return Unload(whichUnload); });
    auto* restart = driver->add_subcommand(
        "restart", "Unload an installed driver if it is loaded, then load it; its state starts afresh");
    restart->add_option("driver", whichRestart, "main, acl or monitor")->required();
    restart->footer(std::string("\n") + kLoadHow + "\n" + kUnloadHow + "\n" + Example("nuvexctl driver restart main"));
    Bind(restart, [] { return Restart(whichRestart); });

    auto* suspend = driver->add_subcommand("suspend", "Suspend the main driver");
    suspend->footer(Example("nuvexctl driver suspend"));
    Bind(suspend, [] { return CallAndConfirm("suspending the main driver", "NuvexCtrl_SuspendDriver", SuspendMain); });
    auto* resume = driver->add_subcommand("resume", "Resume the main driver");
    resume->footer(Example("nuvexctl driver resume"));
    Bind(resume, [] { return CallAndConfirm("resuming the main driver", "NuvexCtrl_ResumeDriver", ResumeMain); });
}

}  // namespace nuvexctl
