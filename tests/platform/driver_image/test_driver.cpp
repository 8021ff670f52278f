// A tiny driver image for the loader's tests. Its behaviour follows its service name:
//   "...Exit..."   ends at once with status 3
//   "...Never..."  never becomes ready
//   "...Silent..." listens on Device/<name> but does not use the ready pipe
//   otherwise      listens on Device/<name> and writes the ready byte to NUVEX_READY_FD
// Every request is answered with success and 4 bytes: the driver's pid. It also writes
// "<argc> <argv[1]> <NUVEX_HOST_ROOT>" to Drivers/<name>.args so tests can see how it started.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "nuvex_wire_socket.h"

namespace {

void Serve(int client) {
    for (;;) {
        NuvexFrameRequest request;
        if (!NuvexWire_ReceiveRequest(client, &request) ||
            !NuvexWire_DiscardInput(client, request.inputLength))
            return;
        uint8_t pid[NUVEX_WORD_SIZE];
        NuvexWire_Store32(pid, static_cast<uint32_t>(getpid()));
        if (!NuvexWire_SendReply(client, 1, pid, sizeof pid)) return;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* root = getenv("NUVEX_HOST_ROOT");
    if (root == nullptr || argc < 2) return 2;
    std::string name = argv[1];
    std::string args = std::string(root) + "/Drivers/" + name + ".args";
    if (FILE* out = fopen(args.c_str(), "w")) {
        fprintf(out, "%d %s %s", argc, argv[1], root);
        fclose(out);
    }
    if (name.find("Exit") != std::string::npos) return 3;
    if (name.find("Never") != std::string::npos) {
        for (;;) pause();
    }
    std::string path = std::string(root) + "/Device/" + name;
    unlink(path.c_str());
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return 4;
    strcpy(address.sun_path, path.c_str());
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 16) != 0)
        return 5;
    const char* readyFd = getenv("NUVEX_READY_FD");
    if (readyFd != nullptr && name.find("Silent") == std::string::npos) {
        int fd = atoi(readyFd);
        char byte = 1;
        if (write(fd, &byte, 1) != 1) return 6;
        close(fd);
    }
    for (;;) {
        int client = accept(listener, nullptr, nullptr);
        if (client < 0) continue;
        Serve(client);
        close(client);
    }
}
