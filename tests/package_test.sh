#!/usr/bin/env bash
# The Debian package: built from the sources, installed and purged with dpkg
# inside a private mount namespace whose /zarn, /etc, dpkg database, logs and
# unit directory are scratch copies, so that the machine itself is untouched.
#   package_test.sh SOURCE_DIR WORK_DIR
set -uo pipefail
src=${1:?usage: package_test.sh SOURCE_DIR WORK_DIR}
work=${2:?usage: package_test.sh SOURCE_DIR WORK_DIR}

if [ "${ZARN_PACKAGE_INNER:-}" != 1 ]; then
  mkdir -p "$work"
  cmake -S "$src" -B "$work/build" -DZARN_TESTS=OFF -DZARN_INSTALL_SYSTEM_FILES=ON -DZARN_WERROR=ON >/dev/null || exit 1
  cmake --build "$work/build" -j"$(nproc)" >/dev/null || exit 1
  (cd "$work/build" && cpack -G DEB >/dev/null) || exit 1
  deb=$(ls "$work"/build/zarn_*.deb | head -1)
  [ -f "$deb" ] || { echo "no package built"; exit 1; }
  echo "built $(basename "$deb")"
  ZARN_PACKAGE_INNER=1 exec unshare --mount --propagation private -- "$0" "$src" "$work" "$deb"
fi

deb=$3
scratch=$(mktemp -d "$work/scratch.XXXXXX")
for d in etc var/lib/dpkg var/log zarn units; do mkdir -p "$scratch/$d"; done
cp -a /etc/. "$scratch/etc/"
cp -a /var/lib/dpkg/. "$scratch/var/lib/dpkg/"
mkdir -p /zarn /usr/lib/systemd/system
mount --bind "$scratch/etc" /etc
mount --bind "$scratch/var/lib/dpkg" /var/lib/dpkg
mount --bind "$scratch/var/log" /var/log
mount --bind "$scratch/zarn" /zarn
mount --bind "$scratch/units" /usr/lib/systemd/system

passed=0 failed=0
check() {
  if [ "$2" = "$3" ]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $1: expected '$2', saw '$3'"; fi
}
mode() { stat -c '%a %U:%G' "$1" 2>/dev/null || echo missing; }

dpkg -i "$deb" >"$scratch/install.log" 2>&1 || { cat "$scratch/install.log"; failed=$((failed + 1)); }
check "package installed" "ii" "$(dpkg-query -W -f='${db:Status-Abbrev}' zarn 2>/dev/null | cut -c1-2)"
check "runner" "4750 root:zarn" "$(mode /zarn/bin/gw-runner)"
check "access module" "644 root:root" "$(mode /zarn/modules/mod_access.so)"
check "configuration" "640 root:zarn" "$(mode /zarn/conf/zarn-router.conf)"
check "logs" "755 zarn:zarn" "$(mode /zarn/logs)"
check "account zarn" "zarn" "$(getent passwd zarn | cut -d: -f1)"
check "unit" "present" "$([ -f /usr/lib/systemd/system/zarn-router.service ] && echo present)"
check "logrotate" "present" "$([ -f /etc/logrotate.d/zarn ] && echo present)"
check "conffiles" "yes" "$(grep -q '/zarn/conf/zarn-auth.conf' /var/lib/dpkg/info/zarn.conffiles && echo yes)"

dpkg --purge zarn >"$scratch/purge.log" 2>&1 || { cat "$scratch/purge.log"; failed=$((failed + 1)); }
check "package gone" "" "$(dpkg-query -W -f='${db:Status-Abbrev}' zarn 2>/dev/null | tr -d ' ')"
check "nothing left under /zarn" "" "$(find /zarn -mindepth 1 2>/dev/null | head -3)"
check "unit removed" "" "$(ls /usr/lib/systemd/system)"

echo "package: $passed passed, $failed failed"
[ "$failed" = 0 ]
