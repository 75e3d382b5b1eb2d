"""SZDD, the compressed format of the Windows compress tool: its header and its LZSS data."""
import struct


SZDD_MAGIC = b"SZDD\x88\xf0\x27\x33"
SZDD_HEADER_SIZE = 14


class SzddError(Exception):
    pass


def szdd_header(data):
    """(mode, missing character, announced size) of an SZDD file; raises SzddError when the header
    is short or the mode is not 'A'. The caller has checked the magic bytes."""
    if len(data) < SZDD_HEADER_SIZE:
        raise SzddError("SZDD header cut short (%d of %d bytes)" % (len(data), SZDD_HEADER_SIZE))
    mode = data[8]
    if mode != ord("A"):
        raise SzddError("SZDD compression mode 0x%02X is not 'A'" % mode)
    size = struct.unpack_from("<I", data, 10)[0]
    return mode, data[9], size


def lzss_decode(data, start=SZDD_HEADER_SIZE, limit=None):
    """Decodes the LZSS data of an SZDD file from `start` to the end of `data`.

    The window holds 4096 bytes, filled with spaces, and the first byte goes to position 4080.
    Each flag byte governs the next eight items, least significant bit first: a set bit is one
    literal byte, a clear bit a two-byte match (window position: the first byte, plus the high
    nibble of the second byte as bits 8 to 11; length: the low nibble of the second byte plus 3).

    Raises SzddError when a match is cut off by the end of the data, or when the output grows past
    `limit` bytes (when given). Returns the decoded bytes."""
    window = bytearray(b" " * 4096)
    pos = 4096 - 16
    out = bytearray()
    i = start
    n = len(data)
    while i < n:
        flags = data[i]
        i += 1
        for bit in range(8):
            if i >= n:
                break
            if flags & (1 << bit):
                b = data[i]
                i += 1
                out.append(b)
                window[pos] = b
                pos = (pos + 1) & 0xFFF
            else:
                if i + 1 >= n:
                    raise SzddError("compressed data ends in the middle of a match at byte %d" % i)
                lo = data[i]
                hi = data[i + 1]
                i += 2
                src = lo | ((hi & 0xF0) << 4)
                for _ in range((hi & 0x0F) + 3):
                    b = window[src]
                    src = (src + 1) & 0xFFF
                    out.append(b)
                    window[pos] = b
                    pos = (pos + 1) & 0xFFF
        if limit is not None and len(out) > limit:
            raise SzddError("expands past the %d bytes its header announces" % limit)
    return bytes(out)


def szdd_expand(data):
    """Expands a whole SZDD file; raises SzddError when it is not sound (see lzss_decode), or when
    the expanded size differs from the size in the header."""
    if not data.startswith(SZDD_MAGIC):
        raise SzddError("no SZDD header")
    _, _, size = szdd_header(data)
    out = lzss_decode(data, limit=size)
    if len(out) != size:
        raise SzddError("expands to %d bytes, but its header announces %d (file cut short or damaged)"
                        % (len(out), size))
    return out
