// libFuzzer target: any bytes as an LHA archive must end in success or lha::Error, nothing else.
#include <cstddef>
#include <cstdint>

#include "lha_decoder.h"

namespace {

class CountingSink final : public lha::Sink {
public:
    void Directory(const lha::Entry&) override {}
    void BeginFile(const lha::Entry& e) override {
        // Every accepted name is a list of non-empty, safe components.
        for (const auto& c : e.components)
            if (c.empty() || c == "..") __builtin_trap();
        if (e.components.empty()) __builtin_trap();
        written_ = 0;
        expected_ = e.originalSize;
    }
    void Write(const std::uint8_t* data, std::size_t size) override {
        sum_ += size ? data[size - 1] : 0;  // touch the data
        written_ += size;
        if (written_ > expected_) __builtin_trap();
    }
    void EndFile(const lha::Entry&) override {
        if (written_ != expected_) __builtin_trap();
    }
    void AbortFile(const lha::Entry&) noexcept override {}
    void Refused(const lha::Entry&, const std::string&) override {}  // go on with the next entry

private:
    std::uint64_t written_ = 0, expected_ = 0;
    unsigned sum_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lha::MemorySource src(data, size);
    CountingSink sink;
    lha::Options options;
    options.maxOriginalSize = 8u << 20;  // bounds the work per input, not the memory
    try {
        lha::Extract(src, sink, options);
    } catch (const lha::Error&) {}
    return 0;
}
