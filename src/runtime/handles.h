// Small owners for the handles the actions acquire, so that every path releases them.
#pragma once

#include "platform/win32.h"

#include <utility>

namespace zelk {

// Owns a handle of type T and releases it with Close when it goes out of scope.
template <typename T, T Invalid, typename Traits>
class UniqueHandle {
  public:
    UniqueHandle() = default;
    explicit UniqueHandle(T handle) : handle_(handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~UniqueHandle() { reset(); }

    T get() const { return handle_; }
    bool valid() const { return handle_ != Invalid; }
    explicit operator bool() const { return valid(); }
    T release() { return std::exchange(handle_, Invalid); }
    // Releases what is held and hands out the slot a call writes its new handle to.
    T* put() {
        reset();
        return &handle_;
    }
    void reset(T handle = Invalid) {
        if (handle_ != Invalid) {
            Traits::Close(handle_);
        }
        handle_ = handle;
    }

  private:
    T handle_ = Invalid;
};

struct MsiHandleTraits {
    static void Close(MSIHANDLE handle) { MsiCloseHandle(handle); }
};
using MsiRecord = UniqueHandle<MSIHANDLE, 0, MsiHandleTraits>;

struct KernelHandleTraits {
    static void Close(HANDLE handle) { CloseHandle(handle); }
};
using KernelHandle = UniqueHandle<HANDLE, nullptr, KernelHandleTraits>;

struct LocalTextTraits {
    static void Close(char* text) { LocalFree(text); }
};
// A text the system allocated (FormatMessageA with FORMAT_MESSAGE_ALLOCATE_BUFFER).
using LocalText = UniqueHandle<char*, nullptr, LocalTextTraits>;

struct ServiceHandleTraits {
    static void Close(SC_HANDLE handle) { CloseServiceHandle(handle); }
};
using ServiceHandle = UniqueHandle<SC_HANDLE, nullptr, ServiceHandleTraits>;

// A device information list; INVALID_HANDLE_VALUE means none.
class DeviceList {
  public:
    explicit DeviceList(HDEVINFO list) : list_(list) {}
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;
    ~DeviceList() {
        if (valid()) {
            SetupDiDestroyDeviceInfoList(list_);
        }
    }
    HDEVINFO get() const { return list_; }
    bool valid() const { return list_ != INVALID_HANDLE_VALUE; }

  private:
    HDEVINFO list_;
};

// An open registry key obtained directly (RegCreateKeyExA); RegistryKey owns opened ones.
struct RegKeyTraits {
    static void Close(HKEY key) { RegCloseKey(key); }
};
using RegKeyHandle = UniqueHandle<HKEY, nullptr, RegKeyTraits>;

}  // namespace zelk
