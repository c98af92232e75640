// The VGM reader. The header gives the data's start, the loop offset, the GD3
// tag and the YM2608's clock; the data is a stream of one-byte commands whose
// operand lengths the format fixes for every command byte, including those of
// other chips and those reserved for future use, so that a player can step
// over what it does not play. Waits count samples at 44100 Hz.
#include "music/log_parsers.h"

#include "chip/ym2608.h"

#include <algorithm>
#include <array>
#include <map>

namespace music_detail {
namespace {

constexpr std::size_t HEADER_MIN = 0x40;
constexpr std::size_t OFFSET_EOF = 0x04;
constexpr std::size_t OFFSET_VERSION = 0x08;
constexpr std::size_t OFFSET_GD3 = 0x14;
constexpr std::size_t OFFSET_LOOP = 0x1C;
constexpr std::size_t OFFSET_DATA = 0x34;
constexpr std::size_t OFFSET_YM2608_CLOCK = 0x48;
constexpr std::uint32_t VERSION_DATA_OFFSET = 0x150;  // the data offset field exists from 1.50
constexpr std::uint32_t VERSION_YM2608 = 0x151;       // the YM2608 clock exists from 1.51
constexpr std::uint32_t VERSION_NEWEST_KNOWN = 0x171;
constexpr std::uint32_t CLOCK_MASK = 0x3FFFFFFF;       // bit 30: two chips, bit 31: chip variant
constexpr std::uint32_t CLOCK_DUAL = 0x40000000U;

constexpr std::uint32_t SAMPLE_RATE = 44100;
constexpr std::uint64_t MAX_LOG_SAMPLES = static_cast<std::uint64_t>(MAX_LOG_NS / 1'000'000'000) * SAMPLE_RATE;
constexpr std::uint16_t WAIT_NTSC = 735;
constexpr std::uint16_t WAIT_PAL = 882;

constexpr std::uint8_t CMD_YM2608_PORT0 = 0x56;
constexpr std::uint8_t CMD_YM2608_PORT1 = 0x57;
constexpr std::uint8_t CMD_WAIT = 0x61;
constexpr std::uint8_t CMD_WAIT_NTSC = 0x62;
constexpr std::uint8_t CMD_WAIT_PAL = 0x63;
constexpr std::uint8_t CMD_END = 0x66;
constexpr std::uint8_t CMD_DATA_BLOCK = 0x67;
constexpr std::uint8_t CMD_PCM_RAM_WRITE = 0x68;
constexpr std::uint8_t CMD_WAIT_SHORT_FIRST = 0x70; // 0x7n waits n+1 samples
constexpr std::uint8_t CMD_WAIT_SHORT_LAST = 0x7F;
constexpr std::uint8_t CMD_YM2612_DAC_FIRST = 0x80; // 0x8n: a DAC byte, then n samples
constexpr std::uint8_t CMD_YM2612_DAC_LAST = 0x8F;

// Data block: 0x67 0x66 type size32, then `size` bytes. Size bit 31 marks a
// block for the second of two chips.
constexpr std::uint8_t DATA_BLOCK_MARK = 0x66;
constexpr std::size_t DATA_BLOCK_HEADER = 7;
constexpr std::uint32_t BLOCK_SIZE_MASK = 0x7FFFFFFF;
// Type 0x81: the YM2608's ADPCM memory. Its data opens with the memory's
// whole size (32 bits) and the byte address the rest goes to (32 bits).
constexpr std::uint8_t BLOCK_YM2608_ADPCM = 0x81;
constexpr std::size_t ADPCM_BLOCK_FIELDS = 8;
constexpr std::uint32_t ADPCM_MEMORY_SIZE = SAMPLE_MEMORY_SIZE;

// The header's clock fields, each naming a chip the log drives when it is
// not 0, and the version from which the field exists. YM2413 stands for the
// YM2612 and YM2151 too before 1.10.
struct ChipField {
    std::size_t offset;
    std::uint32_t version;
    std::string_view name;
};
// clang-format off
constexpr ChipField CHIP_FIELDS[] = {
    {0x0C, 0x100, "SN76489"}, {0x10, 0x100, "YM2413"},  {0x2C, 0x110, "YM2612"},   {0x30, 0x110, "YM2151"},
    {0x38, 0x151, "SegaPCM"}, {0x40, 0x151, "RF5C68"},  {0x44, 0x151, "YM2203"},   {0x48, 0x151, "YM2608"},
    {0x4C, 0x151, "YM2610"},  {0x50, 0x151, "YM3812"},  {0x54, 0x151, "YM3526"},   {0x58, 0x151, "Y8950"},
    {0x5C, 0x151, "YMF262"},  {0x60, 0x151, "YMF278B"}, {0x64, 0x151, "YMF271"},   {0x68, 0x151, "YMZ280B"},
    {0x6C, 0x151, "RF5C164"}, {0x70, 0x151, "PWM"},     {0x74, 0x151, "AY8910"},   {0x80, 0x161, "GB DMG"},
    {0x84, 0x161, "NES APU"}, {0x88, 0x161, "MultiPCM"}, {0x8C, 0x161, "uPD7759"}, {0x90, 0x161, "OKIM6258"},
    {0x98, 0x161, "OKIM6295"}, {0x9C, 0x161, "K051649"}, {0xA0, 0x161, "K054539"}, {0xA4, 0x161, "HuC6280"},
    {0xA8, 0x161, "C140"},    {0xAC, 0x161, "K053260"}, {0xB0, 0x161, "Pokey"},    {0xB4, 0x161, "QSound"},
    {0xB8, 0x171, "SCSP"},    {0xC0, 0x171, "WonderSwan"}, {0xC4, 0x171, "VSU"},   {0xC8, 0x171, "SAA1099"},
    {0xCC, 0x171, "ES5503"},  {0xD0, 0x171, "ES5506"},  {0xD8, 0x171, "X1-010"},   {0xDC, 0x171, "C352"},
    {0xE0, 0x171, "GA20"},
};
// clang-format on

// The chips the header names, from the fields that its version has and that
// lie before the data.
void listChips(std::span<const std::uint8_t> file, std::uint32_t version, std::size_t dataStart, MusicLog& log)
{
    for (const ChipField& field : CHIP_FIELDS) {
        if (version < field.version || field.offset + 4 > dataStart || field.offset + 4 > file.size()) {
            continue;
        }
        const std::uint32_t clock = le32(file, field.offset);
        if ((clock & CLOCK_MASK) != 0) {
            const int count = (clock & CLOCK_DUAL) != 0 ? 2 : 1;
            log.chips.push_back(LogChip{std::string(field.name), clock & CLOCK_MASK, count});
        }
    }
}

// GD3: "Gd3 ", version, length, then eleven NUL-terminated UTF-16LE strings:
// track, track (Japanese), game, game (J), system, system (J), author,
// author (J), date, converted by, notes.
constexpr std::size_t GD3_HEADER = 12;
enum Gd3Field { GD3_TRACK, GD3_TRACK_J, GD3_GAME, GD3_GAME_J, GD3_SYSTEM, GD3_SYSTEM_J, GD3_AUTHOR,
                GD3_AUTHOR_J, GD3_FIELDS = 11 };

// The whole length of every command, 0 for a byte that is no command. Other
// chips' commands and the reserved ranges have the lengths the format
// publishes for them; the data block's length is read from it.
constexpr std::array<std::uint8_t, 256> COMMAND_LENGTH = [] {
    std::array<std::uint8_t, 256> length{};
    for (int c = 0x30; c <= 0x3F; ++c) { length[c] = 2; } // one operand
    for (int c = 0x40; c <= 0x4E; ++c) { length[c] = 3; } // two operands
    length[0x4F] = 2;                                     // Game Gear stereo
    length[0x50] = 2;                                     // SN76489
    for (int c = 0x51; c <= 0x5F; ++c) { length[c] = 3; } // register, value
    length[CMD_WAIT] = 3;
    length[CMD_WAIT_NTSC] = 1;
    length[CMD_WAIT_PAL] = 1;
    length[CMD_END] = 1;
    length[CMD_PCM_RAM_WRITE] = 12;
    for (int c = 0x70; c <= 0x8F; ++c) { length[c] = 1; }
    length[0x90] = 5; // DAC stream set-up
    length[0x91] = 5; // stream data
    length[0x92] = 6; // stream frequency
    length[0x93] = 11; // stream start
    length[0x94] = 2; // stream stop
    length[0x95] = 5; // stream fast start
    for (int c = 0x96; c <= 0x9F; ++c) { length[c] = 0; }
    for (int c = 0xA0; c <= 0xBF; ++c) { length[c] = 3; }
    for (int c = 0xC0; c <= 0xDF; ++c) { length[c] = 4; }
    for (int c = 0xE0; c <= 0xFF; ++c) { length[c] = 5; }
    return length;
}();

// Reads the GD3 tag; false when it is not one (the caller notes it, the song plays anyway).
bool readGd3(std::span<const std::uint8_t> file, std::size_t at, MusicTags& tags)
{
    if (at + GD3_HEADER > file.size() || !std::equal(file.begin() + at, file.begin() + at + 4, "Gd3 ")) {
        return false;
    }
    const std::size_t length = le32(file, at + 8);
    if (length > file.size() - at - GD3_HEADER) {
        return false;
    }
    std::array<std::string, GD3_FIELDS> fields;
    std::size_t p = at + GD3_HEADER;
    const std::size_t end = p + length;
    for (std::string& field : fields) {
        const std::size_t start = p;
        while (p + 1 < end && (file[p] != 0 || file[p + 1] != 0)) {
            p += 2;
        }
        if (p + 1 >= end) {
            return false;
        }
        field = cleanTag(utf16ToUtf8(file.subspan(start, p - start)));
        p += 2;
    }
    const auto pick = [&](int english, int japanese) {
        return fields[english].empty() ? fields[japanese] : fields[english];
    };
    tags.title = pick(GD3_TRACK, GD3_TRACK_J);
    tags.game = pick(GD3_GAME, GD3_GAME_J);
    tags.system = pick(GD3_SYSTEM, GD3_SYSTEM_J);
    tags.author = pick(GD3_AUTHOR, GD3_AUTHOR_J);
    return true;
}

struct VgmReader {
    std::span<const std::uint8_t> file;
    MusicLog& log;
    std::string& error;
    std::uint64_t samples = 0;
    std::map<std::uint8_t, std::size_t> skipped; // other chips' commands, by command byte

    std::int64_t now() const
    {
        return static_cast<std::int64_t>(static_cast<double>(samples) * 1e9 / SAMPLE_RATE + 0.5);
    }

    bool fail(const std::string& text)
    {
        error = text;
        return false;
    }

    bool dataBlock(std::size_t at)
    {
        if (at + DATA_BLOCK_HEADER > file.size()) {
            return fail("truncated data block at offset " + hexText(at));
        }
        if (file[at + 1] != DATA_BLOCK_MARK) {
            return fail("malformed data block at offset " + hexText(at) + " (0x66 expected after 0x67)");
        }
        const std::uint8_t type = file[at + 2];
        const std::uint32_t sizeField = le32(file, at + 3);
        const std::size_t size = sizeField & BLOCK_SIZE_MASK;
        if (size > file.size() - at - DATA_BLOCK_HEADER) {
            return fail("truncated data block at offset " + hexText(at) + ": " + std::to_string(size) +
                        " bytes announced, " + std::to_string(file.size() - at - DATA_BLOCK_HEADER) + " left");
        }
        const auto data = file.subspan(at + DATA_BLOCK_HEADER, size);
        if (type != BLOCK_YM2608_ADPCM || (sizeField & ~BLOCK_SIZE_MASK) != 0) {
            ++skipped[CMD_DATA_BLOCK];
            return true;
        }
        if (size < ADPCM_BLOCK_FIELDS) {
            return fail("ADPCM data block at offset " + hexText(at) + " is too short for its address fields");
        }
        const std::uint32_t start = le32(data, 4);
        const std::size_t count = size - ADPCM_BLOCK_FIELDS;
        if (start > ADPCM_MEMORY_SIZE || count > ADPCM_MEMORY_SIZE - start) {
            return fail("ADPCM data block at offset " + hexText(at) + " passes the end of the chip's 256 KiB" +
                        " memory (address " + hexText(start) + ", " + std::to_string(count) + " bytes)");
        }
        // An empty block, which real files carry, loads nothing.
        if (count != 0) {
            MemoryBlock block;
            block.address = start;
            block.bytes.assign(data.begin() + ADPCM_BLOCK_FIELDS, data.end());
            block.atWrite = log.writes.size();
            block.offset = at;
            log.blocks.push_back(std::move(block));
        }
        return true;
    }

    // Runs the commands from `begin` to the end-of-data command.
    bool commands(std::size_t begin, LoopPoint loop)
    {
        std::size_t p = begin;
        while (true) {
            if (p >= file.size()) {
                return fail("truncated: the data ends at offset " + hexText(p) +
                            " without the end-of-data command 0x66");
            }
            if (!passLoopPoint(loop, p, now(), log, error)) {
                return false;
            }
            const std::uint8_t command = file[p];
            if (command == CMD_DATA_BLOCK) {
                if (!dataBlock(p)) {
                    return false;
                }
                p += DATA_BLOCK_HEADER + (le32(file, p + 3) & BLOCK_SIZE_MASK);
                continue;
            }
            const std::size_t length = COMMAND_LENGTH[command];
            if (length == 0) {
                return fail("unknown VGM command " + hexText(command) + " at offset " + hexText(p));
            }
            if (length > file.size() - p) {
                return fail("truncated: command " + hexText(command) + " at offset " + hexText(p) + " needs " +
                            std::to_string(length) + " bytes");
            }
            if (samples > MAX_LOG_SAMPLES) {
                return fail("the log lasts longer than 24 hours at offset " + hexText(p));
            }
            switch (command) {
            case CMD_YM2608_PORT0:
            case CMD_YM2608_PORT1:
                addWrite(log, now(), command == CMD_YM2608_PORT1, file[p + 1], file[p + 2]);
                break;
            case CMD_WAIT:
                samples += le16(file, p + 1);
                break;
            case CMD_WAIT_NTSC:
                samples += WAIT_NTSC;
                break;
            case CMD_WAIT_PAL:
                samples += WAIT_PAL;
                break;
            case CMD_END:
                if (!loopPointPassed(loop, "end-of-data command", error)) {
                    return false;
                }
                log.endNs = now();
                return true;
            default:
                if (command >= CMD_WAIT_SHORT_FIRST && command <= CMD_WAIT_SHORT_LAST) {
                    samples += command - CMD_WAIT_SHORT_FIRST + 1U;
                } else if (command >= CMD_YM2612_DAC_FIRST && command <= CMD_YM2612_DAC_LAST) {
                    samples += command - CMD_YM2612_DAC_FIRST;
                    ++skipped[CMD_YM2612_DAC_FIRST];
                } else {
                    ++skipped[command];
                }
                break;
            }
            p += length;
        }
    }
};

} // namespace

bool parseVgm(std::span<const std::uint8_t> file, MusicLog& log, std::string& error)
{
    if (!headerFits(file, HEADER_MIN, "VGM", error)) {
        return false;
    }
    log.format = LogFormat::VGM;
    const std::uint32_t version = le32(file, OFFSET_VERSION);
    std::size_t dataStart = HEADER_MIN;
    if (version >= VERSION_DATA_OFFSET && le32(file, OFFSET_DATA) != 0) {
        dataStart = OFFSET_DATA + std::size_t{le32(file, OFFSET_DATA)};
    }
    if (dataStart > file.size()) {
        error = "truncated: the data offset " + hexText(dataStart) + " lies past the file's end";
        return false;
    }
    if (version > VERSION_NEWEST_KNOWN) {
        log.notes.push_back("VGM version " + hexText(version) + " is newer than 1.71; read as 1.71");
    }
    const std::size_t eof = OFFSET_EOF + std::size_t{le32(file, OFFSET_EOF)};
    if (le32(file, OFFSET_EOF) != 0 && eof > file.size()) {
        error = "truncated: the header gives " + std::to_string(eof) + " bytes, the file has " +
                std::to_string(file.size());
        return false;
    }

    // A header field counts only where the header reaches, before the data.
    std::uint32_t clock = 0;
    if (version >= VERSION_YM2608 && OFFSET_YM2608_CLOCK + 4 <= dataStart) {
        clock = le32(file, OFFSET_YM2608_CLOCK);
    }
    if ((clock & CLOCK_MASK) == 0) {
        error = "no YM2608 in this log (its header gives the chip no clock)";
        return false;
    }
    log.clockHz = clock & CLOCK_MASK;
    listChips(file, version, dataStart, log);
    if ((clock & CLOCK_DUAL) != 0) {
        log.notes.push_back("the log drives two YM2608s; only the first is played");
    }

    if (le32(file, OFFSET_GD3) != 0) {
        const std::size_t gd3 = OFFSET_GD3 + std::size_t{le32(file, OFFSET_GD3)};
        if (!readGd3(file, gd3, log.tags)) {
            log.notes.push_back("unreadable GD3 tag at offset " + hexText(gd3) + "; ignored");
        }
    }
    const std::size_t loopAt =
        le32(file, OFFSET_LOOP) != 0 ? OFFSET_LOOP + std::size_t{le32(file, OFFSET_LOOP)} : 0;
    LoopPoint loop;
    if (!readLoopPoint(loopAt, dataStart, file.size(), "data", loop, error)) {
        return false;
    }

    VgmReader reader{file, log, error, 0, {}};
    if (!reader.commands(dataStart, loop)) {
        return false;
    }
    if (!reader.skipped.empty()) {
        std::size_t total = 0;
        std::string list;
        for (const auto& [command, count] : reader.skipped) {
            total += count;
            list += (list.empty() ? "" : ", ") + hexText(command);
        }
        log.notes.push_back("skipped " + std::to_string(total) + " commands for other chips or other data (" +
                            list + ")");
    }
    return true;
}

} // namespace music_detail
