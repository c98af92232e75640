#!/usr/bin/python3
"""Our chip sound against a reference render: how far apart, in figures.

    bench/compare_sound.py [options] OURS REFERENCE

OURS is our render (a WAV) or a music log (.vgm, .vgz, .s98), which is
rendered first; REFERENCE is a WAV or FLAC at the same rate. Both are read as
stereo (a mono file counts as both sides). Ours is aligned to the reference:
the lag is found by correlating the two envelopes (RMS over 256 samples)
within --max-lag, then refined by correlating the samples within two envelope
steps of it. Over the aligned span (the reference's length, or --seconds)
the report gives:

  gain       the one energy gain, in dB, that brings ours to the reference's
             energy (both sides together); positive when ours is quieter. Every
             figure below is taken after it
  LSD        the log-spectral distance per frame of 2048 samples (Hann window,
             the mid signal (L+R)/2), over the bins from 20 Hz to 5 kHz, each
             frame's bins floored at its own loudest bin there minus 60 dB (and
             never below 120 dB under a full-scale sine): the root mean square
             of the two frames' dB differences. Median and 90th percentile over
             the frames where the reference sounds (frame RMS within 60 dB of
             its loudest frame)
  envelope   the correlation of the two sequences of frame RMS (every frame)
  octaves    per octave band, 63 Hz to 16 kHz (edges at the centre / and x the
             square root of 2), the energy of ours against the reference's over
             the whole span, in dB; positive where ours is louder
  balance    left against right energy, in dB, of each and their difference
  timing     each 4 s stretch aligned alone, within 12 ms of the whole's lag:
             the spread of their lags (a render in real time jitters)
  silence    the frames where the reference is digital silence, and how loud
             ours is there

A log is rendered by --render: `emu` (the default) plays it with ym2608-play
into ym2608-board-emu --wav OUT --wav-rate RATE in real time, the length of the
compared span and a few seconds more, both at real-time priority when run as
root (--realtime, --priority); `play` runs ym2608-play --render OUT
--wav-rate RATE --loops 1 LOG; anything else is a command line in which {log},
{wav} and {rate} are replaced. --units keeps some of the chip's units and
silences the others in a copy of the log (key-ons, levels and outputs
rewritten in place), so that a unit can be measured alone; --relative-to
then sets one unit's level against another's (their runs' gains).

--fit-ssg renders a log twice more, the SSG alone and every other unit
alone, and finds the SSG's level against the rest that the reference was
mixed at: the two gains that bring the sum of the two parts' power spectra
closest to the reference's (least squares over every frame's bins from 20 Hz
to 5 kHz), reported as the SSG's level in dB against ours. A tracker mixes
each song at its own FM/SSG balance, which need not be any board's: render
again with --play-arg=--ssg-level=DB (or --emu-arg) to compare at it.

Needs Debian's python3-numpy and python3-soundfile (python3-matplotlib for
--picture): tools/install-deps.sh installs them.
"""

import argparse
import gzip
import json
import os
import shlex
import signal
import struct
import subprocess
import sys
import tempfile

try:
    import numpy as np
    import soundfile
except ImportError as missing:
    sys.exit("compare_sound.py: %s (Debian: apt-get install python3-numpy python3-soundfile; "
             "run it with /usr/bin/python3)" % missing)

FRAME = 2048
LSD_LOW_HZ = 20.0
LSD_HIGH_HZ = 5000.0
FLOOR_DB = 60.0
SOUNDING_DB = 60.0
ABSOLUTE_FLOOR_DB = 120.0
ENVELOPE_HOP = 256
STRETCH_S = 4.0
STRETCH_MATCH = 0.3
OCTAVE_CENTRES = [63, 125, 250, 500, 1000, 2000, 4000, 8000, 16000]
RENDER_MARGIN_S = 3.0
UNITS = ("fm", "ssg", "rhythm", "adpcm")
LOG_SUFFIXES = (".vgm", ".vgz", ".s98")

