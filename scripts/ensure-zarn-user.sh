#!/usr/bin/env bash
# Creates the system account "zarn" (the daemons' identity and the runner's
# only allowed caller) when it is missing.
set -euo pipefail
if ! getent group zarn >/dev/null; then groupadd --system zarn; fi
if ! getent passwd zarn >/dev/null; then
  useradd --system --gid zarn --home-dir /zarn --no-create-home --shell /usr/sbin/nologin zarn
fi
