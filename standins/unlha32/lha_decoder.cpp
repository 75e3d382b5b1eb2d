#include "lha_decoder.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

namespace lha {

namespace {

// ---------------------------------------------------------------------------------------------
// CRC-16

constexpr std::array<std::uint16_t, 256> MakeCrcTable() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned r = i;
        for (int k = 0; k < 8; ++k) r = (r & 1) ? (r >> 1) ^ 0xA001u : r >> 1;
        table[i] = static_cast<std::uint16_t>(r);
    }
    return table;
}
constexpr auto kCrcTable = MakeCrcTable();

// ---------------------------------------------------------------------------------------------
// Buffered input that counts what it has taken from the source.

class Input {
public:
    explicit Input(Source& source) : source_(source) {}

    // Next byte, or -1 at the end of the archive.
    int Get() {
        if (pos_ == len_ && !Fill()) return -1;
        return buffer_[pos_++];
    }

    // Reads exactly size bytes or throws Truncated.
    void ReadExact(std::uint8_t* out, std::size_t size, const char* what) {
        while (size > 0) {
            if (pos_ == len_ && !Fill()) throw Error(ErrorCode::Truncated, std::string("archive ends inside ") + what);
            std::size_t n = std::min(size, len_ - pos_);
            std::memcpy(out, buffer_.data() + pos_, n);
            pos_ += n;
            out += n;
            size -= n;
        }
    }

    // Reads at most size bytes; fewer only at the end of the archive.
    std::size_t ReadSome(std::uint8_t* out, std::size_t size) {
        if (pos_ == len_ && !Fill()) return 0;
        std::size_t n = std::min(size, len_ - pos_);
        std::memcpy(out, buffer_.data() + pos_, n);
        pos_ += n;
        return n;
    }

    void Skip(std::uint64_t size, const char* what) {
        while (size > 0) {
            if (pos_ == len_ && !Fill()) throw Error(ErrorCode::Truncated, std::string("archive ends inside ") + what);
            std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, len_ - pos_));
            pos_ += n;
            size -= n;
        }
    }

private:
    bool Fill() {
        if (eof_) return false;
        len_ = source_.Read(buffer_.data(), buffer_.size());
        pos_ = 0;
        if (len_ == 0) eof_ = true;
        return len_ > 0;
    }

    Source& source_;
    std::array<std::uint8_t, 16384> buffer_{};
    std::size_t pos_ = 0;
    std::size_t len_ = 0;
    bool eof_ = false;
};

// ---------------------------------------------------------------------------------------------
// Bit reader over one file's compressed data, most significant bit first. Past the end of the
// data it supplies zero bits for look-ahead, but consuming them is an error.

class BitReader {
public:
    BitReader(Input& in, std::uint64_t size) : in_(in), remaining_(size) {}

    // The next n bits (n <= 16) without consuming them.
    unsigned Peek(int n) {
        if (count_ < n) Refill();
        return static_cast<unsigned>(bits_ >> (64 - n));
    }

    void Consume(int n) {
        if (count_ < n) Refill();
        bits_ <<= n;
        count_ -= n;
        if (count_ < padding_) {
            if (shortInput_) throw Error(ErrorCode::Truncated, "archive ends inside compressed data");
            throw Error(ErrorCode::BadData, "compressed data ends early");
        }
    }

    unsigned Get(int n) {
        if (n == 0) return 0;
        unsigned v = Peek(n);
        Consume(n);
        return v;
    }

    // Skips the compressed bytes that decoding did not need.
    void Finish() { in_.Skip(remaining_, "compressed data"); }

private:
    void Refill() {
        while (count_ <= 56) {
            int byte = 0;
            if (remaining_ > 0) {
                byte = in_.Get();
                if (byte < 0) {
                    shortInput_ = true;
                    remaining_ = 0;
                    byte = 0;
                    padding_ += 8;
                } else {
                    --remaining_;
                }
            } else {
                padding_ += 8;
            }
            bits_ |= static_cast<std::uint64_t>(byte) << (56 - count_);
            count_ += 8;
        }
    }

