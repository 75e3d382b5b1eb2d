#include "util/sha256.h"
#include "util/sha256_hasher.h"

#include "util/files.h"
#include "util/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
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

// The program's own hasher, with and without the processor's SHA instructions, agrees with the
// system's provider for every length around the block size and for data added in odd pieces.
TEST(Sha256Test, OwnHasherAgreesWithTheSystemProvider) {
    std::string bytes;
    for (int i = 0; i < 300000; ++i) bytes += static_cast<char>((i * 131) ^ (i >> 7));
    for (bool accelerated : {false, true}) {
        if (accelerated && !Sha256Hasher::Accelerated()) continue;
        Sha256Hasher hasher(accelerated);
        EXPECT_EQ(HexOf(hasher.Finish()), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
        for (size_t length : {1u, 55u, 56u, 63u, 64u, 65u, 119u, 120u, 128u, 1000u, 65537u, 300000u}) {
            const std::string_view data(bytes.data(), length);
            for (size_t piece : {length, size_t{1}, size_t{63}, size_t{4096 + 7}}) {
                if (piece == 1 && length > 1000) continue;
                for (size_t at = 0; at < length; at += piece) hasher.Add(data.data() + at, std::min(piece, length - at));
                EXPECT_EQ(HexOf(hasher.Finish()), Hex(Sha256Of(data)))
                    << "length " << length << " in pieces of " << piece << (accelerated ? ", accelerated" : "");
            }
        }
    }
    std::printf("SHA instructions %s\n", Sha256Hasher::Accelerated() ? "used" : "not available");
}

}  // namespace
