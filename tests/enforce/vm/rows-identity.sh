# SPDX-License-Identifier: GPL-2.0-or-later
# A program keeps its identity through its updates, and no other program
# borrows it. Sourced by driver.sh while the loader runs (check, fail, pass,
# as_user, update_ok, wait_for, $TOOL and $O come from there).
I=/mnt/t/id
mkdir -p $I/allow $I/deny $I/pkg $I/reuse
for d in allow deny pkg reuse; do echo secret > $I/$d/f; done
chmod -R a+rwX $I
for p in idv idd; do cp $TOOL /opt/$p; chmod 755 /opt/$p; done
as_user 1000 cp $TOOL /home/alice/mine
$TOOL set $I/allow allow enforce 15 all /opt/idv /home/alice/mine
$TOOL set $I/deny deny enforce 15 all /opt/idd
cp $TOOL /mnt/e/id-old && chmod 755 /mnt/e/id-old
$TOOL set $I/reuse allow enforce 15 all /mnt/e/id-old
update_ok "identity profiles"
grep -q "weak program: /home/alice/mine: uid 1000 owns it" /tmp/loader.log &&
  grep -q '"weak_programs":\[{"path":"/home/alice/mine"' /run/quorvane/status.json &&
  pass "a listed program its user can write is reported as weak" || fail "no weak report: $(cat /run/quorvane/status.json)"

# dpkg-style upgrades (written beside, renamed over) by root, while fresh
# runs of both programs and a run that started before open throughout.
as_user 1000 /opt/idv probe $I/allow/f /tmp/id-stop > /tmp/id-running-v.out &
pv=$!
as_user 1000 /opt/idd probe $I/deny/f /tmp/id-stop > /tmp/id-running-d.out &
pd=$!
wait_for /tmp/id-running-v.out probing && wait_for /tmp/id-running-d.out probing || fail "the identity probes"
(i=0; while [ $i -lt 10 ]; do i=$((i + 1))
  for p in /opt/idv /opt/idd; do cp $TOOL $p.dpkg-new && chmod 755 $p.dpkg-new && mv $p.dpkg-new $p; done
done; touch /tmp/id-upgraded) &
up=$!
runs=0 wrong=0
until [ -e /tmp/id-upgraded ] && [ $runs -gt 0 ]; do
  [ "$(as_user 1000 /opt/idv open r $I/allow/f 2>&1)" = ok ] || wrong=$((wrong + 1))
  [ "$(as_user 1000 /opt/idd open r $I/deny/f 2>&1)" = EPERM ] || wrong=$((wrong + 1))
  runs=$((runs + 1))
done
wait $up
touch /tmp/id-stop; wait $pv $pd
[ $wrong = 0 ] && pass "upgrades: $runs rounds of fresh runs, 0 wrong answers" || fail "upgrades: $wrong wrong in $runs rounds"
grep -q "opened [1-9][0-9]* refused 0 other 0" /tmp/id-running-v.out &&
  grep -q "opened 0 refused [1-9][0-9]* other 0" /tmp/id-running-d.out &&
  pass "upgrades: runs of the old versions keep their answers" ||
  fail "old versions: $(cat /tmp/id-running-v.out /tmp/id-running-d.out)"

# A removed listed program's file stays held by the loader, so no file of
# alice's can take its inode number (ext4 hands out the lowest free one).
ino=$(stat -c %i /mnt/e/id-old); rm /mnt/e/id-old
n=0; while [ $n -lt 8 ]; do
  as_user 1000 sh -c "echo x > /mnt/e/alice-$n"
  [ "$(stat -c %i /mnt/e/alice-$n)" = "$ino" ] && break
  n=$((n + 1))
done
[ $n = 8 ] && pass "a removed listed program's inode number is not handed out while it is listed" ||
  fail "inode $ino was taken by /mnt/e/alice-$n"

# The injection routes: alice's library and libc, beside one root keeps.
set -- /lib/*/libz.so.1; lib=$1
set -- /lib/*/libc.so.6; libc=$1
[ -f $lib ] && [ -f $libc ] || fail "no libz or libc under /lib: $lib $libc"
cp $lib /usr/lib/qv-plugin.so && chmod 644 /usr/lib/qv-plugin.so
as_user 1000 cp $lib /home/alice/plugin.so
as_user 1000 mkdir /home/alice/libs && as_user 1000 cp $libc /home/alice/libs/libc.so.6
A=$I/allow/f
# (setpriv itself, so that $! is the target's pid)
setpriv --reuid 1000 --regid 1000 --clear-groups -- /opt/idv probe $A /tmp/id-stop2 > /tmp/id-target.out &
t=$!
wait_for /tmp/id-target.out probing || fail "the target: $(cat /tmp/id-target.out)"

