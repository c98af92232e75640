#include "play/tracks.h"

#include "music/tag_text.h"

#include <algorithm>

std::vector<Track> gatherTracks(std::span<const std::string> arguments)
{
    std::vector<Track> tracks;
    for (PlaylistEntry& entry : expandArguments(arguments)) {
        Track track;
        track.argument = entry.list.empty() &&
                         std::find(arguments.begin(), arguments.end(), entry.path) != arguments.end();
        track.entry = std::move(entry);
        tracks.push_back(std::move(track));
    }
    return tracks;
}

std::string entryName(const PlaylistEntry& entry)
{
    return entry.list.empty() ? entry.path
                              : entry.list + ":" + std::to_string(entry.line) + ": " + entry.path;
}

std::string problemText(const PlaylistEntry& entry)
{
    switch (entry.problem) {
    case EntryProblem::NONE:
        return {};
    case EntryProblem::MISSING:
    case EntryProblem::UNREADABLE:
    case EntryProblem::LIST_UNREADABLE:
        return entry.detail;
    case EntryProblem::LIST_LOOP:
        return "a playlist already being read (a loop of playlists): not followed";
    case EntryProblem::TOO_DEEP:
        return "playlists nested deeper than " + std::to_string(MAX_LIST_DEPTH) + ": not followed";
    case EntryProblem::TOO_MANY:
        return "more than " + std::to_string(MAX_PLAYLIST_ENTRIES) + " entries: the rest are left out";
    case EntryProblem::NO_LOGS:
        return "no music logs (.vgm, .vgz, .s98) in this folder";
    case EntryProblem::NOT_A_FILE:
        return "not a file's name";
    }
    return {};
}

bool loadTrack(Track& track, std::string& error)
{
    if (track.loaded) {
        return true;
    }
    if (track.entry.problem != EntryProblem::NONE) {
        error = entryName(track.entry) + ": " + problemText(track.entry);
        return false;
    }
    std::vector<std::uint8_t> bytes;
    std::string why;
    if (!readMusicFile(track.entry.path.c_str(), bytes, why) || !parseMusicLog(bytes, track.song.log, why)) {
        track.song.log = MusicLog{};
        error = entryName(track.entry) + ": " + why;
        return false;
    }
    track.song.path = track.entry.path;
    track.loaded = true;
    return true;
}

void releaseTrack(Track& track)
{
    if (!track.argument) {
        track.song.log = MusicLog{};
        track.loaded = false;
    }
}

std::string trackTitle(const Track& track)
{
    const SongTitle title = songTitle(track.song.log.tags, track.entry.title, track.entry.path);
    std::string out = title.title;
    for (const std::string* field : {&title.game, &title.author}) {
        if (!field->empty()) {
            out += " - " + *field;
        }
    }
    return out;
}
