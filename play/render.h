// ym2608-play --render OUT.wav: the logs played straight through the chip's
// sound (synth/chip_sound.h) into one WAV file, with no board, no line and
// no real time. Each song's ADPCM memory is in place before its first write,
// as the memory writer leaves it on the board; its writes then take effect at
// the log's own times, or, with a line speed, when the line would deliver
// them (the frames leave at their due time or, behind earlier ones, when the
// line is free, 10 bits a byte), with dropping as when playing. After each
// song come the writes that silence the chip, as the player sends them, and
// the next song follows at once. The file is written under a temporary name
// and renamed to OUT.wav only when complete; a stop (Ctrl-C) or a failure
// removes it.
//
// Functions: renderSong, renderProgressLine, renderSongs.
#pragma once

#include "music/music_log.h"
#include "play/options.h"
#include "synth/chip_sound.h"

#include <csignal>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

/// Where the chip's frames go as they are rendered: false stops the render.
struct RenderSink {
    bool (*take)(void* context, std::span<const std::int16_t> frames) = nullptr;
    void* context = nullptr;
};

/// How one song is played into the chip.
struct SongTiming {
    int loops = 2;
    double speed = 1.0;
    bool dropping = true;
    std::uint32_t baud = 0; // 0: each write at the log's time; else when a line of this speed delivers it
    std::uint32_t clock = DEFAULT_CLOCK;
};

/// Plays `log` into `chip` from output sample `start` on (its memory first,
/// the silencing writes last), handing every frame to `sink`; `stop`, when
/// set, ends it early. Returns the output sample after the song's last, or
/// the one reached when the sink refused or `stop` was seen.
std::uint64_t renderSong(synth::ChipSound& chip, const MusicLog& log, const SongTiming& timing, std::uint64_t start,
                         RenderSink sink, const volatile std::sig_atomic_t* stop);

/// The progress line at a terminal: "\r  rendering 0:12.3 / 3:36.0   5%".
std::string renderProgressLine(std::int64_t doneNs, std::int64_t totalNs);

/// A song to render: the file's name, for messages, and its log.
struct RenderSong {
    std::string path;
    const MusicLog* log = nullptr;
};

/// What --render does for main: renders `songs` in order into
/// options.render.wavPath and tells the user. The exit status: 0 when the
/// file was written, 1 when it could not be, 2 for a bad rhythm memory image
/// or output path (nothing written), 128 + the signal after a stop (no file).
int renderSongs(const PlayOptions& options, std::span<const RenderSong> songs,
                const volatile std::sig_atomic_t* stop);
