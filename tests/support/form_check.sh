# Checks shared by the desktop form tests (tests/qt_form_test.sh and the
# Win32 form in scripts/test_windows.sh). Source it; every function
# prints "FAIL: ..." lines for what is wrong and returns non-zero then.

form_check_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# Starts an X server of its own (Xvfb) on a free display, writing into
# DIR; sets form_xvfb_pid and exports DISPLAY. The caller stops it.
form_start_xvfb() {
  local dir=$1
  Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$dir/display" >"$dir/xvfb.log" 2>&1 &
  form_xvfb_pid=$!
  for _ in $(seq 100); do
    [ -s "$dir/display" ] && break
    sleep 0.1
  done
  if [ ! -s "$dir/display" ]; then
    echo "FAIL: Xvfb did not start"
    cat "$dir/xvfb.log"
    return 1
  fi
  export DISPLAY=":$(head -n1 "$dir/display")"
}

# A device file with 21 thermometers, DS18B20 and DS18S20 taking turns,
# at temperatures from -8.5 to 21.5 °C in half degrees.
form_device_file() {
  local file=$1 i type sep=""
  {
    echo '{"devices": ['
    for i in $(seq 1 21); do
      if ((i % 2)); then type=DS18B20; else type=DS18S20; fi
      printf '%s  {"type": "%s", "serial": "0000C0FE%04X", "celsius": %s}\n' "$sep" "$type" "$i" \
        "$(awk -v i="$i" 'BEGIN { printf "%.1f", -10 + 1.5 * i }')"
      sep=","
    done
    echo ']}'
  } >"$file"
}

# What the form must show: "ROM TEMP" lines of every sensor the tool
# reads from the same device file, sorted; each checked against the
# celsius value the file gives (within 0.15 °C).
form_expected() {
  local tool=$1 file=$2
  "$tool" read --sim "$file" --format json |
    python3 -c '
import json, sys
m = json.load(sys.stdin)
for s in m["sensors"]:
    if s["temp"] != "":
        print(s["rom"], s["temp"])
' | sort
}

# form_check_report REPORT PNG EXPECTED_FILE STATUS LABEL SESSION
# SESSION: what the status line must say of the session, such as
# "open on COM45 (adapter type 5)".
form_check_report() {
  local report=$1 png=$2 expected=$3 status=$4 label=$5 session=$6 bad=0
  if [ "$status" -ne 0 ]; then
    echo "FAIL: $label: exit status $status"
    bad=1
  fi
  if ! tr -d '\r' <"$report" | grep -q "^status: session [0-9]* $session | Busy: no | TMEXerror: none$"; then
    echo "FAIL: $label: the status line does not read \"session N $session | Busy: no | TMEXerror: none\""
    bad=1
  fi
  local shown
  shown=$(tr -d '\r' <"$report" | awk '$1 == "sensor" && $5 != "-" { print $3, $5 }' | sort)
  local want
  want=$(cat "$expected")
  if [ -z "$want" ] || [ "$(wc -l <<<"$want")" -ne 21 ]; then
    echo "FAIL: $label: the tool read $(wc -l <<<"$want") sensors from the device file, 21 expected"
    bad=1
  elif [ "$shown" != "$want" ]; then
    echo "FAIL: $label: the list view does not show every simulated temperature:"
    diff <(echo "$want") <(echo "$shown") | sed 's/^/    /'
    bad=1
  fi
  # "longest gap between two handled events while measuring: G ms (N events handled; longest busy stretch S ms)"
  local figures gap events stretch
  figures=$(tr -d '\r' <"$report" |
    sed -n 's/^longest gap between two handled events while measuring: \([0-9.]*\) ms (\([0-9]*\) events handled; longest busy stretch \([0-9.]*\) ms)$/\1 \2 \3/p')
  read -r gap events stretch <<<"$figures"
  if [ -z "$figures" ] || [ "${events:-0}" -eq 0 ]; then
    echo "FAIL: $label: no event-loop figures in the report"
    bad=1
  elif ! awk -v g="$gap" 'BEGIN { exit !(g < 50) }'; then
    echo "FAIL: $label: $gap ms between two handled events while measuring (limit 50 ms)"
    bad=1
  fi
  local size
  size=$(tr -d '\r' <"$report" | sed -n 's/^window: \([0-9]*x[0-9]*\)$/\1/p')
  if [ ! -s "$png" ]; then
    echo "FAIL: $label: no picture in $png"
    bad=1
  elif ! python3 "$form_check_dir/png_check.py" "$png" --size "${size:-unknown}"; then
    echo "FAIL: $label: $png is no picture of the window"
    bad=1
  fi
  [ "$bad" -eq 0 ] &&
    echo "ok: $label: 21 temperatures shown, longest gap $gap ms over $events events (busy stretch $stretch ms), picture $size"
  return "$bad"
}
