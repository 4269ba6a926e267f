#include "net/http.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <cwchar>
#include <new>

#include "platform/fs.h"
#include "platform/handle.h"
#include "platform/path.h"

namespace varnix {
namespace {

struct WinHttpTraits {
    using Value = HINTERNET;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value h) noexcept { WinHttpCloseHandle(h); }
};
using WinHttpHandle = UniqueHandle<WinHttpTraits>;

constexpr wchar_t kUserAgent[] = L"VarnixLauncher/1.0";
constexpr DWORD kHostUnits = 512;
constexpr DWORD kPathUnits = 4096;

void setError(WideString* errorText, const WideString& text) {
    if (errorText) *errorText = text;
}

// The step's name followed by the system text of the code the failed call left.
void setSystemError(WideString* errorText, const wchar_t* step) {
    if (errorText) *errorText = step + win32ErrorText(GetLastError());
}

void setSystemError(WideString* errorText, const wchar_t* step, DWORD code) {
    if (errorText) *errorText = step + win32ErrorText(code);
}

struct UrlParts {
    wchar_t host[kHostUnits] = {};
    wchar_t path[kPathUnits] = {};
    wchar_t extra[kPathUnits] = {};
    URL_COMPONENTS components{};
};

bool crackUrl(const WideString& url, UrlParts& parts) {
    URL_COMPONENTS& c = parts.components;
    c.dwStructSize = sizeof c;
    c.lpszHostName = parts.host;
    c.dwHostNameLength = kHostUnits;
    c.lpszUrlPath = parts.path;
    c.dwUrlPathLength = kPathUnits;
    c.lpszExtraInfo = parts.extra;
    c.dwExtraInfoLength = kPathUnits;
    return WinHttpCrackUrl(url.c_str(), 0, 0, &c) != FALSE;
}

DWORD queryStatus(HINTERNET request) {
    DWORD status = 0;
    DWORD size = sizeof status;
    WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    return status;
}

constexpr unsigned long long kNoContentLength = ~0ull;

unsigned long long announcedContentLength(HINTERNET request) {
    wchar_t text[32] = {};
    DWORD size = sizeof text;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                             text, &size, WINHTTP_NO_HEADER_INDEX)) {
        return kNoContentLength;
    }
    return std::wcstoull(text, nullptr, 10);
}

bool readBody(HINTERNET request, ByteString& body, WideString* errorText) {
    const unsigned long long announced = announcedContentLength(request);
    try {
        // Reserved up front so a large body is not copied again and again as it grows.
        if (announced != kNoContentLength && announced > 0 && announced < body.max_size()) {
            body.reserve(static_cast<size_t>(announced));
        }
    } catch (const std::bad_alloc&) {
        setSystemError(errorText, L"WinHttpReadData: ", ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) {
            setSystemError(errorText, L"WinHttpQueryDataAvailable: ");
            return false;
        }
        if (available == 0) {
            // A connection that ends before the announced length is a broken transfer, even
            // where the platform reports the end of the data as a clean one.
            if (announced != kNoContentLength && body.size() != announced) {
                setSystemError(errorText, L"WinHttpReadData: ", ERROR_WINHTTP_CONNECTION_ERROR);
                return false;
            }
            return true;
        }
        const size_t used = body.size();
        try {
            body.resize(used + available);
        } catch (const std::bad_alloc&) {
            // Out of memory is a failed download, never a crash.
            setSystemError(errorText, L"WinHttpReadData: ", ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
        DWORD read = 0;
        if (!WinHttpReadData(request, body.data() + used, available, &read)) {
            body.resize(used);
            setSystemError(errorText, L"WinHttpReadData: ");
            return false;
        }
        body.resize(used + read);
    }
}

}  // namespace

bool downloadToMemory(const WideString& url, ByteString& body, WideString* errorText) {
    body.clear();
    UrlParts parts;
    if (!crackUrl(url, parts)) {
        setError(errorText, L"Не удалось разобрать URL: " + url);
        return false;
    }
    const URL_COMPONENTS& c = parts.components;
    const WideString host(c.lpszHostName, c.dwHostNameLength);
    const WideString object = WideString(c.lpszUrlPath, c.dwUrlPathLength) +
                              WideString(c.lpszExtraInfo, c.dwExtraInfoLength);
    const DWORD secureFlag = c.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;

    WinHttpHandle session(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                      WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        setSystemError(errorText, L"WinHttpOpen: ");
        return false;
    }
    WinHttpHandle connection(WinHttpConnect(session.get(), host.c_str(), c.nPort, 0));
    if (!connection) {
        setSystemError(errorText, L"WinHttpConnect: ");
        return false;
    }
    WinHttpHandle request(WinHttpOpenRequest(connection.get(), L"GET", object.c_str(), nullptr,
                                             WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                             secureFlag));
    if (!request) {
        setSystemError(errorText, L"WinHttpOpenRequest: ");
        return false;
    }
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        setSystemError(errorText, L"Ошибка загрузки: ");
        return false;
    }
    const DWORD status = queryStatus(request.get());
    if (status < 200 || status > 299) {
        setError(errorText, L"Сервер вернул HTTP статус: " + decimal(status));
        return false;
    }
    return readBody(request.get(), body, errorText);
}

bool downloadToFile(const WideString& url, const WideString& path, WideString* errorText) {
    ByteString buffer;
    if (!downloadToMemory(url, buffer, errorText)) return false;
    ensureDirectory(parentPath(path));
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        setError(errorText, L"Не удалось создать файл: " + path);
        return false;
    }
    // Written in steps of at most 1 GiB: one WriteFile call takes a 32-bit length.
    constexpr size_t kStep = 1u << 30;
    for (size_t offset = 0; offset < buffer.size();) {
        const DWORD part = static_cast<DWORD>(std::min(buffer.size() - offset, kStep));
        DWORD written = 0;
        if (!WriteFile(file.get(), buffer.data() + offset, part, &written, nullptr) ||
            written != part) {
            setError(errorText, L"Не удалось записать файл: " + path);
            return false;
        }
        offset += part;
    }
    return true;
}

}  // namespace varnix
