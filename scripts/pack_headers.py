#!/usr/bin/env python3
"""Packs a linked PE image's headers into one 512-byte file block.

  pack_headers.py IMAGE

lld-link puts a 56-byte DOS program between the DOS header and the PE
headers (it takes no /stub of its own before LLVM 16), so with four section
headers the headers run past 512 bytes and the file spends a second block on
them. Firmware reads only the DOS header's signature and e_lfanew, so the DOS
program is dropped: the PE headers move up to offset 64, and when they then fit
in the first block every section's raw data moves down by one block. An image
whose headers already fit, or would not fit even so, is left as it is. The
image must not be signed yet (the certificate table is placed by file offset).
Exit status 1 and one line on stderr when IMAGE is not such an image.
"""
import struct
import sys

BLOCK = 512
DOS_HEADER = 64


def fail(message):
    sys.exit(f"pack_headers: {message}")


def main():
    if len(sys.argv) != 2:
        fail("usage: pack_headers.py IMAGE")
    path = sys.argv[1]
    image = bytearray(open(path, "rb").read())
    if image[:2] != b"MZ" or len(image) < DOS_HEADER:
        fail(f"{path} is not a PE image")
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        fail(f"{path} is not a PE image")
    coff = pe + 4
    sections, optional_size = struct.unpack_from("<H", image, coff + 2)[0], struct.unpack_from("<H", image, coff + 16)[0]
    optional = coff + 20
    file_alignment = struct.unpack_from("<I", image, optional + 36)[0]
    headers_size = struct.unpack_from("<I", image, optional + 60)[0]
    table = optional + optional_size
    end = table + 40 * sections
    packed_end = DOS_HEADER + (end - pe)
    if file_alignment != BLOCK or headers_size <= BLOCK or packed_end > BLOCK or pe <= DOS_HEADER:
        return
    # No data directory may point at file offsets: the certificate table is
    # the only one that does.
    magic = struct.unpack_from("<H", image, optional)[0]
    directories = optional + (112 if magic == 0x20B else 96)
    if struct.unpack_from("<I", image, directories + 4 * 8 + 4)[0]:
        fail(f"{path} is signed")
    shift = headers_size - BLOCK
    headers = image[pe:end]
    image[DOS_HEADER:headers_size] = bytes(headers_size - DOS_HEADER)
    image[DOS_HEADER:packed_end] = headers
    struct.pack_into("<I", image, 0x3C, DOS_HEADER)
    optional = DOS_HEADER + 24
    struct.pack_into("<I", image, optional + 60, BLOCK)
    table = optional + optional_size
    for index in range(sections):
        raw_size, raw_offset = struct.unpack_from("<II", image, table + 40 * index + 16)
        if raw_size:
            struct.pack_into("<I", image, table + 40 * index + 20, raw_offset - shift)
    del image[BLOCK:headers_size]
    open(path, "wb").write(image)


if __name__ == "__main__":
    main()
