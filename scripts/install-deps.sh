#!/usr/bin/env bash
# Installs, only when missing, what a fresh Debian machine lacks to build,
# test and demonstrate e1ctld. Needs root (apt-get); does nothing when all
# packages are present.
set -eu
want=(cmake ninja-build g++ make googletest libgtest-dev iproute2 util-linux clang libclang-rt-14-dev socat dpkg-dev groff-base
      debhelper lintian systemd systemd-container udev clang-format clang-tidy python3-prometheus-client)
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