    Input& in_;
    std::uint64_t remaining_;
    std::uint64_t bits_ = 0;  // valid bits are the top count_ bits
    int count_ = 0;
    int padding_ = 0;  // zero bits at the bottom of count_ that do not come from the data
    bool shortInput_ = false;
};

// ---------------------------------------------------------------------------------------------
// Canonical Huffman decoding as the -lh5-/-lh6-/-lh7- formats use it: code lengths up to 16,
// codes assigned in order of length, then symbol. A table with one symbol uses no bits at all.

constexpr int kMaxCodeLen = 16;
constexpr int kFastBits = 10;

class Huffman {
public:
    void SetSingle(unsigned symbol) {
        single_ = true;
        singleSymbol_ = static_cast<std::uint16_t>(symbol);
    }

    void Build(const std::uint8_t* lengths, int n) {
        single_ = false;
        std::array<int, kMaxCodeLen + 1> count{};
        for (int i = 0; i < n; ++i) ++count[lengths[i]];
        count[0] = 0;
        long left = 1;
        for (int len = 1; len <= kMaxCodeLen; ++len) {
            left <<= 1;
            left -= count[len];
            if (left < 0) throw Error(ErrorCode::BadData, "bad Huffman table");
        }
        std::array<int, kMaxCodeLen + 2> offset{};
        for (int len = 1; len <= kMaxCodeLen; ++len) offset[len + 1] = offset[len] + count[len];
        symbols_.assign(static_cast<std::size_t>(offset[kMaxCodeLen + 1]), 0);
        for (int i = 0; i < n; ++i)
            if (lengths[i] != 0)
                symbols_[static_cast<std::size_t>(offset[lengths[i]]++)] = static_cast<std::uint16_t>(i);
        count_ = count;

        fast_.fill(0);
        unsigned code = 0;
        std::size_t index = 0;
        for (int len = 1; len <= kFastBits; ++len) {
            for (int k = 0; k < count[len]; ++k, ++index, ++code) {
                unsigned first = code << (kFastBits - len);
                unsigned span = 1u << (kFastBits - len);
                std::uint32_t e = (static_cast<std::uint32_t>(symbols_[index]) << 5) | static_cast<std::uint32_t>(len);
                for (unsigned j = 0; j < span; ++j) fast_[first + j] = e;
            }
            code <<= 1;
        }
    }

    unsigned Decode(BitReader& br) const {
        if (single_) return singleSymbol_;
        unsigned v = br.Peek(kMaxCodeLen);
        std::uint32_t e = fast_[v >> (kMaxCodeLen - kFastBits)];
        if (e != 0) {
            br.Consume(static_cast<int>(e & 31));
            return e >> 5;
        }
        // Longer codes: walk the lengths.
        unsigned code = 0, first = 0, index = 0;
        for (int len = 1; len <= kMaxCodeLen; ++len) {
            code |= (v >> (kMaxCodeLen - len)) & 1u;
            unsigned c = static_cast<unsigned>(count_[len]);
            if (code - first < c) {
                br.Consume(len);
                return symbols_[index + code - first];
            }
            index += c;
            first = (first + c) << 1;
            code <<= 1;
        }
        throw Error(ErrorCode::BadData, "invalid Huffman code");
    }

private:
    bool single_ = true;
    std::uint16_t singleSymbol_ = 0;
    std::array<int, kMaxCodeLen + 1> count_{};
    std::vector<std::uint16_t> symbols_;
    std::array<std::uint32_t, 1u << kFastBits> fast_{};
};

// ---------------------------------------------------------------------------------------------
// -lh5-, -lh6-, -lh7- decoder (static Huffman blocks over an LZ77 window).

constexpr int kNC = 256 + 256 - 3 + 2;  // literals and match lengths 3..256
constexpr int kNT = 19;                 // code-length code symbols
constexpr int kTBit = 5;
constexpr int kCBit = 9;
constexpr int kMinMatch = 3;

