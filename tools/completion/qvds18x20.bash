# bash completion for qvds18x20
#
# Self-contained (no helpers of the bash-completion package), so that it
# also works when sourced from ~/.bashrc. tests/completion_test.sh holds
# the lists below to the tool's --help.

_qvds18x20_commands="read list watch settings alarms doctor ports version serve sim-adapter sim-usb sim-i2c"
_qvds18x20_bus_options="-p --port -a --adapter --speed --baud --sim --config"
_qvds18x20_publish_options="--mqtt --mqtt-cafile --mqtt-discovery --mqtt-discovery-prefix --mqtt-grace --prometheus-file"

_qvds18x20_options() {
  case $1 in
    read) echo "-h --help $_qvds18x20_bus_options -f --format --id-format --log $_qvds18x20_publish_options" ;;
    list) echo "-h --help $_qvds18x20_bus_options -f --format --id-format" ;;
    watch)
      echo "-h --help $_qvds18x20_bus_options -f --format --id-format --log -i --interval -c --count" \
        "$_qvds18x20_publish_options --mqtt-queue --metrics-listen"
      ;;
    settings)
      echo "-h --help $_qvds18x20_bus_options -f --format --id-format --resolution --alarm-low --alarm-high --sensor" \
        "--save"
      ;;
    alarms) echo "-h --help $_qvds18x20_bus_options -f --format --id-format" ;;
    doctor) echo "-h --help -p --port -a --adapter --baud --sim -f --format --id-format --undocumented" ;;
    ports) echo "-h --help" ;;
    version) echo "-h --help $_qvds18x20_bus_options" ;;
    serve) echo "-h --help -p --port -a --adapter --baud --sim --config --owserver" ;;
    sim-adapter) echo "-h --help --type --devices --link --realtime --latency" ;;
    sim-usb) echo "-h --help --devices --id-chip --trace --speedup" ;;
    sim-i2c) echo "-h --help --bus --address --chip --devices --channel --clock-khz --speedup --trace" ;;
    *) echo "-h --help" ;;
  esac
}

# The names the tool lists under "ports": COM names and the devices behind
# them, from the program being completed (it may not be on PATH).
_qvds18x20_ports() {
  local tool=$1
  # shellcheck disable=SC2088 # a tilde the user typed, not expanded yet
  [[ $tool == "~/"* ]] && tool=$HOME/${tool#"~/"}
  command "$tool" ports 2>/dev/null | while IFS=$' \t' read -r name path _; do
    [[ -n $name ]] && echo "$name"
    [[ -n $path ]] && echo "$path"
  done
}

# Candidates for the value of an option; returns 1 for options that take
# no value.
_qvds18x20_values() {
  local cmd=$1 option=$2 cur=$3
  case $option in
    -f | --format)
      if [[ $cmd == doctor || $cmd == settings ]]; then
        compgen -W "table json" -- "$cur"
      else
        compgen -W "table csv json none" -- "$cur"
      fi
      ;;
    --id-format) compgen -W "qvds owfs kernel" -- "$cur" ;;
    --resolution) compgen -W "9 10 11 12" -- "$cur" ;;
    -a | --adapter) compgen -W "passive ds2480b usb ds2482 w1 auto 1 5 6 8 9" -- "$cur" ;;
    --baud) compgen -W "9600 19200 57600 115200" -- "$cur" ;;
    --speed) compgen -W "normal relaxed" -- "$cur" ;;
    --type) compgen -W "ds2480b passive" -- "$cur" ;;
    --chip) compgen -W "ds2482-100 ds2482-800" -- "$cur" ;;
    --clock-khz) compgen -W "100 400" -- "$cur" ;;
    -p | --port)
      local IFS=$'\n'
      compgen -W "$(_qvds18x20_ports "$4")" -- "$cur"
      ;;
    --sim | --config | --log | --devices | --link | --trace | --mqtt-cafile | --prometheus-file) compgen -f -- "$cur" ;;
    -i | --interval | -c | --count | --latency | --speedup | --mqtt | --mqtt-discovery-prefix | --mqtt-queue | --mqtt-grace | --metrics-listen | --owserver) ;;
    --bus | --address | --channel) ;;
    *) return 1 ;;
  esac
}

_qvds18x20() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local prev=""
  ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
  local cmd="" i
  for ((i = 1; i < COMP_CWORD; i++)); do
    if [[ " $_qvds18x20_commands " == *" ${COMP_WORDS[i]} "* ]]; then
      cmd=${COMP_WORDS[i]}
      break
    fi
  done
  COMPREPLY=()

  if [[ -z $cmd ]]; then
    if [[ $cur == -* ]]; then
      mapfile -t COMPREPLY < <(compgen -W "-h --help --version" -- "$cur")
    else
      mapfile -t COMPREPLY < <(compgen -W "$_qvds18x20_commands" -- "$cur")
    fi
    return 0
  fi

  # --option=value (and -o=value)
  if [[ $cur == -*=* ]]; then
    local option=${cur%%=*} value=${cur#*=}
    mapfile -t COMPREPLY < <(_qvds18x20_values "$cmd" "$option" "$value" "${COMP_WORDS[0]}" | sed "s|^|$option=|")
    compopt -o nospace 2>/dev/null
    return 0
  fi

  # The value of the option before, unless it is a flag. --sim takes its
  # file only optionally, so options are offered after it as well.
  if [[ $prev == -* && $cur != -* ]] && _qvds18x20_values "$cmd" "$prev" "$cur" "${COMP_WORDS[0]}" >/dev/null; then
    mapfile -t COMPREPLY < <(_qvds18x20_values "$cmd" "$prev" "$cur" "${COMP_WORDS[0]}")
    case $prev in
      --sim | --config | --log | --devices | --link | --trace | --mqtt-cafile | --prometheus-file) compopt -o filenames 2>/dev/null ;;
    esac
    return 0
  fi

  mapfile -t COMPREPLY < <(compgen -W "$(_qvds18x20_options "$cmd")" -- "$cur")
  return 0
}

complete -F _qvds18x20 qvds18x20