# A Hann-windowed full-scale sine puts (FRAME/4)^2 in its peak bin.
FULL_SCALE_BIN = (FRAME / 4.0) ** 2


# ---------------------------------------------------------------- the figures

def mid(signal_):
    return signal_.mean(axis=1)


def envelope(mono, hop):
    blocks = len(mono) // hop
    return np.sqrt(np.mean(mono[:blocks * hop].reshape(blocks, hop) ** 2, axis=1))


def overlap(ref, ours, lag):
    """The parts of `ref` and `ours` that meet when ours[n + lag] stands for ref[n]."""
    start = max(0, -lag)
    count = min(len(ref) - start, len(ours) - (start + lag))
    return ref[start:start + count], ours[start + lag:start + lag + count]


def pearson(a, b):
    a = a - a.mean()
    b = b - b.mean()
    norm = np.sqrt(np.dot(a, a) * np.dot(b, b))
    return float(np.dot(a, b) / norm) if norm > 0 else 0.0


def coarse_lag(ref, ours, max_lag):
    """The envelope step lag (in samples) at which the two envelopes correlate best."""
    ref_env, ours_env = envelope(ref, ENVELOPE_HOP), envelope(ours, ENVELOPE_HOP)
    steps = max_lag // ENVELOPE_HOP
    best, best_r = 0, -2.0
    for step in range(-steps, steps + 1):
        a, b = overlap(ref_env, ours_env, step)
        if len(a) < 8:
            continue
        r = pearson(a, b)
        if r > best_r:
            best, best_r = step, r
    return best * ENVELOPE_HOP, best == -steps or best == steps


def fine_lag(ref, ours, around):
    """The sample lag within two envelope steps of `around` where the samples
    correlate most strongly, and that correlation (negative: polarity inverted)."""
    size = 1 << int(np.ceil(np.log2(len(ref) + len(ours))))
    spectrum = np.conj(np.fft.rfft(ref, size)) * np.fft.rfft(ours, size)
    correlation = np.fft.irfft(spectrum, size)
    window = 2 * ENVELOPE_HOP
    lags = np.arange(around - window, around + window + 1)
    values = correlation[lags % size]
    best = int(np.argmax(np.abs(values)))
    norm = np.sqrt(np.dot(ref, ref) * np.dot(ours, ours))
    return int(lags[best]), float(values[best] / norm) if norm > 0 else 0.0


def align(ref, ours, max_lag):
    """Ours shifted so that its sample n stands for the reference's sample n (padded with
    silence where it starts late), the lag in samples, the correlation, and whether the
    envelopes matched best at the edge of the search."""
    lag, at_edge = coarse_lag(mid(ref), mid(ours), max_lag)
    lag, correlation = fine_lag(mid(ref), mid(ours), lag)
    if lag >= 0:
        shifted = ours[lag:]
    else:
        shifted = np.concatenate([np.zeros((-lag, ours.shape[1])), ours])
    return shifted, lag, correlation, at_edge


def stretch_lags(ref, ours, rate):
    """After alignment, the lag of each stretch of STRETCH_S seconds on its own, in samples,
    for the stretches whose samples correlate at least STRETCH_MATCH (a stretch of silence
    or of noise has no lag), and the number of stretches. A spread shows writes that came
    late or early against one another, as a render in real time on a busy machine has."""
    size = int(STRETCH_S * rate)
    starts = range(0, len(ref) - size + 1, size)
    lags = []
    for start in starts:
        lag, correlation = fine_lag(ref[start:start + size], ours[start:start + size], 0)
        if correlation >= STRETCH_MATCH:
            lags.append(lag)
    return lags, len(starts)


def frames_of(mono, count):
    return mono[:count * FRAME].reshape(count, FRAME)


def power_spectra(frames):
    return np.abs(np.fft.rfft(frames * np.hanning(FRAME), axis=1)) ** 2


