// Reading a log file, choosing its format, and what both formats share: the
// folding of the chip's memory-write sequences into memory blocks, the
// length of a play.
#include "music/log_parsers.h"

#include "chip/ym2608.h"
#include "music/file_bytes.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include <zlib.h>

namespace {

constexpr std::uint8_t GZIP_MAGIC0 = 0x1F;
constexpr std::uint8_t GZIP_MAGIC1 = 0x8B;
constexpr int GZIP_WINDOW = 16 + MAX_WBITS; // zlib's flag for a gzip wrapper

// The ADPCM unit's registers that take part in writing its memory.
//   0x100 control 1   x------- start playback
//                     -x------ record: with memory-data, write memory
//                     --x----- memory-data (external memory access)
//                     -------x reset
//   0x101 control 2   ------x- memory of 8-bit width (addresses in units of 32 bytes)
//   0x102/0x103  start address, 0x104/0x105 stop address (inclusive), in units
//   0x108        memory data: each write stores one byte and moves on
constexpr std::uint16_t REG_CONTROL1 = BANK1_BASE + ADPCM_CONTROL1;
constexpr std::uint16_t REG_CONTROL2 = BANK1_BASE + ADPCM_CONTROL2;
constexpr std::uint16_t REG_STOP_HIGH = BANK1_BASE + ADPCM_STOP_HIGH;
constexpr std::uint16_t REG_MEMORY_DATA = BANK1_BASE + ADPCM_MEMORY_DATA;
constexpr std::uint8_t CONTROL1_MODE_BITS = CONTROL1_START | CONTROL1_RECORD | CONTROL1_MEMORY_DATA | CONTROL1_RESET;
constexpr std::uint8_t CONTROL1_MEMORY_WRITE = CONTROL1_RECORD | CONTROL1_MEMORY_DATA;
constexpr std::uint8_t CONTROL2_WIDE = CONTROL2_WIDE_MEMORY;
constexpr std::uint32_t UNIT_BYTES = ADDRESS_UNIT;
constexpr std::uint32_t MEMORY_BYTES = SAMPLE_MEMORY_SIZE;

// One memory-write sequence as it is found: the writes that carry its data.
struct Sequence {
    std::size_t opened = 0;                 // the control 1 write that began it
    std::uint32_t address = 0;              // where the next byte goes
    std::uint32_t limit = 0;                // one past the stop address's last byte
    std::vector<std::size_t> dataWrites;
    std::vector<std::uint8_t> bytes;
    bool broken = false;                    // left as plain writes
};

} // namespace

