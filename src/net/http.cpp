#include "net/http.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <climits>
#include <cwchar>
#include <new>

#include "platform/error_text.h"
#include "platform/fs.h"
#include "platform/handle.h"
#include "platform/log.h"
#include "platform/path.h"
#include "platform/site_config.h"

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
// WinHTTP's own defaults, kept where only the receive time-out changes.
constexpr int kDefaultResolveTimeout = 0;
constexpr int kDefaultConnectTimeout = 60000;
constexpr int kDefaultSendTimeout = 30000;

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

WideString tooLargeText(unsigned long long bytes) {
    return L"Ответ сервера слишком большой: " + decimal(bytes);
}

// Where the limits stand while a body arrives: the clock of the overall deadline and of the
// throughput window.
class TransferClock {
  public:
    explicit TransferClock(const TransferLimits& limits)
        : limits_(limits), windowStart_(GetTickCount64()) {}

    bool pastDeadline() const {
        return limits_.deadlineTick != 0 && GetTickCount64() >= limits_.deadlineTick;
    }

    // The receive time-out for the next wait: the stall limit, cut to what the deadline leaves.
    DWORD nextWaitMilliseconds() const {
        unsigned long long wait = limits_.stallMilliseconds;
        if (limits_.deadlineTick != 0) {
            const unsigned long long now = GetTickCount64();
            const unsigned long long left =
                limits_.deadlineTick > now ? limits_.deadlineTick - now : 1;
            if (wait == 0 || left < wait) wait = left;
        }
        return static_cast<DWORD>(std::min<unsigned long long>(wait, MAXDWORD));
    }

    // False when a whole window passed with less than the floor's worth of bytes.
    bool keepsTheFloor(size_t received) {
        if (limits_.floorWindowMilliseconds == 0) return true;
        const unsigned long long now = GetTickCount64();
        const unsigned long long elapsed = now - windowStart_;
        if (elapsed < limits_.floorWindowMilliseconds) return true;
        const unsigned long long needed =
            static_cast<unsigned long long>(limits_.floorBytesPerSecond) * elapsed / 1000;
        if (received - windowBytes_ < needed) return false;
        windowStart_ = now;
        windowBytes_ = received;
        return true;
    }

  private:
    const TransferLimits& limits_;
    unsigned long long windowStart_;
    size_t windowBytes_ = 0;
};

// Applies the next wait to the request, where a limit asks for one.
void limitNextWait(HINTERNET request, const TransferLimits& limits, const TransferClock& clock) {
    if (limits.deadlineTick == 0 && limits.stallMilliseconds == 0) return;
    DWORD wait = clock.nextWaitMilliseconds();
    WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_TIMEOUT, &wait, sizeof wait);
}

// Set before the connection opens: Wine applies a receive time-out to the connection only then,
// where Windows also takes the later per-read changes. With a deadline every phase, from name
// resolution to the headers, waits at most what it leaves; a stall limit bounds each read.
void limitEveryWait(HINTERNET session, const TransferLimits& limits) {
    if (limits.deadlineTick == 0 && limits.stallMilliseconds == 0) return;
    DWORD wait = TransferClock(limits).nextWaitMilliseconds();
    const int bounded = static_cast<int>(std::min<DWORD>(wait, INT_MAX));
    if (limits.deadlineTick != 0) {
        WinHttpSetTimeouts(session, bounded, bounded, bounded, bounded);
        WinHttpSetOption(session, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &wait, sizeof wait);
    } else {
        WinHttpSetTimeouts(session, kDefaultResolveTimeout, kDefaultConnectTimeout,
                           kDefaultSendTimeout, bounded);
    }
}

bool readBody(HINTERNET request, ByteString& body, WideString* errorText,
              const TransferLimits& limits) {
    const unsigned long long announced = announcedContentLength(request);
    if (limits.maxBytes != 0 && announced != kNoContentLength && announced > limits.maxBytes) {
        setError(errorText, tooLargeText(announced));
        return false;
    }
    try {
        // Reserved up front so a large body is not copied again and again as it grows; never
        // more than the cap, whatever the server announces.
        unsigned long long reserve = announced == kNoContentLength ? 0 : announced;
        if (limits.maxBytes != 0) reserve = std::min(reserve, limits.maxBytes);
        if (reserve > 0 && reserve < body.max_size()) body.reserve(static_cast<size_t>(reserve));
    } catch (const std::bad_alloc&) {
        setSystemError(errorText, L"WinHttpReadData: ", ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    TransferClock clock(limits);
    for (;;) {
        if (clock.pastDeadline() || !clock.keepsTheFloor(body.size())) {
            setError(errorText, downloadTimeoutText());
            return false;
        }
        limitNextWait(request, limits, clock);
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) {
            // Wine reports the socket's own time-out code where Windows reports WinHTTP's.
            const DWORD code = GetLastError();
            if (code == ERROR_WINHTTP_TIMEOUT || code == WSAETIMEDOUT) {
                setError(errorText, downloadTimeoutText());
            } else {
                setSystemError(errorText, L"WinHttpQueryDataAvailable: ");
            }
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
        if (limits.maxBytes != 0 && used + available > limits.maxBytes) {
            setError(errorText, tooLargeText(used + available));
            return false;
        }
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

// TLS 1.2 and 1.3 only. Windows 7 offers just SSL 3.0 and TLS 1.0 unless told otherwise, which
// no current server accepts; elsewhere the defaults still allow TLS 1.0 and 1.1. Systems without
// TLS 1.3 refuse its flag, so TLS 1.2 alone is tried next; a system that refuses that too (Windows
// 7 without its TLS 1.2 update) keeps its defaults, and the log says so once.
void requireModernTls(HINTERNET session) {
    for (DWORD protocols : {static_cast<DWORD>(WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 |
                                               WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3),
                            static_cast<DWORD>(WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2)}) {
        if (WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                             sizeof protocols)) {
            return;
        }
    }
    static bool logged = false;
    if (!logged) {
        logged = true;
        logWrite(L"TLS 1.2 could not be required; the system's default protocols stay in use.");
    }
}

}  // namespace

WideString downloadTimeoutText() {
    return L"Ошибка загрузки: " + win32ErrorText(ERROR_WINHTTP_TIMEOUT);
}

bool downloadToMemory(const WideString& url, ByteString& body, WideString* errorText,
                      const TransferLimits& limits) {
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
    requireModernTls(session.get());
    limitEveryWait(session.get(), limits);
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
    return readBody(request.get(), body, errorText, limits);
}

bool downloadToFile(const WideString& url, const WideString& path, WideString* errorText) {
    const TimeLimits& time = timeLimits();
    TransferLimits limits;
    limits.stallMilliseconds = time.stallMilliseconds;
    limits.floorWindowMilliseconds = time.floorWindowMilliseconds;
    limits.floorBytesPerSecond = time.floorBytesPerSecond;
    ByteString buffer;
    if (!downloadToMemory(url, buffer, errorText, limits)) return false;
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
