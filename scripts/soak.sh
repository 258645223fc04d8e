#!/usr/bin/env bash
# Soak test: the simulated server drives the real daemon's router unit for a while with a random
# mix of valid and malformed frames, floods, abrupt disconnects and reconnects. The daemon's
# resident memory, open descriptors and threads are sampled after the first minute and at the
# end (each the smallest of five samples a second apart, so a link being remade at that instant
# does not count). The run fails if the daemon died, did not stop cleanly on SIGTERM, or if any
# of the three grew by more than 1% after the first minute.
# Usage: scripts/soak.sh [minutes, default 10, at least 2]
# Runs in a private network namespace (needs root). Output: build/soak/run/. With
# VOXAPP_SOAK_BUILD=DIR the binaries of an existing build are used instead of building them.
set -euo pipefail
cd "$(dirname "$0")/.."

minutes=${1:-10}
if ! [[ "$minutes" =~ ^[0-9]+$ ]] || ((minutes < 2)); then
    echo "usage: $0 [minutes, default 10, at least 2]" >&2
    exit 2
fi

binaries=${VOXAPP_SOAK_BUILD:-build/soak}
if [[ -z "${VOXAPP_SOAK_NETWORK:-}" ]]; then
    if [[ -z "${VOXAPP_SOAK_BUILD:-}" ]]; then
        scripts/setup.sh
        cmake -S . -B build/soak -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOXAPP_TESTS=OFF \
            >/dev/null
        cmake --build build/soak --target voxapp voxapp-sim-server
    fi
    exec env VOXAPP_SOAK_NETWORK=1 unshare -n "$0" "$@"
fi
ip link set lo up

run=$PWD/build/soak/run
root=$run/root
daemon_binary=$binaries/voxapp
sim=$PWD/$binaries/tools/voxapp-sim-server
rm -rf "$run"
mkdir -p "$run"

# One random action of the server, as console lines.
action() {
    local id=$((RANDOM % 65535 + 1))
    case $((RANDOM % 20)) in
        0 | 1 | 2) echo '#1,U?,N?,W?;' ;;
        3 | 4) echo ">$id #7,GP;" ;;
        5) echo "<$id #7,SN,S;" ;;
        6) echo '#7,SN,D,Z;' ;;
        7) echo "#7,SN,D,C,1,soak$id,secret$id;" ;;
        8) echo '#7,SN,D,C,0;' ;;
        9) echo "#7,SN,T,C,9999-12-31 23:59:59,5;" ;;  # out of range
        10) echo "#7,SN,T,C,2024-03-05 14:00:00x,$id;" ;;  # trailing text
        11) echo ":raw $(head -c $((RANDOM % 64 + 1)) /dev/urandom | od -An -tx1 | tr -d ' \n')" ;;
        12) echo ':raw 3c0100ffffffff23442c773b' ;;  # BINARY claiming 4 GiB: link reset
        13) echo ":raw 3e0500$(printf ';,#7,TZ;' | od -An -tx1 | tr -d ' \n')" ;;  # noise
        # The console turns \x0a into a line feed inside the command: a forged log line.
        14) printf '%s\n' '#7,MD,x\x0a2026-01-01 00:00:00 [INFO] forged;' ;;
        15) for _ in $(seq 200); do echo '#7,TZ;'; done ;;  # flood
        16) echo "#9,1,$id,abc" ;;
        17) if ((RANDOM % 4 == 0)); then echo ':reset'; else echo ':drop'; fi
            echo ':wait connection 30' ;;
        18) echo ":long $id 40000 4096" ;;
        *) echo '#R,1;' ;;
    esac
    echo ":pause $((RANDOM % 40 + 5))"
}

generate() {
    local end=$((SECONDS + minutes * 60))
    echo ':wait connection 60'
    while ((SECONDS < end)); do
        action
    done
    echo ':quit'
}

# rss_kib descriptors threads, each the smallest of five samples.
sample() {
    local pid=$1 rss fds threads best_rss='' best_fds='' best_threads=''
    for _ in 1 2 3 4 5; do
        rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")
        threads=$(awk '/^Threads:/ {print $2}' "/proc/$pid/status")
        fds=$(find "/proc/$pid/fd" -mindepth 1 -maxdepth 1 | wc -l)
        [[ -z "$best_rss" || $rss -lt $best_rss ]] && best_rss=$rss
        [[ -z "$best_fds" || $fds -lt $best_fds ]] && best_fds=$fds
        [[ -z "$best_threads" || $threads -lt $best_threads ]] && best_threads=$threads
        sleep 1
    done
    echo "$best_rss $best_fds $best_threads"
}

ready=$run/server.port
generate | "$sim" serve --pki "$run/pki" --ca-out "$run/ca.crt" --ready-file "$ready" \
    --log "$run/server.log" >/dev/null 2>&1 &
server=$!
for _ in $(seq 300); do
    [[ -s "$ready" ]] && break
    sleep 0.1
done
[[ -s "$ready" ]] || { echo "soak: the server did not start" >&2; exit 1; }
"$sim" make-root "$root" --daemon "$daemon_binary" --port "$(cat "$ready")" --ca "$run/ca.crt" \
    --depth normal --timeout 0 >/dev/null
VOXAPP_ROOT="$root" "$root/root/app/voxapp" >"$run/daemon.out" 2>&1 &
daemon=$!
# shellcheck disable=SC2317  # called through the EXIT trap
stop() {
    kill -TERM "$daemon" 2>/dev/null || true
    kill -TERM "$server" 2>/dev/null || true
}
trap stop EXIT

echo "soak: $minutes minutes; daemon pid $daemon; output in $run"
sleep 60
if ! kill -0 "$daemon" 2>/dev/null; then
    echo "soak: FAILED - the daemon died in the first minute" >&2
    exit 1
fi
read -r rss0 fds0 threads0 < <(sample "$daemon")
echo "after the first minute: RSS ${rss0} KiB, ${fds0} descriptors, ${threads0} threads"
sleep $((minutes * 60 - 60 - 15))
if ! kill -0 "$daemon" 2>/dev/null; then
    echo "soak: FAILED - the daemon died" >&2
    exit 1
fi
read -r rss1 fds1 threads1 < <(sample "$daemon")
echo "at the end:             RSS ${rss1} KiB, ${fds1} descriptors, ${threads1} threads"
# The generator runs ahead of the server (the pipe holds what is still to be sent): stopping the
# server ends both.
kill -TERM "$server" 2>/dev/null || true
wait "$server" || true

status=0
grew() {  # name start end
    if (($3 * 100 > $2 * 101)); then
        echo "soak: FAILED - $1 grew from $2 to $3 (more than 1%)" >&2
        status=1
    fi
}
grew RSS "$rss0" "$rss1"
grew descriptors "$fds0" "$fds1"
grew threads "$threads0" "$threads1"

kill -TERM "$daemon"
code=0
wait "$daemon" || code=$?
trap - EXIT
if ((code != 0)); then
    echo "soak: FAILED - the daemon exited with $code on SIGTERM" >&2
    status=1
fi
if grep -a -q 'secret[0-9]' "$root/var/log/voxapp.log" "$run/daemon.out"; then
    echo "soak: FAILED - an FTP password reached the log" >&2
    status=1
fi
commands=$(grep -a -c 'Processing command' "$root/var/log/voxapp.log" || true)
echo "soak: the router unit answered $commands commands"
((status == 0)) && echo "soak: passed"
exit "$status"
