#!/usr/bin/env python3
"""Holds the man pages, the programs' --help and --version and the bash
completion against one another, through the real programs and man(1):

  - every page formats with no warning from `man --warnings -l`;
  - `PROGRAM --version` prints "PROGRAM VERSION", `--help` the usage with a
    pointer to the page, and an unknown option one line and exit status 2;
  - every option in --help's option list (the lines "  --name ARG  help",
    printed from the program's option table) is on the program's page, and
    every option the page's OPTIONS section lists is in that list; --help
    names no option elsewhere (usage, prose) that the list does not have. A
    program with no such list (the console) is held to every option its
    --help names. Every command of a program's command table has an entry in
    its page's COMMANDS;
  - every option that takes a number (placeholder N, K, HZ, MS, X or BYTE)
    gives the numbers it takes ("1 to 255", "from 1", "44100 or 48000"), both
    in its --help entry and in its entry on the page;
  - the completion script offers exactly --help's options, and completes
    values and subcommands as the programs take them.

  check_pages.py --version V --pages DIR --completion FILE [--ahead ENTRY]... PROGRAM...

An --ahead entry names a page that describes its program ahead of the program:
PROGRAM (its behaviour is not checked yet) or PROGRAM:--OPTION (on the page,
not yet in --help). Exit status 0 when all holds, 1 with one line per fault,
77 when man(1) is missing.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

OPTION = re.compile(r"(?<![\w-])(--[a-z0-9][a-z0-9-]*|-h)(?![\w-])")
# An entry of --help's option list: two spaces, the spellings and the value's
# placeholder, then two spaces or more before the help (or the line's end).
LIST_ENTRY = re.compile(r"^  (-\S.*?)(?:  |$)", re.M)
# Placeholders of a number, and the words that give the numbers one takes.
NUMBER = re.compile(r"\b(N|K|HZ|MS|X|BYTE)\b")
RANGE = re.compile(r"\b\d[\d.]* (to|or) \d|\bfrom \d")
faults = []


def fault(message):
    faults.append(message)
    print("FAULT: " + message)


def run(argv, **kwargs):
    return subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30, **kwargs)


def check_page_formats(page):
    env = dict(os.environ, LC_ALL="C.UTF-8", MANWIDTH="80")
    result = run(["man", "--warnings", "-l", page], env=env)
    if result.returncode != 0 or result.stderr:
        fault(f"{os.path.basename(page)}: man --warnings reports: {result.stderr.strip() or result.returncode}")


def page_options(source):
    """Options anywhere on the page, and those its OPTIONS section lists."""
    with open(source, encoding="utf-8") as f:
        text = f.read()
    listed = set()
    section = re.search(r"^# OPTIONS\n(.*?)(?=^# )", text, re.S | re.M)
    if section:
        for line in section.group(1).splitlines():
            if line.startswith("*-"):
                listed.update(OPTION.findall(line))
    return set(OPTION.findall(text)), listed


def help_entries(help_text):
    """Each entry of --help's option list: its first line and the lines
    indented below it, keyed by the entry's spellings and placeholder."""
    entries, current = {}, None
    for line in help_text.splitlines():
        header = LIST_ENTRY.match(line)
        if header:
            current = header.group(1)
            entries[current] = line
        elif current is not None and line.startswith("    "):
            entries[current] += " " + line.strip()
        else:
            current = None
    return entries


def page_entries(source):
    """Each entry of the page's OPTIONS: its *--name* _ARG_ line and its text."""
    with open(source, encoding="utf-8") as f:
        section = re.search(r"^# OPTIONS\n(.*?)(?=^# )", f.read(), re.S | re.M)
    entries, current = {}, None
    for line in (section.group(1) if section else "").splitlines():
        if line.startswith("*-"):
            current = line
            entries[current] = line
        elif current is not None and line.startswith("\t"):
            entries[current] += " " + line.strip()
    return entries


def check_ranges(name, help_text, source):
    """Every option that takes a number says which, in --help and on the page."""
    for header, text in help_entries(help_text).items():
        if NUMBER.search(header) and not RANGE.search(text[len(header):]):
            fault(f"{name} --help: {header.strip()} does not say the numbers it takes")
    for header, text in page_entries(source).items():
        if NUMBER.search(header.replace("*", " ").replace("_", " ")) and not RANGE.search(text[len(header):]):
            fault(f"{name}: the man page's {header} does not say the numbers it takes")


def complete(completion, words, cwd):
    """COMPREPLY for the command line `words`, the last word being completed."""
    script = (f'source "{completion}"\n'
              "COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1))\n"
              "_ym2608\n"
              'printf "%s\\n" "${COMPREPLY[@]}"\n')
    result = run(["bash", "-c", script, "complete"] + words, cwd=cwd)
    if result.returncode != 0:
        fault(f"completion of {words}: bash exited {result.returncode}: {result.stderr.strip()}")
    return sorted(line for line in result.stdout.splitlines() if line)


