// RAII owners of the platform's handles: whatever an export opens is closed on every path.
#pragma once

#include "platform/platform.h"

namespace nuvex {

// A file or control-device handle (INVALID_HANDLE_VALUE means none).
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~UniqueHandle() { reset(); }

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    explicit operator bool() const { return valid(); }
    HANDLE release() {
        HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return handle;
    }
    void reset(HANDLE handle = INVALID_HANDLE_VALUE) {
        if (valid()) CloseHandle(handle_);
        handle_ = handle;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// An open registry key.
class RegistryKey {
public:
    RegistryKey() = default;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    ~RegistryKey() { reset(); }
    HKEY get() const { return key_; }
    HKEY* out() {
        reset();
        return &key_;
    }
    void reset() {
        if (key_ != nullptr) RegCloseKey(key_);
        key_ = nullptr;
    }

private:
    HKEY key_ = nullptr;
};

// A handle of the service control manager or of a service.
class ServiceHandle {
public:
    ServiceHandle() = default;
    explicit ServiceHandle(SC_HANDLE handle) : handle_(handle) {}
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;
    ~ServiceHandle() { reset(); }
    SC_HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    void reset(SC_HANDLE handle = nullptr) {
        if (handle_ != nullptr) CloseServiceHandle(handle_);
        handle_ = handle;
    }

private:
    SC_HANDLE handle_ = nullptr;
};

// A loaded module (LoadLibraryA).
class ModuleHandle {
public:
    explicit ModuleHandle(HMODULE module) : module_(module) {}
    ModuleHandle(const ModuleHandle&) = delete;
    ModuleHandle& operator=(const ModuleHandle&) = delete;
    ~ModuleHandle() {
        if (module_ != nullptr) FreeLibrary(module_);
    }
    HMODULE get() const { return module_; }
    explicit operator bool() const { return module_ != nullptr; }

private:
    HMODULE module_;
};

}  // namespace nuvex
