#!/usr/bin/env bash
# What operators install, checked the way they get it:
#  1. the systemd units of the tree: systemd-analyze verify and security,
#     and the settings the daemon relies on;
#  2. the udev rule, run by udevadm test on fake controllers in a private
#     mount namespace: which daemon instance each one wants;
#  3. the Debian package, built from a copy of the tree with
#     dpkg-buildpackage (Debian's build flags, -Werror), lintian-clean, its
#     files and maintainer scripts;
#  4. dpkg -i, -r and -P in a throw-away overlay of this machine's root:
#     what each leaves behind;
#  5. cmake --install under a scratch prefix: the same files.
# Needs root (namespaces, chroot).
#
#   package_test.sh SOURCE_DIR BUILD_DIR SCRATCH_DIR CMAKE [KEEP_DEB]
# KEEP_DEB: where the package built is copied for later suites (removed
# first, so a failed build leaves none).
set -u
src=$1 build=$2 scratch=$3 cmake=$4 keep=${5:-}
[ -z "$keep" ] || rm -f "$keep"
fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }
check() { # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else fail "$what"; fi
}
finish() {
  rm -rf "$scratch"
  [ $fails -eq 0 ] && echo "all package checks passed" || echo "$fails package checks failed"
  [ $fails -eq 0 ]
  exit
}
# The value of KEY= in a unit file (the last one when repeated).
unit_value() { sed -n "s/^$2=//p" "$1" | tail -n 1; }