namespace music_detail {

std::string hexText(std::size_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%zx", value);
    return text;
}

namespace {

// The ADPCM unit's registers control 1 to stop address high as last
// written, by their number in the second bank; -1 before the first write.
using UnitRegisters = std::array<int, ADPCM_STOP_HIGH + 1>;

// One of the unit's addresses, from its low and its high register, in units.
std::uint32_t unitAddress(const UnitRegisters& regs, std::uint8_t low, std::uint8_t high)
{
    return static_cast<std::uint32_t>(regs[low] | (regs[high] << 8));
}

// At a sequence's first data write: where its bytes go and how far they may
// go, from the registers as last written. Where the log has not yet set the
// memory's width or an address, the chip's own values apply, which the log
// does not tell; memory that is not 8 bits wide counts its addresses in
// other units. Such a sequence stays as plain writes.
void openSequence(Sequence& s, const UnitRegisters& regs)
{
    const bool known = regs[ADPCM_CONTROL2] >= 0 && regs[ADPCM_START_LOW] >= 0 &&
                       regs[ADPCM_START_HIGH] >= 0 && regs[ADPCM_STOP_LOW] >= 0 && regs[ADPCM_STOP_HIGH] >= 0;
    s.broken = !known || (regs[ADPCM_CONTROL2] & CONTROL2_WIDE) == 0;
    s.address = unitAddress(regs, ADPCM_START_LOW, ADPCM_START_HIGH) * UNIT_BYTES;
    s.limit = std::min<std::uint32_t>((unitAddress(regs, ADPCM_STOP_LOW, ADPCM_STOP_HIGH) + 1) * UNIT_BYTES,
                                      MEMORY_BYTES);
}

// The memory-write sequences among the writes at the song's start, each
// with its data writes and bytes, and marked broken where folding it would
// not do what the chip does.
std::vector<Sequence> findSequences(const MusicLog& log)
{
    std::vector<Sequence> found;
    UnitRegisters unitRegs{-1, -1, -1, -1, -1, -1};
    bool armed = false; // control 1 in memory-write mode
    Sequence* open = nullptr;

    const auto close = [&] {
        if (open != nullptr && (log.looped && log.loopWrite > open->opened && log.loopWrite <= open->dataWrites.back())) {
            open->broken = true; // a loop pass would start inside it
        }
        open = nullptr;
    };
    for (std::size_t i = 0; i < log.writes.size() && log.writes[i].dueNs == 0; ++i) {
        const LogWrite& w = log.writes[i];
        if (w.reg == REG_CONTROL1) {
            close();
            armed = (w.value & CONTROL1_MODE_BITS) == CONTROL1_MEMORY_WRITE;
            if (armed) {
                found.push_back(Sequence{});
                found.back().opened = i;
            }
        } else if (w.reg >= REG_CONTROL2 && w.reg <= REG_STOP_HIGH) {
            // Moving the addresses or the memory's width in mid-write is left to the chip.
            if (open != nullptr) {
                open->broken = true;
                open = nullptr;
                armed = false;
            }
        } else if (w.reg == REG_MEMORY_DATA && armed) {
            if (open == nullptr) {
                open = &found.back();
                openSequence(*open, unitRegs);
            }
            if (open->address + open->bytes.size() >= open->limit) {
                open->broken = true;
            }
            open->dataWrites.push_back(i);
            open->bytes.push_back(w.value);
        }
        if (w.reg >= REG_CONTROL1 && w.reg <= REG_STOP_HIGH) {
            unitRegs[w.reg - BANK1_BASE] = w.value;
        }
    }
    // A sequence still open when the song moves on continues on the chip at
    // later times: its bytes must then go out as the log has them.
    if (open != nullptr) {
        open->broken = true;
    }
    return found;
}

// Turns the sequences not broken into memory blocks and drops their data
// writes from the log.
void foldSequences(MusicLog& log, const std::vector<Sequence>& found)
{
    std::vector<bool> folded(log.writes.size(), false);
    std::vector<MemoryBlock> blocks;
    for (const Sequence& s : found) {
        if (s.broken || s.dataWrites.empty()) {
            continue;
        }
        for (std::size_t index : s.dataWrites) {
            folded[index] = true;
        }
        MemoryBlock block;
        block.address = s.address;
        block.bytes = s.bytes;
        block.atWrite = s.dataWrites.front();
        blocks.push_back(std::move(block));
    }
    if (blocks.empty()) {
        return;
    }
    // Drop the folded writes; every index that counts writes moves down by
    // the folded writes before it.
    std::vector<std::size_t> keptBefore(log.writes.size() + 1, 0);
    std::vector<LogWrite> kept;
    kept.reserve(log.writes.size());
    for (std::size_t w = 0; w < log.writes.size(); ++w) {
        keptBefore[w] = kept.size();
        if (!folded[w]) {
            kept.push_back(log.writes[w]);
        }
    }
    keptBefore[log.writes.size()] = kept.size();
    log.memoryWritesFolded = log.writes.size() - kept.size();
    log.loopWrite = keptBefore[log.loopWrite];
    for (MemoryBlock& block : log.blocks) {
        block.atWrite = keptBefore[block.atWrite];
    }
    for (MemoryBlock& block : blocks) {
        block.atWrite = keptBefore[block.atWrite];
        log.blocks.push_back(std::move(block));
    }
    std::stable_sort(log.blocks.begin(), log.blocks.end(),
                     [](const MemoryBlock& a, const MemoryBlock& b) { return a.atWrite < b.atWrite; });
    log.writes = std::move(kept);
}

} // namespace

void foldMemoryWrites(MusicLog& log)
{
    foldSequences(log, findSequences(log));
}

} // namespace music_detail