struct Writer {
    Sink& sink;
    std::uint16_t crc = 0;
    void Put(const std::uint8_t* p, std::size_t n) {
        if (n == 0) return;
        crc = Crc16(crc, p, n);
        sink.Write(p, n);
    }
};

class LhDecoder {
public:
    LhDecoder(int dicbit, int pbit) : dicbit_(dicbit), np_(dicbit + 1), pbit_(pbit) {}

    void Run(BitReader& br, std::uint64_t size, Writer& out) {
        const std::size_t dicsize = std::size_t{1} << dicbit_;
        const std::size_t mask = dicsize - 1;
        std::vector<std::uint8_t> window(dicsize);
        std::size_t pos = 0;         // write position in the window
        std::size_t flushed = 0;     // window position up to which the sink has the data
        std::uint64_t produced = 0;  // bytes decoded so far
        unsigned blocksize = 0;

        auto flush = [&]() {
            out.Put(window.data() + flushed, pos - flushed);
            flushed = pos;
            if (pos == dicsize) pos = flushed = 0;
        };

        while (produced < size) {
            if (blocksize == 0) {
                blocksize = br.Get(16);
                if (blocksize == 0) throw Error(ErrorCode::BadData, "empty Huffman block");
                ReadPtLen(br, kNT, kTBit, 3);
                ReadCLen(br);
                ReadPtLen(br, np_, pbit_, -1);
                // The position table replaces the code-length table in pt_.
            }
            --blocksize;
            unsigned c = c_.Decode(br);
            if (c < 256) {
                window[pos++] = static_cast<std::uint8_t>(c);
                ++produced;
                if (pos == dicsize) flush();
                continue;
            }
            unsigned length = c - 256 + kMinMatch;
            unsigned p = pt_.Decode(br);
            if (p != 0) p = (1u << (p - 1)) + br.Get(static_cast<int>(p - 1));
            std::uint64_t distance = std::uint64_t{p} + 1;
            if (distance > produced || distance > dicsize)
                throw Error(ErrorCode::BadData, "match before start of data");
            if (length > size - produced) throw Error(ErrorCode::BadData, "match beyond end of file");
            std::size_t from = (pos - static_cast<std::size_t>(distance)) & mask;
            for (unsigned k = 0; k < length; ++k) {
                window[pos++] = window[from];
                from = (from + 1) & mask;
                if (pos == dicsize) flush();
            }
            produced += length;
        }
        flush();
    }

private:
    void ReadPtLen(BitReader& br, int nn, int nbit, int special) {
        unsigned n = br.Get(nbit);
        if (n == 0) {
            unsigned c = br.Get(nbit);
            if (c >= static_cast<unsigned>(nn)) throw Error(ErrorCode::BadData, "bad table symbol");
            pt_.SetSingle(c);
            return;
        }
        if (n > static_cast<unsigned>(nn)) throw Error(ErrorCode::BadData, "bad table size");
        std::array<std::uint8_t, 32> len{};
        unsigned i = 0;
        while (i < n) {
            unsigned c = br.Get(3);
            if (c == 7) {
                while (br.Get(1) == 1) {
                    if (++c > kMaxCodeLen) throw Error(ErrorCode::BadData, "bad code length");
                }
            }
            len[i++] = static_cast<std::uint8_t>(c);
            if (static_cast<int>(i) == special) {
                unsigned zeros = br.Get(2);
                if (i + zeros > static_cast<unsigned>(nn)) throw Error(ErrorCode::BadData, "bad table size");
                i += zeros;  // len[] is already zero there
            }
        }
        pt_.Build(len.data(), nn);
    }

    void ReadCLen(BitReader& br) {
        unsigned n = br.Get(kCBit);
        if (n == 0) {
            unsigned c = br.Get(kCBit);
            if (c >= static_cast<unsigned>(kNC)) throw Error(ErrorCode::BadData, "bad table symbol");
            c_.SetSingle(c);
            return;
        }
        if (n > static_cast<unsigned>(kNC)) throw Error(ErrorCode::BadData, "bad table size");
        std::array<std::uint8_t, kNC> len{};
        unsigned i = 0;
        while (i < n) {
            unsigned c = pt_.Decode(br);
            if (c <= 2) {
                unsigned zeros = c == 0 ? 1 : c == 1 ? br.Get(4) + 3 : br.Get(kCBit) + 20;
                if (i + zeros > static_cast<unsigned>(kNC)) throw Error(ErrorCode::BadData, "bad table size");
                i += zeros;
            } else {
                len[i++] = static_cast<std::uint8_t>(c - 2);
            }
        }
        c_.Build(len.data(), kNC);
    }

