// Tag texts as the terminal gets them: nothing that moves the cursor or
// turns the line around, no field longer than the limit, widths counted
// in columns; the chips a header names; and the title a status line shows.
#include "log_maker.h"
#include "music/music_log.h"
#include "music/tag_text.h"
#include "music/text_codec.h"

#include <gtest/gtest.h>

namespace {

std::string repeated(std::string_view piece, std::size_t times)
{
    std::string out;
    for (std::size_t i = 0; i < times; ++i) {
        out += piece;
    }
    return out;
}

TEST(TagText, FormatAndControlCharactersAreRemoved)
{
    // Direction overrides, embeddings and isolates (U+202E, U+202A, U+2066,
    // U+2069), zero width space and joiner, the byte-order mark, soft hyphen.
    EXPECT_EQ(cleanTag("A\xE2\x80\xAE"
                       "evil\xE2\x80\xAA"
                       "x\xE2\x81\xA6"
                       "y\xE2\x81\xA9"
                       "z"),
              "Aevilxyz");
    EXPECT_EQ(cleanTag("\xEF\xBB\xBFk\xE2\x80\x8B"
                       "e\xE2\x80\x8Dy\xC2\xAD!"),
              "key!");
    // Escape sequences lose their escape, C1 controls (CSI among them) go.
    EXPECT_EQ(cleanTag("\x1B[31mred\xC2\x9B"
                       "2J\x7F"),
              "[31mred2J");
    // Line breaks, tabs and the line and paragraph separators become blanks; the ends are trimmed.
    EXPECT_EQ(cleanTag("  one\r\ntwo\tthree\xE2\x80\xA8"
                       "four\xE2\x80\xA9  "),
              "one  two three four");
    // Bytes that are no UTF-8: overlong forms, surrogates, a cut sequence.
    EXPECT_EQ(cleanTag("a\xC0\xAF"
                       "b\xED\xA0\x80"
                       "c\xE3\x83"),
              "a??b???c??");
    // Letters of every script stay.
    EXPECT_EQ(
        cleanTag("\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88 \xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D \xF0\x9F\x8E\xB5"),
        "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88 \xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D \xF0\x9F\x8E\xB5");
    EXPECT_EQ(cleanTag("\xE2\x80\xAE \t"), "");
}

TEST(TagText, LongFieldsAreCutAtACharacter)
{
    const std::string cut = cleanTag(std::string(5000, 'x'));
    EXPECT_EQ(cut, std::string(TAG_MAX_CHARACTERS - 1, 'x') + "\xE2\x80\xA6");
    EXPECT_EQ(cleanTag(std::string(TAG_MAX_CHARACTERS, 'x')), std::string(TAG_MAX_CHARACTERS, 'x'));
    // Three bytes a character: cut between characters, counting characters.
    const std::string kana = "\xE3\x81\x82"; // あ
    EXPECT_EQ(cleanTag(repeated(kana, 300)), repeated(kana, TAG_MAX_CHARACTERS - 1) + "\xE2\x80\xA6");
    // Removed characters do not count.
    EXPECT_EQ(cleanTag(repeated("\xE2\x80\xAE", 300) + "ok"), "ok");
}

TEST(TagText, BothReadersCleanAndCutTheirTags)
{
    Bytes c;
    vgmWrite(c, 0x28, 0);
    VgmHeader header;
    const std::string author(5000, 'a');
    header.gd3 = {"", "Japanese\x1B", "Game", "", "", "", author, "", "", "", ""};
    const MusicLog vgm = parsed(vgmFile(c, header));
    EXPECT_EQ(vgm.tags.title, "Japanese"); // the English track name empty: the Japanese one
    EXPECT_EQ(vgm.tags.author, std::string(TAG_MAX_CHARACTERS - 1, 'a') + "\xE2\x80\xA6");

    Bytes s;
    s98Write(s, 0, 0x28, 0);
    S98Header s98;
    s98.tag = "[S98]\xEF\xBB\xBFtitle=\xE2\x80\xAEgnos\nartist=" + author + "\n" + '\0';
    const MusicLog log = parsed(s98File(s, s98));
    EXPECT_EQ(log.tags.title, "gnos");
    EXPECT_EQ(log.tags.author.size(), TAG_MAX_CHARACTERS - 1 + 3);
    // CP932, as tags without the byte-order mark are: NEC's circled digit among them.
    s98.tag = std::string("[S98]title=\x83\x65\x83\x58\x83\x67\x87\x40\n") + '\0';
    EXPECT_EQ(parsed(s98File(s, s98)).tags.title, "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88\xE2\x91\xA0");
}

TEST(TagText, Cp932BytesThatAreNoCharacterBecomeQuestionMarks)
{
    EXPECT_EQ(cp932ToUtf8("ab\xB1\xB2"), "ab\xEF\xBD\xB1\xEF\xBD\xB2"); // halfwidth ｱｲ
    EXPECT_EQ(cp932ToUtf8("x\xFD"
                          "y"),
              "x?y");
    EXPECT_EQ(cp932ToUtf8("z\x81"), "z?"); // a lead byte at the end
}

TEST(TagText, WidthsInColumns)
{
    EXPECT_EQ(textWidth("abc"), 3u);
    EXPECT_EQ(textWidth("\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88"), 6u); // テスト, wide
    EXPECT_EQ(textWidth("\xEF\xBD\xB1\xEF\xBD\xB2"), 2u);             // ｱｲ, halfwidth
    EXPECT_EQ(textWidth("e\xCC\x81"), 1u);                            // e and a combining acute
    EXPECT_EQ(fitToWidth("abc", 3), "abc");
    EXPECT_EQ(fitToWidth("abcd", 3), "ab\xE2\x80\xA6");
    EXPECT_EQ(fitToWidth("\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88"
                         "abc",
                         5),
              "\xE3\x83\x86\xE3\x82\xB9\xE2\x80\xA6");
    EXPECT_EQ(fitToWidth("\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88", 4),
              "\xE3\x83\x86\xE2\x80\xA6"); // no half character
    EXPECT_EQ(fitToWidth("abc", 0), "");
    for (std::size_t columns = 1; columns < 12; ++columns) {
        EXPECT_LE(textWidth(fitToWidth("\xE3\x83\x86x\xE3\x82\xB9yy\xE3\x83\x88", columns)), columns);
    }
}

TEST(TagText, TheTitleFallsBackToThePlaylistThenTheFileName)
{
    MusicTags tags;
    tags.game = "Game";
    tags.author = "Author";
    const SongTitle fromName = songTitle(tags, "", "/music/pc98/01 Opening.vgz");
    EXPECT_EQ(fromName.title, "01 Opening.vgz");
    EXPECT_EQ(fromName.game, "Game");
    EXPECT_EQ(fromName.author, "Author");
    EXPECT_EQ(songTitle(tags, "From the list\xE2\x80\xAE", "a.vgm").title, "From the list");
    tags.title = "Tagged";
    EXPECT_EQ(songTitle(tags, "From the list", "a.vgm").title, "Tagged");
}

void put32(Bytes& file, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        file[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

TEST(LogChips, TheHeaderNamesEveryChip)
{
    Bytes c;
    vgmWrite(c, 0x28, 0);
    Bytes file = vgmFile(c);
    put32(file, 0x0C, 3579545);
    put32(file, 0x48, 7987200 | 0x40000000); // two YM2608s
    put32(file, 0x4C, 8000000 | 0x80000000); // a YM2610B: bit 31 is the variant, not a pair
    put32(file, 0x74, 1996800);
    const MusicLog vgm = parsed(file);
    EXPECT_EQ(vgm.chips, (std::vector<LogChip>{{"SN76489", 3579545, 1},
                                               {"YM2608", 7987200, 2},
                                               {"YM2610", 8000000, 1},
                                               {"AY8910", 1996800, 1}}));
    EXPECT_EQ(vgm.clockHz, 7987200u);
    ASSERT_EQ(vgm.notes.size(), 1u);
    EXPECT_EQ(vgm.notes[0], "the log drives two YM2608s; only the first is played");

    Bytes s;
    s98Write(s, 1, 0x28, 0);
    S98Header header;
    header.devices = {S98Device{15, 1996800}, S98Device{4, 7987200}, S98Device{4, 7987200}, S98Device{42, 1}};
    const MusicLog s98 = parsed(s98File(s, header));
    EXPECT_EQ(s98.chips, (std::vector<LogChip>{
                             {"AY8910", 1996800, 1}, {"YM2608", 7987200, 2}, {"device type 42", 1, 1}}));
}

} // namespace
