// Support of the fuzz targets: a machine root of their own and a driver inside the fuzzing
// process that answers every request (the handshake aside) from the fuzz input.
//
// Reply script: a sequence of records, one per request in the order the library sends them:
//   u8 flags (bit 0: the request fails), u16 length (little-endian), that many reply bytes
//   (fewer when the input ends); the reply may hold more bytes than the request's output.
// When the input has run out every further request succeeds with no bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace nuvex::fuzz {

// The machine root of this process (created once; NUVEX_HOST_ROOT names it).
const std::string& MachineRoot();

class ScriptedDriver {
public:
    explicit ScriptedDriver(const char* deviceName);
    // Replies to the requests that follow come from these bytes (copied).
    void SetScript(const uint8_t* data, size_t size);
    // Requests answered from the script since SetScript.
    uint32_t Answered() const;

private:
    struct State;
    State* state_;
};

// Checks that the export left nothing behind: heap blocks and open handles back to where
// they were when the guard was made. Aborts otherwise (the fuzzer then keeps the input).
class LeakGuard {
public:
    LeakGuard();
    ~LeakGuard();

private:
    uint32_t blocks_;
    uint32_t handles_;
};

// Writes bytes to a file (host path).
void WriteFile(const std::string& path, const uint8_t* data, size_t size);

}  // namespace nuvex::fuzz
