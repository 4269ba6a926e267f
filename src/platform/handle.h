#pragma once
// One owner for every kind of Windows handle. Closing keeps the thread's last error, so a
// failing call's code survives the clean-up that follows it.

#include <windows.h>
#include <bcrypt.h>

#include <utility>

namespace varnix {

template <typename Traits>
class UniqueHandle {
  public:
    using Value = typename Traits::Value;

    UniqueHandle() noexcept = default;
    explicit UniqueHandle(Value value) noexcept : value_(value) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    Value get() const noexcept { return value_; }
    bool valid() const noexcept { return value_ != Traits::invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    Value release() noexcept { return std::exchange(value_, Traits::invalid()); }

    void reset(Value value = Traits::invalid()) noexcept {
        Value old = std::exchange(value_, value);
        if (old != Traits::invalid()) {
            const DWORD lastError = GetLastError();
            Traits::close(old);
            SetLastError(lastError);
        }
    }

    // For out-parameters: closes what is held and hands out the slot.
    Value* put() noexcept {
        reset();
        return &value_;
    }

  private:
    Value value_ = Traits::invalid();
};

struct KernelHandleTraits {  // processes, threads: null when absent
    using Value = HANDLE;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value h) noexcept { CloseHandle(h); }
};

struct FileHandleTraits {  // CreateFileW, toolhelp snapshots: INVALID_HANDLE_VALUE when absent
    using Value = HANDLE;
    static Value invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(Value h) noexcept { CloseHandle(h); }
};

struct FindHandleTraits {
    using Value = HANDLE;
    static Value invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(Value h) noexcept { FindClose(h); }
};

struct LibraryTraits {
    using Value = HMODULE;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value h) noexcept { FreeLibrary(h); }
};

struct LocalMemoryTraits {
    using Value = HLOCAL;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value h) noexcept { LocalFree(h); }
};

struct CngAlgorithmTraits {
    using Value = BCRYPT_ALG_HANDLE;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value h) noexcept { BCryptCloseAlgorithmProvider(h, 0); }
};

struct CngHashTraits {
    using Value = BCRYPT_HASH_HANDLE;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value h) noexcept { BCryptDestroyHash(h); }
};

struct CngKeyTraits {
    using Value = BCRYPT_KEY_HANDLE;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value h) noexcept { BCryptDestroyKey(h); }
};

using KernelHandle = UniqueHandle<KernelHandleTraits>;
using FileHandle = UniqueHandle<FileHandleTraits>;
using FindHandle = UniqueHandle<FindHandleTraits>;
using LibraryHandle = UniqueHandle<LibraryTraits>;
using LocalMemory = UniqueHandle<LocalMemoryTraits>;
using CngAlgorithm = UniqueHandle<CngAlgorithmTraits>;
using CngHash = UniqueHandle<CngHashTraits>;
using CngKey = UniqueHandle<CngKeyTraits>;

// Thread first, then process: the reverse of the order CreateProcessW hands them out.
struct ProcessHandles {
    KernelHandle process;
    KernelHandle thread;

    explicit ProcessHandles(const PROCESS_INFORMATION& info) noexcept
        : process(info.hProcess), thread(info.hThread) {}
};

}  // namespace varnix
