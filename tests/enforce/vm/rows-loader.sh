# SPDX-License-Identifier: GPL-2.0-or-later
# The loader's own rows, sourced by driver.sh (its helpers and programs):
# links a user could plant, objects whose path moved away, paths and
# programs that appear later, and record-stream slots per user.

# soon WHAT WANT USER PROGRAM ARGS...: as check, for what the loader does on
# its own: asked again every 0.1 s for at most 3 s; says how long it took.
soon() {
  what=$1 want=$2 user=$3; shift 3
  t0=$(cut -d' ' -f1 /proc/uptime) i=0
  while got=$(as_user "$user" "$@" 2>&1); [ "$got" != "$want" ] && [ $i -lt 30 ]; do
    i=$((i + 1)); sleep 0.1
  done
  took=$(echo "$t0 $(cut -d' ' -f1 /proc/uptime)" | awk '{printf "%.1f", $2 - $1}')
  if [ "$got" = "$want" ]; then pass "$what (in ${took} s)"; else fail "$what: want $want, got $got"; fi
}

# Alice replaces a folder on her profile's way by a link to bob's home.
planted() {
  M=$1 tag=$2 H=$1/homes
  mkdir -p $H/alice/work/Docs $H/bob/Docs
  echo alice > $H/alice/work/Docs/f; echo bob > $H/bob/Docs/f
  chown -R 1000:1000 $H/alice; chown -R 1001:1001 $H/bob
  $TOOL set $H/alice/work/Docs allow enforce 15 all $V
  update_ok "$tag: alice's folder"
  as_user 1000 mv $H/alice/work $H/alice/work.old && as_user 1000 ln -s $H/bob $H/alice/work ||
    fail "$tag: alice's link"
  update_ok "$tag: after alice's link"
  check "$tag: a link alice planted: bob's own program reads his folder" ok 1001 $O open r $H/bob/Docs/f
  grep -q "not enforced: $H/alice/work/Docs: the symbolic link $H/alice/work belongs to uid 1000" /tmp/loader.log &&
    pass "$tag: the link is named as not followed" || fail "$tag: no word of the link: $(tail -3 /tmp/loader.log)"
  check "$tag: alice's folder, moved with its parent, stays protected" EPERM 1000 $O open r $H/alice/work.old/Docs/f
}

# A folder above a protected one is renamed.
renamed() {
  M=$1 tag=$2
  mkdir -p $M/r/A/Docs; echo s > $M/r/A/Docs/f; chmod -R a+rwX $M/r
  $TOOL set $M/r/A/Docs allow enforce 15 all $V
  update_ok "$tag: a folder two levels down"
  check "$tag: renaming the folder above" ok 1000 $O rename $M/r/A $M/r/B
  for n in 1 2 3; do update_ok "$tag: reload $n after the rename"; done
  check "$tag: still refused at its new place" EPERM 1000 $O open r $M/r/B/Docs/f
  check "$tag: the allowed program still reads it" ok 1000 $V open r $M/r/B/Docs/f
  grep -q "{\"now_at\":\"$M/r/B/Docs\",\"path\":\"$M/r/A/Docs\"}" /run/quorvane/status.json &&
    pass "$tag: status.json says where it is" || fail "$tag: status: $(cat /run/quorvane/status.json)"
  [ "$(grep -c "moved: $M/r/A/Docs no longer leads to the object it protected, now at $M/r/B/Docs;" /tmp/loader.log)" = 1 ] &&
    pass "$tag: the journal says so once" || fail "$tag: journal: $(grep -c "moved: $M/r/A" /tmp/loader.log) lines"
  as_user 1000 mkdir -p $M/r/A/Docs && as_user 1000 $V save $M/r/A/Docs/f > /dev/null
  soon "$tag: a new folder made at the old path is protected too" EPERM 1000 $O open r $M/r/A/Docs/f
}

# A profile whose path does not exist yet.
appears() {
  M=$1 tag=$2
  $TOOL set $M/later/Docs allow enforce 15 all $V
  update_ok "$tag: a profile of a path not there yet"
  mkdir -p $M/later/Docs && chmod -R a+rwX $M/later && $V save $M/later/Docs/f > /dev/null
  soon "$tag: in force once the path appears, without a reload" EPERM 1000 $O open r $M/later/Docs/f
  check "$tag: the allowed program reads it" ok 1000 $V open r $M/later/Docs/f
}

