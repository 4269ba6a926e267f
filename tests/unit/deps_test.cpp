#include <gtest/gtest.h>

#include "deps/handling.h"
#include "platform/fs.h"
#include "test_directory.h"

using namespace varnix;
using varnix_test::ScratchDirectory;

TEST(DependencyPrompt, ThirteenLinesWithReasonPackagesAndMissingFiles) {
    DependencyRequest request;
    request.reason = "R";
    request.packages = {"a", "b"};
    request.missing = {"m"};
    EXPECT_EQ(buildDependencyPrompt(request),
              L"Varnix сообщил, что для новой функции нужен дополнительный пакет.\n\n"
              L"Причина:\nR\n\nПакеты:\n\u2022 a\n\u2022 b\n\nОтсутствующие файлы:\n\u2022 m\n\n"
              L"Скачать и установить пакет?");
}

TEST(DependencyPrompt, WithoutReasonAndMissingOrWithAnEmptyMissingItem) {
    DependencyRequest request;
    request.packages = {"voice"};
    EXPECT_EQ(buildDependencyPrompt(request),
              L"Varnix сообщил, что для новой функции нужен дополнительный пакет.\n\n"
              L"Пакеты:\n\u2022 voice\n\nСкачать и установить пакет?");
    request.missing = {""};
    EXPECT_EQ(buildDependencyPrompt(request),
              L"Varnix сообщил, что для новой функции нужен дополнительный пакет.\n\n"
              L"Пакеты:\n\u2022 voice\n\nОтсутствующие файлы:\n\nСкачать и установить пакет?");
}

TEST(DependencyRequestFile, MissingDirectoryOrEmptyFileIsInvalid) {
    ScratchDirectory system;
    DependencyRequest request;
    EXPECT_FALSE(parseDependencyRequest(system.path(), request));
    ASSERT_TRUE(writeWholeFile(system / L"dependency_request.txt", ""));
    EXPECT_FALSE(parseDependencyRequest(system.path(), request));
    ASSERT_TRUE(writeWholeFile(system / L"dependency_request.txt", "package=voice"));
    EXPECT_TRUE(parseDependencyRequest(system.path(), request));
    deleteStaleDependencyRequest(system.path());
    EXPECT_FALSE(isExistingFile(system / L"dependency_request.txt"));
    ASSERT_TRUE(ensureDirectory(system / L"dependency_request.txt"));
    EXPECT_FALSE(parseDependencyRequest(system.path(), request));
    deleteStaleDependencyRequest(system.path());
    EXPECT_TRUE(isExistingDirectory(system / L"dependency_request.txt"));
}
