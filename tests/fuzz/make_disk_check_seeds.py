#!/usr/bin/env python3
"""Writes the seed corpus of the disk check fuzz target.

Each seed follows the input layout of DiskCheckFuzzer.cpp: the disk's kind
(bit 2: sound), the block size, the failing read and CRC32 calls, the last
block, the node's number, what of the node differs and a CD-ROM node's
start, then the table's parameters, the patches and the node's own fields.
Rewrites tests/fuzz/disk_check_corpus/.
"""
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "disk_check_corpus")

GPT, MBR, CD, RAW, SOUND = 0, 1, 2, 3, 4
BLOCK = {512: 0, 1024: 1, 2048: 2, 4096: 3, 65536: 7}


def head(kind, block=512, fail_read=0, fail_crc=0, last=0, number=2, mismatch=0, cd_start=0):
    return bytes([kind, BLOCK.get(block, block), fail_read, fail_crc, last, number, mismatch, cd_start])


def w16(value):
    return struct.pack("<H", value)


def w32(value):
    return struct.pack("<I", value)


def gpt_entry(used=True, first=0x800, length=0x1000, tag=1):
    kind = bytes([0x28 if used else 0]) + bytes(15)
    return kind + bytes([tag] * 16) + w32(first) + w16(length)


def sound_gpt(count=128, size_step=0, array=0, header=0, entries=3):
    return w16(count - 1) + bytes([size_step, array, header, entries]) + b"".join(
        gpt_entry(first=0x800 * (i + 1), tag=i + 1) for i in range(entries))


def wild_gpt(count, size, array=2, header_size=92, entries=3):
    return (b"\x80" + w32(count) + b"\x80" + w32(size) + bytes([array]) + w16(header_size) + bytes([entries]) +
            b"".join(gpt_entry(first=0x800 * (i + 1), tag=i + 1) for i in range(entries)))


def mbr(records, signature=0x5EC7A1B2, back=255, wild=False):
    body = bytes([records]) + (bytes([0]) if signature == 0 else bytes([200]) + w32(signature)) + bytes([back])
    if wild:
        body += bytes([0x83]) + w32(0x100) + w32(0x10) + bytes([0]) + w32(0) + w32(0)
    return body


def cd(catalog=0x10, sections=((1, 2), (0,))):
    body = bytes([catalog, 1, 0, len(sections)])
    for section in sections:
        body += bytes([len(section)])
        for rba in section:
            body += bytes([1, rba, 1])
    return body


def patches(*pairs):
    body = bytes([len(pairs)])
    for offset, value in pairs:
        body += struct.pack("<I", offset)[:3] + bytes([value])
    return body


SEEDS = {
    "gpt_sound": head(GPT | SOUND) + sound_gpt(),
    "gpt_sound_4096": head(GPT | SOUND, 4096, number=3) + sound_gpt(entries=4),
    "gpt_sound_64k_entries_512": head(GPT | SOUND, 65536, number=1) + sound_gpt(count=64, size_step=2),
    "gpt_sound_differs": head(GPT | SOUND, mismatch=0x1F) + sound_gpt() + bytes(20),
    "gpt_sound_unused": head(GPT | SOUND, number=4) + sound_gpt(),
    "gpt_count_2_to_25": head(GPT) + wild_gpt(1 << 25, 128) + patches(),
    "gpt_count_all_ones": head(GPT) + wild_gpt(0xFFFFFFFF, 128) + patches(),
    "gpt_entry_size_0": head(GPT) + wild_gpt(128, 0) + patches(),
    "gpt_header_bit": head(GPT) + wild_gpt(128, 128) + patches((512 + 40, 8)),
    "gpt_read_fails": head(GPT, fail_read=3) + wild_gpt(128, 128) + patches(),
    "gpt_crc_fails": head(GPT, fail_crc=2) + wild_gpt(128, 128) + patches(),
    "gpt_short_disk": head(GPT, last=15) + wild_gpt(128, 128) + patches(),
    "gpt_block_size_520": head(GPT, 0x82) + wild_gpt(128, 128) + patches(),
    "mbr_sound_logical": head(MBR | SOUND, number=6) + mbr(3),
    "mbr_sound_primary": head(MBR | SOUND, 2048, number=1) + mbr(2, signature=0),
    "mbr_sound_loop": head(MBR | SOUND, number=9) + mbr(3, back=1),
    "mbr_sound_long": head(MBR | SOUND, number=11) + mbr(135),
    "mbr_sound_past_the_limit": head(MBR | SOUND, number=0xFF) + mbr(133),
    "mbr_sound_loop_at_the_limit": head(MBR | SOUND, number=0xFF) + mbr(128, back=3),
    "mbr_wild": head(MBR, number=7) + mbr(4, wild=True) + patches((0x41 * 512 + 446 + 16 + 8, 0)),
    "cd_sound_default": head(CD | SOUND, 2048, number=1) + cd(),
    "cd_sound_section": head(CD | SOUND, 512, number=2, cd_start=2) + cd(),
    "cd_sound_4096": head(CD | SOUND, 4096, number=0) + cd(sections=((3, 4, 5),)),
    "cd_sound_long_catalog": head(CD | SOUND, 2048, number=3) + bytes([0x10, 1, 0, 1, 0xFF]) + bytes([1, 1, 1]) * 210,
    "cd_wild": head(CD, 2048) + cd() + patches((0x10 * 2048 + 5, 7)),
    "raw_protective": head(RAW) + w16(1024) + bytes(446) + bytes([0, 0, 0, 0, 0xEE]) + bytes(59) + b"\x55\xaa" +
                      b"EFI PART" + bytes(504) + patches(),
}


def main():
    shutil.rmtree(CORPUS, ignore_errors=True)
    os.makedirs(CORPUS)
    for name, data in SEEDS.items():
        with open(os.path.join(CORPUS, name), "wb") as seed:
            seed.write(data)


if __name__ == "__main__":
    main()