def floored_db(power):
    """Each frame's bins in dB, floored at its loudest bin minus FLOOR_DB."""
    db = 10 * np.log10(np.maximum(power, FULL_SCALE_BIN * 10 ** (-ABSOLUTE_FLOOR_DB / 10)))
    return np.maximum(db, db.max(axis=1, keepdims=True) - FLOOR_DB)


def lsd_per_frame(ours_power, ref_power, freqs):
    band = (freqs >= LSD_LOW_HZ) & (freqs <= LSD_HIGH_HZ)
    difference = floored_db(ours_power[:, band]) - floored_db(ref_power[:, band])
    return np.sqrt(np.mean(difference ** 2, axis=1))


def octave_differences(ours_power, ref_power, freqs, rate):
    bands = {}
    ours_sum, ref_sum = ours_power.sum(axis=0), ref_power.sum(axis=0)
    for centre in OCTAVE_CENTRES:
        low, high = centre / np.sqrt(2), centre * np.sqrt(2)
        if low >= rate / 2:
            continue
        inside = (freqs >= low) & (freqs < high)
        ours_e, ref_e = ours_sum[inside].sum(), ref_sum[inside].sum()
        bands[centre] = float(10 * np.log10(ours_e / ref_e)) if ours_e > 0 and ref_e > 0 else None
    return bands


def ratio_db(a, b):
    if a <= 0 and b <= 0:
        return 0.0
    if a <= 0 or b <= 0:
        return float("inf") if b <= 0 else float("-inf")
    return float(10 * np.log10(a / b))


def balance_db(signal_):
    return ratio_db(float(np.sum(signal_[:, 0] ** 2)), float(np.sum(signal_[:, 1] ** 2)))


def level(signal_):
    rms = float(np.sqrt(np.mean(signal_ ** 2)))
    peak = float(np.max(np.abs(signal_))) if len(signal_) else 0.0
    return {"rms_dbfs": 20 * np.log10(rms) if rms > 0 else float("-inf"),
            "peak_dbfs": 20 * np.log10(peak) if peak > 0 else float("-inf"),
            "full_scale_samples": int(np.sum(np.abs(signal_) >= 32767 / 32768))}


def compare(ours, ref, rate, seconds=None, max_lag_s=2.0):
    """Every figure of the report, for two stereo float arrays at `rate` (full scale 1)."""
    span = len(ref) if seconds is None else min(len(ref), int(seconds * rate))
    ref = ref[:span]
    shifted, lag, correlation, at_edge = align(ref, ours, int(max_lag_s * rate))
    span = min(span, len(shifted))
    count = span // FRAME
    if count < 2:
        raise ValueError("less than two frames of %d samples overlap after alignment" % FRAME)
    span = count * FRAME
    ref, shifted = ref[:span], shifted[:span]
    figures = {"rate": rate, "lag_samples": lag, "lag_ms": 1000.0 * lag / rate,
               "sample_correlation": correlation, "lag_at_search_edge": at_edge,
               "seconds": span / rate, "frames": count,
               "ours_level": level(shifted), "reference_level": level(ref)}
    energy_ours, energy_ref = float(np.sum(shifted ** 2)), float(np.sum(ref ** 2))
    if energy_ours <= 0 or energy_ref <= 0:
        raise ValueError("%s is silent over the compared span" % ("ours" if energy_ours <= 0 else "the reference"))
    figures["gain_db"] = ratio_db(energy_ref, energy_ours)
    gained = shifted * np.sqrt(energy_ref / energy_ours)

    ours_frames, ref_frames = frames_of(mid(gained), count), frames_of(mid(ref), count)
    ours_rms = np.sqrt(np.mean(ours_frames ** 2, axis=1))
    ref_rms = np.sqrt(np.mean(ref_frames ** 2, axis=1))
    freqs = np.fft.rfftfreq(FRAME, 1.0 / rate)
    ours_power, ref_power = power_spectra(ours_frames), power_spectra(ref_frames)
    sounding = ref_rms > ref_rms.max() * 10 ** (-SOUNDING_DB / 20)
    lsd = lsd_per_frame(ours_power[sounding], ref_power[sounding], freqs)
    figures.update({
        "sounding_frames": int(sounding.sum()),
        "lsd_median_db": float(np.median(lsd)),
        "lsd_p90_db": float(np.percentile(lsd, 90)),
        "envelope_correlation": pearson(ours_rms, ref_rms),
        "octaves_db": octave_differences(ours_power, ref_power, freqs, rate),
        "balance_ours_db": balance_db(gained), "balance_reference_db": balance_db(ref),
    })
    figures["balance_difference_db"] = figures["balance_ours_db"] - figures["balance_reference_db"]
    silent = ref_rms == 0
    raw_rms = np.sqrt(np.mean(frames_of(mid(shifted), count) ** 2, axis=1))
    loudest = float(raw_rms[silent].max()) if silent.any() else 0.0
    lags, stretches = stretch_lags(mid(ref), mid(shifted), rate)
    figures["stretch_lags_ms"] = [1000.0 * lag / rate for lag in lags]
    figures["stretches"] = stretches
    figures["reference_silent_frames"] = int(silent.sum())
    figures["ours_in_silence_dbfs"] = 20 * np.log10(loudest) if loudest > 0 else float("-inf")
    return figures, gained, ref


