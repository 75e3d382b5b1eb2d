// The contents of the files in the committed test archives (tests/standins/unlha32/make_fixtures.py makes the
// same bytes), and a sink that keeps what an extraction delivers.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "lha_decoder.h"

namespace lhatest {

// "日本語テキスト\r\n" in Shift-JIS.
inline const std::string kSjisText = "\x93\xfa\x96\x7b\x8c\xea\x83\x65\x83\x4c\x83\x58\x83\x67\r\n";
// Names in Shift-JIS: 表 = 95 5C and ソ = 83 5C end in a backslash byte.
inline const std::string kHyo = "\x95\x5c";
inline const std::string kSo = "\x83\x5c";
inline const std::string kHyojiTxt = "\x95\x5c\x8e\xa6.txt";

inline std::string Words(std::size_t size) {
    std::vector<std::string> vocab;
    for (int k = 0; k < 64; ++k) {
        std::string w;
        for (int j = 0; j < 3 + k % 6; ++j) w.push_back(static_cast<char>('a' + (k * 7 + j * 3 + k * j) % 26));
        vocab.push_back(w);
    }
    std::uint64_t x = 12345;
    std::string out;
    while (out.size() < size) {
        x = (x * 1103515245u + 12345u) % (std::uint64_t{1} << 31);
        out += vocab[(x >> 16) % 64];
        out += (x >> 8) % 13 == 0 ? '\n' : ' ';
    }
    out.resize(size);
    return out;
}

inline std::string Repetitive(std::size_t size) {
    const std::string unit = "0123456789abcdef\r\n";
    std::string out;
    while (out.size() < size) out += unit;
    out.resize(size);
    return out;
}

inline std::string AllBytes() {
    std::string out;
    for (int r = 0; r < 4; ++r)
        for (int i = 0; i < 256; ++i) out.push_back(static_cast<char>(i));
    return out;
}

// Path (components joined with '/') -> content, for the archives' small and big file sets.
inline std::map<std::string, std::string> SmallFiles() {
    return {
        {"empty.txt", ""},       {kHyojiTxt, kSjisText},
        {"sub/a.txt", "abc"},    {"sub/" + kHyo + "/" + kSo + ".txt", "xyz123"},
        {"bin.dat", AllBytes()},
    };
}

inline std::map<std::string, std::string> AllFiles() {
    auto files = SmallFiles();
    files["rep.bin"] = Repetitive(100000);
    files["words.txt"] = Words(24000);
    return files;
}

inline std::string Join(const std::vector<std::string>& parts) {
    std::string s;
    for (const auto& p : parts) s += (s.empty() ? "" : "/") + p;
    return s;
}

// Keeps every completed file; notes begun, aborted and refused entries.
class RecordingSink : public lha::Sink {
public:
    void Directory(const lha::Entry& e) override { directories.push_back(Join(e.components)); }
    void BeginFile(const lha::Entry& e) override {
        current.clear();
        begun.push_back(Join(e.components));
        entries.push_back(e);
    }
    void Write(const std::uint8_t* data, std::size_t size) override {
        current.append(reinterpret_cast<const char*>(data), size);
    }
    void EndFile(const lha::Entry& e) override { files[Join(e.components)] = current; }
    void AbortFile(const lha::Entry& e) noexcept override { aborted.push_back(Join(e.components)); }
    void Refused(const lha::Entry& e, const std::string& reason) override {
        if (!continueAfterRefusal) lha::Sink::Refused(e, reason);
        refusedNames.push_back(e.rawName);
    }

    bool continueAfterRefusal = false;
    std::string current;
    std::map<std::string, std::string> files;
    std::vector<lha::Entry> entries;
    std::vector<std::string> begun, aborted, directories, refusedNames;
};

}  // namespace lhatest
