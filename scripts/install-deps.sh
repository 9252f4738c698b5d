#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need. Idempotent.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libmariadb-dev mariadb-server mariadb-client
  libssl-dev
  libip4tc-dev libxtables-dev iptables
  libipset-dev ipset
  libmnl-dev
  iproute2 kmod psmisc iputils-arping tcpdump mtr-tiny
  iperf3 curl iputils-ping
  procps util-linux passwd
  faketime
  clang libclang-rt-dev clang-tidy
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The distribution's MariaDB service is never used: tests and the demo start their own.
if command -v systemctl >/dev/null && systemctl is-active --quiet mariadb 2>/dev/null; then
  systemctl stop mariadb || true
fi
exit 0
