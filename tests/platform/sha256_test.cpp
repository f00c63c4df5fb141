#include "platform/sha256.h"

#include <gtest/gtest.h>

#include <string>

#include "support/scratch_files.h"

namespace nvx {
namespace {

struct DigestCase {
    std::string input;
    const char* digest;
};

TEST(Sha256, PublishedVectorsAndEveryPaddingBoundary) {
    // The standard's examples, and runs of 'a' around the lengths where the padding needs a
    // second block (digests from coreutils' sha256sum).
    const DigestCase cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        {std::string(119, 'a'), "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const DigestCase& c : cases) EXPECT_EQ(Sha256Hex(c.input), c.digest) << c.input.size();
}

TEST(Sha256, FilesAreHashedWholeAndAMissingOneSaysWhy) {
    test::ScratchDir dir("sha");
    test::WriteText(dir.file("a"), "abc");
    std::string digest = "unchanged";
    ASSERT_TRUE(FileSha256Hex(dir.file("a"), digest));
    EXPECT_EQ(digest, Sha256Hex("abc"));
    std::string error;
    digest = "unchanged";
    EXPECT_FALSE(FileSha256Hex(dir.file("missing"), digest, &error));
    EXPECT_EQ(digest, "unchanged");
    EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace nvx
