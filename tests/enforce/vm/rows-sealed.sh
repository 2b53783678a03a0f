# SPDX-License-Identifier: GPL-2.0-or-later
# A sealed tree: every route to what a profile protects, tried as an
# attacker would (uid 1000, a program the profile refuses), then the same by
# the allowed program. Sourced by driver.sh while the loader runs.

# both TAG: each row "WHAT|ANSWER|ACTION" on fd 3 is run by the other
# program (ANSWER) and then by the viewer (ok).
both() {
  while IFS='|' read -r row answer action <&3; do
    check "$1: $row, another program" "$answer" 1000 $O $action
    check "$1: $row, the allowed program" ok 1000 $V $action
  done
}

# /opt/ovl M LOWER UPPER PROGRAM ARGS...: PROGRAM run in a user namespace
# of its own, through an overlay of LOWER and UPPER mounted at M/om.
cat > /opt/ovl <<'SCRIPT'
#!/bin/sh
M=$1 l=$2 u=$3; shift 3
w=$(mktemp -d $M/ow.XXXXXX) || exit 1
exec unshare -U -r -m sh -c "mount -t overlay o -o lowerdir=$l,upperdir=$u,workdir=$w $M/om && exec \"\$0\" \"\$@\"" "$@"
SCRIPT
chmod 755 /opt/ovl

sealed_setup() {
  M=$1 T=$1/seal
  mkdir -p $T/rd $T/deep $M/ol $M/ou $M/oe $M/om
  for f in f u a x1 x2; do echo secret > $T/$f; done
  for f in seal-in1 seal-in2 seal-in3 seal-one seal-doc ol/f ou/f ou/f2; do echo secret > $M/$f; done
  chown -R 1000:1000 $T $M/seal-* $M/ol $M/ou $M/oe $M/om
  for p in $T $M/seal-one $M/seal-doc $M/ol $M/ou; do $TOOL set $p allow enforce 15 all $V; done
}

sealed_rows() {
  M=$1 T=$1/seal tag=$2
  # Changing the tree: the write bit.
  both "$tag" 3<<ROWS
unlink|EPERM|unlink $T/u
rmdir|EPERM|rmdir $T/rd
create (O_CREAT)|EPERM|create $T/new
mkdir|EPERM|mkdir $T/newdir
mkfifo|EPERM|mkfifo $T/fifo
symlink|EPERM|symlink /etc/passwd $T/sym
hard link into the tree|EPERM|link $M/seal-in1 $T/in1
move into the tree|EPERM|rename $M/seal-in2 $T/in2
rename inside the tree|EPERM|rename $T/a $T/a2
exchange inside the tree|EPERM|exchange $T/x1 $T/x2
exchange with a file outside|EPERM|exchange $T/x1 $M/seal-in3
truncate(2)|EPERM|truncate $T/f
chmod|EPERM|chmod $T/f
chown|EPERM|chown $T/f
utimes|EPERM|utimes $T/f
set an ACL|EPERM|setxattr $T/f
remove it|EPERM|rmxattr $T/f
unlink of a single-file profile's file|EPERM|unlink $M/seal-one
inotify watch of the folder|EPERM|watch $T
inotify watch of a file|EPERM|watch $T/f
fanotify watch of the folder|EPERM|fwatch $T
chown of the protected folder|EPERM|chown $T
ROWS
  # Another view: an overlay in a user namespace, the protected folder as
  # its lower layer, then as its upper layer.
  for X in $O $V; do
    [ $X = $O ] && want=EPERM || want=ok
    check "$tag: overlay, lower layer, reading ($X)" $want 1000 /opt/ovl $M $M/ol $M/oe $X open r $M/om/f
    check "$tag: overlay, lower layer, copy-up ($X)" $want 1000 /opt/ovl $M $M/ol $M/oe $X open w $M/om/f
    rm -rf $M/oe/f
    check "$tag: overlay, upper layer, reading ($X)" $want 1000 /opt/ovl $M $M/oe $M/ou $X open r $M/om/f
    check "$tag: overlay, upper layer, creating ($X)" $want 1000 /opt/ovl $M $M/oe $M/ou $X create $M/om/new
    check "$tag: overlay, upper layer, unlinking ($X)" $want 1000 /opt/ovl $M $M/oe $M/ou $X unlink $M/om/f2
  done
  # Depth: past any walk's old limit, in a tree that leaves writing free.
  D=$M/perm_r; i=0; while [ $i -lt 70 ]; do D=$D/d; i=$((i + 1)); done
  echo secret > $M/perm_r/g; chmod 666 $M/perm_r/g
  as_user 1000 mkdir -p $D && as_user 1000 $O rename $M/perm_r/g $D/g > /dev/null
  check "$tag: depth 70, reading" EPERM 1000 $O open r $D/g
  check "$tag: depth 70, hard link out" EPERM 1000 $O link $D/g $M/deep-out
  check "$tag: depth 70, the allowed program reads" ok 1000 $V open r $D/g
  # Fail closed: saves never fill the map (a replaced file's entry goes with
  # its inode); held-open replaced files do, and then the save is refused,
  # the file still protected. The loader re-resolves the saved file's path
  # on its own, and each new generation has room again: when one came in
  # between, all 3,000 saves pass, and the file must still be protected.
  check "$tag: 1,200 saves by the allowed program" ok 1000 $V saves $M/seal-doc 1200
  check "$tag: protected after 1,200 saves" EPERM 1000 $O open r $M/seal-doc
  got=$(as_user 1000 $V saves $M/seal-doc 3000 hold)
  case $got in
    "EPERM after "*) pass "$tag: a full map refuses the save ($got)"; full_refused=1 ;;
    ok) pass "$tag: 3,000 held saves, the loader's new generations made room" ;;
    *) fail "$tag: full map: $got" ;;
  esac
  check "$tag: still protected after a refused save" EPERM 1000 $O open r $M/seal-doc
}

for M in /mnt/t /mnt/e; do sealed_setup $M; done
update_ok "sealed profiles"
sealed_rows /mnt/t tmpfs
sealed_rows /mnt/e ext4
grep -q "blocked: uid 1000 pid [0-9]* other changing u" /tmp/loader.log &&
  grep -q "blocked: uid 1000 pid [0-9]* other watching seal" /tmp/loader.log &&
  { [ -z "${full_refused:-}" ] || grep -q "blocked: uid 1000 pid [0-9]* viewer linking or moving seal-doc" /tmp/loader.log; } &&
  pass "a refused change, watch and save (full map) have their records" || fail "no record of a refused change, watch or save"

# Records per user: bob's flood leaves carol's block and report their records.
as_user 1001 $O open r /mnt/t/none/f 500 > /dev/null
as_user 1002 $O open r /mnt/t/none/f > /dev/null
as_user 1002 $O open r /mnt/t/complain/f > /dev/null
wait_for /tmp/loader.log "blocked: uid 1002 pid [0-9]* /opt/other opening /mnt/t/none/f" &&
  wait_for /tmp/loader.log "would block (complain): uid 1002 pid [0-9]* /opt/other opening /mnt/t/complain/f" &&
  pass "another user's flood leaves carol her records" || fail "carol's records were dropped"
