#include "cli/options.h"

#include <charconv>
#include <cmath>

namespace cli {

namespace {

constexpr std::string_view SPELLING_SEPARATOR = ", ";
/// The indent of every entry in the option list.
constexpr std::size_t ENTRY_INDENT = 2;
/// The least room between an entry and its help on the same line.
constexpr std::size_t LEAST_GAP = 2;

bool isSpelling(std::string_view names, std::string_view word)
{
    while (!names.empty()) {
        const std::size_t separator = names.find(SPELLING_SEPARATOR);
        if (names.substr(0, separator) == word) {
            return true;
        }
        if (separator == std::string_view::npos) {
            return false;
        }
        names.remove_prefix(separator + SPELLING_SEPARATOR.size());
    }
    return false;
}

/// The spellings and placeholders of the rows from `row` up to the first that
/// has help, which `row` is left at: rows with none share that row's entry.
std::string entryOf(std::span<const OptionText> table, std::size_t& row)
{
    std::string entry;
    for (; row < table.size(); ++row) {
        if (!entry.empty()) {
            entry += SPELLING_SEPARATOR;
        }
        entry += table[row].names;
        if (!table[row].argument.empty()) {
            entry += ' ';
            entry += table[row].argument;
        }
        if (!table[row].help.empty()) {
            break;
        }
    }
    return entry;
}

} // namespace

std::size_t findSpelling(std::span<const OptionText> table, std::string_view word)
{
    for (std::size_t row = 0; row < table.size(); ++row) {
        if (isSpelling(table[row].names, word)) {
            return row;
        }
    }
    return table.size();
}

Step scanNext(Scanner& scanner, std::span<const OptionText> table, Found& found, std::string& error)
{
    if (scanner.next >= scanner.words.size()) {
        return Step::END;
    }
    std::string_view word = scanner.words[scanner.next++];
    if (!scanner.optionsEnded && scanner.syntax.endOfOptions && word == "--") {
        scanner.optionsEnded = true;
        return scanNext(scanner, table, found, error);
    }
    if (scanner.optionsEnded || (scanner.takesArguments && (!word.starts_with('-') || word == "-"))) {
        found.given = {{}, word};
        return Step::ARGUMENT;
    }
    bool inlineValue = false;
    if (const std::size_t equals = word.find('=');
        scanner.syntax.inlineValues && word.starts_with("--") && equals != std::string_view::npos) {
        found.given.value = word.substr(equals + 1);
        word = word.substr(0, equals);
        inlineValue = true;
    }
    found.given.name = word;
    found.row = findSpelling(table, word);
    if (found.row == table.size()) {
        error = unknownOption(word);
        return Step::REFUSED;
    }
    if (table[found.row].argument.empty()) {
        if (inlineValue) {
            error = std::string(word) + " takes no value";
            return Step::REFUSED;
        }
        return Step::OPTION;
    }
    if (inlineValue) {
        return Step::OPTION;
    }
    if (scanner.next < scanner.words.size()) {
        found.given.value = scanner.words[scanner.next++];
        return Step::OPTION;
    }
    if (scanner.syntax.missingValueIsEmpty) {
        return Step::OPTION;
    }
    error = needs(word, "a value");
    return Step::REFUSED;
}

std::string listOptions(std::span<const OptionText> table, std::size_t column)
{
    std::string list;
    for (std::size_t row = 0; row < table.size(); ++row) {
        const std::string entry = entryOf(table, row);
        list.append(ENTRY_INDENT, ' ');
        list += entry;
        if (row == table.size()) {
            list += '\n';
            break;
        }
        if (ENTRY_INDENT + entry.size() + LEAST_GAP > column) {
            list += '\n';
            list.append(column, ' ');
        } else {
            list.append(column - ENTRY_INDENT - entry.size(), ' ');
        }
        for (const char c : table[row].help) {
            list += c;
            if (c == '\n') {
                list.append(column, ' ');
            }
        }
        list += '\n';
    }
    return list;
}

bool readWhole(std::string_view text, std::uint64_t low, std::uint64_t high, std::uint64_t& value,
               Radix radix)
{
    int base = 10;
    if (radix == Radix::DECIMAL_OR_HEX && text.size() > 2 && text[0] == '0' &&
        (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) {
        return false;
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return ec == std::errc{} && end == text.data() + text.size() && value >= low && value <= high;
}

bool readReal(std::string_view text, double low, double high, double& value)
{
    // from_chars takes no leading '+'; a level in dB is often written with one.
    if (text.size() > 1 && text[0] == '+' && text[1] != '-') {
        text.remove_prefix(1);
    }
    double number = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size() || !std::isfinite(number) ||
        number < low || number > high) {
        return false;
    }
    value = number;
    return true;
}

bool setReal(double& field, const Given& given, double low, double high, std::string_view reason,
             std::string& error)
{
    if (!readReal(given.value, low, high, field)) {
        error = badValue(given, reason);
        return false;
    }
    return true;
}

std::string badValue(const Given& given, std::string_view reason)
{
    return std::string(given.name) + " " + std::string(given.value) + ": " + std::string(reason);
}

std::string needs(std::string_view name, std::string_view what)
{
    return std::string(name) + " needs " + std::string(what);
}

bool setPath(std::string& path, const Given& given, std::string_view what, std::string& error)
{
    if (given.value.empty()) {
        error = needs(given.name, what);
        return false;
    }
    path = given.value;
    return true;
}

std::string unknownOption(std::string_view word)
{
    return "unknown option " + std::string(word);
}

} // namespace cli