loader_rows() {
  for fs in "/mnt/t tmpfs" "/mnt/e ext4"; do
    set -- $fs
    planted $1 $2; renamed $1 $2; appears $1 $2
  done

  # Saves by the allowed program while reloads run: each saved file is
  # protected at once, though a reload resolved its path before the save.
  echo s > /mnt/t/saves.txt && chmod 666 /mnt/t/saves.txt
  $TOOL set /mnt/t/saves.txt allow enforce 15 all $V
  update_ok "a file saved during reloads"
  refused=0
  for n in 1 2 3 4 5 6 7 8; do
    $TOOL update > /dev/null & u=$!
    as_user 1000 $V save /mnt/t/saves.txt > /dev/null
    [ "$(as_user 1000 $O open r /mnt/t/saves.txt)" = EPERM ] && refused=$((refused + 1))
    wait $u
  done
  [ $refused = 8 ] && pass "saves during reloads: each saved file protected at once" ||
    fail "saves during reloads: $refused of 8 protected at once"

  # A home mounted late (as over NFS): the mount table is watched.
  mkdir -p /mnt/late /tmp/srv/alice/Docs && echo s > /tmp/srv/alice/Docs/f && chmod -R a+rwX /tmp/srv
  $TOOL set /mnt/late/alice/Docs allow enforce 15 all $V
  update_ok "a profile under a home not mounted yet"
  mount --bind /tmp/srv /mnt/late
  soon "a home mounted late is in force, without a reload" EPERM 1000 $O open r /mnt/late/alice/Docs/f

  # A camera node that was not there at the start was no failure.
  grep -q "not enforced: /dev/video0" /tmp/loader.log && fail "an absent camera node was reported" ||
    pass "an absent camera node is not reported as a failure"

  # A listed program installed after its profile.
  mkdir -p /mnt/t/inst && echo s > /mnt/t/inst/f && chmod -R a+rwX /mnt/t/inst
  $TOOL set /mnt/t/inst allow enforce 15 all /opt/late/viewer
  update_ok "a program listed before it is installed"
  mkdir -p /opt/late && cp "$TOOL" /opt/late/viewer
  soon "a listed program installed later is allowed, without a reload" ok 1000 /opt/late/viewer open r /mnt/t/inst/f

  # Remove-then-write installs of an allowed and a denied program, while a
  # process of each (the old file) opens its protected file throughout.
  mkdir -p /opt/rw /mnt/t/rw /mnt/t/rwd && echo s > /mnt/t/rw/f && echo s > /mnt/t/rwd/f && chmod -R a+rwX /mnt/t/rw /mnt/t/rwd
  cp "$TOOL" /opt/rw/viewer && cp "$TOOL" /opt/rw/denied
  $TOOL set /mnt/t/rw allow enforce 15 all /opt/rw/viewer
  $TOOL set /mnt/t/rwd deny enforce 15 all /opt/rw/denied
  update_ok "remove-then-write profiles"
  rm -f /tmp/rw.stop
  as_user 1000 /opt/rw/viewer probe /mnt/t/rw/f /tmp/rw.stop > /tmp/rw-viewer.out 2>&1 &
  p1=$!
  as_user 1000 /opt/rw/denied probe /mnt/t/rwd/f /tmp/rw.stop > /tmp/rw-denied.out 2>&1 &
  p2=$!
  wait_for /tmp/rw-viewer.out probing && wait_for /tmp/rw-denied.out probing || fail "the probes started"
  for n in 1 2 3; do
    rm /opt/rw/viewer /opt/rw/denied && cp "$TOOL" /opt/rw/viewer && cp "$TOOL" /opt/rw/denied
    soon "remove-then-write $n: the new allowed program reads" ok 1000 /opt/rw/viewer open r /mnt/t/rw/f
    soon "remove-then-write $n: the new denied program is refused" EPERM 1000 /opt/rw/denied open r /mnt/t/rwd/f
  done
  touch /tmp/rw.stop; wait $p1 $p2
  grep -q "opened [1-9][0-9]* refused 0 other 0" /tmp/rw-viewer.out &&
    pass "remove-then-write: the allowed program's process got no wrong answer ($(tail -1 /tmp/rw-viewer.out))" ||
    fail "remove-then-write, allowed: $(cat /tmp/rw-viewer.out)"
  grep -q "opened 0 refused [1-9][0-9]* other 0" /tmp/rw-denied.out &&
    pass "remove-then-write: the denied program's process got no wrong answer ($(tail -1 /tmp/rw-denied.out))" ||
    fail "remove-then-write, denied: $(cat /tmp/rw-denied.out)"

  # Bob's many record streams leave alice's new session its slot.
  rm -f /tmp/hold.stop
  as_user 1001 $TOOL hold 300 /tmp/hold.stop > /tmp/hold.out 2>&1 &
  h=$!
  wait_for /tmp/hold.out holding || fail "bob's connections: $(cat /tmp/hold.out)"
  as_user 1000 $TOOL reader > /tmp/alice2.rec 2>&1 &
  r2=$!
  wait_for /tmp/alice2.rec "connected uid 1000" || fail "alice's new reader: $(cat /tmp/alice2.rec)"
  i=0
  while ! grep -q "record object=/mnt/t/none/f" /tmp/alice2.rec && [ $i -lt 30 ]; do
    as_user 1000 $O open r /mnt/t/none/f > /dev/null; i=$((i + 1)); sleep 0.1
  done
  grep -q "record object=/mnt/t/none/f" /tmp/alice2.rec &&
    pass "bob's 300 record streams leave alice's new session its records" || fail "alice's session got nothing"
  touch /tmp/hold.stop; kill $r2; wait $h
}

# After the loader's restart and re-execution: what the first one said is
# not said again in this boot.
loader_rows_after_restart() {
  [ "$(grep -c 'not enforced: /usr:' /tmp/loader2.log)" = 0 ] &&
    pass "a restarted and re-executed loader does not repeat what was said this boot" ||
    fail "repeated: $(grep -c 'not enforced: /usr:' /tmp/loader2.log) times"
}
