#include "log_maker.h"

#include <gtest/gtest.h>
#include <zlib.h>

namespace {

void put32(Bytes& out, std::size_t at, std::uint32_t value)
{
    if (out.size() < at + 4) {
        out.resize(at + 4, 0);
    }
    for (int i = 0; i < 4; ++i) {
        out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

void append32(Bytes& out, std::uint32_t value)
{
    put32(out, out.size(), value);
}

} // namespace

void vgmWrite(Bytes& out, std::uint16_t reg, std::uint8_t value)
{
    out.insert(out.end(), {static_cast<std::uint8_t>(reg >= 0x100 ? 0x57 : 0x56),
                           static_cast<std::uint8_t>(reg & 0xFF), value});
}

void vgmWait(Bytes& out, std::uint16_t samples)
{
    out.insert(out.end(), {0x61, static_cast<std::uint8_t>(samples & 0xFF), static_cast<std::uint8_t>(samples >> 8)});
}

void vgmBlock(Bytes& out, std::uint8_t type, std::uint32_t start, const Bytes& bytes)
{
    out.insert(out.end(), {0x67, 0x66, type});
    const bool adpcm = type == 0x81;
    append32(out, static_cast<std::uint32_t>(bytes.size() + (adpcm ? 8 : 0)));
    if (adpcm) {
        append32(out, 256 * 1024);
        append32(out, start);
    }
    out.insert(out.end(), bytes.begin(), bytes.end());
}

Bytes vgmFile(const Bytes& commands, const VgmHeader& header)
{
    const std::size_t dataStart = header.version >= 0x150 ? 0x100 : 0x40;
    Bytes out(dataStart, 0);
    out[0] = 'V';
    out[1] = 'g';
    out[2] = 'm';
    out[3] = ' ';
    put32(out, 0x08, header.version);
    if (header.version >= 0x150) {
        put32(out, 0x34, static_cast<std::uint32_t>(dataStart - 0x34));
        put32(out, 0x48, header.ym2608Clock);
    }
    if (header.loopAt >= 0) {
        put32(out, 0x1C, static_cast<std::uint32_t>(dataStart + static_cast<std::size_t>(header.loopAt) - 0x1C));
    }
    out.insert(out.end(), commands.begin(), commands.end());
    if (header.endCommand) {
        out.push_back(0x66);
    }
    if (!header.gd3.empty()) {
        put32(out, 0x14, static_cast<std::uint32_t>(out.size() - 0x14));
        Bytes strings;
        for (const std::string& field : header.gd3) {
            for (char c : field) {
                strings.push_back(static_cast<std::uint8_t>(c));
                strings.push_back(0);
            }
            strings.push_back(0);
            strings.push_back(0);
        }
        out.insert(out.end(), {'G', 'd', '3', ' '});
        append32(out, 0x100);
        append32(out, static_cast<std::uint32_t>(strings.size()));
        out.insert(out.end(), strings.begin(), strings.end());
    }
    put32(out, 0x04, static_cast<std::uint32_t>(out.size() - 4));
    return out;
}

void s98Write(Bytes& out, std::uint8_t device, std::uint16_t reg, std::uint8_t value)
{
    out.insert(out.end(), {static_cast<std::uint8_t>(device * 2 + (reg >= 0x100 ? 1 : 0)),
                           static_cast<std::uint8_t>(reg & 0xFF), value});
}

void s98Wait(Bytes& out, std::uint32_t ticks)
{
    if (ticks == 1) {
        out.push_back(0xFF);
        return;
    }
    out.push_back(0xFE);
    std::uint32_t n = ticks - 2;
    while (n >= 0x80) {
        out.push_back(static_cast<std::uint8_t>(0x80 | (n & 0x7F)));
        n >>= 7;
    }
    out.push_back(static_cast<std::uint8_t>(n));
}

Bytes s98File(const Bytes& commands, const S98Header& header)
{
    Bytes out(0x20, 0);
    out[0] = 'S';
    out[1] = '9';
    out[2] = '8';
    out[3] = static_cast<std::uint8_t>(header.version);
    put32(out, 0x04, header.timer);
    put32(out, 0x08, header.timer2);
    if (header.version == '3') {
        put32(out, 0x1C, static_cast<std::uint32_t>(header.devices.size()));
    }
    if (header.version != '1') {
        for (const S98Device& device : header.devices) {
            append32(out, device.type);
            append32(out, device.clock);
            append32(out, 0);
            append32(out, 0);
        }
        if (header.version == '2') {
            out.resize(out.size() + 16, 0); // the list ends at a device of type 0
        }
    }
    const std::size_t dumpStart = out.size();
    put32(out, 0x14, static_cast<std::uint32_t>(dumpStart));
    if (header.loopAt >= 0) {
        put32(out, 0x18, static_cast<std::uint32_t>(dumpStart + static_cast<std::size_t>(header.loopAt)));
    }
    out.insert(out.end(), commands.begin(), commands.end());
    out.push_back(0xFD);
    if (!header.tag.empty()) {
        put32(out, 0x10, static_cast<std::uint32_t>(out.size()));
        out.insert(out.end(), header.tag.begin(), header.tag.end());
    }
    return out;
}

Bytes gzipBytes(const Bytes& bytes)
{
    z_stream stream{};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    Bytes out(deflateBound(&stream, static_cast<uLong>(bytes.size())) + 64);
    stream.next_in = const_cast<Bytef*>(bytes.data());
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

MusicLog parsed(const Bytes& file)
{
    MusicLog log;
    std::string error;
    EXPECT_TRUE(parseMusicLog(file, log, error)) << error;
    return log;
}
