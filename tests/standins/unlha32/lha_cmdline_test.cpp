// The command line that the updater hands to the library's Unlha entry.
#include <gtest/gtest.h>

#include "lha_cmdline.h"
#include "lha_decoder.h"

namespace {

TEST(CommandLine, TheUpdatersOwnCommand) {
    const lha::Command c = lha::ParseCommandLine(
        "e -y \"C:\\TALVERN\\KAREDONA\\Temp\\Imgkit5.lzh\" -c1 -d1 \"C:\\Program Files\\imagekit5\\\"");
    EXPECT_EQ(c.command, 'e');
    EXPECT_EQ(c.archive, "C:\\TALVERN\\KAREDONA\\Temp\\Imgkit5.lzh");
    EXPECT_EQ(c.folder, "C:\\Program Files\\imagekit5");
    EXPECT_EQ(c.switches, (std::vector<std::string>{"-y", "-c1", "-d1"}));
}

TEST(CommandLine, UnquotedTokensSwitchesAnywhereAndBlanks) {
    const lha::Command c = lha::ParseCommandLine("  X\t-n a.lzh  -jf0 out\\dir\\ -c ");
    EXPECT_EQ(c.command, 'x');
    EXPECT_EQ(c.archive, "a.lzh");
    EXPECT_EQ(c.folder, "out\\dir");
    EXPECT_EQ(c.switches, (std::vector<std::string>{"-n", "-jf0", "-c"}));
    // Quotes may cover part of a token; a quoted "-x" is a name, not a switch.
    const lha::Command d = lha::ParseCommandLine("e C:\\\"my files\"\\a.lzh \"-x\"");
    EXPECT_EQ(d.archive, "C:\\my files\\a.lzh");
    EXPECT_EQ(d.folder, "-x");
    EXPECT_TRUE(d.switches.empty());
}

TEST(CommandLine, FolderEndings) {
    // The root of a drive keeps its backslash; several trailing separators go.
    EXPECT_EQ(lha::ParseCommandLine("e a.lzh \"C:\\\"").folder, "C:\\");
    EXPECT_EQ(lha::ParseCommandLine("e a.lzh \"D:\\x\\\\/\"").folder, "D:\\x");
    // A folder whose last character is 表 (95 5C) keeps both bytes.
    EXPECT_EQ(lha::ParseCommandLine("e a.lzh \"C:\\\x95\x5c\"").folder, "C:\\\x95\x5c");
    EXPECT_EQ(lha::ParseCommandLine("e a.lzh \"C:\\\x95\x5c\\\"").folder, "C:\\\x95\x5c");
    // Shift-JIS in the archive name passes unchanged.
    EXPECT_EQ(lha::ParseCommandLine("e \"C:\\\x83\x5c\\a.lzh\" b\\").archive, "C:\\\x83\x5c\\a.lzh");
}

TEST(CommandLine, LinesThatCannotBeCarriedOut) {
    for (const char* bad : {"", "   ", "l a.lzh b\\", "a a.lzh b\\", "\"e\" a.lzh b\\", "ee a.lzh b\\", "e", "e -y",
                            "e -y a.lzh", "e -y \"a.lzh b\\", "e a.lzh b\\ c.txt", "e \"\" b\\"}) {
        try {
            lha::ParseCommandLine(bad);
            ADD_FAILURE() << "accepted [" << bad << "]";
        } catch (const lha::Error& e) {
            EXPECT_EQ(e.code(), lha::ErrorCode::CommandLine) << bad;
            EXPECT_NE(std::string(e.what()), "");
        }
    }
}

}  // namespace
