// A fake system under the driver cores: counted allocation with fault injection, a fixed
// clock, and files reachable by (process, handle).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "sim_client.h"
#include "sim_env.h"

namespace nuvex::simtest {

struct FakeSystem {
    struct File {
        std::string bytes;
        std::string path;
        bool readOnly = false;
    };

    std::map<std::pair<uint32_t, uint32_t>, File> files;  // (pid, handle)
    long live = 0;
    uint64_t allocations = 0;
    uint64_t failFrom = 0;  // allocation number from which every allocation fails (0: none)
    uint64_t clock = 0x01D9000000000000ull;
    NuvexSimEnv env{};

    FakeSystem() {
        env.context = this;
        env.allocate = [](void* c, size_t size) -> void* {
            auto* self = static_cast<FakeSystem*>(c);
            ++self->allocations;
            if (self->failFrom && self->allocations >= self->failFrom) return nullptr;
            ++self->live;
            return std::malloc(size);
        };
        env.release = [](void* c, void* block) {
            --static_cast<FakeSystem*>(c)->live;
            std::free(block);
        };
        env.now = [](void* c) { return static_cast<FakeSystem*>(c)->clock; };
        env.random32 = nullptr;
        env.read_file_start = [](void* c, uint32_t pid, uint32_t handle, uint8_t* buffer,
                                 uint32_t length, uint32_t* got, char* path,
                                 uint32_t capacity) -> int {
            auto& files = static_cast<FakeSystem*>(c)->files;
            auto it = files.find({pid, handle});
            if (it == files.end()) return 0;
            *got = static_cast<uint32_t>(std::min<size_t>(length, it->second.bytes.size()));
            std::memcpy(buffer, it->second.bytes.data(), *got);
            if (path && capacity) {
                std::strncpy(path, it->second.path.c_str(), capacity - 1);
                path[capacity - 1] = 0;
            }
            return 1;
        };
        env.write_file_start = [](void* c, uint32_t pid, uint32_t handle, const uint8_t* buffer,
                                  uint32_t length) -> int {
            auto& files = static_cast<FakeSystem*>(c)->files;
            auto it = files.find({pid, handle});
            if (it == files.end() || it->second.readOnly) return 0;
            if (it->second.bytes.size() < length) it->second.bytes.resize(length);
            std::memcpy(it->second.bytes.data(), buffer, length);
            return 1;
        };
        env.describe_process = nullptr;
    }
};

// A document header: banner, signature, filler, no rights record.
inline std::string DocumentHeader() {
    static const uint8_t kSignature[16] = {0x3A, 0x7F, 0x0C, 0x91, 0xE4, 0xB2, 0x5D, 0x68,
                                           0xA1, 0xC3, 0xF0, 0x97, 0x2B, 0x4E, 0x8D, 0x15};
    std::string header(4096, '\0');
    std::memcpy(header.data(), "Lumad vornask management, security", 34);
    std::memcpy(header.data() + 64, kSignature, 16);
    std::memset(header.data() + 128, 0x7C, 3968 - 128);
    header[3972] = header[3973] = header[3974] = header[3975] = static_cast<char>(0xFF);
    return header;
}

struct CoreReply {
    bool ok = false;
    std::vector<uint8_t> bytes;
};

inline uint32_t U32(const std::vector<uint8_t>& bytes, size_t offset) {
    if (offset + 4 > bytes.size()) return 0;
    uint32_t v;
    std::memcpy(&v, bytes.data() + offset, 4);
    return v;
}

inline void PutU32(std::vector<uint8_t>& bytes, size_t offset, uint32_t v) {
    if (bytes.size() < offset + 4) bytes.resize(offset + 4);
    std::memcpy(bytes.data() + offset, &v, 4);
}

inline std::vector<uint8_t> Le(uint32_t v) {
    std::vector<uint8_t> bytes;
    PutU32(bytes, 0, v);
    return bytes;
}

}  // namespace nuvex::simtest
