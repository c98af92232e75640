// Sound files held in memory, for libsndfile's virtual I/O: a recording read
// whole from a pipe once (libsndfile would otherwise open it a second time,
// or seek in it), and a WAV file built before it is written anywhere (a
// device or a FIFO cannot take the header's sizes afterwards).
//
// Functions: memorySoundIo.
#pragma once

#include <sndfile.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace adpcm {

/// The bytes of a sound file and the position libsndfile reads or writes at.
struct MemorySound {
    std::vector<std::uint8_t> bytes;
    sf_count_t position = 0;
};

namespace memory_sound_detail {

inline MemorySound& soundOf(void* user)
{
    return *static_cast<MemorySound*>(user);
}

inline sf_count_t length(void* user)
{
    return static_cast<sf_count_t>(soundOf(user).bytes.size());
}

inline sf_count_t seek(sf_count_t offset, int whence, void* user)
{
    MemorySound& sound = soundOf(user);
    const sf_count_t base = whence == SEEK_CUR ? sound.position : whence == SEEK_END ? length(user) : 0;
    if (base + offset < 0) {
        return -1;
    }
    sound.position = base + offset;
    return sound.position;
}

inline sf_count_t read(void* into, sf_count_t count, void* user)
{
    MemorySound& sound = soundOf(user);
    const sf_count_t left = std::max<sf_count_t>(0, length(user) - sound.position);
    const sf_count_t taken = std::min(count, left);
    if (taken > 0) {
        std::memcpy(into, sound.bytes.data() + sound.position, static_cast<std::size_t>(taken));
    }
    sound.position += taken;
    return taken;
}

inline sf_count_t write(const void* from, sf_count_t count, void* user)
{
    MemorySound& sound = soundOf(user);
    const auto end = static_cast<std::size_t>(sound.position + count);
    if (end > sound.bytes.size()) {
        sound.bytes.resize(end);
    }
    std::memcpy(sound.bytes.data() + sound.position, from, static_cast<std::size_t>(count));
    sound.position += count;
    return count;
}

inline sf_count_t tell(void* user)
{
    return soundOf(user).position;
}

} // namespace memory_sound_detail

/// The callbacks of sf_open_virtual over a MemorySound given as its user data.
inline SF_VIRTUAL_IO memorySoundIo()
{
    namespace d = memory_sound_detail;
    return SF_VIRTUAL_IO{d::length, d::seek, d::read, d::write, d::tell};
}

} // namespace adpcm
