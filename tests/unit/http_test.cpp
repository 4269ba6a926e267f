// Downloads against the bench's scripted HTTPS server (real WinHTTP, real TLS).
#include "net/http.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "platform/fs.h"
#include "test_directory.h"

using namespace varnix;
using varnix_test::ScratchDirectory;

namespace {

class HttpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        wchar_t host[256] = {};
        wchar_t port[16] = {};
        if (GetEnvironmentVariableW(L"VARNIX_FAULT_SITE", host, 256) == 0 ||
            GetEnvironmentVariableW(L"VARNIX_UNREACHABLE_PORT", port, 16) == 0) {
            GTEST_SKIP() << "VARNIX_FAULT_SITE or VARNIX_UNREACHABLE_PORT not set (the bench sets "
                            "both and starts the fault server)";
        }
        base = L"https://" + std::wstring(host);
        unreachable = L"https://localhost:" + std::wstring(port);
    }
    std::wstring base;
    std::wstring unreachable;  // a port where nothing listens
};

}  // namespace

TEST_F(HttpTest, EverySuccessStatusGivesTheWholeBody) {
    ByteString body = "stale";
    std::wstring error = L"untouched";
    ASSERT_TRUE(downloadToMemory(base + L"/bytes/100000", body, &error));
    ASSERT_EQ(body.size(), 100000u);
    EXPECT_EQ(static_cast<unsigned char>(body[99999]), 99999 % 251);
    EXPECT_EQ(error, L"untouched");
    EXPECT_TRUE(downloadToMemory(base + L"/empty", body, &error));
    EXPECT_TRUE(body.empty());
    EXPECT_TRUE(downloadToMemory(base + L"/status/204", body, &error));
    EXPECT_TRUE(downloadToMemory(base + L"/status/206", body, &error));
    EXPECT_EQ(body, "status 206");
}

TEST_F(HttpTest, StatusesOutsideTwoHundredsFailWithTheirNumber) {
    ByteString body;
    for (int status : {300, 404, 500}) {
        std::wstring error;
        EXPECT_FALSE(downloadToMemory(base + L"/status/" + std::to_wstring(status), body, &error));
        EXPECT_EQ(error, L"Сервер вернул HTTP статус: " + std::to_wstring(status));
    }
    EXPECT_FALSE(downloadToMemory(base + L"/status/404", body, nullptr));
}

TEST_F(HttpTest, RequestCarriesQueryAndUserAgent) {
    ByteString body;
    ASSERT_TRUE(downloadToMemory(base + L"/request/x?a=1&b=2", body, nullptr));
    EXPECT_EQ(body, "GET /request/x?a=1&b=2 HTTP/1.1\nUser-Agent: VarnixLauncher/1.0");
}

TEST_F(HttpTest, BrokenTransfersFailWithTheFailedStepNamed) {
    ByteString body;
    std::wstring error;
    EXPECT_FALSE(downloadToMemory(base + L"/reset", body, &error));
    EXPECT_EQ(error.rfind(L"Ошибка загрузки: ", 0), 0u) << error;
    error.clear();
    EXPECT_FALSE(downloadToMemory(base + L"/cut", body, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(downloadToMemory(L"not a url", body, &error));
    EXPECT_EQ(error, L"Не удалось разобрать URL: not a url");
    EXPECT_FALSE(downloadToMemory(unreachable + L"/nothing-listens", body, &error));
    EXPECT_EQ(error.rfind(L"Ошибка загрузки: ", 0), 0u) << error;
}

TEST_F(HttpTest, FileIsWrittenOnlyAfterACompleteDownload) {
    ScratchDirectory scratch;
    const std::wstring path = scratch / L"new\\dir\\file.bin";
    std::wstring error;
    ASSERT_TRUE(downloadToFile(base + L"/bytes/5000", path, &error));
    EXPECT_EQ(readWholeFile(path).size(), 5000u);
    ASSERT_TRUE(writeWholeFile(path, "keep"));
    EXPECT_FALSE(downloadToFile(base + L"/status/404", path, &error));
    EXPECT_EQ(readWholeFile(path), "keep");
    ASSERT_TRUE(downloadToFile(base + L"/empty", path, &error));
    EXPECT_TRUE(isExistingFile(path));
    EXPECT_EQ(readWholeFile(path), "");

    HANDLE held = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(downloadToFile(base + L"/bytes/10", path, &error));
    EXPECT_EQ(error, L"Не удалось создать файл: " + path);
    CloseHandle(held);
}

// Each limit ends its transfer with its own text, and well within the time it allows.
TEST_F(HttpTest, CapsDeadlinesStallsAndFloorsEndTransfers) {
    struct Case {
        const wchar_t* path;
        unsigned long long maxBytes;
        unsigned deadlineFromNow, stall, floorWindow, floorBytesPerSecond;
        std::wstring error;  // how the error begins; empty: the whole body arrives
    };
    const std::wstring tooLarge = L"Ответ сервера слишком большой: ";
    const std::wstring timeout = downloadTimeoutText();
    const Case cases[] = {
        {L"/bytes/4096", 4096, 0, 0, 0, 0, L""},
        {L"/bytes/4097", 4096, 0, 0, 0, 0, tooLarge + L"4097"},
        {L"/unannounced/100000", 4096, 0, 0, 0, 0, tooLarge},
        {L"/drip/1073741824/65536/10", 16 << 20, 0, 0, 0, 0, tooLarge + L"1073741824"},
        {L"/drip/100/1/300", 0, 2000, 0, 0, 0, timeout},
        {L"/drip/20/1/3000", 0, 0, 1000, 0, 0, timeout},
        {L"/drip/100000/100/100", 0, 0, 0, 1000, 10000, timeout},
        {L"/drip/300000/10000/100", 0, 0, 1000, 1000, 10000, L""},
    };
    for (const Case& c : cases) {
        TransferLimits limits;
        limits.maxBytes = c.maxBytes;
        if (c.deadlineFromNow) limits.deadlineTick = GetTickCount64() + c.deadlineFromNow;
        limits.stallMilliseconds = c.stall;
        limits.floorWindowMilliseconds = c.floorWindow;
        limits.floorBytesPerSecond = c.floorBytesPerSecond;
        ByteString body;
        std::wstring error;
        const unsigned long long start = GetTickCount64();
        const bool ok = downloadToMemory(base + c.path, body, &error, limits);
        EXPECT_LT(GetTickCount64() - start, 6000u) << c.path;
        if (c.error.empty()) {
            EXPECT_TRUE(ok) << c.path << L" " << error;
        } else {
            EXPECT_FALSE(ok) << c.path;
            EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.path << L" " << error;
        }
    }
}
