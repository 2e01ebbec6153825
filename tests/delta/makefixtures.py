#!/usr/bin/env python3
"""Patch fixtures for the delta rebuild tests, made with Debian's zstd as the publisher makes them.

    python3 makefixtures.py OUTDIR

Writes old.bin and new.bin (new differs from old in a few bytes), patch.zst (zstd -19
--patch-from=old.bin of new.bin), truncated.zst (patch.zst without its last bytes) and
widewindow.zst: a frame that declares a 2^28-byte window, one more than the updater allows,
written by hand since zstd fits the window to the files it is given.
"""
import os
import random
import struct
import subprocess
import sys

out = sys.argv[1]
os.makedirs(out, exist_ok=True)
old = bytearray(random.Random(23).randbytes(64 * 1024))
new = bytearray(old)
new[1000:1008] = b"version2"
for name, data in (("old.bin", old), ("new.bin", new)):
    with open(os.path.join(out, name), "wb") as file:
        file.write(data)
patch = os.path.join(out, "patch.zst")
subprocess.run(["zstd", "-q", "-f", "-19", "--patch-from=" + os.path.join(out, "old.bin"),
                os.path.join(out, "new.bin"), "-o", patch], check=True)
with open(patch, "rb") as file:
    patched = file.read()
with open(os.path.join(out, "truncated.zst"), "wb") as file:
    file.write(patched[:-4])
# Magic, a header with a window descriptor of exponent 18 (2^(10+18) bytes), one raw last block.
body = bytes(new[:100])
header = struct.pack("<IBB", 0xFD2FB528, 0x00, 18 << 3)
block = struct.pack("<I", (len(body) << 3) | 1)[:3]
with open(os.path.join(out, "widewindow.zst"), "wb") as file:
    file.write(header + block + body)