def check_program(path, version, pages, completion, ahead):
    name = os.path.basename(path)
    result = run([path, "--version"])
    if (result.returncode, result.stdout, result.stderr) != (0, f"{name} {version}\n", ""):
        fault(f"{name} --version: status {result.returncode}, {result.stdout!r} {result.stderr!r}")

    result = run([path, "--help"])
    help_text = result.stdout
    if result.returncode != 0 or result.stderr or not help_text:
        fault(f"{name} --help: status {result.returncode}, standard error {result.stderr!r}")
    if f"man {name}" not in help_text and f"{name}(1)" not in help_text:
        fault(f"{name} --help does not point at the man page (man {name})")
    # The option list is the program's option table as --help prints it:
    # what the usage and the prose name must be in it.
    named = set(OPTION.findall(help_text))
    help_options = {o for entry in LIST_ENTRY.findall(help_text) for o in OPTION.findall(entry)}
    if help_options:
        for option in sorted(named - help_options):
            fault(f"{name} --help names {option}, which its option list does not have")
    else:
        help_options = named
    # -h is a program's short --help whether or not the usage names it.
    short_help = run([path, "-h"])
    if short_help.returncode == 0 and short_help.stdout == help_text:
        help_options.add("-h")
    elif "-h" in help_options:
        fault(f"{name} -h does not print what --help prints")

    result = run([path, "--no-such-option"])
    if result.returncode != 2 or result.stdout or result.stderr.count("\n") != 1:
        fault(f"{name} --no-such-option: status {result.returncode} (want 2), standard output "
              f"{result.stdout!r}, standard error {result.stderr!r} (want one line)")

    source = os.path.join(pages, name + ".1.scd")
    if not os.path.exists(source):
        fault(f"{name} has no man page")
        return
    check_ranges(name, help_text, source)
    on_page, listed = page_options(source)
    for option in sorted(help_options - on_page):
        fault(f"{name}: {option} is in --help but not on the man page")
    for option in sorted(listed - help_options):
        if f"{name}:{option}" not in ahead:
            fault(f"{name}: the man page lists {option}, which --help does not know")

    # A program with a command table (the console's "Commands:") has an entry
    # on its page for each command.
    table = re.search(r"^Commands:\n(.*?)(?:\n\n|\Z)", help_text, re.S | re.M)
    if table:
        with open(source, encoding="utf-8") as f:
            section = re.search(r"^# COMMANDS\n(.*?)(?=^# )", f.read(), re.S | re.M)
        entries = set(re.findall(r"^\*([^*\s]+)\*", section.group(1), re.M)) if section else set()
        for line in table.group(1).splitlines():
            command = line.split()[0] if line.strip() else ""
            if command and command not in entries:
                fault(f"{name}: command {command} is in --help but has no entry in the page's COMMANDS")

    long_options = sorted(o for o in help_options if o.startswith("--"))
    with tempfile.TemporaryDirectory() as scratch:
        os.mkdir(os.path.join(scratch, "probe-dir"))
        open(os.path.join(scratch, "probe.bin"), "w").close()
        offered = complete(completion, [path, "--"], scratch)
        if offered != long_options:
            fault(f"{name}: completion of -- offers {offered}, --help has {long_options}")
        # Values and arguments, where the program takes them.
        cases = {
            "ym2608-console": [([""], [])],
            "ym2608-board-emu": [(["--log", "pro"], ["probe-dir", "probe.bin"]),
                                 (["--log=pro"], ["probe-dir", "probe.bin"]),
                                 (["--wav-dir", "pro"], ["probe-dir"]),
                                 (["--identify", "pro"], [])],
            "ym2608-adpcm": [([""], ["decode", "encode"]),
                             (["encode", "pro"], ["probe-dir", "probe.bin"])],
            "ym2608-play": [(["pro"], ["probe-dir", "probe.bin"])],
        }
        for words, expected in cases.get(name, []):
            got = complete(completion, [path] + words, scratch)
            if got != expected:
                fault(f"{name}: completion of {words} offers {got}, want {expected}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--version", required=True)
    parser.add_argument("--pages", required=True)
    parser.add_argument("--completion", required=True)
    parser.add_argument("--ahead", action="append", default=[])
    parser.add_argument("programs", nargs="+")
    args = parser.parse_args()
    if shutil.which("man") is None:
        print("man(1) is missing (Debian package man-db): not checked")
        return 77

    for page in sorted(os.listdir(args.pages)):
        if page.endswith(".1"):
            check_page_formats(os.path.join(args.pages, page))
    for path in map(os.path.abspath, args.programs):
        name = os.path.basename(path)
        if name in args.ahead:
            print(f"{name}: its page describes it ahead of the program; behaviour not checked")
            continue
        check_program(path, args.version, args.pages, os.path.abspath(args.completion), set(args.ahead))
    print(f"{len(faults)} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
