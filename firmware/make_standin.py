#!/usr/bin/env python3
"""Writes standin.hex, the controller firmware the build embeds by default.

It is our own image, not a camera's: an 8051 program whose reset vector jumps
to an idle loop (SJMP $), so a controller that receives it just spins and does
nothing else. It does NOT run a camera. Its only purpose is to give the
library's firmware table the shape the download expects: 379 data records of
16 bytes, no address written twice, sent in an order that is not address
order. Output is fully deterministic; the build's tests check that this script
reproduces the committed file byte for byte.

Usage: make_standin.py [OUTPUT]   (default: standin.hex beside this script; - for stdout)
"""

import os
import sys

RECORDS = 379  # data records in the library's table
RECORD_BYTES = 16
IMAGE_BYTES = RECORDS * RECORD_BYTES  # 6064 bytes, 0x0000..0x17AF: inside every FX2's 8 KiB

IDLE = 0x0080  # the idle loop
TAG_AT = 0x00A0
TAG = b"tarncam stand-in firmware: an idle loop. It does not run a camera.\0"

# Interrupts are never enabled (IE keeps its reset value 0), so the vectors at
# 0x0003, 0x000B, ... 0x0063 are never taken; RETI there anyway, in all 13
# eight-byte slots, so even a spurious vector would return at once.
VECTORS_START = 0x0003
VECTORS_END = 0x006B  # exclusive: end of the slot at 0x0063

# 379 is prime, so k -> k * STRIDE mod 379 visits every 16-byte chunk exactly
# once: a fixed permutation, far from address order.
STRIDE = 211

LJMP = 0x02
SJMP_SELF = bytes([0x80, 0xFE])  # SJMP $ : jump to itself
RETI = 0x32


def build_memory():
    # Filler is SJMP $ pairs: a stray program counter landing on any filler
    # byte is caught within one instruction (0xFE alone is MOV R6,A) and spins.
    mem = bytearray(SJMP_SELF * (IMAGE_BYTES // 2))
    mem[0:3] = bytes([LJMP, IDLE >> 8, IDLE & 0xFF])
    mem[VECTORS_START:VECTORS_END] = bytes([RETI]) * (VECTORS_END - VECTORS_START)
    mem[IDLE:IDLE + 2] = SJMP_SELF
    mem[TAG_AT:TAG_AT + len(TAG)] = TAG
    return mem


def hex_record(address, rtype, data):
    body = bytes([len(data), address >> 8, address & 0xFF, rtype]) + data
    checksum = (-sum(body)) & 0xFF
    return ":" + body.hex().upper() + "%02X" % checksum + "\n"


def standin_hex():
    mem = build_memory()
    lines = []
    for k in range(RECORDS):
        chunk = (k * STRIDE) % RECORDS
        address = chunk * RECORD_BYTES
        lines.append(hex_record(address, 0x00, bytes(mem[address:address + RECORD_BYTES])))
    lines.append(hex_record(0, 0x01, b""))
    return "".join(lines)


def main(argv):
    if len(argv) > 2:
        sys.stderr.write(__doc__)
        return 2
    out = argv[1] if len(argv) == 2 else os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                      "standin.hex")
    text = standin_hex()
    if out == "-":
        sys.stdout.write(text)
    else:
        with open(out, "w", newline="\n", encoding="ascii") as f:
            f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
