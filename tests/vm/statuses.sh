#!/bin/bash
# VM.Statuses: run-vm hands back what happened in the VM, so a test built on it
# cannot pass by accident. Rows: a failing driver's status and its last line
# without a newline; a VM that panics before the driver.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fails=0 rows=0
row() {  # NAME EXPECTED-STATUS EXPECTED-CONSOLE DRIVER-TEXT [run-vm options]
  local name=$1 want=$2 text=$3 st=0
  printf '%s' "$4" > "$work/driver"
  shift 4
  "$here/run-vm" "$@" --timeout 200 --out "$work/out" "$work/driver" > /dev/null 2> "$work/err" || st=$?
  rows=$((rows + 1))
  if [ $st = 125 ] && [ $want != 125 ]; then cat "$work/err" >&2; exit 125; fi
  if [ $st = "$want" ] && [ "$(cat "$work/out/console.log")" = "$text" ]; then echo "ok   $name"
  else echo "FAIL $name: status $st (want $want), console '$(cat "$work/out/console.log")' (want '$text')"; fails=$((fails + 1))
  fi
}
row "a failing driver fails the run" 3 $'one\ntwo' 'echo one; printf two; exit 3'
row "a kernel panic before the driver" 125 '' 'echo unreachable' --append rdinit=/absent
exit $fails
