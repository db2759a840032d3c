#!/usr/bin/env bash
# The Debian package under a real systemd: a container booted with
# systemd-nspawn from this machine's own tree (its /usr and /var under
# throw-away overlays, a copy of /etc), a simulated controller (e1sim on a
# pty, as a transient unit) behind the lab's fake USB tree bound over the
# container's /sys/bus and /sys/devices/pci0000:00 (with veth interfaces as
# its Ethernet functions), and the package installed, used, upgraded and
# removed the way an operator does it. Each case prints "ok:" or "FAIL:"
# with what was seen; each phase its time.
#
#   systemd_test.sh SOURCE_DIR E1FAKEUSB E1SIM DEB
#
# Needs root. Where the container cannot boot the suite is skipped (status
# 77), but fails when CI=true. Everything it made (cgroups, the container,
# its overlays) is removed at the end, also after a failure.
set -u
src=$1 fakeusb=$2 e1sim=$3 deb=$4
ctl=1-1.3:1.0
inst=e1ctld@$ctl.service
fails=0 leader="" nspawn="" name=e1ctld-systemd-$$
tmp=$(mktemp -d /tmp/e1ctld-systemd.XXXXXX)
share=$tmp/share
t0=$(date +%s.%N) tphase=$t0

fail() { echo "FAIL: $*"; fails=$((fails + 1)); }
ok() { echo "ok: $*"; }
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }'; }
phase() {
  echo "--- $* (previous phase $(since "$tphase") s)"
  tphase=$(now)
}
skip() {
  echo "SKIP: the real-systemd suite cannot run here: $*"
  if [ "${CI:-}" = true ]; then
    echo "CI=true: a suite that cannot run is a failure"
    exit 1
  fi
  exit 77
}

# box COMMAND...: COMMAND inside the container, as a root shell there runs it.
# Bounded: nothing the suite runs there may take a minute.
box() {
  timeout -k 5 60 nsenter -t "$leader" -a \
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"
}
# wait_for SECONDS COMMAND...: polls every 0.1 s until COMMAND succeeds.
wait_for() {
  local end
  end=$(awk -v s="$1" -v n="$(now)" 'BEGIN { printf "%.1f", n + s }')
  shift
  until "$@" >/dev/null 2>&1; do
    awk -v e="$end" -v n="$(now)" 'BEGIN { exit !(n >= e) }' && return 1
    sleep 0.1
  done
}
prop() { box systemctl show -P "$2" "$1"; }
is_active() { [ "$(prop "$1" ActiveState)" = active ]; }
is_state() { [ "$(prop "$1" ActiveState)" = "$2" ]; }
status_is() { [ "$(prop "$inst" StatusText)" = "$1" ]; }
status_has() { prop "$inst" StatusText | grep -q -- "$1"; }

# The controller: the fake sysfs entry of its tty and e1sim on a pty linked
# as /dev/<tty>. unplug removes both, as a pulled cable does.
sim_up() {
  box systemd-run -q --unit=e1sim-ctl --collect /mnt/share/e1sim --link "/dev/$1" &&
    wait_for 5 box test -e "/dev/$1"
}
plug() { sim_up "$1" && "$fakeusb" "$share/sys" tty-add "$1"; }
unplug() {
  "$fakeusb" "$share/sys" tty-remove "$1"
  box systemctl stop e1sim-ctl.service
}
# uart_got TEXT: the simulated controller, since it was last plugged,
# received a line holding TEXT.
uart_got() {
  local run
  run=$(prop e1sim-ctl.service InvocationID)
  [ -n "$run" ] && box journalctl -q -o cat _SYSTEMD_INVOCATION_ID="$run" | grep -Fq -- "<- $1"
}
# e1ctl as a user of the container; its reply on standard output.
e1ctl_as() {
  local user=$1
  shift
  box runuser -u "$user" -- e1ctl "$@"
}

