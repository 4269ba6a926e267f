#include "platform/process.h"

#include <windows.h>
#include <tlhelp32.h>

#include <iterator>

#include "platform/fs.h"
#include "platform/handle.h"

namespace varnix {

namespace {

WideString fileNameOf(const WideString& path) {
    const size_t separator = path.find_last_of(L"\\/");
    return separator == WideString::npos ? path : path.substr(separator + 1);
}

bool isSamePathText(const WideString& first, const WideString& second) {
    return CompareStringOrdinal(first.c_str(), static_cast<int>(first.size()), second.c_str(),
                                static_cast<int>(second.size()), TRUE) == CSTR_EQUAL;
}

// One file however either path is spelled (8.3 names, another drive letter, Wine's Z:); the text
// decides only when either file cannot be identified.
bool isSameProgramFile(const WideString& image, const WideString& executablePath) {
    const ByteString imageIdentity = fileIdentity(image);
    const ByteString pathIdentity = fileIdentity(executablePath);
    if (imageIdentity.empty() || pathIdentity.empty()) return isSamePathText(image, executablePath);
    return imageIdentity == pathIdentity;
}

// True also when the process's image cannot be read: see isProgramRunning.
bool mayBeStartedFrom(DWORD processId, const WideString& executablePath) {
    KernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process) return GetLastError() != ERROR_INVALID_PARAMETER;  // not ended in between
    wchar_t image[32768];
    DWORD length = static_cast<DWORD>(std::size(image));
    if (!QueryFullProcessImageNameW(process.get(), 0, image, &length)) return true;
    return isSameProgramFile(WideString(image, length), executablePath);
}

}  // namespace

bool isProcessRunning(const WideString& executableName) {
    ToolhelpSnapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return false;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, executableName.c_str()) == 0) return true;
    }
    return false;
}

bool isProgramRunning(const WideString& executablePath) {
    const WideString name = fileNameOf(executablePath);
    ToolhelpSnapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return true;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, name.c_str()) != 0) continue;
        if (mayBeStartedFrom(entry.th32ProcessID, executablePath)) return true;
    }
    return false;
}

ProcessIdentity currentProcessIdentity() {
    FILETIME created{}, exited{}, kernel{}, user{};
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    ProcessIdentity identity;
    identity.id = GetCurrentProcessId();
    identity.creationTime =
        (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    return identity;
}

HANDLE openInheritableSelf() {
    return OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, TRUE,
                       GetCurrentProcessId());
}

namespace {

// A list with one attribute: inherit `*handle` alone. `handle` must outlive the list's use.
AttributeList inheritOnly(HANDLE* handle) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);  // fails, giving the size needed
    auto* block = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(HeapAlloc(GetProcessHeap(), 0, size));
    if (block == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return {};
    }
    if (!InitializeProcThreadAttributeList(block, 1, 0, &size)) {
        const DWORD error = GetLastError();
        HeapFree(GetProcessHeap(), 0, block);  // nothing to delete in a list never initialised
        SetLastError(error);
        return {};
    }
    AttributeList list(block);
    if (!UpdateProcThreadAttribute(list.get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handle,
                                   sizeof *handle, nullptr, nullptr)) {
        return {};
    }
    return list;
}

}  // namespace

bool startProcessInheritingOnly(const WideString& path, WideString commandLine,
                                const WideString& currentDirectory, HANDLE inherited) {
    HANDLE handles[] = {inherited};
    const AttributeList attributes = inheritOnly(handles);
    if (!attributes) return false;
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.lpAttributeList = attributes.get();
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                        EXTENDED_STARTUPINFO_PRESENT, nullptr, currentDirectory.c_str(),
                        &startup.StartupInfo, &info)) {
        return false;
    }
    const ProcessHandles started(info);
    return true;
}

}  // namespace varnix
