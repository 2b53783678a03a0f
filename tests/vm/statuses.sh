#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
# VM.Statuses: run-vm hands back what happened in the VM, so a test built on it
# cannot pass by accident. Rows: a failing driver's status and its last line
# without a newline; a VM that panics before the driver.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fails=0
row() {  # RUNNER NAME EXPECTED-STATUS EXPECTED-CONSOLE DRIVER-TEXT [run-vm options]
  local runner=$1 name=$2 want=$3 text=$4 st=0
  printf '%s' "$5" > "$work/driver"
  shift 5
  "$here/$runner" "$@" --timeout 200 --out "$work/out" "$work/driver" > /dev/null 2> "$work/err" || st=$?
  if [ $st = 77 ]; then cat "$work/err" >&2; exit 77; fi
  if [ $st = "$want" ] && [ "$(cat "$work/out/console.log")" = "$text" ]; then echo "ok   $name"
  else echo "FAIL $name: status $st (want $want), console '$(cat "$work/out/console.log")' (want '$text')"; fails=$((fails + 1))
  fi
}
# The first row boots through vm-test: a VM that cannot boot here skips the test.
row vm-test "a failing driver fails the run" 3 $'one\ntwo' 'echo one; printf two; exit 3'
row run-vm "a kernel panic before the driver" 125 '' 'echo unreachable' --append rdinit=/absent
exit $fails
