// The scanner and the option list through a small table of their own: the
// rules each program's syntax turns on, and the layout --help prints.
#include "cli/options.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Target {
    std::string file;
    std::string level;
    bool quiet = false;
    /// Every setter called, in order: "--file=x", "-q".
    std::vector<std::string> calls;
};

bool setFile(Target& t, const cli::Given& given, std::string&)
{
    t.calls.push_back(std::string(given.name) + "=" + std::string(given.value));
    t.file = given.value;
    return true;
}

bool setLevel(Target& t, const cli::Given& given, std::string& error)
{
    t.calls.push_back(std::string(given.name) + "=" + std::string(given.value));
    if (given.value != "low" && given.value != "high") {
        error =
            given.value.empty() ? cli::needs(given.name, "low or high") : cli::badValue(given, "low or high");
        return false;
    }
    t.level = given.value;
    return true;
}

bool setQuiet(Target& t, const cli::Given& given, std::string&)
{
    t.calls.emplace_back(given.name);
    t.quiet = true;
    return true;
}

const cli::Option<Target> TABLE[] = {
    {"--file", "FILE", "where it goes", setFile},
    {"--level", "low|high", "how loud\nit is", setLevel},
    {"-q, --quiet", "", "say less", setQuiet},
};

struct Parsed {
    bool ok;
    Target target;
    std::vector<std::string> arguments;
    std::string error;
};

Parsed parse(std::vector<const char*> words, cli::Syntax syntax, bool arguments = true)
{
    Parsed p{false, {}, {}, {}};
    p.ok = cli::parseCommandLine<Target>(words, TABLE, syntax, p.target, arguments ? &p.arguments : nullptr,
                                         p.error);
    return p;
}

TEST(Scanner, ReadsWordsAsEachSyntaxSays)
{
    const cli::Syntax plain{};
    Parsed p = parse({"a", "--file=x=y", "-", "-q", "--level", "--quiet", "b"}, plain);
    ASSERT_FALSE(p.ok);
    EXPECT_EQ(p.error, "--level --quiet: low or high") << "a value is the next word, whatever it looks like";

    p = parse({"a", "--file=x=y", "-", "--quiet", "--level", "low", "b"}, plain);
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.arguments, (std::vector<std::string>{"a", "-", "b"}));
    EXPECT_EQ(p.target.calls, (std::vector<std::string>{"--file=x=y", "--quiet", "--level=low"}));

    // "--" ends the options only where the syntax says so.
    p = parse({"--", "--quiet"}, cli::Syntax{.endOfOptions = true});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.arguments, (std::vector<std::string>{"--quiet"}));
    EXPECT_FALSE(p.target.quiet);
    EXPECT_EQ(parse({"--", "--quiet"}, plain).error, "unknown option --");

    // Without inline values, "--file=x" is a word the table does not know.
    EXPECT_EQ(parse({"--file=x"}, cli::Syntax{.inlineValues = false}).error, "unknown option --file=x");
    // A value missing at the end: the scanner's words, or the setter's own.
    EXPECT_EQ(parse({"--level"}, plain).error, "--level needs a value");
    EXPECT_EQ(parse({"--level"}, cli::Syntax{.missingValueIsEmpty = true}).error,
              "--level needs low or high");
    // A program that takes no arguments refuses every other word as an option.
    EXPECT_EQ(parse({"a"}, plain, false).error, "unknown option a");
}

TEST(Scanner, StopsAtTheFirstRefusal)
{
    const std::pair<std::vector<const char*>, const char*> cases[] = {
        {{"--quiet=1", "--nope"}, "--quiet takes no value"},
        {{"-q=1"}, "unknown option -q=1"},
        {{"--nope=1", "--quiet=1"}, "unknown option --nope"},
        {{"--level=loud", "--nope"}, "--level loud: low or high"},
        {{"--file", "x", "--level"}, "--level needs a value"},
    };
    for (const auto& [words, message] : cases) {
        const Parsed p = parse(words, cli::Syntax{});
        EXPECT_FALSE(p.ok) << message;
        EXPECT_EQ(p.error, message);
    }
    // Nothing after the refused word was set.
    const Parsed p = parse({"--file", "x", "--level=loud", "--quiet"}, cli::Syntax{});
    EXPECT_EQ(p.target.calls, (std::vector<std::string>{"--file=x", "--level=loud"}));
    EXPECT_FALSE(p.target.quiet);
}

TEST(Scanner, ReadsWholeNumbersInTheirRadix)
{
    std::uint64_t value = 0;
    EXPECT_TRUE(cli::readWhole("0x1F", 0, 255, value, cli::Radix::DECIMAL_OR_HEX));
    EXPECT_EQ(value, 31u);
    EXPECT_FALSE(cli::readWhole("0x1F", 0, 255, value)) << "hexadecimal only where the program takes it";
    for (const char* refused : {"", "0x", "256", "-1", "+1", " 1", "1 ", "1e2"}) {
        EXPECT_FALSE(cli::readWhole(refused, 0, 255, value, cli::Radix::DECIMAL_OR_HEX)) << refused;
    }
}

TEST(OptionList, AlignsHelpAndGathersRowsWithoutIt)
{
    EXPECT_EQ(cli::optionList<Target>(TABLE, 15), "  --file FILE  where it goes\n"
                                                  "  --level low|high\n"
                                                  "               how loud\n"
                                                  "               it is\n"
                                                  "  -q, --quiet  say less\n");
    const cli::Option<Target> bare[] = {
        {"--file", "FILE", "", setFile},
        {"-q, --quiet", "", "", setQuiet},
    };
    EXPECT_EQ(cli::optionList<Target>(bare, 14), "  --file FILE, -q, --quiet\n");
    const cli::Option<Target>* row = cli::findOption<Target>(TABLE, "-q");
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->set, setQuiet);
    EXPECT_EQ(cli::findOption<Target>(TABLE, "-"), nullptr);
    EXPECT_EQ(cli::findOption<Target>(TABLE, "--quiet, -q"), nullptr);
}

} // namespace
