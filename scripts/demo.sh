#!/usr/bin/env bash
# Builds voxapp and runs the daemon on a demo root under .demo/ (VOXAPP_ROOT), in the foreground.
# Ctrl-C stops it. Without a terminal it runs for a few seconds, stops itself with SIGTERM and
# shows what it logged.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOXAPP_TESTS=OFF >/dev/null
cmake --build build/demo --target voxapp -j "$(nproc)"

root=$PWD/.demo/root
mkdir -p "$root/root/app" "$root/var/log"
install -m 0755 build/demo/voxapp "$root/root/app/voxapp"
if [[ ! -f "$root/root/app/settings.ini" ]]; then
    cat >"$root/root/app/settings.ini" <<SETTINGS
# Demo settings; every key is described in the README.
min_logging_level=debug
heartbeat_interval=5
component=remote_connection:true
component=gps_location:true
SETTINGS
fi

echo "Demo root: $root (log file: $root/var/log/voxapp.log)"
if [[ -t 0 ]]; then
    exec env VOXAPP_ROOT="$root" "$root/root/app/voxapp"
fi
VOXAPP_ROOT="$root" "$root/root/app/voxapp" &
pid=$!
sleep 3
kill -TERM "$pid"
wait "$pid"
echo "voxapp exited with code $?"
