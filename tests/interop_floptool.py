#!/usr/bin/env python3
"""An independent D88 reader accepts the image: MAME's floptool.

Writes an input set of seeded random bytes, runs the tool, and asks floptool
to identify the image (d88 must be its best match) and to convert it to MAME's
flux-level floppy image (mfi). The mfi is then decoded back to sectors here,
from the flux transitions through MFM to ID and data fields with their CRCs,
and compared with the sectors of the D88 file: 80 cylinders, one head, 16
sectors of 256 bytes numbered 1 to 16 on each track, the same data.

Usage: interop_floptool.py TOOL [EMULATOR...]
EMULATOR, when given, is the command that runs TOOL (a cross build's).
Without floptool the test is skipped (exit 77), except under CI=true, where it
fails.
"""
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

SKIP = 77
CELL = 2000  # an MFM cell of a 2DD disk at 300 rpm, in 1/200,000,000 of a turn
SYNC = "0100010010001001"  # A1 with a missing clock bit


def fail(message):
    print("FAIL:", message)
    sys.exit(1)


def crc16(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc


def d88_sectors(image):
    """Sector data of the D88 file by (cylinder, sector), found through the
    track table and the sector headers."""
    sectors = {}
    for cylinder in range(80):
        at = struct.unpack_from("<I", image, 0x20 + 8 * cylinder)[0]
        for _ in range(16):
            c, h, r, n, count = struct.unpack_from("<4BH", image, at)
            size = struct.unpack_from("<H", image, at + 14)[0]
            sectors[(c, h, r)] = (n, image[at + 16 : at + 16 + size])
            at += 16 + size
    return sectors


def mfi_tracks(mfi):
    if mfi[:16] != b"MAMEFLOPPYIMAGE\0":
        fail("not an mfi file")
    cylinders, heads = struct.unpack_from("<2I", mfi, 16)
    tracks = {}
    for index in range(cylinders * heads):
        offset, packed, size, _ = struct.unpack_from("<4I", mfi, 32 + 16 * index)
        if packed == 0:
            continue
        raw = zlib.decompress(mfi[offset : offset + packed])
        tracks[divmod(index, heads)] = struct.unpack("<%dI" % (len(raw) // 4), raw)
    return cylinders, heads, tracks


def cells(transitions):
    """The track as MFM cells: '1' where a flux transition falls."""
    position, ones = 0, []
    for entry in transitions:
        position += entry & 0x0FFFFFFF
        ones.append(position // CELL)
    bits = bytearray(b"0" * (ones[-1] + 1 if ones else 0))
    for cell in ones:
        bits[cell] = ord("1")
    return bits.decode()


def read_bytes(track, at, count):
    return bytes(int(track[at + 16 * i + 1 : at + 16 * i + 16 : 2], 2) for i in range(count))


def decode_track(track):
    """(C, H, R, N) -> data for each sector whose ID and data CRCs hold."""
    found, at, pending_id = {}, 0, None
    while True:
        at = track.find(SYNC * 3, at)
        if at < 0 or at + 48 + 16 > len(track):
            return found
        mark_at = at + 48
        mark = read_bytes(track, mark_at, 1)[0]
        if mark == 0xFE:
            field = read_bytes(track, mark_at, 7)
            if crc16(b"\xA1\xA1\xA1" + field[:5]) != (field[5] << 8 | field[6]):
                fail("ID field CRC wrong")
            pending_id = tuple(field[1:5])
        elif mark in (0xFB, 0xF8) and pending_id is not None:
            size = 128 << pending_id[3]
            field = read_bytes(track, mark_at, 1 + size + 2)
            if crc16(b"\xA1\xA1\xA1" + field[: 1 + size]) != (field[-2] << 8 | field[-1]):
                fail("data field CRC wrong for %r" % (pending_id,))
            found[pending_id] = field[1 : 1 + size]
            pending_id = None
        at = mark_at


def main():
    tool = sys.argv[2:] + [os.path.abspath(sys.argv[1])]
    floptool = shutil.which("floptool")
    if floptool is None:
        if os.environ.get("CI") == "true":
            fail("floptool (Debian package mame-tools) is not installed")
        print("SKIP: floptool (Debian package mame-tools) is not installed")
        return SKIP

    with tempfile.TemporaryDirectory() as work:
        rng = random.Random(6001)
        names = ["ipl1.bin", "ipl2_v2.bin", "zemra80_prog_p6_v2.bin", "zemra80_org_v2.bin"]
        names += ["data%d.bin" % k for k in range(1, 10)]
        for name in names:
            with open(os.path.join(work, name), "wb") as f:
                f.write(bytes(rng.randrange(256) for _ in range(24000)))
        subprocess.run(tool + ["v2", "-3"], cwd=work, check=True)
        image_path = os.path.join(work, "zemra8p6.d88")
        with open(image_path, "rb") as f:
            image = f.read()

        identify = subprocess.run([floptool, "identify", image_path], capture_output=True,
                                  text=True, check=True).stdout
        candidates = [line.split(" - ")[1].split()[0] for line in identify.splitlines()
                      if " - " in line]
        if not candidates or candidates[0] != "d88":
            fail("floptool's best match is not d88:\n" + identify)

        mfi_path = os.path.join(work, "zemra8p6.mfi")
        subprocess.run([floptool, "flopconvert", "d88", "mfi", image_path, mfi_path], check=True,
                       capture_output=True)
        with open(mfi_path, "rb") as f:
            cylinders, heads, tracks = mfi_tracks(f.read())

    if heads != 1:
        fail("floptool sees %d heads" % heads)
    expected = d88_sectors(image)
    seen_cylinders = 0
    for (cylinder, head), transitions in sorted(tracks.items()):
        found = decode_track(cells(transitions))
        if not found:
            continue
        seen_cylinders += 1
        ids = sorted(found)
        wanted = [(cylinder, head, r, 1) for r in range(1, 17)]
        if ids != wanted:
            fail("cylinder %d carries sector IDs %r" % (cylinder, ids))
        for c, h, r, n in ids:
            if found[(c, h, r, n)] != expected[(c, h, r)][1]:
                fail("cylinder %d sector %d data differs" % (c, r))
    if seen_cylinders != 80:
        fail("floptool sees %d formatted cylinders" % seen_cylinders)
    print("floptool: d88 identified; 80 cylinders, 1 head, 16 x 256-byte sectors, data equal")
    return 0


if __name__ == "__main__":
    sys.exit(main())