rm -rf "$scratch"
mkdir -p "$scratch"
version=$("$build/e1ctld" -v)
debversion=${version//_/\~}

# --- 1. Units ---------------------------------------------------------------
units=(e1ctld.service e1ctld@.service)
mkdir -p "$scratch/units"
for u in "${units[@]}"; do
  f=$src/packaging/$u
  check "$u: Type=notify" test "$(unit_value "$f" Type)" = notify
  check "$u: a watchdog" grep -Eq '^WatchdogSec=[1-9]' "$f"
  check "$u: restarts on failure" test "$(unit_value "$f" Restart)" = on-failure
  check "$u: no restart for statuses 2, 11, 13" \
    test "$(unit_value "$f" RestartPreventExitStatus | tr ' ' '\n' | sort -n | xargs)" = "2 11 13"
  check "$u: Group=e1ctld, UMask=0007" \
    test "$(unit_value "$f" Group)/$(unit_value "$f" UMask)" = "e1ctld/0007"
  check "$u: capabilities CAP_DAC_OVERRIDE CAP_NET_ADMIN CAP_SYS_PTRACE only" \
    test "$(unit_value "$f" CapabilityBoundingSet | tr ' ' '\n' | sort | xargs)" = \
    "CAP_DAC_OVERRIDE CAP_NET_ADMIN CAP_SYS_PTRACE"
  # 64 buses of 127 devices, three or more devices and about nine
  # descriptors per controller: 8128 / 3 * 9 = 24384.
  check "$u: LimitNOFILE holds the largest hub tree (>= 24384)" \
    awk -v n="$(unit_value "$f" LimitNOFILE)" 'BEGIN { exit !(n + 0 >= 24384) }'
  check "$u: /run writable in a read-only system" \
    test "$(unit_value "$f" ProtectSystem)/$(unit_value "$f" ReadWritePaths)" = "strict//run"
  # verify wants the program to exist: the copy runs the build's daemon.
  sed "s|^ExecStart=/usr/sbin/e1ctld |ExecStart=$build/e1ctld |" "$f" >"$scratch/units/$u"
  out=$(cd "$scratch/units" && systemd-analyze verify --man=no "./$u" 2>&1)
  check "systemd-analyze verify $u" test -z "$out"
  [ -z "$out" ] || echo "$out"
  score=$(systemd-analyze security --offline=true "$scratch/units/$u" 2>&1 |
    sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
  echo "systemd-analyze security $u: ${score:-none}"
  check "$u: exposure level $score <= 3.0" awk -v s="${score:-99}" 'BEGIN { exit !(s <= 3.0) }'
done
check "e1ctld.service runs every controller (-n)" \
  test "$(unit_value "$src/packaging/e1ctld.service" ExecStart)" = "/usr/sbin/e1ctld -n"
check "e1ctld@.service runs its instance, dashes kept (%i)" \
  test "$(unit_value "$src/packaging/e1ctld@.service" ExecStart)" = "/usr/sbin/e1ctld %i"
check "e1ctld.service is installable (WantedBy=multi-user.target)" \
  grep -qx 'WantedBy=multi-user.target' "$src/packaging/e1ctld.service"

# The metrics timer and its service: verified together (the timer names the
# service), the service sandboxed like the daemon's units.
metrics_units=(e1ctld-metrics.service e1ctld-metrics.timer)
ms=$src/packaging/e1ctld-metrics.service
sed "s| /usr/bin/e1ctl | $build/e1ctl |" "$ms" >"$scratch/units/e1ctld-metrics.service"
cp "$src/packaging/e1ctld-metrics.timer" "$scratch/units/"
out=$(cd "$scratch/units" && systemd-analyze verify --man=no ./e1ctld-metrics.service ./e1ctld-metrics.timer 2>&1)
check "systemd-analyze verify e1ctld-metrics.service e1ctld-metrics.timer" test -z "$out"
[ -z "$out" ] || echo "$out"
score=$(systemd-analyze security --offline=true "$scratch/units/e1ctld-metrics.service" 2>&1 |
  sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
echo "systemd-analyze security e1ctld-metrics.service: ${score:-none}"
check "e1ctld-metrics.service: exposure level $score <= 3.0" \
  awk -v s="${score:-99}" 'BEGIN { exit !(s <= 3.0) }'
check "e1ctld-metrics.service: a oneshot that runs e1ctl metrics" \
  bash -c 'test "$(sed -n "s/^Type=//p" "$1")" = oneshot && grep -q "/usr/bin/e1ctl -q metrics >" "$1"' _ "$ms"
check "e1ctld-metrics.service: writes a temporary file and renames it to e1ctld.prom" \
  grep -q 'mv -f "$$t" "$$d/e1ctld.prom"' "$ms"
check "e1ctld-metrics.service: only node exporter's directory writable" \
  test "$(unit_value "$ms" ProtectSystem)/$(unit_value "$ms" ReadWritePaths)" = \
  "strict//var/lib/prometheus/node-exporter"
check "e1ctld-metrics.timer: every 15 s, installable (WantedBy=timers.target)" \
  bash -c 'grep -qx "OnUnitActiveSec=15s" "$1" && grep -qx "WantedBy=timers.target" "$1"' _ \
  "$src/packaging/e1ctld-metrics.timer"

# --- 2. udev rule -------------------------------------------------------------
# A tty of a USB interface bound to cdc_acm under a device with the given
# ids, in a fake /sys of a private mount namespace (with its own /dev, /run
# and rules directory, so nothing reaches this machine); prints the
# properties that udevadm test computes.
udev_props() { # udev_props VID PID INTERFACE
  unshare --mount --propagation private bash -s "$src/packaging/70-e1ctld.rules" "$1" "$2" "$3" <<'EOF' 2>&1
set -e
rules=$1 vid=$2 pid=$3 iface=$4
for d in /sys /dev /run /etc/udev/rules.d; do mount -t tmpfs lab "$d"; done
cp "$rules" /etc/udev/rules.d/
mkdir -p /sys/bus/usb/drivers/cdc_acm /sys/bus/usb/drivers/usb /sys/class/tty
dev=/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/${iface%%:*}
tty=$dev/$iface/tty/ttyACM0
mkdir -p "$tty"
echo "$vid" >"$dev/idVendor"
echo "$pid" >"$dev/idProduct"
printf 'DEVTYPE=usb_device\nDRIVER=usb\n' >"$dev/uevent"
printf 'DEVTYPE=usb_interface\nDRIVER=cdc_acm\n' >"$dev/$iface/uevent"
printf 'MAJOR=166\nMINOR=0\nDEVNAME=ttyACM0\n' >"$tty/uevent"
ln -s /sys/bus/usb "$dev/subsystem"
ln -s /sys/bus/usb/drivers/usb "$dev/driver"
ln -s /sys/bus/usb "$dev/$iface/subsystem"
ln -s /sys/bus/usb/drivers/cdc_acm "$dev/$iface/driver"
ln -s /sys/class/tty "$tty/subsystem"
SYSTEMD_DEVICE_VERIFY_SYSFS=0 udevadm test --action=add "$tty" 2>/dev/null |
  grep -E '^(ID_MM_DEVICE_IGNORE|SYSTEMD_WANTS|TAGS)='
EOF
}
for pid in 0003 0004 0005 fffb fffc fffd; do
  got=$(udev_props c251 "$pid" 2-1.3:1.0)
  want=$'ID_MM_DEVICE_IGNORE=1\nTAGS=:systemd:\nSYSTEMD_WANTS=e1ctld@2-1.3:1.0.service'
  check "udev: c251:$pid tty wants e1ctld@2-1.3:1.0.service" \
    test "$(sort <<<"$got")" = "$(sort <<<"$want")"
  [ "$(sort <<<"$got")" = "$(sort <<<"$want")" ] || echo "$got"
done
got=$(udev_props c251 0006 1-4:1.0 | grep -v '^TAGS=')
check "udev: an unknown product wants nothing" test -z "$got"
[ -z "$got" ] || echo "$got"

# --- 3. The Debian package ----------------------------------------------------
mkdir -p "$scratch/pkg/src"
if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  (cd "$src" && git ls-files -co --exclude-standard -z | tar --null -cf - -T -) |
    tar -xf - -C "$scratch/pkg/src"
else
  tar -C "$src" --exclude='./build*' --exclude=./.git -cf - . | tar -xf - -C "$scratch/pkg/src"
fi
if ! (cd "$scratch/pkg/src" && DEB_BUILD_OPTIONS="parallel=2" dpkg-buildpackage -b -us -uc) \
  >"$scratch/build.log" 2>&1; then
  tail -n 40 "$scratch/build.log"
  fail "dpkg-buildpackage -b"
  finish
fi
echo "ok: dpkg-buildpackage -b"
arch=$(dpkg --print-architecture)
deb=$scratch/pkg/e1ctld_${debversion}_${arch}.deb
check "built e1ctld_${debversion}_${arch}.deb (version from e1ctld -v)" test -f "$deb"
[ -f "$deb" ] || finish
[ -z "$keep" ] || cp "$deb" "$keep"
check "compiled with Debian's hardening flags under -Werror" \
  grep -q -- '-fstack-protector-strong.*-D_FORTIFY_SOURCE=2.*-Werror' "$scratch/build.log"

lint=$(lintian --allow-root "$scratch/pkg/e1ctld_${debversion}_${arch}.changes" 2>&1)
check "lintian: no error and no warning" bash -c "! grep -Eq '^[EW]: ' <<<\"\$1\"" _ "$lint"
[ -z "$lint" ] || echo "$lint"

field() { dpkg-deb -f "$deb" "$1"; }
check "Package: e1ctld" test "$(field Package)" = e1ctld
check "Maintainer: name <address>" grep -Eq '^[^<]+ <[^@> ]+@[^> ]+>$' <<<"$(field Maintainer)"
check "Depends names libc6 and a sysusers provider" \
  grep -Eq 'libc6.*|systemd-sysusers' <<<"$(field Depends)"
check "Section: net" test "$(field Section)" = net

root=$scratch/root
dpkg-deb -x "$deb" "$root" || { fail "dpkg-deb -x"; finish; }
want_pkg="lib/systemd/system/e1ctld-metrics.service
lib/systemd/system/e1ctld-metrics.timer
lib/systemd/system/e1ctld.service
lib/systemd/system/e1ctld@.service
lib/udev/rules.d/70-e1ctld.rules
usr/bin/e1ctl
usr/bin/e1sim
usr/lib/sysusers.d/e1ctld.conf
usr/sbin/e1ctld
usr/share/doc/e1ctld/README.md.gz
usr/share/doc/e1ctld/changelog.gz
usr/share/doc/e1ctld/copyright
usr/share/lintian/overrides/e1ctld
usr/share/man/man1/e1ctl.1.gz
usr/share/man/man1/e1sim.1.gz
usr/share/man/man8/e1ctld.8.gz"
got=$(cd "$root" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort)
if [ "$got" = "$want_pkg" ]; then echo "ok: the package holds exactly the expected files"; else
  fail "package files differ:"; diff <(echo "$want_pkg") <(echo "$got"); fi
for u in "${units[@]}" "${metrics_units[@]}"; do
  check "package: $u is the tree's unit" cmp -s "$src/packaging/$u" "$root/lib/systemd/system/$u"
done
check "usr/sbin/e1ctld -v prints $version" test "$("$root/usr/sbin/e1ctld" -v)" = "$version"
for f in usr/sbin/e1ctld usr/bin/e1ctl usr/bin/e1sim; do
  check "$f is executable by all" test "$(stat -c %a "$root/$f")" = 755
done
for page in man8/e1ctld.8 man1/e1ctl.1 man1/e1sim.1; do
  gz=$root/usr/share/man/$page.gz
  check "$page.gz is gzip" gzip -t "$gz"
  warnings=$(zcat "$gz" | groff -man -ww -z -Tutf8 2>&1)
  check "$page formats without warnings" test -z "$warnings"
  [ -z "$warnings" ] || echo "$warnings"
done
dpkg-deb -e "$deb" "$scratch/control" || fail "dpkg-deb -e"
for s in postinst prerm postrm; do
  check "control: $s is executable shell" bash -c "test -x '$scratch/control/$s' && sh -n '$scratch/control/$s'"
done

# --- 4. dpkg -i, -r, -P in an overlay of this machine's root -----------------
# The overlay's upper layer collects every file that dpkg and the
# maintainer scripts create or change; after the purge only dpkg's own
# records, its log and the e1ctld group (kept, as Debian keeps system
# groups: files may still belong to it) may remain.
cat >"$scratch/dpkg-round.sh" <<'EOF'
set -eu
scratch=$1 deb=$2
mnt=$scratch/mnt
mkdir -p "$mnt"
mount -t tmpfs lab "$mnt"
mkdir -p "$mnt/upper" "$mnt/work" "$mnt/merged"
mount -t overlay overlay -o "lowerdir=/,upperdir=$mnt/upper,workdir=$mnt/work" "$mnt/merged"
for d in proc dev sys; do mount --rbind "/$d" "$mnt/merged/$d"; done
mount -t tmpfs lab "$mnt/merged/run"
mount -t tmpfs lab "$mnt/merged/tmp"
cp "$deb" "$mnt/merged/tmp/e1ctld.deb"
inroot() { chroot "$mnt/merged" "$@"; }
step() { echo "--- $*"; }
step install
inroot dpkg -i /tmp/e1ctld.deb
inroot test -x /usr/sbin/e1ctld && echo "installed: /usr/sbin/e1ctld"
inroot getent group e1ctld >/dev/null && echo "installed: group e1ctld"
inroot test ! -e /etc/systemd/system/multi-user.target.wants/e1ctld.service && echo "installed: e1ctld.service not enabled"
inroot test ! -e /etc/systemd/system/timers.target.wants/e1ctld-metrics.timer && echo "installed: e1ctld-metrics.timer not enabled"
inroot systemctl enable e1ctld.service 2>&1
inroot test -L /etc/systemd/system/multi-user.target.wants/e1ctld.service && echo "enabled: link made"
step remove
inroot dpkg -r e1ctld
inroot test ! -e /usr/sbin/e1ctld && echo "removed: /usr/sbin/e1ctld gone"
step purge
inroot dpkg -P e1ctld
inroot test ! -e /etc/systemd/system/multi-user.target.wants/e1ctld.service && echo "purged: enable link gone"
rm -f "$mnt/merged/tmp/e1ctld.deb"
cd "$mnt/upper"
echo "--- left behind:"
find . ! -type d | sed 's|^\./||' | LC_ALL=C sort |
  grep -Ev '^(var/lib/dpkg/|var/log/|var/cache/|etc/(group|gshadow)-?$|etc/\.pwd\.lock$|run/|tmp/)' || true
echo "--- end"
EOF
out=$(unshare --mount --propagation private bash "$scratch/dpkg-round.sh" "$scratch" "$deb" 2>&1)
echo "$out" | sed 's/^/  dpkg: /'
for line in "installed: /usr/sbin/e1ctld" "installed: group e1ctld" \
  "installed: e1ctld.service not enabled" "installed: e1ctld-metrics.timer not enabled" \
  "enabled: link made" \
  "removed: /usr/sbin/e1ctld gone" "purged: enable link gone"; do
  check "dpkg round: $line" grep -qx "$line" <<<"$out"
done
left=$(sed -n '/^--- left behind:$/,/^--- end$/p' <<<"$out" | sed '1d;$d')
check "dpkg round: nothing left behind after the purge" \
  bash -c "grep -qx -- '--- end' <<<\"\$1\" && test -z \"\$2\"" _ "$out" "$left"

# --- 5. cmake --install ------------------------------------------------------
prefix=$scratch/inst
if "$cmake" --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1; then
  want_inst="bin/e1ctl
bin/e1sim
lib/systemd/system/e1ctld-metrics.service
lib/systemd/system/e1ctld-metrics.timer
lib/systemd/system/e1ctld.service
lib/systemd/system/e1ctld@.service
lib/sysusers.d/e1ctld.conf
lib/udev/rules.d/70-e1ctld.rules
sbin/e1ctld
share/doc/e1ctld/README.md
share/man/man1/e1ctl.1.gz
share/man/man1/e1sim.1.gz
share/man/man8/e1ctld.8.gz"
  got=$(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort)
  if [ "$got" = "$want_inst" ]; then echo "ok: cmake --install installs the expected files"; else
    fail "cmake --install files differ:"; diff <(echo "$want_inst") <(echo "$got"); fi
  check "installed e1ctld.service: ExecStart=$prefix/sbin/e1ctld -n" \
    grep -qx "ExecStart=$prefix/sbin/e1ctld -n" "$prefix/lib/systemd/system/e1ctld.service"
  check "installed e1ctld@.service: ExecStart=$prefix/sbin/e1ctld %i" \
    grep -qx "ExecStart=$prefix/sbin/e1ctld %i" "$prefix/lib/systemd/system/e1ctld@.service"
  check "installed e1ctld-metrics.service runs $prefix/bin/e1ctl" \
    grep -q " $prefix/bin/e1ctl -q metrics " "$prefix/lib/systemd/system/e1ctld-metrics.service"
else
  cat "$scratch/install.log"
  fail "cmake --install"
fi
finish
