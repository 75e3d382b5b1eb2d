// libFuzzer target: any text as the Unlha command line must parse or end in lha::Error.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "lha_cmdline.h"
#include "lha_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const lha::Command c = lha::ParseCommandLine(std::string_view(reinterpret_cast<const char*>(data), size));
        if (c.archive.empty() || c.folder.empty() || (c.command != 'e' && c.command != 'x')) __builtin_trap();
        for (const auto& s : c.switches)
            if (s.size() < 2 || s[0] != '-') __builtin_trap();
    } catch (const lha::Error& e) {
        if (e.code() != lha::ErrorCode::CommandLine) __builtin_trap();
    }
    return 0;
}
