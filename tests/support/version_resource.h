#pragma once
// Builds version resources (VS_VERSIONINFO) in memory and stamps them onto copies of a stub
// program, so that tests can make files with any version text, including malformed resources.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct VersionResourceContent {
    // String values of the one string table, in order (key, value).
    std::vector<std::pair<std::wstring, std::wstring>> strings;
    // Name of the string table: language then code page as eight hex digits.
    std::wstring tableName = L"041104B0";
    // The translation table; when false the resource has no VarFileInfo block at all.
    bool withTranslation = true;
    uint16_t language = 0x0411;
    uint16_t codePage = 0x04B0;
};

std::vector<uint8_t> BuildVersionResource(const VersionResourceContent& content);

// Copies `stub` to `target` and writes `resource` into it as its version resource (RT_VERSION 1).
// Returns false and leaves a message in `error` when a step fails.
bool MakeVersionedFile(const std::wstring& stub, const std::wstring& target, const std::vector<uint8_t>& resource,
                       std::string* error = nullptr);

// The full name of a file that the build put beside the running test program.
std::wstring BesideTestProgram(const std::wstring& name);
