#include "version_resource.h"

#include <windows.h>

#include <cstring>

namespace {

struct Block {
    std::wstring key;
    uint16_t type = 1;         // 1: text value, 0: binary value
    uint16_t valueLength = 0;  // in WCHARs for text, in bytes for binary
    std::vector<uint8_t> value;
    std::vector<Block> children;
};

void Put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v & 0xFF));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void Align4(std::vector<uint8_t>& out) {
    while (out.size() % 4 != 0) out.push_back(0);
}

// Every block starts on a 32-bit boundary of the resource: length, value length, type, the key
// with its zero, padding, the value, padding, then the children.
void Write(std::vector<uint8_t>& out, const Block& block) {
    Align4(out);
    const size_t start = out.size();
    Put16(out, 0);
    Put16(out, block.valueLength);
    Put16(out, block.type);
    for (wchar_t c : block.key) Put16(out, static_cast<uint16_t>(c));
    Put16(out, 0);
    Align4(out);
    out.insert(out.end(), block.value.begin(), block.value.end());
    for (const Block& child : block.children) Write(out, child);
    const size_t length = out.size() - start;
    out[start] = static_cast<uint8_t>(length & 0xFF);
    out[start + 1] = static_cast<uint8_t>(length >> 8);
}

Block TextValue(const std::wstring& key, const std::wstring& value) {
    Block b;
    b.key = key;
    b.type = 1;
    b.valueLength = static_cast<uint16_t>(value.size() + 1);
    for (wchar_t c : value) Put16(b.value, static_cast<uint16_t>(c));
    Put16(b.value, 0);
    return b;
}

}  // namespace

std::vector<uint8_t> BuildVersionResource(const VersionResourceContent& content) {
    VS_FIXEDFILEINFO fixed{};
    fixed.dwSignature = 0xFEEF04BD;
    fixed.dwStrucVersion = 0x00010000;
    fixed.dwFileOS = VOS__WINDOWS32;
    fixed.dwFileType = VFT_APP;

    Block root;
    root.key = L"VS_VERSION_INFO";
    root.type = 0;
    root.valueLength = sizeof fixed;
    root.value.resize(sizeof fixed);
    std::memcpy(root.value.data(), &fixed, sizeof fixed);

    Block table;
    table.key = content.tableName;
    for (const auto& [key, value] : content.strings) table.children.push_back(TextValue(key, value));
    Block stringInfo;
    stringInfo.key = L"StringFileInfo";
    stringInfo.children.push_back(table);
    root.children.push_back(stringInfo);

    if (content.withTranslation) {
        Block translation;
        translation.key = L"Translation";
        translation.type = 0;
        translation.valueLength = 4;
        Put16(translation.value, content.language);
        Put16(translation.value, content.codePage);
        Block varInfo;
        varInfo.key = L"VarFileInfo";
        varInfo.children.push_back(translation);
        root.children.push_back(varInfo);
    }

    std::vector<uint8_t> out;
    Write(out, root);
    return out;
}

bool MakeVersionedFile(const std::wstring& stub, const std::wstring& target, const std::vector<uint8_t>& resource,
                       std::string* error) {
    auto fail = [error](const char* step) {
        if (error) *error = std::string(step) + " failed, error " + std::to_string(GetLastError());
        return false;
    };
    if (!CopyFileW(stub.c_str(), target.c_str(), FALSE)) return fail("CopyFileW");
    HANDLE update = BeginUpdateResourceW(target.c_str(), FALSE);
    if (!update) return fail("BeginUpdateResourceW");
    if (!UpdateResourceW(update, RT_VERSION, MAKEINTRESOURCEW(VS_VERSION_INFO),
                         MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), const_cast<uint8_t*>(resource.data()),
                         static_cast<DWORD>(resource.size()))) {
        EndUpdateResourceW(update, TRUE);
        return fail("UpdateResourceW");
    }
    if (!EndUpdateResourceW(update, FALSE)) return fail("EndUpdateResourceW");
    return true;
}

std::wstring BesideTestProgram(const std::wstring& name) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring folder(self);
    folder.erase(folder.find_last_of(L'\\') + 1);
    return folder + name;
}