def fit_ssg_level(ref, ssg, rest, lag, rate):
    """The SSG's level in dB, against the rest of the chip, at which the power
    spectra of `ssg` and `rest` (ours, unaligned: `lag` as align() found it for
    the whole) sum closest to the reference's, by least squares; None when the
    reference holds no more of one part than of nothing."""
    def shifted(part):
        return part[lag:] if lag >= 0 else np.concatenate([np.zeros((-lag, part.shape[1])), part])
    ssg, rest = shifted(ssg), shifted(rest)
    count = min(len(ref), len(ssg), len(rest)) // FRAME
    freqs = np.fft.rfftfreq(FRAME, 1.0 / rate)
    band = (freqs >= LSD_LOW_HZ) & (freqs <= LSD_HIGH_HZ)
    columns = [power_spectra(frames_of(mid(part), count))[:, band].ravel() for part in (rest, ssg)]
    target = power_spectra(frames_of(mid(ref), count))[:, band].ravel()
    (rest_gain, ssg_gain), *_ = np.linalg.lstsq(np.stack(columns, axis=1), target, rcond=None)
    if rest_gain <= 0 or ssg_gain <= 0:
        return None
    return 10 * np.log10(ssg_gain / rest_gain)


# ---------------------------------------------------------------- the report

def db_text(value, places=2):
    """A signed figure; "n/a" for none, never "-0.00"."""
    if value is None:
        return "n/a"
    if np.isinf(value):
        return ("+" if value > 0 else "-") + "inf"
    if round(value, places) == 0:
        value = 0.0
    return "%+.*f" % (places, value)


