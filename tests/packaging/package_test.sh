#!/usr/bin/env bash
# Builds the Debian package of a build tree, unpacks it into a scratch root
# and checks what is in it; then installs the same tree with cmake --install
# under a scratch prefix and checks that both give the same files.
#
#   package_test.sh BUILD_DIR SCRATCH_DIR CMAKE CPACK
set -u
build=$1 scratch=$2 cmake=$3 cpack=$4
fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }
check() { # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else fail "$what"; fi
}

rm -rf "$scratch"
mkdir -p "$scratch/pkg" "$scratch/root" "$scratch/control" "$scratch/inst"

# The package.
if ! (cd "$build" && "$cpack" -G DEB -B "$scratch/pkg") >"$scratch/cpack.log" 2>&1; then
  cat "$scratch/cpack.log"
  echo "FAIL: cpack -G DEB"
  exit 1
fi
debs=("$scratch"/pkg/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: expected one .deb, got: ${debs[*]}"; exit 1; }
deb=${debs[0]}

version=$("$build/e1ctld" -v)
debversion=${version//_/\~}
arch=$(dpkg --print-architecture)
field() { dpkg-deb -f "$deb" "$1"; }
check "file name e1ctld_${debversion}-1_${arch}.deb" test "$(basename "$deb")" = "e1ctld_${debversion}-1_${arch}.deb"
check "Package: e1ctld" test "$(field Package)" = e1ctld
check "Version: ${debversion}-1 (from e1ctld -v)" test "$(field Version)" = "${debversion}-1"
check "Architecture: $arch" test "$(field Architecture)" = "$arch"
check "Maintainer: name <address>" grep -Eq '^[^<]+ <[^@> ]+@[^> ]+>$' <<<"$(field Maintainer)"
check "Depends names libc6" grep -q 'libc6' <<<"$(field Depends)"
check "Section: net" test "$(field Section)" = net
check "Description has a summary and a long text" test "$(field Description | wc -l)" -ge 3

# Its files, all of them.
dpkg-deb -x "$deb" "$scratch/root" || { echo "FAIL: dpkg-deb -x"; exit 1; }
root=$scratch/root
want="usr/bin/e1ctl
usr/bin/e1sim
usr/lib/systemd/system/e1ctld.service
usr/lib/udev/rules.d/70-e1ctld.rules
usr/sbin/e1ctld
usr/share/doc/e1ctld/README.md
usr/share/man/man1/e1ctl.1.gz
usr/share/man/man1/e1sim.1.gz
usr/share/man/man8/e1ctld.8.gz"
got=$(cd "$root" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort)
if [ "$got" = "$want" ]; then echo "ok: the package holds exactly the expected files"; else
  fail "package files differ:"; diff <(echo "$want") <(echo "$got"); fi

# The programs run from where they were unpacked.
check "usr/sbin/e1ctld -v prints $version" test "$("$root/usr/sbin/e1ctld" -v)" = "$version"
check "usr/sbin/e1ctld -p prints the socket prefix" grep -q '^PREFIX##/var/run/E1controllers/G703G704_phy$' <<<"$("$root/usr/sbin/e1ctld" -p)"
check "usr/bin/e1ctl --help" bash -c "'$root/usr/bin/e1ctl' --help >/dev/null"
check "usr/bin/e1sim --help" bash -c "'$root/usr/bin/e1sim' --help >/dev/null"
for f in usr/sbin/e1ctld usr/bin/e1ctl usr/bin/e1sim; do
  check "$f is executable by all" test "$(stat -c %a "$root/$f")" = 755
done

# The unit runs the packaged daemon in the foreground and restarts it on failure.
unit=$root/usr/lib/systemd/system/e1ctld.service
check "unit: ExecStart=/usr/sbin/e1ctld -n" grep -qx 'ExecStart=/usr/sbin/e1ctld -n' "$unit"
check "unit: the ExecStart binary is in the package" test -x "$root/usr/sbin/e1ctld"
check "unit: Restart=on-failure" grep -qx 'Restart=on-failure' "$unit"
check "unit: log to the journal" grep -qx 'StandardOutput=journal' "$unit"
check "unit: WantedBy=multi-user.target" grep -qx 'WantedBy=multi-user.target' "$unit"
check "unit: no unexpanded @...@" bash -c "! grep -q '@' '$unit'"
check "unit: no -d (systemd needs the foreground)" bash -c "! grep -Eq '^ExecStart=.* -d( |\$)' '$unit'"

# Man pages: valid gzip, formatted without a warning.
for page in man8/e1ctld.8 man1/e1ctl.1 man1/e1sim.1; do
  gz=$root/usr/share/man/$page.gz
  name=$(basename "$page"); name=${name%.*}; section=${page##*.}
  check "$page.gz is gzip" gzip -t "$gz"
  check "$page: .TH ${name^^} $section" grep -q "^\.TH ${name^^} $section " <(zcat "$gz")
  warnings=$(zcat "$gz" | groff -man -ww -z -Tutf8 2>&1)
  check "$page formats without warnings" test -z "$warnings"
  [ -z "$warnings" ] || echo "$warnings"
done

# Maintainer scripts.
dpkg-deb -e "$deb" "$scratch/control" || fail "dpkg-deb -e"
for s in postinst prerm postrm; do
  check "control: $s is executable shell" bash -c "test -x '$scratch/control/$s' && sh -n '$scratch/control/$s'"
done

# cmake --install under another prefix: the same files, and the unit names
# the daemon under that prefix.
prefix=$scratch/inst
if "$cmake" --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1; then
  got=$(cd "$prefix" && find . -type f -o -type l | sed 's|^\./|usr/|' | LC_ALL=C sort)
  if [ "$got" = "$want" ]; then echo "ok: cmake --install installs the same files"; else
    fail "cmake --install files differ:"; diff <(echo "$want") <(echo "$got"); fi
  check "installed unit: ExecStart=$prefix/sbin/e1ctld -n" grep -qx "ExecStart=$prefix/sbin/e1ctld -n" "$prefix/lib/systemd/system/e1ctld.service"
else
  cat "$scratch/install.log"
  fail "cmake --install"
fi

rm -rf "$scratch"
[ $fails -eq 0 ] && echo "all package checks passed" || echo "$fails package checks failed"
[ $fails -eq 0 ]
