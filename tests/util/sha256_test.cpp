#include "util/sha256.h"

#include "util/files.h"
#include "util/text.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace {

std::string Hex(const std::optional<Sha256Digest>& digest) { return digest ? HexOf(*digest) : "<none>"; }

// The test vectors of FIPS 180-2, appendix B.
TEST(Sha256Test, KnownVectorsInMemoryAndFromFiles) {
    EXPECT_EQ(Hex(Sha256Of("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Hex(Sha256Of("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Hex(Sha256Of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    const std::string million(1000000, 'a');
    EXPECT_EQ(Hex(Sha256Of(million)), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");

    // A file is read in pieces of 1 MB: one of a little more than a piece, and an empty one.
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::string path = WideToUtf8(temp) + "karupdt_sha256_test.bin";
    std::string bytes = million;
    for (int i = 0; i < 100000; ++i) bytes += static_cast<char>(i * 7);
    ASSERT_TRUE(WriteWholeFile(path, bytes));
    EXPECT_EQ(Hex(Sha256OfFile(path)), Hex(Sha256Of(bytes)));
    ASSERT_TRUE(WriteWholeFile(path, ""));
    EXPECT_EQ(Hex(Sha256OfFile(path)), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    DeleteFileW(Utf8ToWide(path).c_str());
    EXPECT_EQ(Hex(Sha256OfFile(path)), "<none>");
}

}  // namespace
