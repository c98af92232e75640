// Both log readers on logs made by the generator: what they take from every
// command, and the one-line error each kind of bad file gives.
#include "log_maker.h"
#include "music/music_log.h"

#include <gtest/gtest.h>

namespace {

std::string refused(const Bytes& file)
{
    MusicLog log;
    std::string error;
    EXPECT_FALSE(parseMusicLog(file, log, error));
    return error;
}

std::int64_t samplesNs(std::int64_t samples)
{
    return (samples * 1'000'000'000 + 22050) / 44100;
}

TEST(VgmLog, EveryCommandKindTimedAndOtherChipsSkipped)
{
    Bytes c;
    vgmWrite(c, 0x28, 0xF0);
    vgmWrite(c, 0x10B, 0x80);
    vgmWait(c, 1000);
    c.push_back(0x62); // 735
    vgmWrite(c, 0x29, 0x80);
    c.push_back(0x63); // 882
    c.push_back(0x7F); // 16
    c.push_back(0x70); // 1
    // Other chips, one of each operand length, and the YM2612 DAC wait 0x8n.
    c.insert(c.end(), {0x30, 0x11, 0x4F, 0x22, 0x50, 0x33, 0x40, 1, 2, 0x52, 0x28, 0xF0, 0xA6, 0x28, 0x01});
    c.insert(c.end(), {0xA0, 7, 0x38, 0xC0, 1, 2, 3, 0xD2, 1, 2, 3, 0xE0, 0, 0, 0, 0, 0xFF, 1, 2, 3, 4});
    c.insert(c.end(), {0x83});
    c.insert(c.end(), {0x68, 0x66, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    c.insert(c.end(), {0x90, 0, 2, 0, 0x2A, 0x91, 0, 0, 1, 0, 0x92, 0, 0x44, 0xAC, 0, 0});
    c.insert(c.end(), {0x93, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x94, 0, 0x95, 0, 0, 0, 0});
    vgmBlock(c, 0x00, 0, Bytes(10, 0x55)); // a YM2612 PCM bank: skipped by its size
    vgmWrite(c, 0x1A4, 0x22);
    const MusicLog log = parsed(vgmFile(c));

    ASSERT_EQ(log.writes.size(), 4u);
    EXPECT_EQ(log.writes[0].reg, 0x28);
    EXPECT_EQ(log.writes[1].reg, 0x10B);
    EXPECT_EQ(log.writes[1].value, 0x80);
    EXPECT_EQ(log.writes[1].dueNs, 0);
    EXPECT_EQ(log.writes[2].dueNs, samplesNs(1735));
    EXPECT_EQ(log.writes[3].reg, 0x1A4);
    EXPECT_EQ(log.writes[3].dueNs, samplesNs(1735 + 882 + 16 + 1 + 3));
    EXPECT_EQ(log.endNs, log.writes[3].dueNs);
    EXPECT_EQ(log.clockHz, 7987200u);
    EXPECT_FALSE(log.looped);
    ASSERT_EQ(log.notes.size(), 1u);
    EXPECT_EQ(log.notes[0].rfind("skipped 20 commands for other chips or other data (0x30,", 0), 0u)
        << log.notes[0];
}

TEST(VgmLog, LoopBlocksTagsAndGzip)
{
    Bytes c;
    vgmBlock(c, 0x81, 0x40, Bytes{1, 2, 3});
    vgmBlock(c, 0x81, 0, Bytes{}); // empty, as real files carry
    vgmWrite(c, 0x00, 1);
    vgmWait(c, 441);
    const long loopAt = static_cast<long>(c.size());
    vgmWrite(c, 0x01, 2);
    vgmWait(c, 882);
    VgmHeader header;
    header.loopAt = loopAt;
    header.gd3 = {"Song", "", "", "Game J", "PC-98", "", "", "Comp\x1b[2Joser", "", "", ""};
    const Bytes file = vgmFile(c, header);

    for (const Bytes& input : {file, gzipBytes(file)}) {
        const MusicLog log = parsed(input);
        ASSERT_EQ(log.blocks.size(), 1u);
        EXPECT_EQ(log.blocks[0].address, 0x40u);
        EXPECT_EQ(log.blocks[0].bytes, (Bytes{1, 2, 3}));
        ASSERT_TRUE(log.looped);
        EXPECT_EQ(log.loopWrite, 1u);
        EXPECT_EQ(log.loopNs, samplesNs(441));
        EXPECT_EQ(log.endNs, samplesNs(441 + 882));
        EXPECT_EQ(songLength(log, 1), log.endNs);
        EXPECT_EQ(songLength(log, 3), log.endNs + 2 * samplesNs(882));
        EXPECT_EQ(log.tags.title, "Song");
        EXPECT_EQ(log.tags.game, "Game J");
        EXPECT_EQ(log.tags.system, "PC-98");
        EXPECT_EQ(log.tags.author, "Comp[2Joser"); // the escape byte removed
    }
}

TEST(VgmLog, OldHeaderDataAtOffset40HasNoYm2608)
{
    Bytes c;
    vgmWrite(c, 0x28, 0);
    VgmHeader header;
    header.version = 0x110;
    EXPECT_EQ(refused(vgmFile(c, header)), "no YM2608 in this log (its header gives the chip no clock)");
    header.version = 0x171;
    header.ym2608Clock = 0;
    EXPECT_EQ(refused(vgmFile(c, header)), "no YM2608 in this log (its header gives the chip no clock)");
    header.ym2608Clock = 8000000;
    EXPECT_EQ(parsed(vgmFile(c, header)).clockHz, 8000000u);
}

TEST(VgmLog, BadFilesNameTheOffset)
{
    Bytes c;
    vgmWrite(c, 0x28, 0);
    c.push_back(0x2F);
    EXPECT_EQ(refused(vgmFile(c)), "unknown VGM command 0x2f at offset 0x103");

    Bytes block;
    vgmBlock(block, 0x81, 256 * 1024 - 2, Bytes{1, 2, 3});
    EXPECT_EQ(refused(vgmFile(block)), "ADPCM data block at offset 0x100 passes the end of the chip's 256 KiB "
                                       "memory (address 0x3fffe, 3 bytes)");

    Bytes whole = vgmFile(c);
    whole.resize(0x101); // inside the first write
    EXPECT_EQ(refused(whole), "truncated: the header gives 261 bytes, the file has 257");
    VgmHeader noEnd;
    noEnd.endCommand = false;
    Bytes open;
    vgmWrite(open, 0x28, 0);
    EXPECT_EQ(refused(vgmFile(open, noEnd)), "truncated: the data ends at offset 0x103 without the end-of-data "
                                              "command 0x66");
    Bytes cut = vgmFile(Bytes{0x61, 0x10});
    cut.resize(cut.size() - 1); // no end command: the wait is cut
    cut[4] = 0;                 // and no end-of-file offset to compare with
    cut[5] = cut[6] = cut[7] = 0;
    EXPECT_EQ(refused(cut), "truncated: command 0x61 at offset 0x100 needs 3 bytes");

    VgmHeader inside;
    inside.loopAt = 1;
    EXPECT_EQ(refused(vgmFile(open, inside)), "the loop offset 0x101 falls inside a command");
    EXPECT_EQ(refused(Bytes{'V', 'g', 'm', ' ', 0, 0}), "truncated VGM header (6 bytes)");
    EXPECT_EQ(refused(Bytes{'R', 'I', 'F', 'F', 0, 0}),
              "not a VGM or S98 log (it starts with neither \"Vgm \" nor \"S98\")");
}

TEST(VgmLog, GzipErrors)
{
    Bytes c;
    vgmWrite(c, 0x28, 0);
    Bytes packed = gzipBytes(vgmFile(c));
    Bytes cut(packed.begin(), packed.begin() + static_cast<long>(packed.size() / 2));
    EXPECT_EQ(refused(cut).rfind("gzip error: the compressed data ends early", 0), 0u);
    packed[12] ^= 0xFF;
    EXPECT_EQ(refused(packed).rfind("gzip error: ", 0), 0u);
    EXPECT_EQ(refused(gzipBytes(packed)), "gzip inside gzip; not a music log");
}

TEST(S98Log, VersionsTimersWaitsAndLoop)
{
    Bytes c;
    s98Write(c, 0, 0x28, 0xF0);
    s98Write(c, 0, 0x10B, 0x33);
    s98Wait(c, 1);
    const long loopAt = static_cast<long>(c.size());
    s98Write(c, 0, 0x29, 0x80);
    s98Wait(c, 300); // 0xFE with two count bytes
    s98Write(c, 0, 0x08, 0x0F);
    s98Wait(c, 2);   // 0xFE 0x00
    for (char version : {'1', '2', '3'}) {
        S98Header header;
        header.version = version;
        header.timer = version == '1' ? 0 : 1; // 0 over 0: ticks of 10 ms
        header.timer2 = version == '1' ? 0 : 1000;
        header.loopAt = loopAt;
        const MusicLog log = parsed(s98File(c, header));
        const std::int64_t tick = version == '1' ? 10'000'000 : 1'000'000;
        ASSERT_EQ(log.writes.size(), 4u) << version;
        EXPECT_EQ(log.writes[1].reg, 0x10B);
        EXPECT_EQ(log.writes[2].dueNs, tick);
        EXPECT_EQ(log.writes[3].dueNs, 301 * tick);
        EXPECT_EQ(log.endNs, 303 * tick);
        EXPECT_TRUE(log.looped);
        EXPECT_EQ(log.loopWrite, 2u);
        EXPECT_EQ(log.loopNs, tick);
        EXPECT_EQ(log.format, LogFormat::S98);
    }
}

TEST(S98Log, DevicesAndTags)
{
    Bytes c;
    s98Write(c, 0, 0x07, 0x38); // the PSG, device 0
    s98Write(c, 1, 0x07, 0x3F); // the YM2608, device 1
    s98Write(c, 1, 0x110, 0x80);
    S98Header header;
    header.devices = {S98Device{1, 4000000}, S98Device{4, 8000000}};
    header.tag = std::string("[S98]\xEF\xBB\xBFtitle=Lotus\nartist=Someone\x07\ngame=\nsystem=NEC PC-9801\n") + '\0';
    MusicLog log = parsed(s98File(c, header));
    ASSERT_EQ(log.writes.size(), 2u);
    EXPECT_EQ(log.writes[0].reg, 0x07);
    EXPECT_EQ(log.writes[0].value, 0x3F);
    EXPECT_EQ(log.writes[1].reg, 0x110);
    EXPECT_EQ(log.clockHz, 8000000u);
    EXPECT_EQ(log.tags.title, "Lotus");
    EXPECT_EQ(log.tags.author, "Someone");
    EXPECT_EQ(log.tags.system, "NEC PC-9801");
    ASSERT_EQ(log.notes.size(), 1u);
    EXPECT_EQ(log.notes[0], "skipped 1 writes to 1 other device(s)");

    // A Shift JIS tag without the byte-order mark, and a plain title.
    header.tag = std::string("[S98]title=\x83\x65\x83\x58\x83\x67\n") + '\0';
    EXPECT_EQ(parsed(s98File(c, header)).tags.title, "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88"); // テスト
    header.tag = std::string("Old title") + '\0';
    EXPECT_EQ(parsed(s98File(c, header)).tags.title, "Old title");

    header.devices = {S98Device{1, 4000000}, S98Device{2, 3993600}};
    EXPECT_EQ(refused(s98File(c, header)), "no YM2608 in this log (the S98 device list has none)");
}

TEST(S98Log, BadFilesNameTheOffset)
{
    Bytes c;
    s98Write(c, 0, 0x28, 0);
    c.push_back(0x90);
    EXPECT_EQ(refused(s98File(c)), "unknown S98 command 0x90 at offset 0x33");
    Bytes far;
    s98Write(far, 3, 0x28, 0);
    EXPECT_EQ(refused(s98File(far)), "S98 command 0x6 at offset 0x30 writes a device the header does not list");
    Bytes whole = s98File(Bytes{0xFE, 0x80, 0x80});
    whole.resize(whole.size() - 1); // no end command, and the count never ends
    EXPECT_EQ(refused(whole), "truncated: the wait at offset 0x30 ends with the file");
    EXPECT_EQ(refused(s98File(Bytes{0xFE, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01})),
              "the wait at offset 0x30 has an over-long count");
    Bytes noEnd = s98File(c);
    noEnd.resize(0x33);
    EXPECT_EQ(refused(noEnd), "truncated: the dump ends at offset 0x33 without the end command 0xfd");
    Bytes version = s98File(c);
    version[3] = '4';
    EXPECT_EQ(refused(version), "unsupported S98 version byte 0x34 (versions 1 to 3 are read)");
    S98Header many;
    many.devices.resize(65);
    EXPECT_EQ(refused(s98File(c, many)), "the S98 header lists 65 devices (at most 64 can be addressed)");
}

// A loop offset that misses the commands, in each format's words: inside a
// command, after the end command, past the file's end.
TEST(LoopOffset, EachFormatRefusesOneThatMissesACommand)
{
    Bytes s98;
    s98Write(s98, 0, 0x28, 0); // the dump from 0x30, the end command at 0x33, the tag after
    S98Header s98Header;
    s98Header.tag = std::string("Title") + '\0';
    Bytes vgm;
    vgmWrite(vgm, 0x28, 0); // the data from 0x100, the end-of-data command at 0x103, the tag after
    VgmHeader vgmHeader;
    vgmHeader.gd3 = {"Song", "", "", "", "", "", "", "", "", "", ""};
    const auto s98At = [&](long at) {
        s98Header.loopAt = at;
        return s98File(s98, s98Header);
    };
    const auto vgmAt = [&](long at) {
        vgmHeader.loopAt = at;
        return vgmFile(vgm, vgmHeader);
    };

    const std::pair<Bytes, std::string> cases[] = {
        {s98At(1), "the loop offset 0x31 falls inside a command"},
        {s98At(4), "the loop offset 0x34 lies after the end command"},
        {s98At(0x100), "the loop offset 0x130 lies outside the dump"},
        {vgmAt(1), "the loop offset 0x101 falls inside a command"},
        {vgmAt(4), "the loop offset 0x104 lies after the end-of-data command"},
        {vgmAt(0x1000), "the loop offset 0x1100 lies outside the data"},
    };
    for (const auto& [file, words] : cases) {
        EXPECT_EQ(refused(file), words);
    }
}

// The chip's own way of loading ADPCM memory, one 0x108 write per byte:
// control 1 to memory write, 8-bit memory, start and stop, the data, then
// control 1 again.
void memoryWriteSequence(Bytes& c, std::uint16_t startUnit, std::uint16_t stopUnit, const Bytes& data)
{
    s98Write(c, 0, 0x100, 0x61);
    s98Write(c, 0, 0x100, 0x60);
    s98Write(c, 0, 0x101, 0x02);
    s98Write(c, 0, 0x102, static_cast<std::uint8_t>(startUnit));
    s98Write(c, 0, 0x103, static_cast<std::uint8_t>(startUnit >> 8));
    s98Write(c, 0, 0x104, static_cast<std::uint8_t>(stopUnit));
    s98Write(c, 0, 0x105, static_cast<std::uint8_t>(stopUnit >> 8));
    for (std::uint8_t b : data) {
        s98Write(c, 0, 0x108, b);
    }
    s98Write(c, 0, 0x100, 0x00);
}

TEST(S98Log, MemoryWriteSequencesBecomeBlocks)
{
    Bytes c;
    s98Write(c, 0, 0x29, 0x80);
    memoryWriteSequence(c, 0x10, 0x11, Bytes{9, 8, 7});
    s98Write(c, 0, 0x10, 0x80); // rhythm between two sequences
    memoryWriteSequence(c, 0x100, 0x100, Bytes{5});
    s98Wait(c, 1);
    s98Write(c, 0, 0x108, 0x44); // a data write with control 1 not in memory mode stays
    S98Header header;
    header.loopAt = 0;
    const MusicLog log = parsed(s98File(c, header));
    ASSERT_EQ(log.blocks.size(), 2u);
    EXPECT_EQ(log.blocks[0].address, 0x200u);
    EXPECT_EQ(log.blocks[0].bytes, (Bytes{9, 8, 7}));
    EXPECT_EQ(log.blocks[1].address, 0x2000u);
    EXPECT_EQ(log.blocks[1].bytes, (Bytes{5}));
    EXPECT_EQ(log.memoryWritesFolded, 4u);
    // Every other write stays, control writes included, in order.
    ASSERT_EQ(log.writes.size(), 1u + 8u + 1u + 8u + 1u);
    EXPECT_EQ(log.writes[8].reg, 0x100);
    EXPECT_EQ(log.writes[8].value, 0x00);
    EXPECT_EQ(log.writes[9].reg, 0x10);
    EXPECT_EQ(log.blocks[1].atWrite, 17u);
    EXPECT_EQ(log.writes.back().reg, 0x108);
    EXPECT_EQ(log.loopWrite, 0u);
}

TEST(S98Log, SequencesTheChipMightTreatOtherwiseStayAsWrites)
{
    const auto folded = [](const Bytes& c) { return parsed(s98File(c)).memoryWritesFolded; };
    Bytes past; // more bytes than start..stop holds
    memoryWriteSequence(past, 0, 0, Bytes(33, 1));
    EXPECT_EQ(folded(past), 0u);
    Bytes moved; // the stop address changed in mid-write
    memoryWriteSequence(moved, 0, 1, Bytes{1, 2});
    moved.resize(moved.size() - 3);
    s98Write(moved, 0, 0x104, 0x05);
    s98Write(moved, 0, 0x108, 0x03);
    s98Write(moved, 0, 0x100, 0x00);
    EXPECT_EQ(folded(moved), 0u);
    Bytes late; // the sequence is still open when time moves on
    memoryWriteSequence(late, 0, 1, Bytes{1, 2});
    late.resize(late.size() - 3);
    s98Wait(late, 1);
    s98Write(late, 0, 0x108, 0x03);
    EXPECT_EQ(folded(late), 0u);
    Bytes narrow; // 1-bit memory: addresses in other units
    memoryWriteSequence(narrow, 0, 1, Bytes{1, 2});
    narrow[8] = 0x00;
    EXPECT_EQ(folded(narrow), 0u);
    Bytes inLoop; // a loop pass would begin in the middle of it
    memoryWriteSequence(inLoop, 0, 1, Bytes{1, 2});
    S98Header header;
    header.loopAt = 3 * 8;
    EXPECT_EQ(parsed(s98File(inLoop, header)).memoryWritesFolded, 0u);
}

} // namespace
