// The S98 reader. The header gives the tick (timer numerator over
// denominator, in seconds; 10 ms when both are 0), the tag or title, the
// dump's start, the loop point and the list of devices. Each dump command is
// one byte: below 0x80 a register write to device n/2 (port n&1: odd is a
// chip's second bank) with the register and value following; 0xFF waits one
// tick, 0xFE waits n+2 ticks with n in 7-bit groups, low group first, bit 7
// set on every byte but the last; 0xFD ends the dump.
//
// Version 1 has no device list: its one device is a YM2608 at 7987200 Hz.
// Version 2 lists 16-byte devices from 0x20 up to an entry of type 0 or the
// dump; version 3 counts them at 0x1C. Version 3 may replace the title with a
// tag: "[S98]", UTF-8 when a byte-order mark follows, lines of key=value.
#include "music/log_parsers.h"

#include <algorithm>
#include <map>
#include <string_view>

namespace music_detail {
namespace {

constexpr std::size_t HEADER_SIZE = 0x20;
constexpr std::size_t OFFSET_VERSION = 0x03;
constexpr std::size_t OFFSET_TIMER = 0x04;
constexpr std::size_t OFFSET_TIMER2 = 0x08;
constexpr std::size_t OFFSET_TAG = 0x10;
constexpr std::size_t OFFSET_DUMP = 0x14;
constexpr std::size_t OFFSET_LOOP = 0x18;
constexpr std::size_t OFFSET_DEVICE_COUNT = 0x1C; // version 3
constexpr std::size_t DEVICE_LIST = 0x20;
constexpr std::size_t DEVICE_INFO_SIZE = 16;      // type, clock, pan, reserved
constexpr std::uint32_t DEFAULT_TIMER = 10;
constexpr std::uint32_t DEFAULT_TIMER2 = 1000;
constexpr std::size_t MAX_DEVICES = 64;           // 0x00..0x7F address two ports each

constexpr std::uint32_t DEVICE_NONE = 0;
constexpr std::uint32_t DEVICE_YM2608 = 4;
// The device types of the list, by number; others are named by their number.
constexpr std::string_view DEVICE_NAMES[] = {"",       "YM2149", "YM2203", "YM2612", "YM2608", "YM2151",
                                             "YM2413", "YM3526", "YM3812", "YMF262", "",       "",
                                             "",       "",       "",       "AY8910", "SN76489"};

constexpr std::uint8_t CMD_DEVICE_LAST = 0x7F;
constexpr std::uint8_t CMD_SYNC = 0xFF;
constexpr std::uint8_t CMD_SYNC_N = 0xFE;
constexpr std::uint8_t CMD_END = 0xFD;
constexpr std::uint32_t SYNC_N_BIAS = 2;
constexpr std::size_t SYNC_N_MAX_BYTES = 5; // 35 bits hold any 32-bit count

constexpr std::string_view TAG_MARK = "[S98]";
constexpr std::string_view UTF8_BOM = "\xEF\xBB\xBF";

struct Device {
    std::uint32_t type = DEVICE_NONE;
    std::uint32_t clock = 0;
};

void readTag(std::span<const std::uint8_t> file, std::size_t at, MusicTags& tags)
{
    const auto* first = reinterpret_cast<const char*>(file.data()) + at;
    std::string_view text(first, file.size() - at);
    text = text.substr(0, text.find('\0'));
    if (!text.starts_with(TAG_MARK)) {
        tags.title = cleanTag(cp932ToUtf8(text));
        return;
    }
    text.remove_prefix(TAG_MARK.size());
    const bool utf8 = text.starts_with(UTF8_BOM);
    if (utf8) {
        text.remove_prefix(UTF8_BOM.size());
    }
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        const std::string_view line = text.substr(0, newline);
        text = newline == std::string_view::npos ? std::string_view{} : text.substr(newline + 1);
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        std::string key(line.substr(0, equals));
        std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
        const std::string_view raw = line.substr(equals + 1);
        std::string value = cleanTag(utf8 ? std::string(raw) : cp932ToUtf8(raw));
        if (key == "title") {
            tags.title = std::move(value);
        } else if (key == "game") {
            tags.game = std::move(value);
        } else if (key == "system") {
            tags.system = std::move(value);
        } else if (key == "artist") {
            tags.author = std::move(value);
        }
    }
}

bool readDevices(std::span<const std::uint8_t> file, char version, std::size_t dumpStart,
                 std::vector<Device>& devices, std::string& error)
{
    if (version == '1') {
        devices.push_back(Device{DEVICE_YM2608, DEFAULT_CLOCK});
        return true;
    }
    std::size_t count = MAX_DEVICES;
    if (version == '3') {
        count = le32(file, OFFSET_DEVICE_COUNT);
        if (count > MAX_DEVICES) {
            error = "the S98 header lists " + std::to_string(count) + " devices (at most 64 can be addressed)";
            return false;
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = DEVICE_LIST + i * DEVICE_INFO_SIZE;
        if (version == '2' && (at >= dumpStart || at + DEVICE_INFO_SIZE > file.size() ||
                               le32(file, at) == DEVICE_NONE)) {
            break;
        }
        if (at + DEVICE_INFO_SIZE > file.size()) {
            error = "truncated S98 device list at offset " + hexText(at);
            return false;
        }
        devices.push_back(Device{le32(file, at), le32(file, at + 4)});
    }
    // An empty list stands for the one YM2608 of version 1.
    if (devices.empty()) {
        devices.push_back(Device{DEVICE_YM2608, DEFAULT_CLOCK});
    }
    return true;
}

// Steps through the dump's commands from `at`, the offset of the command at
// hand: the time in ticks, the writes to the chip played and the writes to
// other devices skipped.
struct S98Reader {
    std::span<const std::uint8_t> file;
    MusicLog& log;
    std::string& error;
    double tickNs;
    std::size_t deviceCount;
    std::size_t chipIndex; // the YM2608 played
    std::size_t at;
    std::uint64_t ticks = 0;
    std::map<std::size_t, std::size_t> skipped; // writes to other devices, by device

    std::int64_t now() const { return static_cast<std::int64_t>(static_cast<double>(ticks) * tickNs + 0.5); }

    bool fail(const std::string& text)
    {
        error = text;
        return false;
    }

    // A register write: to the chip's first bank for an even command, its
    // second for an odd one, or counted for another device.
    bool write()
    {
        const std::uint8_t command = file[at];
        const std::size_t device = command / 2U;
        if (device >= deviceCount) {
            return fail("S98 command " + hexText(command) + " at offset " + hexText(at) +
                        " writes a device the header does not list");
        }
        if (file.size() - at < 3) {
            return fail("truncated: the write at offset " + hexText(at) + " needs 3 bytes");
        }
        if (device == chipIndex) {
            addWrite(log, now(), (command & 1U) != 0, file[at + 1], file[at + 2]);
        } else {
            ++skipped[device];
        }
        at += 3;
        return true;
    }

    // A wait of n+2 ticks, n in 7-bit groups after the command.
    bool waitTicks()
    {
        std::uint64_t n = 0;
        std::size_t q = at + 1;
        for (std::size_t shift = 0;; shift += 7) {
            if (q >= file.size()) {
                return fail("truncated: the wait at offset " + hexText(at) + " ends with the file");
            }
            if (q - at > SYNC_N_MAX_BYTES) {
                return fail("the wait at offset " + hexText(at) + " has an over-long count");
            }
            n |= std::uint64_t{file[q] & 0x7FU} << shift;
            if ((file[q++] & 0x80U) == 0) {
                break;
            }
        }
        ticks += n + SYNC_N_BIAS;
        at = q;
        return true;
    }

    // Runs the commands up to the end command.
    bool commands(LoopPoint loop)
    {
        while (true) {
            if (at >= file.size()) {
                return fail("truncated: the dump ends at offset " + hexText(at) +
                            " without the end command 0xfd");
            }
            if (static_cast<double>(ticks) * tickNs > static_cast<double>(MAX_LOG_NS)) {
                return fail("the log lasts longer than 24 hours at offset " + hexText(at));
            }
            if (!passLoopPoint(loop, at, now(), log, error)) {
                return false;
            }
            const std::uint8_t command = file[at];
            if (command <= CMD_DEVICE_LAST) {
                if (!write()) {
                    return false;
                }
            } else if (command == CMD_SYNC) {
                ++ticks;
                ++at;
            } else if (command == CMD_SYNC_N) {
                if (!waitTicks()) {
                    return false;
                }
            } else if (command == CMD_END) {
                if (!loopPointPassed(loop, "end command", error)) {
                    return false;
                }
                log.endNs = now();
                return true;
            } else {
                return fail("unknown S98 command " + hexText(command) + " at offset " + hexText(at));
            }
        }
    }
};

// The tick from the header's timer fields, in nanoseconds; false for a
// version this reader does not know.
bool readTick(std::span<const std::uint8_t> file, double& tickNs, std::string& error)
{
    const char version = static_cast<char>(file[OFFSET_VERSION]);
    if (version < '1' || version > '3') {
        error = "unsupported S98 version byte " + hexText(file[OFFSET_VERSION]) + " (versions 1 to 3 are read)";
        return false;
    }
    std::uint32_t numerator = le32(file, OFFSET_TIMER);
    std::uint32_t denominator = le32(file, OFFSET_TIMER2);
    if (numerator == 0) {
        numerator = DEFAULT_TIMER;
    }
    if (denominator == 0) {
        denominator = DEFAULT_TIMER2;
    }
    tickNs = 1e9 * numerator / denominator;
    return true;
}

// The first YM2608 of the device list: its index and its clock in `log`.
bool chooseChip(const std::vector<Device>& devices, MusicLog& log, std::size_t& chipIndex, std::string& error)
{
    const auto isChip = [](const Device& d) { return d.type == DEVICE_YM2608; };
    const auto chip = std::find_if(devices.begin(), devices.end(), isChip);
    if (chip == devices.end()) {
        error = "no YM2608 in this log (the S98 device list has none)";
        return false;
    }
    chipIndex = static_cast<std::size_t>(chip - devices.begin());
    for (const Device& d : devices) {
        const bool named = d.type < std::size(DEVICE_NAMES) && !DEVICE_NAMES[d.type].empty();
        const std::string name =
            named ? std::string(DEVICE_NAMES[d.type]) : "device type " + std::to_string(d.type);
        if (!log.chips.empty() && log.chips.back().name == name && log.chips.back().clockHz == d.clock) {
            ++log.chips.back().count;
        } else {
            log.chips.push_back(LogChip{name, d.clock, 1});
        }
    }
    log.clockHz = chip->clock != 0 ? chip->clock : DEFAULT_CLOCK;
    if (std::count_if(devices.begin(), devices.end(), isChip) > 1) {
        log.notes.push_back("the log drives more than one YM2608; only the first is played");
    }
    return true;
}

} // namespace

bool parseS98(std::span<const std::uint8_t> file, MusicLog& log, std::string& error)
{
    if (!headerFits(file, HEADER_SIZE, "S98", error)) {
        return false;
    }
    log.format = LogFormat::S98;
    double tickNs = 0;
    if (!readTick(file, tickNs, error)) {
        return false;
    }
    const std::size_t dumpStart = le32(file, OFFSET_DUMP);
    if (dumpStart < HEADER_SIZE || dumpStart > file.size()) {
        error = "the dump offset " + hexText(dumpStart) + " lies outside the file";
        return false;
    }
    std::vector<Device> devices;
    std::size_t chipIndex = 0;
    if (!readDevices(file, static_cast<char>(file[OFFSET_VERSION]), dumpStart, devices, error) ||
        !chooseChip(devices, log, chipIndex, error)) {
        return false;
    }

    if (const std::size_t tag = le32(file, OFFSET_TAG); tag != 0) {
        if (tag < file.size()) {
            readTag(file, tag, log.tags);
        } else {
            log.notes.push_back("the tag offset " + hexText(tag) + " lies past the file's end; ignored");
        }
    }
    LoopPoint loop;
    if (!readLoopPoint(le32(file, OFFSET_LOOP), dumpStart, file.size(), "dump", loop, error)) {
        return false;
    }
    S98Reader reader{file, log, error, tickNs, devices.size(), chipIndex, dumpStart, 0, {}};
    if (!reader.commands(loop)) {
        return false;
    }
    if (!reader.skipped.empty()) {
        std::size_t total = 0;
        for (const auto& [device, count] : reader.skipped) {
            total += count;
        }
        log.notes.push_back("skipped " + std::to_string(total) + " writes to " +
                            std::to_string(reader.skipped.size()) + " other device(s)");
    }
    return true;
}

} // namespace music_detail
