// A program's command line, read through one table of its options. Each row
// gives an option's spellings, the placeholder of its value (none for a
// flag), its help and the function that sets it; the scanner reads the
// arguments through that table and --help prints its option list from it,
// so the two cannot drift apart. The man pages' check and the bash
// completion read that list in turn.
//
// The scanner only splits words and finds rows: "--name=value" or
// "--name value", "--" where the program takes it, words that are not
// options. Whether a value is right is the row's setter's to say; the
// wording of the scanner's own refusals ("unknown option X", "X needs a
// value", "X takes no value") is shared by every program.
//
// Functions: parseCommandLine, findOption, optionList, readWhole, readReal, badValue,
// needs, unknownOption, setWhole, setReal, setPath, setText, setTrue, setFalse.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace cli {

/// An option as the command line gave it: the spelling used ("-h" or
/// "--help") and its value, empty for a flag.
struct Given {
    std::string_view name;
    std::string_view value;
};

/// The words of one row, which the scanner and --help read.
struct OptionText {
    /// Every spelling, the short one first: "--log", "-h, --help".
    std::string_view names;
    /// The value's placeholder, "FILE"; empty for a flag.
    std::string_view argument;
    /// The help, '\n' between its lines; empty lists the option on one line
    /// with the ones after it that have none either.
    std::string_view help;
};

/// One row of a program's option table: its words as in OptionText, and
/// what it sets.
template <typename Target> struct Option {
    std::string_view names;
    std::string_view argument;
    std::string_view help;
    /// Stores the option in `target`; false, with a one-line message in
    /// `error`, for a value the option does not take.
    bool (*set)(Target& target, const Given& given, std::string& error);
};

/// How a program's command line reads, beyond its table.
struct Syntax {
    /// "--name=value" as well as "--name value".
    bool inlineValues = true;
    /// "--" ends the options: every word after it is an argument.
    bool endOfOptions = false;
    /// A value option last on the line is set with an empty value, which its
    /// setter refuses in its own words, rather than "NAME needs a value".
    bool missingValueIsEmpty = false;
};

/// Where the scanner stands in a command line; parseCommandLine drives it
/// one step at a time, so that each option is set before the next is read.
struct Scanner {
    std::span<const char* const> words;
    Syntax syntax;
    /// Words that are not options are arguments; without, each is an unknown option.
    bool takesArguments = false;
    std::size_t next = 0;
    bool optionsEnded = false;
};

enum class Step : std::uint8_t { OPTION, ARGUMENT, END, REFUSED };

/// What one step found: the option's row, spelling and value, or the argument.
struct Found {
    std::size_t row = 0;
    Given given;
};

/// Reads the next option with its value, or the next argument. REFUSED, with
/// the one-line message in `error`, for a word the table does not know, a
/// missing value, or a value given to a flag.
Step scanNext(Scanner& scanner, std::span<const OptionText> table, Found& found, std::string& error);

/// The row one of whose spellings is `word`; table.size() for none.
std::size_t findSpelling(std::span<const OptionText> table, std::string_view word);

/// --help's option list: each entry two spaces in, its spellings and
/// placeholder, then its help from `column` on, the help's further lines
/// indented to the column. An entry too wide for the column puts its help on
/// the next line.
std::string listOptions(std::span<const OptionText> table, std::size_t column);

/// How a whole number may be written: in decimal, or also in hexadecimal after 0x.
enum class Radix : std::uint8_t { DECIMAL, DECIMAL_OR_HEX };

/// A whole number within [low, high], the whole text read.
bool readWhole(std::string_view text, std::uint64_t low, std::uint64_t high, std::uint64_t& value,
               Radix radix = Radix::DECIMAL);

/// A number within [low, high], the whole text read: decimal, with a
/// fraction or an exponent, a sign before it ("+3" as well as "-3").
bool readReal(std::string_view text, double low, double high, double& value);

/// "NAME VALUE: REASON", for a value the option does not take.
std::string badValue(const Given& given, std::string_view reason);

/// "NAME needs WHAT", for an option given without the value it needs.
std::string needs(std::string_view name, std::string_view what);

/// "unknown option WORD".
std::string unknownOption(std::string_view word);

template <typename Target> std::vector<OptionText> texts(std::span<const Option<Target>> table)
{
    std::vector<OptionText> words;
    words.reserve(table.size());
    for (const Option<Target>& row : table) {
        words.push_back({row.names, row.argument, row.help});
    }
    return words;
}

/// Sets `target` from `words` (the arguments after the program's name, or
/// after its command), one row's setter for each option, in order; the
/// arguments go to `arguments`, or are refused where it is null. False, with
/// a one-line message in `error`, at the first word refused.
template <typename Target>
bool parseCommandLine(std::span<const char* const> words,
                      std::type_identity_t<std::span<const Option<Target>>> table, Syntax syntax,
                      Target& target, std::vector<std::string>* arguments, std::string& error)
{
    const std::vector<OptionText> text = texts(table);
    Scanner scanner{words, syntax, arguments != nullptr};
    for (;;) {
        Found found;
        switch (scanNext(scanner, text, found, error)) {
        case Step::END:
            return true;
        case Step::REFUSED:
            return false;
        case Step::ARGUMENT:
            arguments->emplace_back(found.given.value);
            break;
        case Step::OPTION:
            if (!table[found.row].set(target, found.given, error)) {
                return false;
            }
            break;
        }
    }
}

/// The row one of whose spellings is `word` exactly; null for none.
template <typename Target>
const Option<Target>* findOption(std::span<const Option<Target>> table, std::string_view word)
{
    const std::size_t row = findSpelling(texts(table), word);
    return row < table.size() ? &table[row] : nullptr;
}

template <typename Target> std::string optionList(std::span<const Option<Target>> table, std::size_t column)
{
    return listOptions(texts(table), column);
}

/// Sets `field` to the given value, a whole number within [low, high]; else
/// refuses it as "NAME VALUE: REASON".
template <typename Field>
bool setWhole(Field& field, const Given& given, std::uint64_t low, std::uint64_t high,
              std::string_view reason, std::string& error, Radix radix = Radix::DECIMAL)
{
    std::uint64_t number = 0;
    if (!readWhole(given.value, low, high, number, radix)) {
        error = badValue(given, reason);
        return false;
    }
    field = static_cast<Field>(number);
    return true;
}

/// Sets `field` to the given value, a number within [low, high] (readReal);
/// else refuses it as "NAME VALUE: REASON".
bool setReal(double& field, const Given& given, double low, double high, std::string_view reason,
             std::string& error);

/// Sets `path` to the given value, which may not be empty: else refuses it
/// as "NAME needs WHAT" ("a file", "a directory").
bool setPath(std::string& path, const Given& given, std::string_view what, std::string& error);

/// Setters for the plain rows: a text stored as given, a flag raised or cleared.
template <auto Member, typename Target>
bool setText(Target& target, const Given& given, std::string& /*error*/)
{
    target.*Member = std::string(given.value);
    return true;
}

template <auto Member, typename Target>
bool setTrue(Target& target, const Given& /*given*/, std::string& /*error*/)
{
    target.*Member = true;
    return true;
}

template <auto Member, typename Target>
bool setFalse(Target& target, const Given& /*given*/, std::string& /*error*/)
{
    target.*Member = false;
    return true;
}

} // namespace cli