def octave_name(centre):
    return "%dk" % (centre // 1000) if centre >= 1000 else str(centre)


def report(figures, ours_name, reference_name):
    f = figures
    later = "later" if f["lag_samples"] >= 0 else "earlier"
    lines = [
        "ours: %s" % ours_name,
        "reference: %s" % reference_name,
        "alignment: ours %.1f ms %s (%d samples at %d Hz), sample correlation %.3f%s" % (
            abs(f["lag_ms"]), later, abs(f["lag_samples"]), f["rate"], f["sample_correlation"],
            "; at the search's edge, raise --max-lag" if f["lag_at_search_edge"] else ""),
        "compared: %.2f s, %d frames of %d samples, %d with the reference sounding" % (
            f["seconds"], f["frames"], FRAME, f["sounding_frames"]),
    ]
    for name, key in (("ours", "ours_level"), ("reference", "reference_level")):
        lv = f[key]
        lines.append("level of %s: %s dBFS RMS, peak %s dBFS, %d samples at full scale" % (
            name, db_text(lv["rms_dbfs"]), db_text(lv["peak_dbfs"]), lv["full_scale_samples"]))
    lines += [
        "gain: %s dB" % db_text(f["gain_db"]),
        "LSD 20 Hz-5 kHz: median %.2f dB, 90th percentile %.2f dB" % (f["lsd_median_db"], f["lsd_p90_db"]),
        "envelope correlation: %.3f" % f["envelope_correlation"],
        "octave bands, ours against the reference (dB):",
        "  " + " ".join("%6s" % octave_name(c) for c in f["octaves_db"]),
        "  " + " ".join("%6s" % db_text(v) for v in f["octaves_db"].values()),
        "balance left/right: ours %s dB, reference %s dB, difference %s dB" % (
            db_text(f["balance_ours_db"]), db_text(f["balance_reference_db"]), db_text(f["balance_difference_db"])),
    ]
    if f["stretch_lags_ms"]:
        lines.append("timing: each %g s stretch alone lags %s to %s ms against the whole (%d of %d stretches timed)"
                     % (STRETCH_S, db_text(min(f["stretch_lags_ms"]), 1), db_text(max(f["stretch_lags_ms"]), 1),
                        len(f["stretch_lags_ms"]), f["stretches"]))
    else:
        lines.append("timing: no %g s stretch correlates well enough to be timed" % STRETCH_S)
    if f["reference_silent_frames"]:
        lines.append("reference digitally silent in %d frames; ours there at most %s dBFS RMS" % (
            f["reference_silent_frames"], db_text(f["ours_in_silence_dbfs"])))
    return "\n".join(lines) + "\n"


def relative_level(figures, other_path):
    """This run's unit against another run's: the level of ours relative to the reference's.
    Each run's gain is the reference's energy over ours, so the difference of the two gains
    is how much louder this unit is against the other in ours than in the reference."""
    with open(other_path) as f:
        other = json.load(f)
    return "level against %s: ours %s dB against the reference's (gain there %s dB, here %s dB)\n" % (
        other.get("ours", other_path), db_text(other["gain_db"] - figures["gain_db"]),
        db_text(other["gain_db"]), db_text(figures["gain_db"]))


def picture(gained, ref, rate, path, ours_name, reference_name):
    """The two spectrograms side by side, on one dB scale."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    hop = FRAME // 2
    figure, axes = plt.subplots(1, 2, figsize=(14, 5), sharey=True)
    top = None
    images = []
    for axis, signal_, title in ((axes[0], gained, ours_name), (axes[1], ref, reference_name)):
        mono = mid(signal_)
        count = (len(mono) - FRAME) // hop + 1
        frames = np.lib.stride_tricks.sliding_window_view(mono, FRAME)[::hop][:count]
        db = 10 * np.log10(power_spectra(frames).T + 1e-12)
        top = db.max() if top is None else max(top, db.max())
        images.append(axis.imshow(db, origin="lower", aspect="auto", cmap="magma",
                                  extent=(0, len(mono) / rate, 0, rate / 2000.0)))
        axis.set_title(title)
        axis.set_xlabel("seconds")
    for image in images:
        image.set_clim(top - 90, top)
    axes[0].set_ylabel("kHz")
    figure.colorbar(images[1], ax=axes, label="dB")
    figure.savefig(path, dpi=100)
    plt.close(figure)


# ---------------------------------------------------------------- reading and rendering

def read_audio(path):
    data, rate = soundfile.read(path, dtype="float64", always_2d=True)
    if data.shape[1] == 1:
        data = np.repeat(data, 2, axis=1)
    return data[:, :2], rate


UNIT_SILENCERS = {
    # (bank, register): how a write is rewritten so that the unit stays silent
    "fm": {(0, 0x28): lambda v: v & 0x0F,        # key-on: no operator keyed
           (0, 0x27): lambda v: v & 0x7F},       # no CSM key-on by timer A
    "ssg": {(0, 0x08): lambda v: 0, (0, 0x09): lambda v: 0, (0, 0x0A): lambda v: 0},  # levels 0
    "rhythm": {(0, 0x10): lambda v: v if v & 0x80 else 0},   # key-ons key nothing; dumps kept
    "adpcm": {(1, 0x01): lambda v: v & 0x3F},    # control 2: neither output
}


def silencers(keep):
    table = {}
    for unit in UNITS:
        if unit not in keep:
            table.update(UNIT_SILENCERS[unit])
    return table


def vgm_command_length(data, p):
    c = data[p]
    if c == 0x67:
        return 7 + (struct.unpack_from("<I", data, p + 3)[0] & 0x7FFFFFFF)
    fixed = {0x4F: 2, 0x50: 2, 0x61: 3, 0x62: 1, 0x63: 1, 0x68: 12, 0x90: 5, 0x91: 5, 0x92: 6,
             0x93: 11, 0x94: 2, 0x95: 5}
    if c in fixed:
        return fixed[c]
    for low, high, length in ((0x30, 0x3F, 2), (0x40, 0x5F, 3), (0x70, 0x8F, 1), (0xA0, 0xBF, 3),
                              (0xC0, 0xDF, 4), (0xE0, 0xFF, 5)):
        if low <= c <= high:
            return length
    raise ValueError("VGM command 0x%02x at offset 0x%x is not one" % (c, p))


def vgm_writes(data):
    """Offsets of the value byte of every write to the YM2608, with its bank and register."""
    version = struct.unpack_from("<I", data, 0x08)[0]
    relative = struct.unpack_from("<I", data, 0x34)[0] if version >= 0x150 else 0
    p = 0x34 + relative if relative else 0x40
    while p < len(data) and data[p] != 0x66:
        if data[p] in (0x56, 0x57):
            yield p + 2, data[p] - 0x56, data[p + 1]
        p += vgm_command_length(data, p)


def s98_writes(data):
    version = chr(data[3])
    p = struct.unpack_from("<I", data, 0x14)[0]
    device = 0
    if version in "23":
        count = struct.unpack_from("<I", data, 0x1C)[0] if version == "3" else 64
        types = []
        for i in range(count):
            at = 0x20 + 16 * i
            if at + 16 > len(data) or (version == "2" and (at >= p or data[at:at + 4] == bytes(4))):
                break
            types.append(struct.unpack_from("<I", data, at)[0])
        device = types.index(4) if 4 in types else 0
    while p < len(data) and data[p] != 0xFD:
        c = data[p]
        if c == 0xFF:
            p += 1
        elif c == 0xFE:
            p += 1
            while data[p] & 0x80:
                p += 1
            p += 1
        elif c < 0x80:
            if c >> 1 == device:
                yield p + 2, c & 1, data[p + 1]
            p += 3
        else:
            raise ValueError("S98 command 0x%02x at offset 0x%x is not one" % (c, p))


def keep_units(data, keep):
    """A copy of the log in which the units not in `keep` are silenced, write for write."""
    out = bytearray(data)
    walk = vgm_writes if out[:4] == b"Vgm " else s98_writes if out[:3] == b"S98" else None
    if walk is None:
        raise ValueError("not a VGM or S98 log")
    table = silencers(keep)
    for at, bank, reg in list(walk(out)):
        rewrite = table.get((bank, reg))
        if rewrite:
            out[at] = rewrite(out[at])
    return bytes(out)


def render_command(route, build, log, wav, rate, play_args):
    if route == "play":
        return [os.path.join(build, "play", "ym2608-play"), "--render", wav, "--wav-rate", str(rate),
                "--loops", "1"] + play_args + [log]
    return [word.replace("{log}", log).replace("{wav}", wav).replace("{rate}", str(rate))
            for word in shlex.split(route)]


def render_through_emulator(build, log, wav, rate, seconds, args, work):
    """Plays `log` into the board emulator for `seconds`, the session WAV at `rate` going to `wav`.
    Each write sounds when it arrives, so both run above other work (--realtime, else
    --priority): a player kept off the processor for a few milliseconds moves a note by as
    much, and on a busy machine that moves the figures (an ADPCM part's LSD median from
    0.5 dB to 1.9 dB at nice -10, steady at 0.45 dB at real-time priority)."""
    boost = ["nice", "-n", str(-args.priority)] if args.priority else []
    if args.realtime:
        boost = ["chrt", "--fifo", str(args.realtime)]
    emu_log = os.path.join(work, "emulator.err")
    with open(emu_log, "w") as err:
        emu = subprocess.Popen(boost + [os.path.join(build, "board_emu", "ym2608-board-emu"), "--wav", wav,
                                        "--wav-rate", str(rate)] + args.emu_arg,
                               stdout=subprocess.PIPE, stderr=err)
    try:
        terminal = emu.stdout.readline().decode().strip()
        if not terminal:
            raise RuntimeError("the emulator did not start: " + open(emu_log).read().strip())
        player = subprocess.Popen(boost + [os.path.join(build, "play", "ym2608-play"), "--port", terminal,
                                           "--loops", "1"] + args.play_arg + [log],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        try:
            _, err = player.communicate(timeout=seconds)
            if player.returncode != 0:
                raise RuntimeError("ym2608-play failed: " + err.decode().strip())
        except subprocess.TimeoutExpired:
            player.send_signal(signal.SIGTERM)
            player.communicate()
    finally:
        emu.send_signal(signal.SIGTERM)
        emu.wait()
        emu.stdout.close()
    if emu.returncode != 0:
        raise RuntimeError("the emulator failed: " + open(emu_log).read().strip())


def render(args, log, wav, rate, seconds, work):
    if args.units != set(UNITS):
        with open(log, "rb") as f:
            data = f.read()
        if data[:2] == b"\x1f\x8b":
            data = gzip.decompress(data)
        suffix = ".s98" if data[:3] == b"S98" else ".vgm"
        filtered = os.path.join(work, "units" + suffix)
        with open(filtered, "wb") as f:
            f.write(keep_units(data, args.units))
        log = filtered
    if args.render == "emu":
        print("rendering %s through the emulator in real time, %.0f s" % (log, seconds), file=sys.stderr)
        render_through_emulator(args.build, log, wav, rate, seconds, args, work)
        return
    command = render_command(args.render, args.build, log, wav, rate, args.play_arg)
    result = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if result.returncode != 0:
        raise RuntimeError("%s failed: %s" % (shlex.join(command), result.stderr.decode().strip()))


def render_parts(args, reference, rate, seconds, work):
    """For --fit-ssg: ours rendered as the SSG alone and as the rest alone."""
    if not args.ours.lower().endswith(LOG_SUFFIXES):
        sys.exit("compare_sound.py: --fit-ssg renders the log's parts: give a log, not a WAV")
    parts = []
    for name, units in (("ssg", {"ssg"}), ("rest", set(UNITS) - {"ssg"})):
        path = os.path.join(work, name + ".wav")
        try:
            render(argparse.Namespace(**dict(vars(args), units=units)), args.ours, path, rate,
                   seconds + args.max_lag + RENDER_MARGIN_S, work)
        except (RuntimeError, ValueError, OSError) as problem:
            sys.exit("compare_sound.py: %s" % problem)
        parts.append(read_audio(path)[0])
    return parts


def parse_units(text):
    units = set(text.split(","))
    unknown = units - set(UNITS)
    if unknown:
        raise argparse.ArgumentTypeError("unknown unit %s (units: %s)" % (", ".join(sorted(unknown)), ",".join(UNITS)))
    return units


def options():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="\n".join(__doc__.splitlines()[2:]))
    parser.add_argument("ours", help="our render (WAV) or a music log to render (.vgm, .vgz, .s98)")
    parser.add_argument("reference", help="the reference render (WAV or FLAC)")
    parser.add_argument("--seconds", type=float, help="compare only the reference's first S seconds")
    parser.add_argument("--max-lag", type=float, default=2.0, help="search the alignment within S seconds (2)")
    parser.add_argument("--render", default="emu", help="how a log is rendered: emu, play or a command line")
    parser.add_argument("--build", default=os.path.join(root, "build"), help="the build folder with the programs")
    parser.add_argument("--units", type=parse_units, default=set(UNITS),
                        help="render only these units of a log, e.g. fm or fm,ssg (%s)" % ",".join(UNITS))
    parser.add_argument("--emu-arg", action="append", default=[], help="one more emulator option (repeatable)")
    parser.add_argument("--play-arg", action="append", default=[], help="one more player option (repeatable)")
    root_user = os.geteuid() == 0
    parser.add_argument("--realtime", type=int, default=10 if root_user else 0,
                        help="with --render emu, run the emulator and the player at real-time priority N "
                             "(chrt --fifo N; default 10 as root, else 0: none)")
    parser.add_argument("--priority", type=int, default=10 if root_user else 0,
                        help="with --render emu and --realtime 0, run them at nice -N (default 10 as root, else 0)")
    parser.add_argument("--wav", help="keep our render of a log as this WAV")
    parser.add_argument("--json", help="also write the figures to this file as JSON")
    parser.add_argument("--relative-to", metavar="JSON",
                        help="the figures of another unit's run (its --json): report this unit's level against "
                             "that one's, ours against the reference's")
    parser.add_argument("--picture", help="draw the two spectrograms side by side into this PNG")
    parser.add_argument("--fit-ssg", action="store_true",
                        help="for a log: also find the SSG's level against the rest that the reference was mixed at")
    return parser.parse_args()


def main():
    args = options()
    reference, rate = read_audio(args.reference)
    seconds = len(reference) / rate if args.seconds is None else min(args.seconds, len(reference) / rate)
    ours_name = args.ours
    ours_title = os.path.basename(args.ours)
    with tempfile.TemporaryDirectory(prefix="compare-sound-") as work:
        ours_path = args.ours
        if args.ours.lower().endswith(LOG_SUFFIXES):
            ours_path = args.wav or os.path.join(work, "ours.wav")
            try:
                render(args, args.ours, ours_path, rate, seconds + args.max_lag + RENDER_MARGIN_S, work)
            except (RuntimeError, ValueError, OSError) as problem:
                sys.exit("compare_sound.py: %s" % problem)
            units = "" if args.units == set(UNITS) else ", units %s" % ",".join(u for u in UNITS if u in args.units)
            ours_name = "%s (rendered: %s%s)" % (args.ours, args.render, units)
            ours_title = "%s (%s%s)" % (os.path.basename(args.ours), args.render, units)
        ours, ours_rate = read_audio(ours_path)
        parts = render_parts(args, reference, rate, seconds, work) if args.fit_ssg else None
    if ours_rate != rate:
        sys.exit("compare_sound.py: ours is at %d Hz, the reference at %d Hz; render at the reference's rate"
                 % (ours_rate, rate))
    try:
        figures, gained, ref = compare(ours, reference, rate, args.seconds, args.max_lag)
    except ValueError as problem:
        sys.exit("compare_sound.py: %s" % problem)
    sys.stdout.write(report(figures, ours_name, args.reference))
    if parts is not None:
        level = fit_ssg_level(ref, *parts, figures["lag_samples"], rate)
        sys.stdout.write("SSG against the rest in the reference: %s\n" % (
            "not found (one part is missing)" if level is None else "%s dB against ours" % db_text(level, 1)))
    if args.relative_to:
        sys.stdout.write(relative_level(figures, args.relative_to))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(dict(figures, ours=ours_name, reference=args.reference,
                           octaves_db={str(k): v for k, v in figures["octaves_db"].items()}), f, indent=1)
    if args.picture:
        picture(gained, ref, rate, args.picture, "ours: " + ours_title,
                "reference: " + os.path.basename(args.reference))


if __name__ == "__main__":
    main()