teardown() {
  local rc=$?
  if [ -n "$leader" ] && [ -d "/proc/$leader" ]; then
    box systemctl poweroff >/dev/null 2>&1 || true
  fi
  if [ -n "$nspawn" ]; then
    wait_for 20 bash -c "! kill -0 $nspawn" || kill -KILL "$nspawn" 2>/dev/null
    wait "$nspawn" 2>/dev/null
  fi
  # Deepest first: the container's own cgroups, then ours.
  for h in unified systemd; do
    [ -d "/sys/fs/cgroup/$h/$name" ] &&
      find "/sys/fs/cgroup/$h/$name" -depth -type d -exec rmdir {} + 2>/dev/null
  done
  rm -rf "$tmp"
  [ ! -e "$tmp" ] || fail "left behind: $tmp"
  for h in unified systemd; do
    [ ! -d "/sys/fs/cgroup/$h/$name" ] || fail "left behind: /sys/fs/cgroup/$h/$name"
  done
  echo "--- torn down; whole suite $(since "$t0") s"
  if [ "$rc" -eq 0 ]; then
    [ $fails -eq 0 ] && echo "all systemd checks passed" || echo "$fails systemd checks failed"
    [ $fails -eq 0 ] || exit 1
  fi
  exit "$rc"
}
trap teardown EXIT
trap 'exit 130' INT TERM

# --- Boot --------------------------------------------------------------------
phase "boot"
[ "$(id -u)" -eq 0 ] || skip "needs root"
command -v systemd-nspawn >/dev/null || skip "systemd-nspawn missing (scripts/install-deps.sh installs systemd-container)"
[ -f "$deb" ] || { fail "no package at $deb (the package test builds it)"; exit 1; }
for h in unified systemd; do
  [ -d "/sys/fs/cgroup/$h" ] || skip "no hybrid cgroup tree (/sys/fs/cgroup/$h missing)"
done

root=$tmp/root
mkdir -p "$root"/{usr,var,etc,mnt/share} "$tmp/upper-usr" "$tmp/upper-var" "$share"
for d in bin sbin lib lib64; do ln -s "usr/$d" "$root/$d"; done
# nspawn looks for os-release in the root before the /usr overlay is on it.
mkdir -p "$root/usr/lib"
printf 'ID=debian\nNAME="e1ctld test container"\n' >"$root/usr/lib/os-release"
cp -a /etc/. "$root/etc/"
rm -f "$root/etc/machine-id"
systemd-id128 new >"$root/etc/machine-id"
: >"$root/etc/fstab"
# This machine's own services and timers do not belong in the container.
rm -rf "$root"/etc/systemd/system/*.wants
cp "$deb" "$share/e1ctld.deb"
cp "$e1sim" "$share/e1sim" || { fail "no e1sim at $e1sim"; exit 1; }
"$fakeusb" "$share/sys" plug - || { fail "e1fakeusb plug"; exit 1; }

for h in unified systemd; do mkdir -p "/sys/fs/cgroup/$h/$name"; done
(
  for h in unified systemd; do echo "$BASHPID" >"/sys/fs/cgroup/$h/$name/cgroup.procs"; done
  SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 exec systemd-nspawn -q -D "$root" --boot --register=no \
    --keep-unit --private-network --console=read-only \
    --overlay=/usr:"$tmp/upper-usr":/usr --overlay=/var:"$tmp/upper-var":/var \
    --bind="$share":/mnt/share --system-call-filter=bpf --capability=CAP_BPF
) >"$tmp/console.log" 2>&1 </dev/null &
nspawn=$!
# Process 1 of the container is the child of nspawn that runs systemd.
find_leader() {
  local p
  for p in $(cat /proc/"$nspawn"/task/*/children 2>/dev/null); do
    [ "$(cat "/proc/$p/comm" 2>/dev/null)" = systemd ] && leader=$p && return 0
  done
  return 1
}
if ! wait_for 20 find_leader || ! wait_for 30 box test -S /run/systemd/private ||
  ! box systemctl is-system-running --wait >/dev/null; then
  state=$( [ -n "$leader" ] && box systemctl is-system-running 2>&1)
  if [ "$state" = degraded ]; then
    echo "booted degraded:"
    box systemctl --failed --no-legend
  else
    tail -n 20 "$tmp/console.log"
    skip "the container did not boot (state: ${state:-no process 1})"
  fi
fi
ok "container booted in $(since "$tphase") s: $(box systemctl --version | head -n 1)"