    int dicbit_;
    int np_;
    int pbit_;
    Huffman c_;
    Huffman pt_;
};

// ---------------------------------------------------------------------------------------------
// Headers

std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t Le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint64_t Le64(const std::uint8_t* p) { return Le32(p) | (static_cast<std::uint64_t>(Le32(p + 4)) << 32); }

constexpr std::size_t kMaxHeaderBytes = 1u << 20;  // a level-1 header with its extensions

struct Header {
    Entry entry;
    std::string fileName;  // from the basic header or the file-name extension
    std::string dirName;   // from the directory extension (0xFF separators)
    bool sizes64 = false;  // a 64-bit size extension gave the sizes
};

// Applies one extended header (type byte followed by its data).
void ApplyExtension(Header& h, std::vector<std::uint8_t>& bytes, std::size_t at, std::size_t size, bool& crcSeen,
                    std::uint16_t& crcStored, std::size_t& crcAt) {
    const std::uint8_t type = bytes[at];
    const std::uint8_t* data = bytes.data() + at + 1;
    const std::size_t len = size - 1;
    switch (type) {
    case 0x00:  // CRC-16 of the whole header
        if (len < 2) throw Error(ErrorCode::BadHeader, "bad header CRC field");
        crcSeen = true;
        crcStored = Le16(data);
        crcAt = at + 1;
        break;
    case 0x01: h.fileName.assign(reinterpret_cast<const char*>(data), len); break;
    case 0x02: h.dirName.assign(reinterpret_cast<const char*>(data), len); break;
    case 0x42:  // 64-bit sizes
        if (len < 16) throw Error(ErrorCode::BadHeader, "bad size field");
        h.entry.compressedSize = Le64(data);
        h.entry.originalSize = Le64(data + 8);
        h.sizes64 = true;
        break;
    default:  // comments, attributes, time stamps, owner: not needed to extract
        break;
    }
}

void CheckHeaderCrc(std::vector<std::uint8_t>& bytes, bool seen, std::uint16_t stored, std::size_t at) {
    if (!seen) return;
    bytes[at] = bytes[at + 1] = 0;
    if (Crc16(0, bytes.data(), bytes.size()) != stored)
        throw Error(ErrorCode::BadHeaderChecksum, "header CRC mismatch");
}

