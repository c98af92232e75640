// A small generator of music logs for the tests: VGM and S98 files put
// together command by command, and gzip around them, so that every test
// makes exactly the log it needs and no test depends on files from outside.
//
// Functions: vgmWrite, vgmWait, vgmBlock, vgmFile, s98Write, s98Wait,
// s98File, gzipBytes, parsed.
#pragma once

#include "music/music_log.h"

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

/// A YM2608 write: 0x56 (first bank) or 0x57 (second bank, reg >= 0x100).
void vgmWrite(Bytes& out, std::uint16_t reg, std::uint8_t value);
/// A wait of `samples`, as 0x61 nn nn.
void vgmWait(Bytes& out, std::uint16_t samples);
/// A data block 0x67 of `type`; for type 0x81 the memory size and start address lead the bytes.
void vgmBlock(Bytes& out, std::uint8_t type, std::uint32_t start, const Bytes& bytes);

struct VgmHeader {
    std::uint32_t version = 0x171;
    std::uint32_t ym2608Clock = 7987200;
    long loopAt = -1;                // offset into the commands, or -1 for none
    std::vector<std::string> gd3;    // the eleven fields (UTF-8, ASCII suffices), or none
    bool endCommand = true;          // append 0x66
};

/// The file: header (data at 0x100 from 1.50, else 0x40), the commands, 0x66, the GD3 tag.
Bytes vgmFile(const Bytes& commands, const VgmHeader& header = {});

/// An S98 device write: command 2*device+port, register, value.
void s98Write(Bytes& out, std::uint8_t device, std::uint16_t reg, std::uint8_t value);
/// `ticks` of wait: 0xFF for one, 0xFE with the 7-bit count of ticks-2 otherwise.
void s98Wait(Bytes& out, std::uint32_t ticks);

struct S98Device {
    std::uint32_t type = 4; // YM2608
    std::uint32_t clock = 7987200;
};

struct S98Header {
    char version = '3';
    std::uint32_t timer = 1;
    std::uint32_t timer2 = 1000;
    std::vector<S98Device> devices{S98Device{}};
    long loopAt = -1;  // offset into the commands, or -1
    std::string tag;   // the bytes at the tag offset (with its NUL), or empty for none
};

/// The file: header, device list, the commands, 0xFD, the tag.
Bytes s98File(const Bytes& commands, const S98Header& header = {});

/// `bytes` wrapped as a gzip stream.
Bytes gzipBytes(const Bytes& bytes);

/// The log `file` holds, checked to parse (a failed parse fails the test).
MusicLog parsed(const Bytes& file);
