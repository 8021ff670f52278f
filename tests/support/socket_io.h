// Whole-buffer reads and writes on a stream socket, for the test drivers and clients that speak
// the control-device frame protocol. Writes never raise SIGPIPE.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace nuvex::test {

inline bool ReadAll(int fd, void* data, size_t length) {
    auto* p = static_cast<uint8_t*>(data);
    while (length > 0) {
        ssize_t n = ::recv(fd, p, length, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

inline bool WriteAll(int fd, const void* data, size_t length) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (length > 0) {
        ssize_t n = ::send(fd, p, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace nuvex::test
