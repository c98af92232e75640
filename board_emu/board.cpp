#include "board_emu/board.h"

#include "chip/ym2608.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <iterator>

namespace {

// Register numbers and bits come from chip/ym2608.h, where they are drawn.
constexpr const char* RHYTHM_NAMES[] = {"bass drum", "snare drum", "top cymbal", "hi-hat", "tom", "rim shot"};

struct Board {
    BoardSetup setup;
    BoardState state;
};

Board board;

void appendf(std::string& text, const char* format, ...) __attribute__((format(printf, 2, 3)));

void appendf(std::string& text, const char* format, ...)
{
    char line[160];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    text += line;
}

std::uint16_t le16(std::uint8_t low, std::uint8_t high)
{
    return static_cast<std::uint16_t>(low | (high << 8));
}

std::uint16_t bank1Word(std::uint8_t lowRegister)
{
    return le16(board.state.bank1[lowRegister], board.state.bank1[lowRegister + 1]);
}

const FaultRule* faultFor(std::uint8_t opcode, std::uint32_t ordinal)
{
    for (const FaultRule& rule : board.setup.faults) {
        if (rule.opcode == opcode && rule.ordinal == ordinal) {
            return &rule;
        }
    }
    return nullptr;
}

void answer(FrameOutcome& out, std::uint8_t byte)
{
    out.reply[0] = byte;
    out.replyLength = 1;
}

void refuse(FrameOutcome& out, const char* reason)
{
    answer(out, 0x00);
    appendf(out.text, ": %s, answered 0x00", reason);
}

void describeRhythm(std::string& text, std::uint8_t reg, std::uint8_t value)
{
    if (reg == RHYTHM_KEY) {
        appendf(text, ", rhythm %s 0x%02x", (value & RHYTHM_DUMP) ? "dump" : "key-on",
                value & RHYTHM_KEY_BITS);
        return;
    }
    if (reg == RHYTHM_TOTAL_LEVEL) {
        appendf(text, ", rhythm total level 0x%02x", value & RHYTHM_TOTAL_LEVEL_MAX);
        return;
    }
    if (reg >= RHYTHM_INSTRUMENT_FIRST && reg <= RHYTHM_INSTRUMENT_LAST) {
        const char* sides[] = {"muted", "right", "left", "left+right"};
        appendf(text, ", rhythm %s %s, level 0x%02x", RHYTHM_NAMES[reg - RHYTHM_INSTRUMENT_FIRST],
                sides[value >> 6], value & RHYTHM_LEVEL_MAX);
    }
}

void describeAdpcm(std::string& text, std::uint8_t reg, std::uint8_t value)
{
    switch (reg) {
    case ADPCM_CONTROL1:
        if (value & CONTROL1_START) {
            appendf(text, ", ADPCM start%s, units %u..%u", (value & CONTROL1_REPEAT) ? " with repeat" : "",
                    unsigned{bank1Word(ADPCM_START_LOW)}, unsigned{bank1Word(ADPCM_STOP_LOW)});
        } else if (value & CONTROL1_MEMORY_DATA) {
            appendf(text, ", ADPCM memory-data mode%s", (value & CONTROL1_RESET) ? " with reset" : "");
        } else {
            appendf(text, ", ADPCM stop%s", (value & CONTROL1_RESET) ? " with reset" : "");
        }
        return;
    case ADPCM_CONTROL2: {
        const char* sides[] = {"muted", "right", "left", "left+right"};
        appendf(text, ", ADPCM output %s, memory %s wide", sides[value >> 6],
                (value & CONTROL2_WIDE_MEMORY) ? "8 bits" : "1 bit");
        return;
    }
    case ADPCM_START_LOW:
    case ADPCM_START_HIGH:
        appendf(text, ", ADPCM start unit %s byte", reg == ADPCM_START_LOW ? "low" : "high");
        return;
    case ADPCM_STOP_LOW:
    case ADPCM_STOP_HIGH:
        appendf(text, ", ADPCM stop unit %s byte", reg == ADPCM_STOP_LOW ? "low" : "high");
        return;
    case ADPCM_DELTA_N_LOW:
    case ADPCM_DELTA_N_HIGH:
        appendf(text, ", ADPCM delta-N %s byte", reg == ADPCM_DELTA_N_LOW ? "low" : "high");
        return;
    case ADPCM_LEVEL:
        appendf(text, ", ADPCM level 0x%02x", value);
        return;
    default:
        return;
    }
}

// One byte through the ADPCM data register. The chip takes it only in
// memory-write mode, and not past the end of the stop unit.
void writeMemoryData(std::uint8_t value, FrameOutcome& out)
{
    BoardState& s = board.state;
    const std::uint8_t control1 = s.bank1[ADPCM_CONTROL1];
    const std::uint8_t mode = CONTROL1_RECORD | CONTROL1_MEMORY_DATA;
    if ((control1 & mode) != mode || (control1 & CONTROL1_RESET)) {
        return;
    }
    if (s.adpcmWriteFromStart) {
        s.adpcmWriteAddress = std::size_t{bank1Word(ADPCM_START_LOW)} * ADDRESS_UNIT;
        s.adpcmWriteFromStart = false;
    }
    const std::size_t end = (std::size_t{bank1Word(ADPCM_STOP_LOW)} + 1) * ADDRESS_UNIT;
    if (s.adpcmWriteAddress >= end || s.adpcmWriteAddress >= s.memory.size()) {
        appendf(out.text, ", ADPCM memory write past the stop unit, dropped");
        return;
    }
    s.memory[s.adpcmWriteAddress] = value;
    out.committedOffset = s.adpcmWriteAddress;
    out.committedSize = 1;
    s.adpcmWriteAddress += 1;
}

void recordPlay()
{
    BoardState& s = board.state;
    if (s.plays.size() >= PLAY_HISTORY) {
        return;
    }
    s.plays.push_back(s.adpcm);
}

// ---- The opcodes -----------------------------------------------------------
//
// Each opcode has a row below: what its frame says, in the board's terms,
// before the board acts on it (the base line, which a scripted fault also
// starts from), and what the board does with it. The rows are checked against
// the frame table when this file is compiled.

using FrameBytes = std::span<const std::uint8_t>;

std::string describeStop(FrameBytes)
{
    return "stop";
}

void stop(FrameBytes, FrameOutcome& out)
{
    board.state.running = false;
    answer(out, STATUS_OK);
}

std::string describeWpReset(FrameBytes)
{
    std::string text;
    appendf(text, "wp reset, %zu stream bytes dropped", board.state.stream.size());
    return text;
}

void wpReset(FrameBytes, FrameOutcome& out)
{
    board.state.stream.clear();
    answer(out, STATUS_OK);
}

std::string describeStreamData(FrameBytes f)
{
    std::string text;
    appendf(text, "stream %zu bytes at %zu", f.size() - STREAM_DATA_HEADER, board.state.stream.size());
    return text;
}

void streamData(FrameBytes f, FrameOutcome& out)
{
    BoardState& s = board.state;
    FrameBytes data = f.subspan(STREAM_DATA_HEADER);
    if (data.empty()) {
        refuse(out, "no data bytes");
        return;
    }
    if (s.stream.size() + data.size() > STREAM_BUFFER_SIZE) {
        refuse(out, "stream buffer full");
        return;
    }
    s.stream.insert(s.stream.end(), data.begin(), data.end());
    answer(out, STATUS_OK);
}

std::string describeStart(FrameBytes f)
{
    std::string text;
    appendf(text, "start 0x%02x on %zu stream bytes", f[1], board.state.stream.size());
    return text;
}

void start(FrameBytes f, FrameOutcome& out)
{
    if (f[1] != START_ARGUMENT) {
        refuse(out, "unknown start argument");
        return;
    }
    board.state.running = true;
    answer(out, STATUS_OK);
}

std::string describeCacheWrite(FrameBytes f)
{
    std::string text;
    appendf(text, "cache write %u bytes at offset %u", unsigned{f[1]}, unsigned{le16(f[2], f[3])});
    return text;
}

void cacheWrite(FrameBytes f, FrameOutcome& out)
{
    std::size_t count = f[1];
    std::size_t offset = le16(f[2], f[3]);
    if (count == 0 || count > MAX_CHUNK) {
        refuse(out, "count outside 1..60");
        return;
    }
    if (offset + count > CACHE_PAGE_SIZE) {
        refuse(out, "past the page end");
        return;
    }
    std::copy_n(f.begin() + CACHE_WRITE_HEADER, count, board.state.cache.begin() + offset);
    answer(out, STATUS_OK);
}

std::string describeCacheCommit(FrameBytes f)
{
    std::string text;
    appendf(text, "commit %u bytes to unit %u", unsigned{le16(f[1], f[2])}, unsigned{le16(f[3], f[4])});
    return text;
}

void cacheCommit(FrameBytes f, FrameOutcome& out)
{
    BoardState& s = board.state;
    std::size_t size = le16(f[1], f[2]);
    std::size_t destination = std::size_t{le16(f[3], f[4])} * ADDRESS_UNIT;
    if (size % COMMIT_GRANULE != 0) {
        refuse(out, "not a multiple of 512");
        return;
    }
    if (size > CACHE_PAGE_SIZE) {
        refuse(out, "larger than the cache");
        return;
    }
    if (destination + size > SAMPLE_MEMORY_SIZE) {
        refuse(out, "past the end of sample memory");
        return;
    }
    std::copy_n(s.cache.begin(), size, s.memory.begin() + destination);
    out.committedOffset = destination;
    out.committedSize = size;
    answer(out, STATUS_OK);
}

std::string describeIdentify(FrameBytes)
{
    return "identify";
}

void identify(FrameBytes, FrameOutcome& out)
{
    std::copy(board.setup.identify.begin(), board.setup.identify.end(), out.reply.begin());
    out.replyLength = board.setup.identify.size();
}

std::string describeBankWrite(FrameBytes f)
{
    std::string text;
    appendf(text, "bank %d: 0x%02x <- 0x%02x", f[0] == OP_WRITE_BANK1 ? 1 : 0, f[1], f[2]);
    return text;
}

void bank0Write(FrameBytes f, FrameOutcome& out)
{
    board.state.bank0[f[1]] = f[2];
    describeRhythm(out.text, f[1], f[2]);
}

void bank1Write(FrameBytes f, FrameOutcome& out)
{
    BoardState& s = board.state;
    s.bank1[f[1]] = f[2];
    out.adpcmStart = synth::applyAdpcmWrite(s.adpcm, f[1], f[2]);
    describeAdpcm(out.text, f[1], f[2]);
    if (f[1] == ADPCM_CONTROL1 || f[1] == ADPCM_START_LOW || f[1] == ADPCM_START_HIGH) {
        s.adpcmWriteFromStart = true;
    } else if (f[1] == ADPCM_MEMORY_DATA) {
        writeMemoryData(f[2], out);
    }
    if (f[1] == ADPCM_CONTROL1 && (f[2] & CONTROL1_START)) {
        recordPlay();
    }
}

std::string describeBacklight(FrameBytes f)
{
    std::string text;
    appendf(text, "backlight 0x%02x", f[1]);
    return text;
}

void backlight(FrameBytes, FrameOutcome& out)
{
    const std::uint8_t state = board.state.backlight;
    answer(out, state);
    appendf(out.text, ", state %u (%s)", unsigned{state},
            state == 0 ? "off" : (state == 1 ? "on" : "unknown"));
}

std::string describeN(FrameBytes)
{
    return "n";
}

// OP_N changes nothing the board keeps and has no reply.
void opN(FrameBytes, FrameOutcome&) {}

struct OpcodeRow {
    std::uint8_t opcode;
    std::string (*describe)(FrameBytes frame);
    void (*carryOut)(FrameBytes frame, FrameOutcome& out);
};

constexpr OpcodeRow OPCODE_ROWS[] = {
    {OP_STOP, describeStop, stop},
    {OP_WP_RESET, describeWpReset, wpReset},
    {OP_STREAM_DATA, describeStreamData, streamData},
    {OP_START, describeStart, start},
    {OP_CACHE_WRITE, describeCacheWrite, cacheWrite},
    {OP_CACHE_COMMIT, describeCacheCommit, cacheCommit},
    {OP_IDENTIFY, describeIdentify, identify},
    {OP_WRITE_BANK0, describeBankWrite, bank0Write},
    {OP_WRITE_BANK1, describeBankWrite, bank1Write},
    {OP_BACKLIGHT, describeBacklight, backlight},
    {OP_N, describeN, opN},
};

constexpr const OpcodeRow* findRow(std::uint8_t opcode)
{
    for (const OpcodeRow& row : OPCODE_ROWS) {
        if (row.opcode == opcode) {
            return &row;
        }
    }
    return nullptr;
}

// One row for every opcode of the frame table, and none besides.
static_assert(std::size(OPCODE_ROWS) == std::size(FRAME_TABLE));
static_assert([] {
    for (const FrameInfo& info : FRAME_TABLE) {
        if (findRow(info.opcode) == nullptr) {
            return false;
        }
    }
    return true;
}());

void applyFault(const FrameInfo& info, const FaultRule& rule, FrameOutcome& out)
{
    if (rule.shortReply) {
        // One byte fewer than due: nothing for a status or state byte, three
        // of the four identification bytes.
        out.replyLength = info.replyLength - 1;
        std::copy_n(board.setup.identify.begin(), out.replyLength, out.reply.begin());
        appendf(out.text, ": answered %zu of %u bytes, hanging up", out.replyLength,
                unsigned{info.replyLength});
        out.hangUp = true;
        return;
    }
    out.reply.fill(rule.reply);
    out.replyLength = info.replyLength;
    appendf(out.text, ": refused as scripted, answered 0x%02x", rule.reply);
}

} // namespace

