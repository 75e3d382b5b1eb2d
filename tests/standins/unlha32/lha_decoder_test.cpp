// The portable LHA reader against archives written by a real archiver (jlha) and against damaged
// copies of them (tests/standins/unlha32/make_fixtures.py).
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <tuple>

#include "fixture_content.h"
#include "lha_decoder.h"

using lhatest::RecordingSink;

namespace {

std::string Load(const std::string& name) {
    std::ifstream f(std::string(KARUPDT_LHA_FIXTURE_DIR) + "/" + name, std::ios::binary);
    if (!f) throw std::runtime_error("missing fixture " + name);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// "l<level>_<method>.lzh", the committed archive jlha wrote in that header level and method.
std::string GoodArchive(int level, const std::string& method) {
    std::string name = "l";
    name += std::to_string(level);
    name += '_';
    name += method;
    name += ".lzh";
    return name;
}

lha::Summary ExtractArchive(const std::string& archive, RecordingSink& sink, const lha::Options& options = {}) {
    lha::MemorySource src(archive.data(), archive.size());
    return lha::Extract(src, sink, options);
}

// Runs the extraction; returns the error code, or nothing when it succeeded.
std::optional<lha::ErrorCode> Failure(const std::string& archive, RecordingSink& sink,
                                      const lha::Options& options = {}) {
    try {
        ExtractArchive(archive, sink, options);
    } catch (const lha::Error& e) {
        EXPECT_NE(std::string(e.what()), "");
        return e.code();
    }
    return std::nullopt;
}

// ------------------------------------------------------------------------------------------------
// Good archives: every header level and method jlha writes.

class RealArchive : public ::testing::TestWithParam<std::tuple<int, const char*>> {};

TEST_P(RealArchive, ExtractsEveryFileExactly) {
    const auto [level, method] = GetParam();
    RecordingSink sink;
    const lha::Summary summary = ExtractArchive(Load(GoodArchive(level, method)), sink);

    const auto expected = std::string(method) == "lh0" ? lhatest::SmallFiles() : lhatest::AllFiles();
    EXPECT_EQ(summary.files, expected.size());
    EXPECT_EQ(summary.refused, 0u);
    EXPECT_EQ(summary.directories, 1u);
    EXPECT_EQ(sink.directories, std::vector<std::string>{"emptydir"});
    EXPECT_TRUE(sink.aborted.empty());
    ASSERT_EQ(sink.files.size(), expected.size());
    for (const auto& [path, content] : expected) {
        auto it = sink.files.find(path);
        ASSERT_NE(it, sink.files.end()) << path;
        EXPECT_EQ(it->second.size(), content.size()) << path;
        EXPECT_TRUE(it->second == content) << path;
    }

    // The header level, and the method of the files that compress, are the ones asked of jlha.
    const std::string methodId = std::string("-") + method + "-";
    for (const lha::Entry& e : sink.entries) {
        EXPECT_EQ(e.level, level) << e.rawName;
        if (e.components.back() == "words.txt" || e.components.back() == "rep.bin") {
            EXPECT_EQ(e.methodId, methodId);
        }
        if (e.components.back() == "empty.txt") {
            EXPECT_EQ(e.originalSize, 0u);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllLevelsAndMethods, RealArchive,
                         ::testing::Combine(::testing::Values(0, 1, 2), ::testing::Values("lh0", "lh5", "lh6", "lh7")),
                         [](const auto& info) {
                             return "level" + std::to_string(std::get<0>(info.param)) + "_" + std::get<1>(info.param);
                         });

TEST(RealArchiveNames, ShiftJisNamesKeepTheirBytesAndFolders) {
    for (int level = 0; level <= 2; ++level) {
        RecordingSink sink;
        ExtractArchive(Load(GoodArchive(level, "lh5")), sink);
        std::set<std::vector<std::string>> paths;
        for (const auto& e : sink.entries) paths.insert(e.components);
        // 表示.txt is one component although its first character ends in 0x5C; the file in
        // sub\表\ソ.txt sits two folders deep.
        EXPECT_TRUE(paths.count({lhatest::kHyojiTxt})) << level;
        EXPECT_TRUE(paths.count({"sub", lhatest::kHyo, lhatest::kSo + ".txt"})) << level;
        EXPECT_TRUE(paths.count({"sub", "a.txt"})) << level;
    }
}

// ------------------------------------------------------------------------------------------------
// Damaged archives

TEST(DamagedArchive, TruncatedAnywhereIsAnErrorAndNoPartialFileCompletes) {
    for (const char* name : {"l0_lh5.lzh", "l1_lh6.lzh", "l2_lh7.lzh", "l2_lh0.lzh", "l1_lh0.lzh"}) {
        const std::string full = Load(name);
        const auto expected = lhatest::AllFiles();
        for (std::size_t cut = 0; cut < full.size(); cut += (cut < 400 ? 1 : 29)) {
            RecordingSink sink;
            auto code = Failure(full.substr(0, cut), sink);
            ASSERT_TRUE(code.has_value()) << name << " cut at " << cut;
            EXPECT_TRUE(*code == lha::ErrorCode::Truncated || *code == lha::ErrorCode::BadData)
                << name << " cut at " << cut;
            // What was reported complete is complete and right.
            for (const auto& [path, content] : sink.files)
                ASSERT_TRUE(expected.at(path) == content) << path << " cut " << cut;
            // A file that was begun and not completed was aborted.
            EXPECT_EQ(sink.begun.size(), sink.files.size() + sink.aborted.size()) << name << " cut at " << cut;
        }
    }
}

TEST(DamagedArchive, AnySingleByteChangeIsAnErrorOrChangesNothing) {
    for (const char* name : {"l0_lh5.lzh", "l1_lh7.lzh", "l2_lh6.lzh"}) {
        const std::string good = Load(name);
        const auto expected = lhatest::AllFiles();
        int errors = 0;
        for (std::size_t at = 0; at < good.size(); at += 7) {
            std::string bad = good;
            bad[at] = static_cast<char>(bad[at] ^ 0x24);
            RecordingSink sink;
            if (Failure(bad, sink)) {
                ++errors;
                continue;
            }
            EXPECT_TRUE(sink.files == expected)
                << name << " byte " << at << ": extracted different files without an error";
        }
        EXPECT_GT(errors, static_cast<int>(good.size() / 7 * 9 / 10)) << name;
    }
}

TEST(DamagedArchive, EachKindEndsInItsError) {
    const std::vector<std::pair<std::string, lha::ErrorCode>> cases = {
        {"crc_l0.lzh", lha::ErrorCode::CrcMismatch},
        {"crc_l1.lzh", lha::ErrorCode::CrcMismatch},
        {"crc_l2.lzh", lha::ErrorCode::CrcMismatch},
        {"checksum_l0.lzh", lha::ErrorCode::BadHeaderChecksum},
        {"checksum_l1.lzh", lha::ErrorCode::BadHeaderChecksum},
        {"headercrc_l1.lzh", lha::ErrorCode::BadHeaderChecksum},
        {"headercrc_l2.lzh", lha::ErrorCode::BadHeaderChecksum},
        {"short_l0.lzh", lha::ErrorCode::BadHeader},
        {"short_l2.lzh", lha::ErrorCode::BadHeader},
        {"extsize_l2.lzh", lha::ErrorCode::BadHeader},
        {"level3.lzh", lha::ErrorCode::BadHeader},
        {"method_l0.lzh", lha::ErrorCode::UnsupportedMethod},
        {"method_l1.lzh", lha::ErrorCode::UnsupportedMethod},
        {"method_l2.lzh", lha::ErrorCode::UnsupportedMethod},
        {"nomark_l2.lzh", lha::ErrorCode::Truncated},
    };
    for (const auto& [name, code] : cases) {
        RecordingSink sink;
        auto got = Failure(Load(name), sink);
        ASSERT_TRUE(got.has_value()) << name;
        EXPECT_EQ(static_cast<int>(*got), static_cast<int>(code)) << name;
        EXPECT_TRUE(sink.files.empty() || name == "nomark_l2.lzh") << name;
    }
}

TEST(DamagedArchive, MatchPastTheDeclaredSizeIsAnError) {
    RecordingSink sink;
    EXPECT_EQ(Failure(Load("overrun_l2.lzh"), sink), lha::ErrorCode::BadData);
    EXPECT_LE(sink.current.size(), 99999u);
    EXPECT_EQ(sink.aborted.size(), 1u);
}

TEST(DamagedArchive, CrcMismatchAbortsTheFileAfterDeliveringIt) {
    RecordingSink sink;
    ASSERT_EQ(Failure(Load("crc_l2.lzh"), sink), lha::ErrorCode::CrcMismatch);
    ASSERT_EQ(sink.aborted.size(), 1u);
    EXPECT_EQ(sink.aborted[0], "words.txt");
    EXPECT_TRUE(sink.files.empty());
}

TEST(DamagedArchive, HugeDeclaredSizeEndsCleanlyWithoutAllocatingIt) {
    // Declared 4 GB - 1 (compressed) and nearly 4 GB (stored): the data runs out, nothing is
    // reserved up front (the sanitizer build would report an allocation of that size).
    for (int level = 0; level <= 2; ++level) {
        const std::string l = std::to_string(level);
        RecordingSink a;
        auto code = Failure(Load("huge_l" + l + ".lzh"), a);
        ASSERT_TRUE(code.has_value());
        EXPECT_EQ(*code, lha::ErrorCode::BadData) << level;
        EXPECT_LE(a.current.size(), 100000u) << "decodes what is there, then stops";
        EXPECT_EQ(a.aborted.size(), 1u);

        RecordingSink b;
        EXPECT_EQ(Failure(Load("hugestored_l" + l + ".lzh"), b), lha::ErrorCode::Truncated) << level;
        EXPECT_EQ(b.current, std::string("abc\0", 4)) << "the file's 3 bytes and the end mark, then the end";
        EXPECT_EQ(b.aborted.size(), 1u);

        // With a limit, the entry is refused before any of it is decoded.
        RecordingSink c;
        lha::Options limit;
        limit.maxOriginalSize = 1 << 20;
        EXPECT_EQ(Failure(Load("huge_l" + l + ".lzh"), c, limit), lha::ErrorCode::TooLarge);
        EXPECT_TRUE(c.begun.empty());
    }
}

// ------------------------------------------------------------------------------------------------
// Names that would land outside the destination folder

TEST(UnsafeNames, EveryTraversalFormIsRefusedAndItsDataNeverDelivered) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"evil_dotdot_bs_l0.lzh", "..\\evil.txt"},  {"evil_dotdot_slash_l0.lzh", "sub\\..\\..\\evil.txt"},
        {"evil_dotdot_ff_l1.lzh", "..\\evil.txt"},  {"evil_drive_l0.lzh", "C:\\evil.txt"},
        {"evil_drive_rel_l1.lzh", "C:evil.txt"},    {"evil_root_slash_l2.lzh", "\\etc\\evil.txt"},
        {"evil_root_ff_l2.lzh", "\\etc\\evil.txt"}, {"evil_unc_l0.lzh", "\\\\server\\share\\evil.txt"},
        {"evil_dots_l2.lzh", "...\\evil.txt"},
    };
    for (const auto& [name, shown] : cases) {
        const std::string archive = Load(name);
        {
            RecordingSink stop;  // by default the first unsafe entry ends the extraction
            EXPECT_EQ(Failure(archive, stop), lha::ErrorCode::UnsafeName) << name;
            EXPECT_EQ(stop.begun, std::vector<std::string>{"sub/a.txt"}) << name;
        }
        RecordingSink goOn;
        goOn.continueAfterRefusal = true;
        const lha::Summary summary = ExtractArchive(archive, goOn);
        EXPECT_EQ(summary.refused, 1u) << name;
        EXPECT_EQ(summary.files, 2u) << name;
        EXPECT_EQ(goOn.refusedNames, std::vector<std::string>{shown}) << name;
        EXPECT_EQ(goOn.begun, (std::vector<std::string>{"sub/a.txt", "bin.dat"})) << name;
        EXPECT_TRUE(goOn.files.at("bin.dat") == lhatest::AllBytes()) << name;
    }
}

TEST(SplitPath, SeparatorsAndShiftJis) {
    using V = std::vector<std::string>;
    EXPECT_EQ(lha::SplitPath("a\\b/c\xff"
                             "d"),
              (V{"a", "b", "c", "d"}));
    EXPECT_EQ(lha::SplitPath("a//b\\.\\c\xff"), (V{"a", "b", "c"}));
    // A Shift-JIS character whose second byte is 0x5C is not split.
    EXPECT_EQ(lha::SplitPath("\x95\x5c\\\x83\x5c.txt"), (V{"\x95\x5c", "\x83\x5c.txt"}));
    EXPECT_EQ(lha::SplitPath("\x95\x5c\x5c"
                             "x"),
              (V{"\x95\x5c", "x"}));
    // A lead byte before '/' or 0xFF (not a second byte) leaves the separator a separator.
    EXPECT_EQ(lha::SplitPath("\x95/x"), (V{"\x95", "x"}));
    EXPECT_EQ(lha::SplitPath("\x95\xff"
                             "x"),
              (V{"\x95", "x"}));
    // ".." hidden behind a Shift-JIS character is part of that name, not a parent folder.
    EXPECT_EQ(lha::SplitPath("\x81\x5c..\\x"), (V{"\x81\x5c..", "x"}));
    EXPECT_EQ(lha::SplitPath("..a\\b..\\.c"), (V{"..a", "b..", ".c"}));
    EXPECT_TRUE(lha::SplitPath("").empty());
}

TEST(SplitPath, RefusesEveryWayOut) {
    for (const char* bad :
         {"..", "..\\x", "a\\..\\..\\x", "a/../x", "a\xff..\xffx", "\\x", "/x", "\xffx", "\\\\srv\\share", "C:\\x",
          "C:x", "c:", "a\\b:stream", "...", ". .", "a\\.. \\x", "x\x01y", "\x95\x5c\\..\\x"}) {
        try {
            lha::SplitPath(bad);
            ADD_FAILURE() << "accepted " << bad;
        } catch (const lha::Error& e) {
            EXPECT_EQ(e.code(), lha::ErrorCode::UnsafeName) << bad;
        }
    }
}

TEST(Crc16, KnownValues) {
    const std::string check = "123456789";
    EXPECT_EQ(lha::Crc16(0, reinterpret_cast<const std::uint8_t*>(check.data()), check.size()), 0xBB3D);
    // Piecewise equals whole.
    std::uint16_t c = lha::Crc16(0, reinterpret_cast<const std::uint8_t*>(check.data()), 4);
    c = lha::Crc16(c, reinterpret_cast<const std::uint8_t*>(check.data()) + 4, 5);
    EXPECT_EQ(c, 0xBB3D);
}

}  // namespace
