#!/usr/bin/env python3
"""Writes the seed corpus of the device-path report fuzz target.

Each seed is a firmware byte (see DevicePathReportFuzzer.cpp) followed by a
device path whose nodes are laid out as the target reads them, which is the
path's own layout; the target appends the closing end node itself. The paths
are those of the report tests. Rewrites tests/fuzz/device_path_corpus/.
"""
import os
import shutil
import struct

CUT_AFTER_SHORT, FAIL_LOCATE, NULL_TEXT, NO_POOL, NULL_IMAGE, NULL_LOCATE = 1, 2, 4, 8, 16, 32
MAX_NODES = 256

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "device_path_corpus")


def node(type_, subtype, length, payload=b""):
    body = payload.ljust(max(length, 4) - 4, b"\0")
    return bytes([type_, subtype]) + struct.pack("<H", length) + body


def end(subtype=0xFF):
    return node(0x7F, subtype, 4)


def hard_drive(number, start, size, signature, fmt, sigtype, subtype=0x01, length=42):
    """A hard-drive node of length bytes: its fields as far as they fit, then 0xEE bytes."""
    fields = struct.pack("<IQQ", number, start, size) + bytes(signature) + bytes([fmt, sigtype])
    return node(0x04, subtype, length, fields[:length - 4].ljust(length - 4, b"\xEE"))


EXAMPLE_SIG = bytes.fromhex("0123456789ABCDEF0011223344556677")
COUNTING_SIG = bytes(range(1, 17))
EXAMPLE = node(2, 1, 12) + node(1, 1, 6) + hard_drive(1, 0x800, 0x100000, EXAMPLE_SIG, 2, 2) + end()

SEEDS = {
    "example": (0, EXAMPLE),
    "example_no_locate": (FAIL_LOCATE, EXAMPLE),
    "example_null_text": (NULL_TEXT, EXAMPLE),
    "example_no_pool": (NO_POOL, EXAMPLE),
    "example_null_image": (NULL_IMAGE, EXAMPLE),
    "example_null_locate": (NULL_LOCATE, EXAMPLE),
    "end_node_alone": (0, end()),
    "subtype_ff_stops_any_type": (0, hard_drive(1, 2, 3, COUNTING_SIG, 2, 2, subtype=0xFF) + node(1, 1, 6) + end()),
    "first_instance_only": (0, node(1, 1, 6) + end(0x01) + node(2, 1, 12) + end()),
    "other_media_node": (0, node(4, 4, 10) + end()),
    "length_300": (0, node(3, 10, 300) + node(1, 1, 6) + end()),
    "hard_drive_odd_fields": (0, node(1, 1, 5) + hard_drive(0x80000000, 0xFEDCBA9876543210, 0x100000000,
                                                            COUNTING_SIG, 255, 255) + end()),
    "hard_drive_too_short": (0, node(4, 1, 6) + end()),
    "hard_drive_length41": (0, hard_drive(3, 0x22, 0x1000, COUNTING_SIG, 2, 2, length=41) + end()),
    "hard_drive_length43": (0, hard_drive(3, 0x22, 0x1000, COUNTING_SIG, 2, 2, length=43) + end()),
    "no_end_among_max_nodes": (0, node(1, 1, 4) * MAX_NODES),
    "end_node_last_allowed": (0, node(1, 1, 4) * (MAX_NODES - 1) + end()),
}
for length in range(4):
    SEEDS["first_node_length%d" % length] = (CUT_AFTER_SHORT, node(1, 1, length))
    SEEDS["middle_node_length%d" % length] = (CUT_AFTER_SHORT, node(2, 1, 12) + node(3, 5, length))
    SEEDS["end_node_length%d" % length] = (CUT_AFTER_SHORT, node(2, 1, 12) + node(0x7F, 0xFF, length))


def main():
    shutil.rmtree(CORPUS, ignore_errors=True)
    os.makedirs(CORPUS)
    for name, (mode, path) in SEEDS.items():
        with open(os.path.join(CORPUS, name), "wb") as out:
            out.write(bytes([mode]) + path)


if __name__ == "__main__":
    main()