# The fake USB tree replaces the container's view of USB devices. Its links
# point into /sys/devices/pci0000:00, which it brings along.
box mount --bind /mnt/share/sys/bus /sys/bus &&
  box mount --bind /mnt/share/sys/devices/pci0000:00 /sys/devices/pci0000:00 ||
  { fail "binding the fake USB tree"; exit 1; }
# The controller's Ethernet functions, under the names the fake tree gives.
box ip link add e1eth0 type veth peer name e1peer0 &&
  box ip link add e1eth1 type veth peer name e1peer1 || fail "veth interfaces e1eth0, e1eth1"
# This machine's policy-rc.d forbids starting services from packages.
box rm -f /usr/sbin/policy-rc.d
box groupadd -f e1ctld
box useradd -M -G e1ctld alice && box useradd -M bob || fail "useradd alice, bob"

# --- Install with a controller already plugged in ---------------------------
phase "install with a controller plugged"
plug ttyACM0 || fail "plugging the simulated controller"
out=$(box dpkg -i /mnt/share/e1ctld.deb 2>&1)
echo "$out" | sed 's/^/  dpkg: /'
if wait_for 10 is_active "$inst"; then ok "$inst started by the install, no replug"; else
  fail "$inst not started by the install: $(prop "$inst" ActiveState)"; fi
line="e1ctld: starting the daemons of the controllers already plugged in (no udev running): $inst"
if grep -qxF -- "$line" <<<"$out"; then ok "the install says so in one line"; else
  fail "the install did not print: $line"; fi
if grep -q "not starting it" <<<"$out"; then fail "the install printed a 'not starting it' notice"; else
  ok "no 'not starting it' notice"; fi
if e1ctl_as root -c "$ctl" -n 1 -t 5 installcheck | grep -qx "installcheck"; then
  ok "a command reaches the controller and its reply comes back"; else
  fail "no reply through the daemon started by the install"; fi

# --- Start, STATUS=, the journal ----------------------------------------------
phase "start, status lines, replug, stop"
cursor=$(box journalctl -q -n 1 -o cat --show-cursor | sed -n 's/^-- cursor: //p')
box systemctl stop "$inst"
started=$(now)
if box systemctl start "$inst"; then
  took=$(since "$started")
  # Type=notify: start returns once the daemon said READY=1.
  if e1ctl_as root -c "$ctl" -n 1 -t 5 -w 0 ready | grep -qx "ready"; then
    ok "start returned in $took s and the port accepted at once"; else
    fail "start returned in $took s but the port did not accept at once"; fi
else
  fail "systemctl start $inst"
fi
box systemd-run -q --unit=e1-client --collect e1ctl -c "$ctl" -t 0 held
want="$ctl: ttyACM0, 1 port, 1 client"
if wait_for 5 status_is "$want"; then ok "STATUS= with a client: $want"; else
  fail "STATUS= with a client: '$(prop "$inst" StatusText)', wanted '$want'"; fi
unplug ttyACM0
if wait_for 10 status_has "UART lost (was ttyACM0)"; then
  ok "STATUS= when lost: $(prop "$inst" StatusText)"; else
  fail "STATUS= when lost: '$(prop "$inst" StatusText)'"; fi
plug ttyACM1 || fail "replugging the simulated controller as ttyACM1"
want="$ctl: ttyACM1, 1 port, 1 client"
if wait_for 15 status_is "$want"; then ok "STATUS= when found again: $want"; else
  fail "STATUS= when found again: '$(prop "$inst" StatusText)', wanted '$want'"; fi
if wait_for 5 uart_got "CMD:port E1.0 held"; then ok "the client's command resent after the replug"; else
  fail "the client's command did not reach the replugged controller"; fi
box systemctl stop e1-client.service
started=$(now)
if box systemctl stop "$inst" && is_state "$inst" inactive; then ok "stop took $(since "$started") s"
else fail "systemctl stop $inst: $(prop "$inst" ActiveState)"; fi
# What the daemon and systemd wrote about it since the cursor: some lines
# at any priority (else the filter matched nothing), none at warning or above.
journal() { box journalctl -q --after-cursor="$cursor" -u "$inst" -o short-monotonic "$@"; }
all=$(journal) warn=$(journal -p warning)
if [ -n "$all" ] && [ -z "$warn" ]; then
  ok "journalctl -p warning: nothing over start, client use, replug and stop ($(wc -l <<<"$all") lines below)"
