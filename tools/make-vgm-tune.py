#!/usr/bin/env python3
"""Writes our own short YM2608 tune as a VGM 1.51 log, for trying the player
and the emulator's session WAV: an FM lead over an FM bass and a three-channel
FM pad (channels 4-6 on the second bank), an SSG square doubling the lead, SSG
noise hi-hats through the envelope, and the bass drum of examples/kick.bin on
the ADPCM unit, loaded from the log's data block. About 8.5 seconds, looped
back to its start once the player is asked for loops.

    tools/make-vgm-tune.py build/tune.vgm
"""

import argparse
import math
import struct
import sys
from pathlib import Path

CLOCK = 7987200
OUTPUT_RATE = CLOCK / 144
VGM_RATE = 44100
EIGHTH = VGM_RATE // 4  # 120 beats a minute

# The lead, in eighths: MIDI note numbers, None for a rest.
LEAD = [72, 76, 79, 76, 77, 81, 84, 81, 79, 83, 86, 83, 84, 79, 76, None,
        72, 74, 76, 79, 81, 79, 77, 76, 74, 77, 83, 79, 72, None, 72, None]
BASS = [48, 48, 53, 53, 55, 55, 48, 48]  # one a bar's half (four eighths)
PADS = [(60, 64, 67), (65, 69, 72), (67, 71, 74), (60, 64, 67)]  # one a bar (eight eighths)

OPERATOR = [0, 8, 4, 12]  # register offsets of operators 1-4


def pitch(note):
    """Block and F-number of a MIDI note: F = fnum x 2^block x rate / 2^21."""
    hz = 440.0 * 2 ** ((note - 69) / 12)
    block = 0
    while hz * 2 ** 21 / OUTPUT_RATE / 2 ** block > 2047:
        block += 1
    return block, round(hz * 2 ** 21 / OUTPUT_RATE / 2 ** block)


class Log:
    def __init__(self):
        self.data = bytearray()
        self.samples = 0

    def write(self, bank, reg, value):
        self.data += bytes([0x56 + bank, reg, value])

    def wait(self, samples):
        self.samples += samples
        while samples > 0:
            step = min(samples, 65535)
            self.data += bytes([0x61]) + struct.pack("<H", step)
            samples -= step

    def block(self, memory_size, start, payload):
        body = struct.pack("<II", memory_size, start) + payload
        self.data += bytes([0x67, 0x66, 0x81]) + struct.pack("<I", len(body)) + body


def channel(ch):
    return (0, ch) if ch < 3 else (1, ch - 3)


def patch(log, ch, algorithm, feedback, levels, multiples, attack, decay, release):
    bank, c = channel(ch)
    log.write(bank, 0xB0 + c, feedback << 3 | algorithm)
    log.write(bank, 0xB4 + c, 0xC0)
    for op in range(4):
        o = OPERATOR[op] + c
        log.write(bank, 0x30 + o, multiples[op])
        log.write(bank, 0x40 + o, levels[op])
        log.write(bank, 0x50 + o, attack)
        log.write(bank, 0x60 + o, decay)
        log.write(bank, 0x70 + o, 0x02)
        log.write(bank, 0x80 + o, 0x20 | release)