void resetBoard(const BoardSetup& setup)
{
    board.setup = setup;
    board.state = BoardState{};
    board.state.backlight = setup.backlight;
}

const BoardState& boardState()
{
    return board.state;
}

std::size_t frameLength(std::span<const std::uint8_t> pending)
{
    if (pending.empty()) {
        return 0;
    }
    const FrameInfo* info = findFrame(pending[0]);
    if (info == nullptr) {
        return 1;
    }
    switch (info->lengthKind) {
    case FrameLength::FIXED:
        return pending.size() >= info->length ? info->length : 0;
    case FrameLength::COUNT_BYTE: {
        if (pending.size() < 2) {
            return 0;
        }
        std::size_t length = info->length + std::size_t{pending[1]};
        return pending.size() >= length ? length : 0;
    }
    case FrameLength::BURST:
        return std::min(pending.size(), info->length + MAX_CHUNK);
    }
    return 0;
}

FrameOutcome handleFrame(std::span<const std::uint8_t> frame)
{
    FrameOutcome out;
    const FrameInfo* info = findFrame(frame[0]);
    if (info == nullptr) {
        out.dropped = true;
        appendf(out.text, "unknown opcode 0x%02x dropped", frame[0]);
        return out;
    }
    const OpcodeRow& row = *findRow(frame[0]);
    BoardState& s = board.state;
    s.seen[frame[0]] += 1;
    s.frames += 1;
    out.text = row.describe(frame);

    const FaultRule* rule = info->reply == ReplyKind::NONE ? nullptr : faultFor(frame[0], s.seen[frame[0]]);
    if (rule != nullptr) {
        applyFault(*info, *rule, out);
    } else {
        row.carryOut(frame, out);
    }
    if (board.setup.hangupAfter && s.frames == *board.setup.hangupAfter && !out.hangUp) {
        out.unplugNext = true;
        out.text += ", then unplugged";
    }
    return out;
}
