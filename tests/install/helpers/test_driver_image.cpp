// A tiny driver image for the installation tests. Started by the host platform with the
// service name as its one argument, it listens on <root>/Device/<service>cdo_3, says it is
// ready, accepts every request (no output), and notes each request code in
// <root>/scratch/<service>.requests so that tests can see what reached it.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "nuvex_wire_socket.h"

namespace {

void Serve(int fd, std::string journal) {
    for (;;) {
        NuvexFrameRequest request;
        if (!NuvexWire_ReceiveRequest(fd, &request) ||
            !NuvexWire_DiscardInput(fd, request.inputLength))
            break;
        if (FILE* out = std::fopen(journal.c_str(), "a")) {
            std::fprintf(out, "0x%08X\n", request.code);
            std::fclose(out);
        }
        if (!NuvexWire_SendReply(fd, 1, nullptr, 0)) break;
    }
    ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    const char* root = std::getenv("NUVEX_HOST_ROOT");
    if (argc < 2 || root == nullptr) return 2;
    const std::string service = argv[1];
    const std::string devices = std::string(root) + "/Device";
    ::mkdir(devices.c_str(), 0755);
    const std::string socketPath = devices + "/" + service + "cdo_3";
    const std::string journal = std::string(root) + "/scratch/" + service + ".requests";

    int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (listener < 0 || socketPath.size() >= sizeof address.sun_path) return 3;
    std::strcpy(address.sun_path, socketPath.c_str());
    ::unlink(socketPath.c_str());
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 16) != 0)
        return 4;

    if (const char* ready = std::getenv("NUVEX_READY_FD")) {
        int fd = std::atoi(ready);
        const char byte = 1;
        if (::write(fd, &byte, 1) != 1) return 5;
        ::close(fd);
    }

    for (;;) {
        int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) {
            if (errno == EINTR) continue;
            return 6;
        }
        std::thread(Serve, connection, journal).detach();
    }
}