# what | want | user | command
while IFS='|' read -r what want user cmd; do
  eval "check \"\$what\" $want $user $cmd"
done <<EOF
ptrace attach by another program|EPERM|1000|$O reach attach $t
ptrace attach by the program itself|ok|1000|/opt/idv reach attach $t
ptrace attach by root|ok|0|$O reach attach $t
/proc/PID/mem by another program|EACCES|1000|$O reach mem $t
/proc/PID/mem by root|ok|0|$O reach mem $t
process_vm_readv by another program|EPERM|1000|$O reach vmread $t
process_vm_readv by the program itself|ok|1000|/opt/idv reach vmread $t
pidfd_getfd by another program|EPERM|1000|$O reach getfd $t
pidfd_getfd by root|ok|0|$O reach getfd $t
prlimit RLIMIT_CORE by another program|EPERM|1000|$O reach prlimit $t
prlimit RLIMIT_CORE by the program itself|ok|1000|/opt/idv reach prlimit $t
PTRACE_TRACEME, then exec of the allowed program|EPERM|1000|$O traceme /opt/idv open r $A
the same, traced by root|ok|0|$O traceme /opt/idv open r $A
PTRACE_TRACEME, then exec of the denied program|EPERM|1000|$O traceme /opt/idd open r $I/deny/f
PTRACE_TRACEME by the running program, its parent alice's shell|EPERM|1000|sh -c '/opt/idv traceme; :'
the same, its parent root's shell|ok|0|/opt/idv traceme
LD_PRELOAD of alice's library|EPERM|1000|env LD_PRELOAD=/home/alice/plugin.so /opt/idv open r $A
LD_AUDIT of alice's library|EPERM|1000|sh -c 'LD_AUDIT=/home/alice/plugin.so /opt/idv open r $A 2>/dev/null'
LD_LIBRARY_PATH with alice's libc|EPERM|1000|env LD_LIBRARY_PATH=/home/alice/libs /opt/idv open r $A
dlopen of alice's library|EPERM|1000|/opt/idv dlopen /home/alice/plugin.so $A
mprotect to run alice's file mapped for reading|EPERM|1000|/opt/idv mprotect /home/alice/plugin.so $A
mprotect to run a library from /usr/lib|ok|1000|/opt/idv mprotect /usr/lib/qv-plugin.so $A
dropped identity on a deny list: still refused|EPERM|1000|env LD_PRELOAD=/home/alice/plugin.so /opt/idd open r $I/deny/f
LD_PRELOAD of a library from /usr/lib|ok|1000|env LD_PRELOAD=/usr/lib/qv-plugin.so /opt/idv open r $A
dlopen of a plugin from /usr/lib|ok|1000|/opt/idv dlopen /usr/lib/qv-plugin.so $A
the program runs a helper|ok|1000|/opt/idv exec /opt/idd
a weak program loads its owner's library|ok|1000|/home/alice/mine dlopen /home/alice/plugin.so $A
EOF
touch /tmp/id-stop2; wait $t
grep -q "identity dropped: uid 1000 pid [0-9]* idv mapped code from plugin.so" /tmp/loader.log &&
  grep -q "identity dropped: uid 1000 pid [0-9]* idv started traced by other" /tmp/loader.log &&
  pass "dropped identities are reported" || fail "no drop report: $(grep 'identity dropped' /tmp/loader.log)"

# A real dpkg -i upgrade, dpkg's books kept apart in a folder of its own.
admin=/tmp/dpkg-admin
mkdir -p $admin/info $admin/updates $admin/triggers && : > $admin/status
dpkg_i() {
  dpkg --admindir=$admin --force-bad-path --log=/tmp/dpkg-events.log -i /opt/debs/qv-test-viewer_$1.deb \
    > /tmp/dpkg.log 2>&1 || fail "dpkg -i version $1: $(cat /tmp/dpkg.log)"
}
dpkg_i 1
$TOOL set $I/pkg allow enforce 15 all /opt/pkg/viewer
update_ok "a packaged program"
before=$(stat -c %i /opt/pkg/viewer)
dpkg_i 2
[ "$(stat -c %i /opt/pkg/viewer)" != "$before" ] || fail "dpkg kept the inode"
check "dpkg -i upgrade: the new file is the listed program at once" ok 1000 /opt/pkg/viewer open r $I/pkg/f
