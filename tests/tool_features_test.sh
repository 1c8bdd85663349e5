#!/usr/bin/env bash
# The optional parts a build has (QVDS_WITH_MQTT, QVDS_WITH_HTTP,
# QVDS_WITH_OWSERVER, as CMake found them) against the built tool's
# --help: a part that is built offers its options (serve, its command), one
# that is not offers none of them and refuses them as options (or a
# command) the tool does not know; the metrics file needs neither.
#
#   QVDS_EXPECT_MQTT=0|1 QVDS_EXPECT_HTTP=0|1 QVDS_EXPECT_OWSERVER=0|1 tests/tool_features_test.sh BUILD_DIR
set -uo pipefail

build=${1:?usage: $0 BUILD_DIR}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
tool=$build/tools/qvds18x20/qvds18x20
[ -x "$tool" ] || { echo "FAIL: $tool not built"; exit 1; }
want_mqtt=${QVDS_EXPECT_MQTT:?the build says whether it has MQTT}
want_http=${QVDS_EXPECT_HTTP:?the build says whether it has /metrics}
want_owserver=${QVDS_EXPECT_OWSERVER:?the build says whether it has serve}
# shellcheck source-path=SCRIPTDIR source=support/cli_help.sh
source "$here/support/cli_help.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"; help_cache_cleanup' EXIT

failures=0
checks=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# has COMMAND OPTION: whether COMMAND's --help lists OPTION.
has() { help_options "$tool" "$1" | grep -qx -- "$2"; }

for cmd in read watch; do
  for opt in --mqtt --mqtt-cafile --mqtt-discovery --mqtt-discovery-prefix --mqtt-grace; do
    checks=$((checks + 1))
    if has "$cmd" "$opt"; then got=1; else got=0; fi
    [ "$got" = "$want_mqtt" ] || fail "$cmd --help has $opt: $got, the build has MQTT: $want_mqtt"
  done
  checks=$((checks + 1))
  has "$cmd" --prometheus-file || fail "$cmd --help lacks --prometheus-file, which needs no library"
done
checks=$((checks + 1))
if has watch --mqtt-queue; then got=1; else got=0; fi
[ "$got" = "$want_mqtt" ] || fail "watch --help has --mqtt-queue: $got, the build has MQTT: $want_mqtt"
checks=$((checks + 1))
if has watch --metrics-listen; then got=1; else got=0; fi
[ "$got" = "$want_http" ] || fail "watch --help has --metrics-listen: $got, the build has /metrics: $want_http"

# What is not built is no option at all: a usage error, nothing measured.
if [ "$want_mqtt" = 0 ]; then
  checks=$((checks + 1))
  "$tool" read --sim --mqtt mqtt://127.0.0.1/p >"$work/out" 2>"$work/err"
  rc=$?
  { [ "$rc" = 2 ] && grep -q -- --mqtt "$work/err" && [ ! -s "$work/out" ]; } ||
    fail "read --mqtt in a build without MQTT: exit $rc, $(cat "$work/err")"
fi
if [ "$want_http" = 0 ]; then
  checks=$((checks + 1))
  "$tool" watch --sim --interval 1 --count 1 --metrics-listen 9123 >"$work/out" 2>"$work/err"
  rc=$?
  { [ "$rc" = 2 ] && grep -q -- --metrics-listen "$work/err" && [ ! -s "$work/out" ]; } ||
    fail "watch --metrics-listen in a build without /metrics: exit $rc, $(cat "$work/err")"
fi
checks=$((checks + 1))
if help_commands "$tool" | grep -qx serve; then got=1; else got=0; fi
[ "$got" = "$want_owserver" ] || fail "--help has serve: $got, the build has the owserver server: $want_owserver"
if [ "$want_owserver" = 0 ]; then
  checks=$((checks + 1))
  "$tool" serve --sim --owserver 127.0.0.1:0 >"$work/out" 2>"$work/err"
  rc=$?
  { [ "$rc" = 2 ] && grep -q serve "$work/err"; } || fail "serve in a build without it: exit $rc, $(cat "$work/err")"
fi
# The metrics file works in every build.
checks=$((checks + 1))
if ! { "$tool" read --sim --prometheus-file "$work/t.prom" >/dev/null 2>"$work/err" && grep -q '^qvds18x20_' "$work/t.prom"; }; then
  fail "read --prometheus-file: $(cat "$work/err")"
fi

echo "features (MQTT $want_mqtt, /metrics $want_http, serve $want_owserver): $checks checks, $failures failed"
[ "$failures" -eq 0 ]
