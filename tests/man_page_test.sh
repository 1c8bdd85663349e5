#!/usr/bin/env bash
# The manual page doc/qvds18x20.1.in against the built tool's --help: every
# command must have a synopsis naming each of its options and a subsection
# under COMMANDS, every option must be described under OPTIONS together
# with the values it takes, and the page may name no command or option the
# tool does not have. The page the build configured must carry the tool's
# version and format without a groff warning.
#
#   tests/man_page_test.sh BUILD_DIR
set -uo pipefail

build=${1:?usage: $0 BUILD_DIR}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
page_src=$here/../doc/qvds18x20.1.in
page_built=$build/doc/qvds18x20.1
tool=$build/tools/qvds18x20/qvds18x20
[ -x "$tool" ] || { echo "FAIL: $tool not built"; exit 1; }
[ -f "$page_src" ] || { echo "FAIL: $page_src missing"; exit 1; }
# shellcheck source-path=SCRIPTDIR source=support/cli_help.sh
source "$here/support/cli_help.sh"
trap help_cache_cleanup EXIT

failures=0
checks=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() { checks=$((checks + 1)); }

# The page with troff's escaped hyphens made plain.
page=$(sed 's/\\-/-/g' "$page_src")

section() { awk -v s="$1" '/^\.SH / {on = ($0 ~ "^\\.SH \"?" s "\"?$"); next} on' <<<"$page"; }

# The synopsis of each command: "command<TAB>options found in its block".
synopses=$(section SYNOPSIS | awk '
  /^\.SY / {on = 1; cmd = ""; opts = ""; next}
  /^\.YS/ {if (cmd != "") print cmd "\t" opts; on = 0; next}
  !on {next}
  cmd == "" && /^\.B [a-z]/ {cmd = $2; next}
  {while (match($0, /--[a-z0-9-]+/)) {opts = opts " " substr($0, RSTART, RLENGTH); $0 = substr($0, RSTART + RLENGTH)}}')

# Options described under OPTIONS: the option names on the line after .TP.
described=$(section OPTIONS | awk '
  prev_tp {while (match($0, /(^|[^a-z0-9-])--?[a-z0-9][a-z0-9-]*/)) {
             tok = substr($0, RSTART, RLENGTH); sub(/^[^-]/, "", tok); print tok; $0 = substr($0, RSTART + RLENGTH)}}
  {prev_tp = ($0 ~ /^\.TP/)}' | sort -u)

# The text of an option's item under OPTIONS, up to the next item.
item_text() {
  section OPTIONS | awk -v o="$1" '
    /^\.(TP|SS|SH)/ {if (on) exit; tp = ($0 ~ /^\.TP/); next}
    tp {tp = 0; n = split($0, w, /[^a-z0-9-]+/); for (i = 1; i <= n; i++) if (w[i] == o) on = 1}
    on'
}

commands=$(help_commands "$tool")
[ -n "$commands" ] || { echo "FAIL: no commands in $tool --help"; exit 1; }
all_options=$( (help_options "$tool"; for c in $commands; do help_options "$tool" "$c"; done) | sort -u)
# What the page describes for the builds that have it.
left_out=" $(help_left_out "$tool" | tr '\n' ' ') "
[ "$left_out" = "  " ] || echo "this build leaves out:$left_out"

for cmd in $commands; do
  check
  grep -qx "\.SS \"\?$cmd\"\?" <<<"$(section COMMANDS)" || fail "command '$cmd' has no subsection under COMMANDS"
  check
  block=$(awk -F'\t' -v c="$cmd" '$1 == c {print $2}' <<<"$synopses")
  grep -q "^$cmd"$'\t' <<<"$synopses" || { fail "command '$cmd' has no synopsis"; continue; }
  # The synopsis names the long forms; the short ones (-p for --port)
  # are described beside them under OPTIONS.
  for opt in $(help_options "$tool" "$cmd"); do
    [[ $opt == -h || $opt == --help || $opt != --* ]] && continue
    check
    [[ " $block " == *" $opt "* ]] || fail "the synopsis of '$cmd' lacks $opt"
  done
  for opt in $block; do
    [[ $left_out == *" $opt "* ]] && continue
    check
    help_options "$tool" "$cmd" | grep -qx -- "$opt" || fail "the synopsis of '$cmd' names $opt, which '$cmd --help' does not have"
  done
done

for opt in $all_options; do
  check
  grep -qx -- "$opt" <<<"$described" || fail "option $opt is not described under OPTIONS"
done
for opt in $described; do
  [[ $left_out == *" $opt "* ]] && continue
  check
  grep -qx -- "$opt" <<<"$all_options" || fail "OPTIONS describes $opt, which no command has"
done

# The values of options that take a fixed set (each option once: the
# commands share their descriptions).
seen=" "
for cmd in $commands; do
  for opt in $(help_options "$tool" "$cmd"); do
    [[ $opt == --* && $seen != *" $opt "* ]] || continue
    seen="$seen$opt "
    values=$(help_values "$tool" "$cmd" "$opt")
    [ -n "$values" ] || continue
    text=$(item_text "$opt")
    for v in $values; do
      check
      grep -qw -- "$v" <<<"$text" || fail "the description of $opt does not name its value '$v'"
    done
  done
done

check
if [ -f "$page_built" ]; then
  version=$("$tool" version | head -1)
  grep -q "^\.TH .*\"$version\"" "$page_built" || fail "the page's title line does not carry '$version': $(grep '^\.TH' "$page_built")"
  if command -v groff >/dev/null; then
    check
    warnings=$(LC_ALL=C.UTF-8 groff -man -ww -z -Tutf8 "$page_built" 2>&1)
    [ -z "$warnings" ] || fail "groff warns: $warnings"
  fi
else
  fail "$page_built was not configured"
fi

echo "man page: $checks checks, $failures failed"
[ "$failures" -eq 0 ]
