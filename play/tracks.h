// The songs of a run, as the FILE arguments give them (music/playlist.h):
// logs named on the command line, and the entries of playlists and folders.
// A log named as an argument is read before anything is sent, and a bad one
// ends the run before the board is opened, as it always has; a playlist's
// or folder's entry is read when its turn comes, and a bad one is reported
// in one line and skipped. Only one log read from a list is held at a time.
//
// Functions: gatherTracks, entryName, problemText, loadTrack, releaseTrack, trackTitle.
#pragma once

#include "music/playlist.h"
#include "play/player.h"

#include <span>
#include <string>
#include <vector>

struct Track {
    PlaylistEntry entry;
    bool argument = false; // named on the command line itself
    bool loaded = false;
    bool bad = false; // refused, and reported once
    Song song;
};

/// The tracks the arguments stand for, in order.
std::vector<Track> gatherTracks(std::span<const std::string> arguments);

/// How a message names the entry: "list.m3u:3: song.vgz", or its path.
std::string entryName(const PlaylistEntry& entry);

/// Why a refused entry is left out, in a few words (the system's for a file
/// it could not look at).
std::string problemText(const PlaylistEntry& entry);

/// Reads and parses the track's log, once. False with the one-line reason
/// (the entry named) in `error`.
bool loadTrack(Track& track, std::string& error);

/// Forgets a list's log that has played (an argument's stays).
void releaseTrack(Track& track);

/// The status line's title of a loaded track: title, game and author (GD3
/// or S98 tag; else the list's title; else the file's name), " - " between.
std::string trackTitle(const Track& track);
