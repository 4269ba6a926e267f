#include "manifest/sha256.h"

#include <gtest/gtest.h>

#include "platform/fs.h"
#include "platform/text.h"
#include "test_directory.h"

using namespace varnix;
using varnix_test::ScratchDirectory;

namespace {
const std::string kEmptyDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
}

TEST(Sha256, KnownVectorsAndEmptyInput) {
    EXPECT_EQ(toLowerHex(sha256Bytes("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const ByteString empty = sha256Bytes("");
    EXPECT_EQ(empty.size(), 32u);
    EXPECT_EQ(toLowerHex(empty), kEmptyDigest);
}

TEST(Sha256, FileOverSeveralChunksMatchesTheBufferDigest) {
    ScratchDirectory scratch;
    std::string content(8192 * 3 + 17, '\0');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 31 + 7);
    ASSERT_TRUE(writeWholeFile(scratch / L"data.bin", content));
    const ByteString text = sha256File(scratch / L"data.bin");
    EXPECT_EQ(text, toLowerHex(sha256Bytes(content)));
    EXPECT_EQ(text.find_first_not_of("0123456789abcdef"), std::string::npos);

    ASSERT_TRUE(writeWholeFile(scratch / L"empty.bin", ""));
    EXPECT_EQ(sha256File(scratch / L"empty.bin"), kEmptyDigest);
    EXPECT_EQ(sha256File(scratch / L"missing.bin"), "");
    EXPECT_EQ(sha256File(scratch.path()), "");
}
