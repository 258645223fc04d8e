#!/usr/bin/env bash
# Whole-daemon benchmarks: builds voxapp, the simulated monitoring server and bench/daemon_bench
# (release build with debug information, in build/daemon-bench), prints the machine, then runs
# the daemon's router unit against the simulated server on loopback (in a private network
# namespace when run as root): command round trips, first byte after idle spells, idle CPU, idle
# wake-ups, resident and private dirty memory, each against its target; then instruments on
# pseudo-terminals: private dirty memory with one and with nine server connections, command
# round trips and the long binary upload rate against a plain pty copy; then the FTP publisher's
# upload of 50 MiB to vsftpd in a private namespace against a plain curl -T. Extra arguments go
# to daemon_bench (for example
# --commands 5000). About two minutes on a fresh checkout.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

dir=build/daemon-bench
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOXAPP_BENCH=ON >/dev/null
cmake --build "$dir" --target voxapp voxapp-sim-server voxapp-sim-instrument daemon_bench \
    instrument_bench ftp_upload_bench -j "$(nproc)"

echo "== Machine =="
lscpu | head -15
echo "== Daemon on loopback =="
"$dir/bench/daemon_bench" "$@"
echo "== An instrument on a pseudo-terminal through the daemon =="
"$dir/bench/instrument_bench"
echo "== The FTP publisher's 50 MiB upload to vsftpd against plain curl -T =="
"$dir/bench/ftp_upload_bench"
