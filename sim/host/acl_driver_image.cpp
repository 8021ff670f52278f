// NuvexACL.sys for the host: the access-control driver's core behind "NuvexACLcdo_3".
#include <stdio.h>
#include <stdlib.h>

#include <mutex>
#include <string>

#include "core/acl_driver_core.h"
#include "driver_host.h"

namespace {

using nuvex::sim::Connection;

std::mutex g_coreMutex;  // the core is not thread-safe: every call goes through this lock
NuvexAclCore* g_core = nullptr;

void* Allocate(void*, size_t size) { return ::malloc(size); }
void Release(void*, void* block) { ::free(block); }
uint64_t Now(void*) { return nuvex::sim::FileTimeNow(); }

const NuvexSimEnv kEnv = {nullptr, Allocate, Release, Now, nullptr, nullptr, nullptr, nullptr};

class AclConnection final : public Connection {
public:
    explicit AclConnection(pid_t peer) : peer_(static_cast<uint32_t>(peer)) {}
    bool Handle(uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out,
                uint32_t capacity, uint32_t* returned) override {
        std::lock_guard<std::mutex> lock(g_coreMutex);
        return NuvexAclCore_Request(g_core, peer_, code, in, inLength, out, capacity,
                                    returned) != 0;
    }

private:
    uint32_t peer_;
};

}  // namespace

int main(int argc, char** argv) {
    const nuvex::sim::ImageInfo info{"NuvexACL", NUVEX_ACL_DEVICE_NAME,
                                     "Access-control driver: running flag, policy table, log."};
    std::string root, service;
    int code = nuvex::sim::ParseCommandLine(argc, argv, info, &root, &service);
    if (code >= 0) return code;
    g_core = NuvexAclCore_Create(&kEnv);
    if (!g_core) {
        fprintf(stderr, "NuvexACL.sys: out of memory\n");
        return 1;
    }
    nuvex::sim::UnloadWhenServiceDeleted(root, service);
    return nuvex::sim::ServeDevice(root, info, [](pid_t peer) {
        return std::unique_ptr<Connection>(new AclConnection(peer));
    });
}
