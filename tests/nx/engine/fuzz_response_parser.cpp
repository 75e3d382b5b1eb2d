// libFuzzer target of the HTTP response parser. The input is a response; its first byte seeds the
// pieces it is cut into. So that short inputs reach the line limits, the byte 0xFE followed by n
// repeats the byte before it n * 40 times (0xFE 0x00 stands for 0xFE itself). The same bytes are
// parsed whole, one byte at a time and in seeded pieces, and must give the same outcome. Invariants
// checked on every run: no body beyond the announced length, no empty body piece, no piece outside
// the bytes fed, one completion at most and nothing after it, an error text with every failure, and
// the bytes held between calls within the limits.
//
// Run (fuzz preset), from the repository:
//   mkdir -p /tmp/nxcorpus && build/fuzz/tests/nx/engine/fuzz_response_parser -max_len=4096 \
//     -dict=tests/nx/engine/http_response.dict /tmp/nxcorpus tests/nx/engine/fuzz_seeds

#include "http_response_parser.h"
#include "transcript.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

void checkOne(const nxtest::Transcript& t) {
    using State = nx::http::ResponseParser::State;
    check(!t.bodyOverrun, "body longer than the announced length");
    check(!t.emptyPiece, "empty body piece");
    check(!t.pieceOutsideInput, "body piece outside the input");
    check(!t.eventAfterEnd, "event after the end of the message");
    check(t.completions == (t.state == State::Complete ? 1 : 0), "completion count");
    check(t.bodyBytes == t.body.size(), "body byte count");
    check((t.state == State::Failed) == !t.errorText.empty(), "error text");
    check((t.state == State::Failed) == (t.error != nx::http::ParseError::None), "error kind");
    check(t.maxBuffered <= 2 * nx::http::kMaxHeaderLineLength + 2, "bytes held between calls");
    if (t.announced && t.state == State::Complete) check(t.body.size() == *t.announced, "complete but short");
}

std::string expand(const std::uint8_t* data, std::size_t size) {
    std::string out;
    for (std::size_t i = 0; i < size && out.size() < 65536; ++i) {
        if (data[i] != 0xFE || i + 1 == size) {
            out += static_cast<char>(data[i]);
            continue;
        }
        const std::size_t n = data[++i];
        if (n == 0)
            out += static_cast<char>(0xFE);
        else if (!out.empty())
            out.append(n * 40, out.back());
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned seed = data[0];
    const std::string expanded = expand(data + 1, size - 1);
    const std::string_view bytes = expanded;

    std::vector<std::size_t> cuts;
    std::uint32_t x = seed * 2654435761u + 1;
    for (std::size_t pos = 0;;) {
        x = x * 1664525u + 1013904223u;
        pos += 1 + (x >> 24) % (seed % 16 + 1) * (seed & 0x80 ? 97 : 1);
        if (pos >= bytes.size()) break;
        cuts.push_back(pos);
    }

    for (bool close : {false, true}) {
        const nxtest::Transcript whole = nxtest::runWhole(bytes, close);
        const nxtest::Transcript bytewise = nxtest::runBytewise(bytes, close);
        const nxtest::Transcript pieces = nxtest::run(bytes, cuts, close);
        checkOne(whole);
        checkOne(bytewise);
        checkOne(pieces);
        const nxtest::Transcript ref = nxtest::splitIndependent(whole);
        check(nxtest::splitIndependent(bytewise) == ref, "byte by byte differs from whole");
        check(nxtest::splitIndependent(pieces) == ref, "pieces differ from whole");
        if (close) check(whole.state != nx::http::ResponseParser::State::InProgress, "unsettled after close");
    }
    return 0;
}
