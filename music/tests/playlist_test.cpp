// Playlists on a real folder: M3U entries relative to the list, titles,
// comments, CRLF, folders in name order, bad entries reported in their
// places, and lists that refer back to themselves refused.
#include "music/playlist.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include <sys/stat.h>
#include <unistd.h>

namespace {

class Playlists : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/playlist_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + root + "'").c_str()); }

    std::string file(const std::string& name, const std::string& content = "log")
    {
        const std::string path = root + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    std::string folder(const std::string& name)
    {
        const std::string path = root + "/" + name;
        mkdir(path.c_str(), 0700);
        return path;
    }

    std::string root;
};

struct Seen {
    std::string path;
    EntryProblem problem;
    std::string title;
    std::size_t line;
    bool operator==(const Seen&) const = default;
};

void PrintTo(const Seen& s, std::ostream* out)
{
    *out << "{" << s.path << ", problem " << static_cast<int>(s.problem) << ", \"" << s.title << "\", line "
         << s.line << "}";
}

std::vector<Seen> seen(const std::vector<PlaylistEntry>& entries, const std::string& root)
{
    std::vector<Seen> out;
    for (const PlaylistEntry& e : entries) {
        std::string path = e.path;
        if (path.starts_with(root + "/")) {
            path.erase(0, root.size() + 1);
        }
        out.push_back(Seen{path, e.problem, e.title, e.line});
    }
    return out;
}

TEST(M3u, LinesTitlesAndComments)
{
    const auto entries =
        parseM3u("\xEF\xBB\xBF#EXTM3U\r\n#EXTINF:123,Opening \xE2\x80\xAE theme\r\n  a.vgm  \r\n"
                 "\r\n# a comment\rb.vgz\n#extinf:-1\nc d.s98\n\t\n#EXTINF:5,Unused");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].line, 3u);
    EXPECT_EQ(entries[0].path, "a.vgm");
    EXPECT_EQ(entries[0].title, "Opening  theme");
    EXPECT_EQ(entries[1].line, 6u);
    EXPECT_EQ(entries[1].path, "b.vgz");
    EXPECT_EQ(entries[1].title, "");
    EXPECT_EQ(entries[2].path, "c d.s98");
    EXPECT_EQ(entries[2].title, "");
    EXPECT_TRUE(isPlaylistName("x.M3U8"));
    EXPECT_FALSE(isPlaylistName("m3u"));
    EXPECT_TRUE(isLogName("A.VGZ"));
    EXPECT_FALSE(isLogName("a.vgm.txt"));
}

TEST_F(Playlists, EntriesRelativeToTheListAndBadEntriesInTheirPlaces)
{
    file("a.vgm");
    folder("sub");
    file("sub/10.vgm");
    file("sub/2.vgm");
    file("sub/notes.txt");
    folder("sub/deeper.vgm"); // a folder, however it is named
    folder("lists");
    file("lists/c d.s98");
    folder("empty");
    file("lists/main.m3u8", "#EXTM3U\r\n#EXTINF:61,First\r\n../a.vgm\r\n../missing.vgm\r\n"
                            "../sub\r\nhttp://example.com/x.vgm\r\nfile://" +
                                root +
                                "/lists/c%20d.s98\r\n"
                                "..\\sub\\2.vgm\r\n" +
                                root + "/a.vgm\r\n../empty\r\n");
    const std::vector<std::string> args = {root + "/lists/main.m3u8", root + "/sub/2.vgm", root + "/nothing"};
    const auto entries = expandArguments(args);
    const std::vector<Seen> expected = {
        {"lists/../a.vgm", EntryProblem::NONE, "First", 3},
        {"lists/../missing.vgm", EntryProblem::MISSING, "", 4},
        {"lists/../sub/10.vgm", EntryProblem::NONE, "", 0}, // byte order: "10" before "2"
        {"lists/../sub/2.vgm", EntryProblem::NONE, "", 0},
        {"http://example.com/x.vgm", EntryProblem::NOT_A_FILE, "", 6},
        {"lists/c d.s98", EntryProblem::NONE, "", 7},
        {"lists/../sub/2.vgm", EntryProblem::NONE, "", 8},
        {"a.vgm", EntryProblem::NONE, "", 9},
        {"lists/../empty", EntryProblem::NO_LOGS, "", 10},
        {"sub/2.vgm", EntryProblem::NONE, "", 0},
        {"nothing", EntryProblem::MISSING, "", 0},
    };
    EXPECT_EQ(seen(entries, root), expected);
    EXPECT_EQ(entries[1].list, root + "/lists/main.m3u8");
    EXPECT_EQ(entries[1].detail, "No such file or directory");
    EXPECT_EQ(entries[2].list, "");
}

TEST_F(Playlists, AListThatRefersToItselfIsRefused)
{
    file("a.vgm");
    file("self.m3u", "a.vgm\nself.m3u\n./SELF.m3u\n");
    file("one.m3u", "a.vgm\ntwo.m3u\n");
    file("two.m3u", "#EXTINF:1,back\none.m3u\n" + root + "/a.vgm\n");
    folder("link");
    symlink((root + "/three.m3u").c_str(), (root + "/link/alias.m3u").c_str());
    file("three.m3u", "link/alias.m3u\n");
    const std::vector<std::string> args = {root + "/self.m3u", root + "/one.m3u", root + "/three.m3u"};
    const std::vector<Seen> expected = {
        {"a.vgm", EntryProblem::NONE, "", 1},
        {"self.m3u", EntryProblem::LIST_LOOP, "", 2},
        {"./SELF.m3u", EntryProblem::MISSING, "", 3},
        {"a.vgm", EntryProblem::NONE, "", 1},
        {"one.m3u", EntryProblem::LIST_LOOP, "back", 2}, // through two.m3u
        {"a.vgm", EntryProblem::NONE, "", 3},
        // Another name of the list being read, through a link, is the same list.
        {"link/alias.m3u", EntryProblem::LIST_LOOP, "", 1},
    };
    const auto entries = expandArguments(args);
    EXPECT_EQ(seen(entries, root), expected);
    EXPECT_EQ(entries[4].list, root + "/two.m3u");
}

TEST_F(Playlists, DeepNestingAndEndlessListsAreBounded)
{
    file("a.vgm");
    for (int i = 0; i < MAX_LIST_DEPTH + 4; ++i) {
        file(std::string("l").append(std::to_string(i)).append(".m3u"),
             std::string("l").append(std::to_string(i + 1)).append(".m3u\n"));
    }
    const std::vector<std::string> deep = {root + "/l0.m3u"};
    const auto entries = expandArguments(deep);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].problem, EntryProblem::TOO_DEEP);
    EXPECT_EQ(entries[0].path, root + "/l" + std::to_string(MAX_LIST_DEPTH) + ".m3u");

    // A list of the same log many times over, twice: the entries stop at the bound.
    std::string many;
    for (std::size_t i = 0; i < MAX_PLAYLIST_ENTRIES / 2 + 10; ++i) {
        many += "a.vgm\n";
    }
    file("many.m3u", many);
    const std::vector<std::string> twice = {root + "/many.m3u", root + "/many.m3u"};
    const auto bounded = expandArguments(twice);
    ASSERT_EQ(bounded.size(), MAX_PLAYLIST_ENTRIES + 1);
    EXPECT_EQ(bounded.back().problem, EntryProblem::TOO_MANY);
}

} // namespace