// Reads the next header. Returns false at the end-of-archive mark.
bool ReadHeader(Input& in, Header& h) {
    int first = in.Get();
    if (first < 0) throw Error(ErrorCode::Truncated, "archive has no end mark");
    if (first == 0) return false;

    std::vector<std::uint8_t> b(21);
    b[0] = static_cast<std::uint8_t>(first);
    in.ReadExact(b.data() + 1, 20, "a header");
    const int level = b[20];
    Entry& e = h.entry;
    e = Entry{};
    e.level = level;
    e.methodId.assign(reinterpret_cast<const char*>(b.data() + 2), 5);
    e.compressedSize = Le32(b.data() + 7);
    e.originalSize = Le32(b.data() + 11);
    e.attribute = b[19];
    h.fileName.clear();
    h.dirName.clear();
    h.sizes64 = false;

    bool crcSeen = false;
    std::uint16_t crcStored = 0;
    std::size_t crcAt = 0;

    if (level == 0 || level == 1) {
        const std::size_t base = std::size_t{b[0]} + 2;
        if (base < 22) throw Error(ErrorCode::BadHeader, "header too short");
        b.resize(base);
        in.ReadExact(b.data() + 21, base - 21, "a header");
        unsigned sum = 0;
        for (std::size_t i = 2; i < base; ++i) sum += b[i];
        if ((sum & 0xFFu) != b[1]) throw Error(ErrorCode::BadHeaderChecksum, "header checksum mismatch");
        const std::size_t n = b[21];
        const std::size_t need = 22 + n + 2 + (level == 1 ? 3 : 0);
        if (need > base) throw Error(ErrorCode::BadHeader, "header too short for its name");
        h.fileName.assign(reinterpret_cast<const char*>(b.data() + 22), n);
        e.crc = Le16(b.data() + 22 + n);
        if (level == 1) {
            // The extensions follow the basic header; their sizes count in the stored data size.
            std::uint64_t extTotal = 0;
            std::size_t next = Le16(b.data() + base - 2);
            while (next != 0) {
                if (next < 3) throw Error(ErrorCode::BadHeader, "bad extended header size");
                if (b.size() + next > kMaxHeaderBytes) throw Error(ErrorCode::BadHeader, "header too large");
                const std::size_t at = b.size();
                b.resize(at + next);
                in.ReadExact(b.data() + at, next, "a header");
                extTotal += next;
                ApplyExtension(h, b, at, next - 2, crcSeen, crcStored, crcAt);
                next = Le16(b.data() + at + next - 2);
            }
            // The stored size counts the extensions too, unless a 64-bit size extension replaced it.
            if (!h.sizes64) {
                if (extTotal > e.compressedSize) throw Error(ErrorCode::BadHeader, "extended headers exceed data size");
                e.compressedSize -= extTotal;
            }
        }
    } else if (level == 2) {
        const std::size_t total = Le16(b.data());
        if (total < 26) throw Error(ErrorCode::BadHeader, "header too short");
        b.resize(total);
        in.ReadExact(b.data() + 21, total - 21, "a header");
        e.crc = Le16(b.data() + 21);
        std::size_t at = 26;
        std::size_t next = Le16(b.data() + 24);
        while (next != 0) {
            if (next < 3 || at + next > total) throw Error(ErrorCode::BadHeader, "bad extended header size");
            ApplyExtension(h, b, at, next - 2, crcSeen, crcStored, crcAt);
            at += next;
            next = Le16(b.data() + at - 2);
        }
    } else {
        throw Error(ErrorCode::BadHeader, "unsupported header level");
    }
    CheckHeaderCrc(b, crcSeen, crcStored, crcAt);

    const std::string& m = e.methodId;
    if (m == "-lh0-")
        e.method = Method::Stored;
    else if (m == "-lh5-")
        e.method = Method::Lh5;
    else if (m == "-lh6-")
        e.method = Method::Lh6;
    else if (m == "-lh7-")
        e.method = Method::Lh7;
    else if (m == "-lhd-")
        e.method = Method::Directory;
    else
        throw Error(ErrorCode::UnsupportedMethod, "unsupported method");
    return true;
}

std::string ShownName(const Header& h) {
    std::string s = h.dirName;
    if (!s.empty() && !h.fileName.empty() && s.back() != '\xFF' && s.back() != '/' && s.back() != '\\')
        s.push_back('\xFF');
    s += h.fileName;
    std::string out;
    bool trail = false;
    for (unsigned char ch : s) {
        if (!trail && (ch == 0xFF || ch == '/'))
            out.push_back('\\');
        else
            out.push_back(static_cast<char>(ch));
        trail = !trail && ((ch >= 0x81 && ch <= 0x9F) || (ch >= 0xE0 && ch <= 0xFC));
    }
    return out;
}

bool IsLeadByte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }
bool IsTrailByte(unsigned char c) { return (c >= 0x40 && c <= 0x7E) || (c >= 0x80 && c <= 0xFC); }

}  // namespace

// -------------------------------------------------------------------------------------------------

std::uint16_t Crc16(std::uint16_t crc, const std::uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i)
        crc = static_cast<std::uint16_t>(kCrcTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8));
    return crc;
}

