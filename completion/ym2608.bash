# bash completion for ym2608-console, ym2608-board-emu, ym2608-adpcm and
# ym2608-play. Installed once as ym2608-console, the other names linking to it.
#
# The options are read from the program's own --help, so the completion
# follows the program it completes: from its option list (the entries
# "  --name ARG  help" it prints from its option table), or from the whole
# text for a program with none (the console). An option followed by a
# placeholder in capitals takes a value: FILE, PATH, DIR, IN and OUT values
# complete as file names (DIR as folders); a list such as fast|default|best
# completes as its words; other values (N, HZ, TEXT) are left to the user.
# Words after "usage: PROGRAM" in lower case are subcommands.

# Prints the option, its value's placeholder (or "-") and, for a program with
# subcommands, the lines "command WORD", from PROGRAM --help (or the usage it
# prints on standard error when it does not know --help). The program never
# gets the terminal: completing must not wait on it.
_ym2608_help_words()
{
    local help
    help=$(timeout 2 "$1" --help </dev/null 2>&1)
    local entries
    entries=$(awk -F '  +' '/^  -/ { print $2 }' <<<"$help")
    [[ -n $entries ]] || entries=$help
    local option='--[a-z0-9][a-z0-9-]*'
    local value='[A-Z][A-Z0-9_:.]*|[a-z0-9]+(\|[a-z0-9]+)+'
    grep -oE -- "(^|[^a-z0-9-])-h\b|${option}([ =](${value}))?" <<<"$entries" |
        sed -E 's/^[^-]*//; s/[ =]/ /' |
        awk '{ print $1, ($2 == "" ? "-" : $2) }'
    grep -oE -- "^(usage: *| {2,})[^ ]*${1##*/} [a-z]+( |$)" <<<"$help" |
        awk '{ print "command", $NF }'
}

_ym2608()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=""
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    # --opt=value, whether or not '=' breaks words here.
    if [[ $cur == --*=* ]]; then
        prev=${cur%%=*}
        cur=${cur#*=}
    elif [[ $cur == = ]] && ((COMP_CWORD > 1)); then
        prev=${COMP_WORDS[COMP_CWORD - 1]}
        cur=""
    elif [[ $prev == = ]] && ((COMP_CWORD > 1)); then
        prev=${COMP_WORDS[COMP_CWORD - 2]}
    fi

    local program=${COMP_WORDS[0]}
    local -a options=() commands=()
    local -A seen=()
    local word placeholder takes=""
    while read -r word placeholder; do
        if [[ $word == command ]]; then
            commands+=("$placeholder")
            continue
        fi
        # An option named again in the text ("without --baud") is one option.
        [[ -z ${seen[$word]:-} ]] && options+=("$word")
        seen[$word]=1
        [[ $word == "$prev" && $placeholder != - ]] && takes=$placeholder
    done < <(_ym2608_help_words "$program" | sort -u)

    COMPREPLY=()
    if [[ -n $takes ]]; then
        case $takes in
            *'|'*) mapfile -t COMPREPLY < <(compgen -W "${takes//|/ }" -- "$cur") ;;
            DIR*) mapfile -t COMPREPLY < <(compgen -d -- "$cur") ;;
            FILE* | PATH* | IN* | OUT*) mapfile -t COMPREPLY < <(compgen -f -- "$cur") ;;
        esac
        return 0
    fi
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "${options[*]}" -- "$cur")
        return 0
    fi
    # A subcommand first, where the program has them; then file names. The
    # console takes no other arguments.
    if ((${#commands[@]} > 0 && COMP_CWORD == 1)); then
        mapfile -t COMPREPLY < <(compgen -W "${commands[*]}" -- "$cur")
        return 0
    fi
    [[ ${program##*/} == ym2608-console ]] && return 0
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
}

complete -o filenames -F _ym2608 ym2608-console ym2608-board-emu ym2608-adpcm ym2608-play
