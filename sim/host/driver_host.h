// The thin host side of a simulated driver image: command line, machine root, the device
// socket with one thread per connection speaking the frame protocol, readiness signal and
// clean exit. The request handling itself lives in the cores under sim/core.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace nuvex::sim {

struct ImageInfo {
    const char* serviceName;  // default service name ("Nuvex")
    const char* deviceName;   // control device ("Nuvexcdo_3"), null for none
    const char* summary;      // one line for --help
};

// Handles the requests of one connection.
class Connection {
public:
    virtual ~Connection() = default;
    // Serves one request; writes at most `capacity` bytes to `out` and sets *returned.
    virtual bool Handle(uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out,
                        uint32_t capacity, uint32_t* returned) = 0;
    // True once the driver is to unload (checked after each reply has been sent).
    virtual bool UnloadRequested() const { return false; }
};

using ConnectionFactory = std::function<std::unique_ptr<Connection>(pid_t peer)>;

// Reads the command line and NUVEX_HOST_ROOT. Returns -1 when the image is to run, or the
// exit code (after --help, or after reporting a usage error on standard error).
int ParseCommandLine(int argc, char** argv, const ImageInfo& info, std::string* root,
                     std::string* service);

// Listens on <root>/Device/<device>, says it is ready and serves until SIGTERM or SIGINT
// or until a connection asks to unload. Returns the exit code.
int ServeDevice(const std::string& root, const ImageInfo& info, ConnectionFactory factory);

// For an image without a device: says it is ready and waits for SIGTERM or SIGINT.
int RunUntilEnded(const ImageInfo& info);

// When the service key SYSTEM\CurrentControlSet\Services\<service> exists under the machine
// root's HKEY_LOCAL_MACHINE, watches it from a thread and unloads the image (socket removed,
// exit 0) once the key has been deleted: an uninstalled driver does not linger on the host.
// An image started by hand without a key is never ended this way.
void UnloadWhenServiceDeleted(const std::string& root, const std::string& service);

// FILETIME now, for the cores' clock.
uint64_t FileTimeNow();

}  // namespace nuvex::sim