else
  fail "journalctl -p warning over start, client use, replug and stop (${#all} bytes in all):"
  echo "$warn"
fi

# --- Sockets: the group -------------------------------------------------------
phase "port socket access"
box systemctl start "$inst"
if e1ctl_as alice -c "$ctl" -n 1 -t 5 member | grep -qx "member"; then
  ok "alice (group e1ctld) uses the port"; else fail "alice (group e1ctld) refused"; fi
out=$(e1ctl_as bob -c "$ctl" -n 1 -t 5 -w 0 stranger 2>&1)
st=$?
# Refused for the group, not for anything else (e1ctl names the group).
if [ $st -ne 0 ] && grep -q e1ctld <<<"$out" && ! wait_for 1 uart_got "CMD:port E1.0 stranger"; then
  ok "bob (not in the group) refused, status $st: $(head -n 1 <<<"$out")"; else
  fail "bob (not in the group) reached the port (status $st)"; fi

# --- systemd-analyze security -------------------------------------------------
phase "security"
for u in "$inst" e1ctld.service; do
  score=$(box systemd-analyze security --no-pager "$u" 2>&1 |
    sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
  if awk -v s="${score:-99}" 'BEGIN { exit !(s <= 2.5) }'; then ok "$u exposure $score <= 2.5"; else
    fail "$u exposure ${score:-none} > 2.5"; fi
done

# --- Watchdog and the statuses that must not loop ------------------------------
phase "watchdog"
pid=$(prop "$inst" MainPID)
[ "${pid:-0}" -gt 1 ] && box kill -STOP "$pid" || fail "no daemon to stop (MainPID ${pid:-none})"
started=$(now)
new_daemon() {
  local p
  p=$(prop "$inst" MainPID)
  [ "$p" != 0 ] && [ "$p" != "$pid" ] && is_active "$inst"
}
if wait_for 40 new_daemon; then
  took=$(since "$started")
  if [ "$(prop "$inst" NRestarts)" -ge 1 ] &&
    e1ctl_as root -c "$ctl" -n 1 -t 5 after-watchdog | grep -qx after-watchdog; then
    ok "a stopped daemon killed by the watchdog, a new one serving $took s later"
  else
    fail "after the watchdog: NRestarts $(prop "$inst" NRestarts), the new daemon does not serve"
  fi
else
  fail "no watchdog restart of the stopped daemon ($(prop "$inst" ActiveState), pid $(prop "$inst" MainPID))"
fi

phase "exit statuses not restarted"
# 2: a controller that is not there; 11: one whose lock the instance holds.
box systemctl start e1ctld@9-9:1.0.service 2>/dev/null
box systemctl start e1ctld.service 2>/dev/null
for unit in e1ctld@9-9:1.0.service e1ctld.service; do wait_for 10 is_state "$unit" failed; done
# Restart= would start them again after RestartSec=5s: look past that.
sleep 6
for u in e1ctld@9-9:1.0.service:2 e1ctld.service:11; do
  unit=${u%:*} code=${u##*:}
  got="$(prop "$unit" ExecMainStatus)/$(prop "$unit" NRestarts)/$(prop "$unit" ActiveState)"
  if [ "$got" = "$code/0/failed" ]; then ok "$unit: status $code, not restarted"; else
    fail "$unit: status/restarts/state $got, wanted $code/0/failed"; fi
  box systemctl reset-failed "$unit"
done

# --- A tty absent at start ------------------------------------------------------
phase "tty absent at start"
# The controller is in sysfs with its tty named, the device node is not
# there yet (the simulator not running).
box systemctl stop "$inst"
unplug ttyACM1
"$fakeusb" "$share/sys" tty-add ttyACM0
if box systemctl start "$inst" && status_has "waiting for its tty"; then
  ok "started without its tty: $(prop "$inst" StatusText)"; else
  fail "started without its tty: $(prop "$inst" ActiveState), '$(prop "$inst" StatusText)'"; fi
box systemd-run -q --unit=e1-early --collect e1ctl -c "$ctl" -t 0 early
wait_for 5 status_has ", 1 client" || fail "the early client did not connect: '$(prop "$inst" StatusText)'"
plugged=$(now)
sim_up ttyACM0 || fail "the tty's device node after the start"
if wait_for 15 uart_got "CMD:port E1.0 early"; then
  ok "the tty plugged after the start is served: the early command reached it $(since "$plugged") s later"
else
  fail "the tty plugged after the start is not served: '$(prop "$inst" StatusText)'"
fi
box systemctl stop e1-early.service

# --- The switch to one daemon for all controllers -------------------------------
phase "switch to e1ctld.service as the README says"
switch=$(sed -n '/^```sh$/,/^```$/p' "$src/README.md" |
  grep -E '^systemctl .*mask e1ctld@\.service.*enable --now e1ctld$' | head -n 1)
if [ -z "$switch" ]; then fail "no mask-and-enable command in README.md"; else
  echo "  README: $switch"
  if box sh -ec "$switch"; then ok "the README's switch ran"; else fail "the README's switch failed"; fi
  if wait_for 10 is_active e1ctld.service && ! is_active "$inst" &&
    e1ctl_as root -c "$ctl" -n 1 -t 5 switched | grep -qx "switched"; then
    ok "e1ctld.service serves the controller, no instance left"
  else
    fail "after the switch: e1ctld.service $(prop e1ctld.service ActiveState) (status $(prop e1ctld.service ExecMainStatus)), $inst $(prop "$inst" ActiveState)"
  fi
  page=$(box zcat /usr/share/man/man8/e1ctld.8.gz)  # the installed page
  words=$(sed 's/\\-/-/g; s/\\f[BIRP]//g' <<<"$page" | tr -s ' \n' ' ')
  if grep -qF -- "$switch" <<<"$words"; then ok "the man page gives the same switch"; else
    fail "the man page does not give: $switch"; fi
fi
# Back to one instance per controller for the rest.
box systemctl disable -q --now e1ctld.service
box systemctl unmask -q e1ctld@.service
box systemctl start "$inst"

# --- The metrics timer ------------------------------------------------------------
phase "metrics timer"
box mkdir -p /var/lib/prometheus/node-exporter
box systemctl enable -q --now e1ctld-metrics.timer
prom=/var/lib/prometheus/node-exporter/e1ctld.prom
if wait_for 10 box grep -q "^e1ctld_" "$prom"; then
  ok "the timer wrote $prom ($(box grep -c '^e1ctld_' "$prom") samples)"; else
  fail "no metrics in $prom"; fi
box systemctl disable -q --now e1ctld-metrics.timer

# --- Upgrade and removal with an instance running ---------------------------------
phase "upgrade and removal"
box rm -rf /tmp/next && box dpkg-deb -R /mnt/share/e1ctld.deb /tmp/next &&
  box sed -i 's/^Version: .*/&+next/' /tmp/next/DEBIAN/control &&
  box dpkg-deb -b /tmp/next /tmp/e1ctld-next.deb >/dev/null || fail "making a newer package"
pid=$(prop "$inst" MainPID)
out=$(box dpkg -i /tmp/e1ctld-next.deb 2>&1)
echo "$out" | sed 's/^/  dpkg: /'
restarted() { is_active "$inst" && [ "$(prop "$inst" MainPID)" != "$pid" ]; }
if wait_for 10 restarted; then ok "the upgrade restarted $inst"; else
  fail "the upgrade did not restart $inst (pid $pid, now $(prop "$inst" MainPID))"; fi
if grep -q "not starting it" <<<"$out"; then fail "the upgrade printed a 'not starting it' notice"; fi
if grep -q "already plugged in" <<<"$out"; then
  fail "the upgrade announced starting a daemon that was running"; fi
box dpkg -r e1ctld >/dev/null 2>&1
if is_active "$inst" || box test -e /usr/sbin/e1ctld; then
  fail "after dpkg -r: $inst $(prop "$inst" ActiveState), e1ctld still installed"; else
  ok "the removal stopped $inst"; fi
phase "done"