using namespace music_detail;

bool readMusicFile(const char* path, std::vector<std::uint8_t>& bytes, std::string& error)
{
    const FileRead read = readFileBytes(path, MAX_MUSIC_FILE, bytes, error);
    if (read == FileRead::TOO_LARGE) {
        error = "larger than " + std::to_string(MAX_MUSIC_FILE >> 20) + " MiB; not a music log";
    }
    return read == FileRead::DONE;
}

bool inflateGzip(std::span<const std::uint8_t> packed, std::vector<std::uint8_t>& out, std::string& error)
{
    z_stream stream{};
    if (inflateInit2(&stream, GZIP_WINDOW) != Z_OK) {
        error = "gzip error: cannot start zlib";
        return false;
    }
    out.clear();
    std::vector<std::uint8_t> chunk(65536);
    stream.next_in = const_cast<Bytef*>(packed.data());
    stream.avail_in = static_cast<uInt>(packed.size());
    int status = Z_OK;
    while (status == Z_OK) {
        stream.next_out = chunk.data();
        stream.avail_out = static_cast<uInt>(chunk.size());
        status = inflate(&stream, Z_NO_FLUSH);
        out.insert(out.end(), chunk.begin(), chunk.end() - stream.avail_out);
        if (out.size() > MAX_MUSIC_FILE) {
            inflateEnd(&stream);
            error = "gzip error: unpacks to more than " + std::to_string(MAX_MUSIC_FILE >> 20) + " MiB";
            return false;
        }
        if (status == Z_BUF_ERROR && stream.avail_in == 0) {
            break; // input used up before the stream's end
        }
    }
    const std::size_t at = stream.total_in;
    inflateEnd(&stream);
    if (status != Z_STREAM_END) {
        error = status == Z_BUF_ERROR || status == Z_OK
                    ? "gzip error: the compressed data ends early (truncated at offset " + hexText(at) + ")"
                    : "gzip error: corrupt compressed data near offset " + hexText(at);
        return false;
    }
    return true;
}

bool parseMusicLog(std::span<const std::uint8_t> bytes, MusicLog& log, std::string& error)
{
    log = MusicLog{};
    if (bytes.size() >= 2 && bytes[0] == GZIP_MAGIC0 && bytes[1] == GZIP_MAGIC1) {
        std::vector<std::uint8_t> unpacked;
        if (!inflateGzip(bytes, unpacked, error)) {
            return false;
        }
        if (unpacked.size() >= 2 && unpacked[0] == GZIP_MAGIC0 && unpacked[1] == GZIP_MAGIC1) {
            error = "gzip inside gzip; not a music log";
            return false;
        }
        return parseMusicLog(unpacked, log, error);
    }
    bool parsed = false;
    if (bytes.size() >= 4 && std::memcmp(bytes.data(), "Vgm ", 4) == 0) {
        parsed = parseVgm(bytes, log, error);
    } else if (bytes.size() >= 3 && std::memcmp(bytes.data(), "S98", 3) == 0) {
        parsed = parseS98(bytes, log, error);
    } else {
        error = "not a VGM or S98 log (it starts with neither \"Vgm \" nor \"S98\")";
        return false;
    }
    if (!parsed) {
        return false;
    }
    foldMemoryWrites(log);
    return true;
}

std::int64_t songLength(const MusicLog& log, int loops)
{
    if (!log.looped || loops <= 1) {
        return log.endNs;
    }
    return log.endNs + static_cast<std::int64_t>(loops - 1) * (log.endNs - log.loopNs);
}
