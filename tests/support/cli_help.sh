# shellcheck shell=bash
# What the qvds18x20 tool says about itself in --help, for the tests that
# hold the manual page and the bash completion to it. Sourced by
# man_page_test.sh and completion_test.sh.
#
# CLI11 prints an option as two spaces, its names and type, and its
# description from the 31st column on, or on the next line when the names
# and type are longer.

# The help texts, asked of the tool once per command and kept: the tests
# read them many times over, and a sanitizer build of the tool starts
# slowly. A test that sources this file calls help_cache_cleanup on exit.
_help_cache=$(mktemp -d "${TMPDIR:-/tmp}/qvds-help.XXXXXX")
help_cache_cleanup() { rm -rf "$_help_cache"; }
help_text() {
  local tool=$1 cmd=${2:-} file="$_help_cache/${2:-.program}"
  if [[ ! -f $file ]]; then
    { if [[ -n $cmd ]]; then "$tool" "$cmd" --help; else "$tool" --help; fi; } >"$file.part" ||
      { cat "$file.part"; return 1; }
    mv "$file.part" "$file"
  fi
  cat "$file"
}

# The commands, one per line.
help_commands() {
  help_text "$1" | awk '/^Subcommands:/ {on = 1; next} /^[^ ]/ {on = 0} on && /^  [a-z]/ {print $1}'
}

# Every option of a command (none: of the program itself), one line each:
# its names separated by commas, a tab, its description, a tab, and its
# type and default as CLI11 shows them ("TEXT:{ds2480b,passive}=ds2480b").
help_option_lines() {
  local tool=$1 cmd=${2:-}
  help_text "$tool" "$cmd" | awk '
    function flush() { if (names != "") print names "\t" desc "\t" form; names = ""; desc = ""; form = "" }
    # Every option group: "Options:" and the named ones ("Publishing:").
    /^[A-Z][A-Za-z ]*:$/ && !/^Subcommands:$/ { flush(); on = 1; next }
    /^[^ ]/ { flush(); on = 0 }
    !on { next }
    /^  -/ {
      flush()
      names = $1
      if (substr($0, 29, 2) == "  ") {
        form = substr($0, 3, 28)
        desc = substr($0, 31)
        sub(/^ +/, "", desc)
      } else {
        form = substr($0, 3)
      }
      sub(/^[^ ]+ */, "", form)
      sub(/ +$/, "", form)
      next
    }
    /^ +[^ ]/ { line = $0; sub(/^ +/, "", line); desc = (desc == "" ? line : desc " " line) }
    END { flush() }'
}

# The option names of a command, one per line (-h and --help apart).
help_options() {
  help_option_lines "$@" | cut -f1 | tr ',' '\n'
}

# The values an option of a command takes, one per line: the set CLI11
# checks them against, or else those its description offers.
help_values() {
  local line form
  line=$(help_option_lines "$1" "$2" | awk -F'\t' -v o="$3" '{n = split($1, a, ","); for (i = 1; i <= n; i++) if (a[i] == o) print}')
  form=$(cut -f3 <<<"$line")
  if [[ $form =~ \{([^}]*)\} ]]; then
    tr ',' '\n' <<<"${BASH_REMATCH[1]}" | sed 's/->.*//'
  else
    help_alternatives "$(cut -f2 <<<"$line")"
  fi
}

# The values a description offers after its first colon: "output: table,
# csv or json" gives table, csv, json; "a number, passive (1) or ds2480b (5)"
# gives passive, 1, ds2480b, 5 (a number is no word to complete).
help_alternatives() {
  # A colon inside parentheses ("(default: ...)") introduces no values.
  [[ $1 == *": "* && ${1%%: *} != *"("* ]] || return 0
  local text=${1#*: }
  text=${text//, / or }
  local item word
  while IFS= read -r item; do
    item=${item#"${item%%[! ]*}"}
    [[ -z $item || $item == "a number"* ]] && continue
    word=${item%% *}
    echo "$word"
    if [[ $item =~ \(([0-9]+)\) ]]; then echo "${BASH_REMATCH[1]}"; fi
  done <<<"${text// or /$'\n'}"
}

# The options a build may leave out (QVDS_WITH_MQTT, QVDS_WITH_HTTP,
# QVDS_WITH_OWSERVER) that this tool does not have, one per line: the
# manual page and the completion name them all, and a build without a part
# is not held to them. Every --mqtt option is MQTT's; --metrics-listen is
# the endpoint's; --owserver is serve's, a command of its own.
help_left_out() {
  local tool=$1
  if ! help_options "$tool" watch | grep -qx -- --mqtt; then
    printf '%s\n' --mqtt --mqtt-cafile --mqtt-discovery --mqtt-discovery-prefix --mqtt-queue --mqtt-grace
  fi
  help_options "$tool" watch | grep -qx -- --metrics-listen || echo --metrics-listen
  help_commands "$tool" | grep -qx serve || echo --owserver
}

# The commands a build may leave out (serve, QVDS_WITH_OWSERVER) that this
# tool does not have, one per line.
help_left_out_commands() {
  help_commands "$1" | grep -qx serve || echo serve
}
