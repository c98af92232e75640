#!/usr/bin/env python3
"""Makes the walkthrough's example files under examples/.

kick.bin: a short bass-drum sound, 2000 samples at the rate the console's `p`
sets up (delta-N 0x49cd, about 16 kHz), encoded as the YM2608's ADPCM
(4 bits per sample, high nibble first): 1000 bytes, 32 units of 32 bytes.
data.bin: 1000 bytes of numbered text lines for `t` (936 of them are sent).

The output is the same on every run, so the files can be checked in.
"""

import math
import sys
from pathlib import Path

# The ADPCM decoder's step adaptation, per magnitude of a 4-bit code.
STEP_FACTORS = [57, 57, 57, 57, 77, 102, 128, 153]
STEP_MIN, STEP_MAX = 127, 24576
SAMPLE_RATE = 55555 * 0x49CD / 65536


def decode_step(value, step, code):
    magnitude = code & 7
    delta = ((2 * magnitude + 1) * step) >> 3
    value = value - delta if code & 8 else value + delta
    value = max(-32768, min(32767, value))
    step = max(STEP_MIN, min(STEP_MAX, (step * STEP_FACTORS[magnitude]) >> 6))
    return value, step


def encode(samples):
    """Picks, sample by sample, the code whose decoded value comes closest."""
    value, step, codes = 0, STEP_MIN, []
    for target in samples:
        best = min(range(16), key=lambda c: abs(decode_step(value, step, c)[0] - target))
        value, step = decode_step(value, step, best)
        codes.append(best)
    if len(codes) % 2:
        codes.append(0)
    return bytes((codes[i] << 4) | codes[i + 1] for i in range(0, len(codes), 2))


def kick(count=2000):
    samples, phase = [], 0.0
    for n in range(count):
        t = n / SAMPLE_RATE
        frequency = 45 + 95 * math.exp(-t * 30)
        phase += 2 * math.pi * frequency / SAMPLE_RATE
        samples.append(int(20000 * math.exp(-t * 22) * math.sin(phase)))
    return samples


def data_file(size=1000):
    text = "".join("YM2608 board data line %03d\n" % i for i in range(size // 20 + 1))
    return text.encode()[:size]


def main():
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parents[1] / "examples"
    out.mkdir(parents=True, exist_ok=True)
    (out / "kick.bin").write_bytes(encode(kick()))
    (out / "data.bin").write_bytes(data_file())
    print("wrote %s and %s" % (out / "kick.bin", out / "data.bin"))


if __name__ == "__main__":
    main()
