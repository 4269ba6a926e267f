#pragma once
// One owner for every kind of Windows handle. Closing keeps the thread's last error, so a
// failing call's code survives the clean-up that follows it.

#include <windows.h>

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

    [[nodiscard]] Value get() const noexcept { return value_; }
    bool valid() const noexcept { return value_ != Traits::invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    [[nodiscard]] Value release() noexcept { return std::exchange(value_, Traits::invalid()); }

    // Handing back the value already held keeps it open: closing it would leave this owner
    // holding a closed handle.
    void reset(Value value = Traits::invalid()) noexcept {
        if (value == value_) return;
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

// Owns a list that InitializeProcThreadAttributeList filled in a block of the process heap.
struct AttributeListTraits {
    using Value = LPPROC_THREAD_ATTRIBUTE_LIST;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value h) noexcept {
        DeleteProcThreadAttributeList(h);
        HeapFree(GetProcessHeap(), 0, h);
    }
};

// A view of a file mapping (MapViewOfFile): unmapped, never freed.
struct MappedViewTraits {
    using Value = const void*;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value h) noexcept { UnmapViewOfFile(h); }
};

using KernelHandle = UniqueHandle<KernelHandleTraits>;
using FileHandle = UniqueHandle<FileHandleTraits>;
using FindHandle = UniqueHandle<FindHandleTraits>;
using LibraryHandle = UniqueHandle<LibraryTraits>;
using LocalMemory = UniqueHandle<LocalMemoryTraits>;
using AttributeList = UniqueHandle<AttributeListTraits>;
using MappedView = UniqueHandle<MappedViewTraits>;
// CreateToolhelp32Snapshot fails with INVALID_HANDLE_VALUE, as CreateFileW does.
using ToolhelpSnapshot = UniqueHandle<FileHandleTraits>;

// Thread first, then process: the reverse of the order CreateProcessW hands them out.
class ProcessHandles {
  public:
    explicit ProcessHandles(const PROCESS_INFORMATION& info) noexcept
        : process_(info.hProcess), thread_(info.hThread) {}

    [[nodiscard]] HANDLE process() const noexcept { return process_.get(); }

  private:
    KernelHandle process_;
    KernelHandle thread_;
};

}  // namespace varnix