std::size_t MemorySource::Read(std::uint8_t* buffer, std::size_t size) {
    std::size_t n = std::min(size, size_ - pos_);
    if (n) std::memcpy(buffer, data_ + pos_, n);
    pos_ += n;
    return n;
}

void Sink::Refused(const Entry&, const std::string& reason) { throw Error(ErrorCode::UnsafeName, reason); }

std::vector<std::string> SplitPath(std::string_view name) {
    std::vector<std::string> parts;
    std::string current;
    bool atStart = true;
    auto close = [&]() {
        if (current.empty() || current == ".") {
            current.clear();
            return;
        }
        if (current.find_first_not_of(". ") == std::string::npos)
            throw Error(ErrorCode::UnsafeName, "name climbs out of the folder");
        parts.push_back(current);
        current.clear();
    };
    for (std::size_t i = 0; i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (IsLeadByte(c) && i + 1 < name.size() && IsTrailByte(static_cast<unsigned char>(name[i + 1]))) {
            current.push_back(name[i]);
            current.push_back(name[i + 1]);
            ++i;
            atStart = false;
            continue;
        }
        if (c == '\\' || c == '/' || c == 0xFF) {
            if (atStart) throw Error(ErrorCode::UnsafeName, "absolute name");
            close();
            continue;
        }
        if (c == ':') throw Error(ErrorCode::UnsafeName, "name with a drive or colon");
        if (c < 0x20) throw Error(ErrorCode::UnsafeName, "control character in name");
        current.push_back(static_cast<char>(c));
        atStart = false;
    }
    close();
    return parts;
}

Summary Extract(Source& source, Sink& sink, const Options& options) {
    Input in(source);
    Summary summary;
    Header h;
    while (ReadHeader(in, h)) {
        Entry& e = h.entry;
        e.rawName = ShownName(h);
        std::string unsafe;
        try {
            e.components = SplitPath(h.dirName);
            std::vector<std::string> file = SplitPath(h.fileName);
            e.components.insert(e.components.end(), file.begin(), file.end());
            if (e.components.empty() && e.method != Method::Directory) unsafe = "empty name";
        } catch (const Error& err) {
            unsafe = err.what();
        }

        if (e.method == Method::Directory) {
            in.Skip(e.compressedSize, "directory entry");
            if (!unsafe.empty()) {
                e.components.clear();
                ++summary.refused;
                sink.Refused(e, unsafe);
            } else if (!e.components.empty()) {
                ++summary.directories;
                sink.Directory(e);
            }
            continue;
        }
        if (e.method == Method::Stored && e.compressedSize != e.originalSize)
            throw Error(ErrorCode::BadHeader, "stored file with two sizes");
        if (e.originalSize > options.maxOriginalSize) throw Error(ErrorCode::TooLarge, "file too large");
        if (!unsafe.empty()) {
            e.components.clear();
            ++summary.refused;
            sink.Refused(e, unsafe);
            in.Skip(e.compressedSize, "file data");
            continue;
        }

        sink.BeginFile(e);
        Writer out{sink};
        try {
            if (e.method == Method::Stored) {
                std::array<std::uint8_t, 16384> chunk;
                std::uint64_t left = e.originalSize;
                while (left > 0) {
                    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size()));
                    std::size_t got = in.ReadSome(chunk.data(), want);
                    if (got == 0) throw Error(ErrorCode::Truncated, "archive ends inside file data");
                    out.Put(chunk.data(), got);
                    left -= got;
                }
            } else {
                BitReader br(in, e.compressedSize);
                const int dicbit = e.method == Method::Lh5 ? 13 : e.method == Method::Lh6 ? 15 : 16;
                const int pbit = e.method == Method::Lh5 ? 4 : 5;
                auto decoder = std::make_unique<LhDecoder>(dicbit, pbit);
                decoder->Run(br, e.originalSize, out);
                br.Finish();
            }
            if (out.crc != e.crc) throw Error(ErrorCode::CrcMismatch, "CRC mismatch");
        } catch (...) {
            sink.AbortFile(e);
            throw;
        }
        sink.EndFile(e);
        ++summary.files;
    }
    return summary;
}

}  // namespace lha
