#!/usr/bin/env bash
# The bash completion tools/completion/qvds18x20.bash against the built
# tool's --help: it must offer exactly the commands, each command's
# options and the values of options that take a fixed set, the port names
# the tool's "ports" lists, and file names where a file is expected.
#
#   tests/completion_test.sh BUILD_DIR
set -uo pipefail

build=${1:?usage: $0 BUILD_DIR}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
tool=$build/tools/qvds18x20/qvds18x20
[ -x "$tool" ] || { echo "FAIL: $tool not built"; exit 1; }
# shellcheck source-path=SCRIPTDIR source=support/cli_help.sh
source "$here/support/cli_help.sh"
# shellcheck source=tools/completion/qvds18x20.bash
source "$here/../tools/completion/qvds18x20.bash"

failures=0
checks=0
# expect WHAT EXPECTED ACTUAL: two lists, one word per line, in any order.
expect() {
  checks=$((checks + 1))
  local want got
  want=$(sort -u <<<"$2" | sed '/^$/d')
  got=$(sort -u <<<"$3" | sed '/^$/d')
  if [ "$want" != "$got" ]; then
    echo "FAIL: $1"
    diff <(echo "$want") <(echo "$got") | sed -n 's/^</    missing:/p; s/^>/    extra:  /p'
    failures=$((failures + 1))
  fi
}

# What bash offers for the words given, the last being the one completed.
complete_words() {
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMPREPLY=()
  _qvds18x20
  printf '%s\n' "${COMPREPLY[@]}"
}

checks=$((checks + 1))
if ! complete -p qvds18x20 2>/dev/null | grep -q -- '-F _qvds18x20'; then
  echo "FAIL: the script does not register _qvds18x20 for qvds18x20"
  failures=$((failures + 1))
fi

commands=$(help_commands "$tool")
[ -n "$commands" ] || { echo "FAIL: no commands in $tool --help"; exit 1; }
left_out_commands=$(help_left_out_commands "$tool")
expect "commands" "$commands" "$(complete_words "$tool" "" | grep -vxF -- "${left_out_commands:-@none@}")"
expect "options of the program" "$(help_options "$tool")" "$(complete_words "$tool" -)"

# The completion offers what the builds that have them have.
left_out=$(help_left_out "$tool")
[ -z "$left_out" ] || echo "this build leaves out: $(tr '\n' ' ' <<<"$left_out")"
for cmd in $commands; do
  options=$(help_options "$tool" "$cmd")
  expect "options of $cmd" "$options" "$(complete_words "$tool" "$cmd" - | grep -vxF -- "${left_out:-@none@}")"
  for opt in $options; do
    values=$(help_values "$tool" "$cmd" "$opt")
    [ -n "$values" ] || continue
    expect "values of $cmd $opt" "$values" "$(complete_words "$tool" "$cmd" "$opt" "")"
    expect "values of $cmd $opt=" "$(sed "s/^/$opt=/" <<<"$values")" "$(complete_words "$tool" "$cmd" "$opt=")"
  done
done

# Port names: both columns of what the program being completed lists,
# from the built tool and from a stand-in with known ports.
for_ports=$("$tool" ports 2>/dev/null | awk '{print $1; if ($2 != "") print $2}')
expect "ports of $tool" "$for_ports" "$(complete_words "$tool" read --port "")"
work=$(mktemp -d)
trap 'rm -rf "$work"; help_cache_cleanup' EXIT
cat >"$work/fake-qvds18x20" <<'SH'
#!/bin/sh
[ "$1" = ports ] && printf 'COM1    /dev/ttyS0\nCOM7    /dev/ttyUSB0\nCOM9    \n'
SH
chmod +x "$work/fake-qvds18x20"
expect "ports of a tool that lists three" "$(printf '%s\n' COM1 /dev/ttyS0 COM7 /dev/ttyUSB0 COM9)" \
  "$(complete_words "$work/fake-qvds18x20" watch --port "")"
expect "ports starting with COM" "$(printf '%s\n' COM1 COM7 COM9)" \
  "$(complete_words "$work/fake-qvds18x20" list --port CO)"

# File names after options that take a file; options after a flag.
touch "$work/devices.json" "$work/temps.csv"
for pair in read:--sim read:--log watch:--log sim-adapter:--devices sim-adapter:--link; do
  cmd=${pair%%:*}
  opt=${pair#*:}
  expect "files after $cmd $opt" "$(printf '%s\n' "$work/devices.json")" \
    "$(complete_words "$tool" "$cmd" "$opt" "$work/dev")"
done
expect "options after a flag" "$(help_options "$tool" sim-adapter | grep -- '^--')" \
  "$(complete_words "$tool" sim-adapter --realtime --)"
expect "the command after options is still found" "--format" \
  "$(complete_words "$tool" read --port COM1 --for)"

echo "completion: $checks checks, $failures failed"
[ "$failures" -eq 0 ]
