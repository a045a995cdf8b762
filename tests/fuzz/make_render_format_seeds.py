#!/usr/bin/env python3
"""Writes the seed corpus of the RenderFormat fuzz target.

Each seed follows the input layout described at the top of
RenderFormatFuzzer.cpp: mode byte, 16-bit buffer size, slot count, 9 bytes
per slot, the format and its terminator, then the pool that string, GUID and
time slots point into. Run it from anywhere; it rewrites
tests/fuzz/render_format_corpus/.
"""
import os
import shutil
import struct

OUTPUT_WIDE, FORMAT_WIDE = 1, 2
NUMBER, POOL, NULL = 0, 1, 0  # slot kinds: a raw number, a pointer into the pool, null

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "render_format_corpus")

GUID = bytes.fromhex("203E848B32815248 90CC551A4E4A7F1C".replace(" ", ""))
TIME = struct.pack("<HBBBBBB", 2017, 3, 4, 5, 6, 7, 0) + bytes(8)


def seed(fmt, slots=(), size=256, mode=0, pool=b""):
    """slots: numbers, or ("pool", offset), or ("null",)."""
    out = bytearray([mode]) + struct.pack("<H", size) + bytes([len(slots)])
    for slot in slots:
        if isinstance(slot, tuple) and slot[0] == "pool":
            out += bytes([POOL]) + struct.pack("<Q", slot[1])
        elif isinstance(slot, tuple):
            out += bytes([NULL]) + struct.pack("<Q", 0)
        else:
            out += bytes([NUMBER]) + struct.pack("<Q", slot & (2**64 - 1))
    if mode & FORMAT_WIDE:
        out += fmt.encode("utf-16-le") + b"\0\0"
    else:
        out += fmt.encode("latin-1") + b"\0"
    return bytes(out + pool)


SEEDS = {
    "integers": seed("%5d|%-5d|%05d|%+5d|% +d|%+ d|%-05d|", [42, 42, 42, 42, 42, 42, -42]),
    "widths_32_64": seed("%d %u %x %ld %lu %lx %X", [0x100000005, -1, -1, -1, -1, -1, 255]),
    "precision": seed("%.3d|%5.3d|%05.3d|%-5.3d|%.0d|%5.0d|%+.0d|%.05d", [7, 7, 7, 7, 0, 0, 0, 5]),
    "grouping": seed("%,d|%08,d|%,.8d|% ,d|%,ld|%,x", [-1234567, 1234, 1234, 1234, 1234567890123, 0x123456]),
    "hex": seed("%8X|%8x|%08x|%.4x|%+x|% x|%+08x|%#x", [255] * 7),
    "pointer": seed("%p|%20p|%-20p|%+p", [0x1234, 0x1234, 0x1234, 0]),
    "most_negative": seed("%ld|%d", [-(2**63), -(2**31)]),
    "texts": seed("%5a|%-5a|%08a|%.5a|%-8.5a|%.2a|%.a|%.0a|", [("pool", 0)] * 8, pool=b"ab\0"),
    "ucs2_text": seed("%5.3s|%-5.3s|%S|%.s", [("pool", 0)] * 4, pool="abcdef".encode("utf-16-le") + b"\0\0"),
    "null_texts": seed("%a|%s|%.4s|%g|%t|%20g|%.4g|", [("null",)] * 7),
    "characters": seed("%c|%c|%.0c|%.3c|%5c|%c", [0x41, 0x10041, 0x41, 0x41, 0, 0x263A]),
    "stars": seed("%*d|%-*d|%*.*d|%.*a|%.*d|%*a|", [6, 42, 6, 42, 8, 4, 42, 2, ("pool", 0), 0, 0, -5, ("pool", 0)],
                  pool=b"abcd\0"),
    "star_64": seed("%*d|", [0x100000003, 5], size=10),
    # Widths and precisions past 2^32 and near 2^64, as digit runs (the last
    # two wrap past 2^64) and from slots.
    "huge_widths": seed("%4294967299d|%.4294967298a|%18446744073709551615d|%9223372036854775807x|"
                        "%18446744073709551619d|%-36893488147419103235a|",
                        [1, ("pool", 0), 2, 3, 4, ("pool", 0)], size=600, pool=b"ab\0"),
    "huge_stars": seed("%*d|%.*a|%*a|%-*d|%*.*d|",
                       [0x100000003, 1, 0x100000002, ("pool", 0), 0xFFFFFFFFFFFFFFFF, ("pool", 0),
                        0x8000000000000000, 2, 0x7FFFFFFFFFFFFFFF, 0xFFFFFFFF00000004, 3],
                       size=600, pool=b"abcd\0"),
    "others": seed("%%|%q|%-3q|%5%|%.%|%.0%|%G%T%R|ab%"),
    "unfinished": seed("%5"),
    "line_breaks": seed("a\nb|a\r\nb|a\n\rb|a\rb|\n\n|%\n|%5\n|%-5\n|%.1\n|%\r\nX"),
    "cut_line_break": seed("a\nb", size=3),
    "cut_group": seed("%,d", [1234567], size=6),
    "cut_fill": seed("%5d", [1], size=3),
    "guid": seed("%g|%40g|%-40g|%.8g|%.g|%-44.40g|%040g|%g%d", [("pool", 1)] * 8 + [5], pool=b"\xff" + GUID),
    "time": seed("%t|%20t|%.5t|%.t", [("pool", 0)] * 4, pool=TIME),
    "status": seed("%r|%r|%r|%r|%r|%r|%.3r|%.10r|%-12.10r|%020r|%.r",
                   [0, 5, 6, 0x8000000000000001, 0x8000000000000022, 0x8000000000000000, 0x800000000000000E,
                    0, 0, 0, 0]),
    "status_cut": seed("%r", [0x8000000000000014], size=5),
    "guid_cut_wide": seed("%g", [("pool", 0)], size=10, mode=OUTPUT_WIDE, pool=GUID),
    "console_wide": seed("  Partition %d: start %lx, size %lx\n  Signature %g\n  Format %x, type %x\n",
                         [1, 0x800, 0x100000, ("pool", 0), 2, 2], size=321, mode=OUTPUT_WIDE | FORMAT_WIDE,
                         pool=GUID),
    "wide_format_units": seed("%\u263a|\u263a|\u0125d", size=32, mode=FORMAT_WIDE | OUTPUT_WIDE),
    "latin1_8bit_format": seed("\xe9%a", [("pool", 0)], mode=OUTPUT_WIDE, pool=b"\xe9\0"),
    "ucs2_into_8bit": seed("%s|", [("pool", 0)], pool="\u0100ab".encode("utf-16-le") + b"\0\0"),
    "size_zero": seed("abc", size=0),
    "size_one": seed("abc", size=1),
    "size_limit": seed("abc%5d", [1], size=0, mode=0xE0),
    "size_past_limit": seed("abc", size=1, mode=0xE0),
    "null_buffer": seed("abc", mode=4),
    "null_format": seed("abc", mode=8),
    "missing_slots": seed("%d%s%g%*d|"),
}


def main():
    shutil.rmtree(CORPUS, ignore_errors=True)
    os.makedirs(CORPUS)
    for name, data in SEEDS.items():
        with open(os.path.join(CORPUS, name), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    main()
