// What the VGM and the S98 reader do the same way: the check of the header's
// size and, as they step through the commands, the checks of the loop point
// and the numbering of a write by the bank it goes to.
#include "music/log_parsers.h"

namespace music_detail {

bool headerFits(std::span<const std::uint8_t> file, std::size_t size, std::string_view format,
                std::string& error)
{
    if (file.size() < size) {
        error = "truncated " + std::string(format) + " header (" + std::to_string(file.size()) + " bytes)";
        return false;
    }
    return true;
}

bool readLoopPoint(std::size_t at, std::size_t begin, std::size_t fileSize, std::string_view part,
                   LoopPoint& loop, std::string& error)
{
    if (at != 0 && (at < begin || at >= fileSize)) {
        error = "the loop offset " + hexText(at) + " lies outside the " + std::string(part);
        return false;
    }
    loop = LoopPoint{at, at == 0};
    return true;
}

bool passLoopPoint(LoopPoint& loop, std::size_t p, std::int64_t nowNs, MusicLog& log, std::string& error)
{
    if (p == loop.at) {
        loop.passed = true;
        log.looped = true;
        log.loopWrite = log.writes.size();
        log.loopNs = nowNs;
    } else if (!loop.passed && p > loop.at) {
        error = "the loop offset " + hexText(loop.at) + " falls inside a command";
        return false;
    }
    return true;
}

bool loopPointPassed(const LoopPoint& loop, std::string_view endCommand, std::string& error)
{
    if (!loop.passed) {
        error = "the loop offset " + hexText(loop.at) + " lies after the " + std::string(endCommand);
        return false;
    }
    return true;
}

void addWrite(MusicLog& log, std::int64_t dueNs, bool secondBank, std::uint8_t reg, std::uint8_t value)
{
    const auto bank = static_cast<std::uint16_t>(secondBank ? BANK1_BASE : 0);
    log.writes.push_back(LogWrite{dueNs, static_cast<std::uint16_t>(bank + reg), value});
}

} // namespace music_detail