def key(log, ch, note):
    bank, c = channel(ch)
    slot = (ch // 3) << 2 | (ch % 3)
    log.write(0, 0x28, slot)
    if note is None:
        return
    block, fnum = pitch(note)
    log.write(bank, 0xA4 + c, block << 3 | fnum >> 8)
    log.write(bank, 0xA0 + c, fnum & 0xFF)
    log.write(0, 0x28, 0xF0 | slot)


def ssg_tone(log, note):
    if note is None:
        log.write(0, 0x08, 0x00)
        return
    period = round(CLOCK / (64 * 440.0 * 2 ** ((note + 12 - 69) / 12)))
    log.write(0, 0x00, period & 0xFF)
    log.write(0, 0x01, period >> 8)
    log.write(0, 0x08, 0x09)


def gd3(title):
    fields = [title, "", "ym2608-console test tunes", "", "NEC PC-9801", "", "ym2608-console", "", "2026", "",
              "tools/make-vgm-tune.py"]
    body = b"".join(f.encode("utf-16-le") + b"\0\0" for f in fields)
    return b"Gd3 " + struct.pack("<II", 0x100, len(body)) + body


def tune(kick):
    log = Log()
    log.block(262144, 0, kick)
    log.write(0, 0x29, 0x80)  # six FM channels
    log.write(0, 0x22, 0x00)
    log.write(0, 0x27, 0x00)
    patch(log, 0, 4, 5, [0x22, 0x00, 0x28, 0x06], [0x02, 0x01, 0x04, 0x01], 0x1F, 0x08, 0x06)  # lead
    patch(log, 1, 0, 6, [0x1C, 0x20, 0x18, 0x00], [0x00, 0x01, 0x01, 0x00], 0x1F, 0x0A, 0x08)  # bass
    for ch in (3, 4, 5):
        patch(log, ch, 7, 0, [0x7F, 0x7F, 0x26, 0x12], [0x01, 0x01, 0x02, 0x01], 0x0E, 0x02, 0x04)  # pad
    # SSG: tone A with the lead, noise C through a short decaying envelope.
    log.write(0, 0x07, 0x1E)
    log.write(0, 0x06, 0x04)
    log.write(0, 0x0A, 0x10)
    log.write(0, 0x0B, 600 & 0xFF)
    log.write(0, 0x0C, 600 >> 8)
    # ADPCM: the bass drum of units 0..31, both outputs, 8-bit memory.
    for reg, value in ((0x00, 0x01), (0x01, 0xC2), (0x02, 0), (0x03, 0), (0x04, 31), (0x05, 0),
                       (0x09, 0xCD), (0x0A, 0x49), (0x0B, 0xC0)):
        log.write(1, reg, value)
    for eighth, note in enumerate(LEAD):
        key(log, 0, note)
        ssg_tone(log, note)
        if eighth % 4 == 0:
            key(log, 1, BASS[eighth // 4 % len(BASS)])
        if eighth % 8 == 0:
            for ch, pad in zip((3, 4, 5), PADS[eighth // 8 % len(PADS)]):
                key(log, ch, pad)
        if eighth % 2 == 1:
            log.write(0, 0x0D, 0x00)  # a hi-hat on the off-beat
        if eighth % 4 == 0:
            log.write(1, 0x00, 0x01)
            log.write(1, 0x00, 0xA0)  # the bass drum on the beat
        log.wait(EIGHTH)
    for ch in range(6):
        key(log, ch, None)
    log.write(0, 0x08, 0x00)
    log.wait(VGM_RATE // 2)  # the releases ring out
    return log


def vgm(log, title):
    header = bytearray(0x80)
    data = bytes(log.data) + b"\x66"
    gd3_offset = 0x80 + len(data)
    body = data + gd3(title)
    header[0:4] = b"Vgm "
    struct.pack_into("<I", header, 0x04, 0x80 + len(body) - 4)
    struct.pack_into("<I", header, 0x08, 0x151)
    struct.pack_into("<I", header, 0x14, gd3_offset - 0x14)
    struct.pack_into("<I", header, 0x18, log.samples)
    struct.pack_into("<I", header, 0x34, 0x80 - 0x34)
    struct.pack_into("<I", header, 0x48, CLOCK)
    return bytes(header) + body


def main():
    parser = argparse.ArgumentParser(description="Writes our own short YM2608 tune as a VGM log.")
    parser.add_argument("output", help="the VGM file to write")
    parser.add_argument("--title", default="Test tune")
    options = parser.parse_args()
    kick = (Path(__file__).resolve().parent.parent / "examples" / "kick.bin").read_bytes()
    try:
        Path(options.output).write_bytes(vgm(tune(kick), options.title))
    except OSError as error:
        print("make-vgm-tune.py: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
