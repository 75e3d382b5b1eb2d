// Large files archived at test time by a real LHA archiver (jlha, from Debian's jlha-utils) in
// every header level and method, tested by a second archiver (lhasa), then read back by the
// portable reader. Needs KARUPDT_JLHA and KARUPDT_LHASA (set by CMake when it finds the tools).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>

#include <unistd.h>

#include "fixture_content.h"
#include "lha_decoder.h"

namespace fs = std::filesystem;

namespace {

std::string RandomBytes(std::size_t size, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::string out(size, '\0');
    for (auto& c : out) c = static_cast<char>(rng() >> 56);
    return out;
}

std::string Quoted(const fs::path& p) { return "'" + p.string() + "'"; }

class JlhaArchives : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const char* jlha = std::getenv("KARUPDT_JLHA");
        const char* lhasa = std::getenv("KARUPDT_LHASA");
        ASSERT_TRUE(jlha && lhasa) << "KARUPDT_JLHA and KARUPDT_LHASA must name the jlha and lhasa programs";
        dir_ = fs::temp_directory_path() / ("lha_jlha_test." + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "src");
        files_ = {
            {"random.bin", RandomBytes(1 << 20, 1)},
            {"text.txt", lhatest::Words(1 << 20)},
            {"rep.bin", lhatest::Repetitive(1 << 20)},
            {"empty.txt", ""},
        };
        // 48 KB of random bytes three times: only the 64 KB window of -lh7- reaches the repeats.
        const std::string block = RandomBytes(48 * 1024, 2);
        files_["far.bin"] = block + block + block;
        for (const auto& [name, data] : files_) std::ofstream(dir_ / "src" / name, std::ios::binary) << data;
    }
    static void TearDownTestSuite() { fs::remove_all(dir_); }

    static std::string Make(int level, const std::string& option) {
        const fs::path archive = dir_ / ("t" + std::to_string(level) + option + ".lzh");
        std::string cmd = "cd " + Quoted(dir_ / "src") + " && LC_ALL=C.UTF-8 " + std::getenv("KARUPDT_JLHA") + " c" +
                          std::to_string(level) + option + " " + Quoted(archive);
        for (const auto& f : files_) cmd += " " + f.first;
        cmd += " >/dev/null 2>&1";
        if (std::system(cmd.c_str()) != 0) throw std::runtime_error("jlha failed: " + cmd);
        const std::string check = std::string(std::getenv("KARUPDT_LHASA")) + " tq " + Quoted(archive);
        if (std::system(check.c_str()) != 0) throw std::runtime_error("lhasa rejects " + archive.string());
        std::ifstream in(archive, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    static fs::path dir_;
    static std::map<std::string, std::string> files_;
};
fs::path JlhaArchives::dir_;
std::map<std::string, std::string> JlhaArchives::files_;

TEST_F(JlhaArchives, EveryLevelAndMethodReadsBackExactly) {
    const std::map<std::string, std::string> methods = {
        {"z", "-lh0-"}, {"o5", "-lh5-"}, {"o6", "-lh6-"}, {"o7", "-lh7-"}};
    for (int level = 0; level <= 2; ++level) {
        for (const auto& [option, method] : methods) {
            SCOPED_TRACE("level " + std::to_string(level) + " " + method);
            const std::string archive = Make(level, option);
            lhatest::RecordingSink sink;
            lha::MemorySource src(archive.data(), archive.size());
            const lha::Summary summary = lha::Extract(src, sink);
            EXPECT_EQ(summary.files, files_.size());
            for (const auto& [name, data] : files_) {
                ASSERT_TRUE(sink.files.count(name)) << name;
                EXPECT_EQ(sink.files[name].size(), data.size()) << name;
                EXPECT_TRUE(sink.files[name] == data) << name;
            }
            for (const auto& e : sink.entries) {
                EXPECT_EQ(e.level, level);
                if (e.rawName == "text.txt" || e.rawName == "rep.bin" ||
                    (e.rawName == "far.bin" && method == "-lh7-")) {
                    EXPECT_EQ(e.methodId, method) << e.rawName;
                }
            }
        }
    }
}

}  // namespace
