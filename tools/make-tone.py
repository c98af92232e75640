#!/usr/bin/env python3
"""Writes a short test recording for the sample walkthrough: a little tune
(plucked notes with a few harmonics over a soft bass) or a rising chirp, as a
16-bit mono WAV file. Encode it with `ym2608-adpcm encode`, load it with `l`,
play it with `p` and listen to what the emulator renders."""

import argparse
import math
import struct
import sys
import wave

# (semitones above A4, beats): an arpeggio up and a run back down.
TUNE = [(-9, 1), (-5, 1), (-2, 1), (3, 1), (-2, 1), (-5, 1), (-9, 2),
        (-7, 1), (-4, 1), (0, 1), (5, 1), (0, 1), (-4, 1), (-7, 2),
        (-5, 1), (-2, 1), (2, 1), (7, 1), (5, 1), (2, 1), (-2, 1), (-5, 1), (-9, 4)]
BEAT_SECONDS = 0.15


def note_hz(semitones):
    return 440.0 * 2.0 ** (semitones / 12.0)


def tune(rate):
    values = []
    for semitones, beats in TUNE:
        lead = note_hz(semitones)
        bass = lead / 4.0
        count = int(beats * BEAT_SECONDS * rate)
        for i in range(count):
            t = i / rate
            # Quick attack, exponential decay: a plucked string.
            envelope = (1.0 - math.exp(-t * 300.0)) * math.exp(-t * 6.0)
            voice = sum(math.sin(2 * math.pi * lead * k * t) / k for k in (1, 2, 3, 4))
            values.append(0.35 * envelope * voice + 0.15 * math.sin(2 * math.pi * bass * t))
    return values


def chirp(rate, seconds, low=200.0, high=4000.0):
    # Exponential sweep: equal time per octave.
    count = int(seconds * rate)
    ratio = high / low
    values = []
    for i in range(count):
        t = i / rate
        phase = 2 * math.pi * low * seconds / math.log(ratio) * (ratio ** (t / seconds) - 1.0)
        values.append(0.5 * math.sin(phase))
    return values


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("output", help="the WAV file to write")
    parser.add_argument("--rate", type=int, default=44100, help="sample rate in Hz (default 44100)")
    parser.add_argument("--chirp", type=float, metavar="SECONDS",
                        help="a 200 Hz to 4 kHz sweep of this length instead of the tune")
    args = parser.parse_args()
    if not 1000 <= args.rate <= 192000:
        sys.exit("make-tone.py: --rate must be from 1000 to 192000")
    if args.chirp is not None and not 0.0 < args.chirp <= 60.0:
        sys.exit("make-tone.py: --chirp must be more than 0 and at most 60 seconds")

    values = chirp(args.rate, args.chirp) if args.chirp is not None else tune(args.rate)
    frames = b"".join(struct.pack("<h", max(-32768, min(32767, round(v * 32767)))) for v in values)
    with wave.open(args.output, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(args.rate)
        out.writeframes(frames)
    print(f"wrote {args.output}: {len(values)} frames, {len(values) / args.rate:.2f} s at {args.rate} Hz")


if __name__ == "__main__":
    main()
