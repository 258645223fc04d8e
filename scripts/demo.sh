#!/usr/bin/env bash
# Builds voxapp, the simulated monitoring server, the simulated instrument and the simulated GPS
# service, writes a demo root under .demo/, starts the root's own ubusd with the GPS service on
# it (when the build has libubus) and runs the daemon against the server. The server's console
# is yours: type a frame such as #1,U?,N?; (or >7 #7,GP; for an ASCII frame with request id 7)
# and the answer appears; :help lists the console's commands, :quit or Ctrl-D ends the demo.
# Lines starting with '!' go to the simulated instrument instead: !plug and !unplug plug it into
# the router and take it out again (it then gets a server connection of its own, and the router
# unit steps back). Without a terminal it plays a short scripted exchange instead. All programs
# run in a private network namespace when one can be made (as root), else on 127.0.0.1 (where the
# instrument's uevents cannot reach the daemon). In the private namespace a simulated camera
# sits on the router's LAN ("br-lan", 192.168.77.1/24; the camera is 192.168.77.20 in a
# namespace of its own): the daemon discovers it, finds its password and provisions it.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ -z "${VOXAPP_DEMO_NETWORK:-}" ]]; then
    scripts/setup.sh
    cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOXAPP_TESTS=OFF \
        >/dev/null
    cmake --build build/demo --target voxapp voxapp-sim-server voxapp-sim-instrument \
        voxapp-sim-camera -j "$(nproc)"
    if grep -q '^VOXAPP_UBUSD:FILEPATH=/' build/demo/CMakeCache.txt; then
        cmake --build build/demo --target voxapp-gps-sim -j "$(nproc)"
    fi
    if unshare -n true 2>/dev/null; then
        exec env VOXAPP_DEMO_NETWORK=private unshare -n "$0" "$@"
    fi
    echo "No private network namespace (not root): the demo runs on 127.0.0.1."
    export VOXAPP_DEMO_NETWORK=loopback
fi
if [[ "$VOXAPP_DEMO_NETWORK" == private ]]; then
    ip link set lo up
fi

demo=$PWD/.demo
root=$demo/root
sim=$PWD/build/demo/tools/voxapp-sim-server
instrument_sim=$PWD/build/demo/tools/voxapp-sim-instrument
ready=$demo/server.port
mkdir -p "$demo"
rm -f "$ready" "$demo/daemon.pid" "$demo/daemon.exit" "$demo/server.in" "$demo/instrument.in" \
    "$demo/server.log" "$demo/daemon.out" "$demo/instrument.log" "$demo/camera.log" \
    "$demo/bus.pids"

# Once the server listens, the root is (re)written for its port and the daemon started; this
# runs in the background and records the daemon's exit code. Ctrl-C reaches the daemon directly.
start_daemon() {
    trap '' INT
    for _ in $(seq 300); do
        [[ -s "$ready" ]] && break
        sleep 0.1
    done
    [[ -s "$ready" ]] || { echo "demo: the server did not start" >&2; return 1; }
    "$sim" make-root "$root" --daemon build/demo/voxapp --port "$(cat "$ready")" \
        --ca "$demo/pki/ca.crt" >/dev/null
    # The first candidate is wrong on purpose: the camera's password is the second.
    printf '%s\n' camera_credentials=admin:wrong camera_credentials=admin:camera-pass \
        >>"$root/root/app/settings.ini"
    start_bus
    VOXAPP_ROOT="$root" "$root/root/app/voxapp" >"$demo/daemon.out" 2>&1 8>&- &
    local pid=$!
    echo "$pid" >"$demo/daemon.pid"
    local code=0
    wait "$pid" || code=$?
    echo "$code" >"$demo/daemon.exit"
}

# The simulated instrument: unit type 100 (the basic kind), serial 5001, on ttyUSB0 of the demo
# root, driven through a FIFO; its reports go to .demo/instrument.log.
mkfifo "$demo/instrument.in"
"$instrument_sim" --root "$root" --serial 5001 --unit-type 100 <"$demo/instrument.in" \
    >"$demo/instrument.log" 2>&1 &
instrument_pid=$!
exec 8>"$demo/instrument.in"

# Waits (at most 30 s) until FILE holds a line matching PATTERN.
wait_for_line() {
    for _ in $(seq 300); do
        grep -q -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "demo: no line matching '$2' in $1" >&2
    return 1
}

# The router's system bus: ubusd on the root's socket and the simulated GPS service, which
# answers from $root/tmp/voxapp-gps-fix (make-root writes a live fix there).
# Started in the daemon's starter (a subshell): their pids go to a file for stop_bus.
start_bus() {
    local ubusd gps_sim=$PWD/build/demo/tools/voxapp-gps-sim socket=$root/var/run/ubus/ubus.sock
    ubusd=$(sed -n 's/^VOXAPP_UBUSD:FILEPATH=//p' build/demo/CMakeCache.txt)
    if [[ -z "$ubusd" || ! -x "$ubusd" || ! -x "$gps_sim" ]]; then
        echo "No ubusd or GPS simulator in this build: GP replies say there is no fix."
        return 0
    fi
    mkdir -p "$(dirname "$socket")" "$root/tmp"
    # Neither holds the instrument's FIFO (descriptor 8) open, or it would never see its end.
    "$ubusd" -s "$socket" >"$demo/ubusd.log" 2>&1 8>&- &
    echo $! >>"$demo/bus.pids"
    # The service fails at once while ubusd does not listen yet; try again until it is on.
    local gps
    for _ in $(seq 50); do
        "$gps_sim" --socket "$socket" --fix "$root/tmp/voxapp-gps-fix" >"$demo/gps-sim.log" 2>&1 8>&- &
        gps=$!
        for _ in $(seq 20); do
            if grep -q ready "$demo/gps-sim.log"; then
                echo "$gps" >>"$demo/bus.pids"
                return 0
            fi
            kill -0 "$gps" 2>/dev/null || break
            sleep 0.05
        done
        if kill -0 "$gps" 2>/dev/null; then
            echo "$gps" >>"$demo/bus.pids"
            return 0
        fi
    done
    echo "demo: the simulated GPS service did not start (see $demo/gps-sim.log)" >&2
}
stop_bus() {
    local pid
    [[ -s "$demo/bus.pids" ]] || return 0
    while read -r pid; do
        kill -TERM "$pid" 2>/dev/null || true
    done <"$demo/bus.pids"
    rm -f "$demo/bus.pids"
}

# The camera LAN: a veth pair whose router end is br-lan; the other end lies in the camera's
# own namespace, where the simulated camera answers discovery and serves its API on port 80.
camera_pid=
start_camera() {
    if [[ "$VOXAPP_DEMO_NETWORK" != private ]]; then
        echo "No camera LAN outside a private network namespace."
        return 0
    fi
    # shellcheck disable=SC2016 # expanded by the camera's own shell
    # Not holding the instrument's FIFO (descriptor 8) open, or it would never see its end.
    unshare -n bash -c '
        for _ in $(seq 100); do ip link show cam0 >/dev/null 2>&1 && break; sleep 0.05; done
        ip link set lo up && ip addr add 192.168.77.20/24 dev cam0 && ip link set cam0 up &&
            exec "$0" --address 192.168.77.20 --port 80 --discovery --password camera-pass \
                --no-console' "$PWD/build/demo/tools/voxapp-sim-camera" >"$demo/camera.log" 2>&1 8>&- &
    camera_pid=$!
    local own
    own=$(readlink /proc/self/ns/net)
    for _ in $(seq 100); do
        [[ "$(readlink "/proc/$camera_pid/ns/net" 2>/dev/null)" != "$own" ]] && break
        sleep 0.05
    done
    ip link add br-lan type veth peer name cam0 netns "$camera_pid"
    ip addr add 192.168.77.1/24 dev br-lan
    ip link set br-lan up
    # The daemon's first probe wants the link running, which the kernel reports a moment later.
    for _ in $(seq 100); do
        ip -br link show br-lan | grep -q ' UP ' && return 0
        sleep 0.05
    done
}
stop_camera() {
    if [[ -n "$camera_pid" ]]; then
        kill -TERM "$camera_pid" 2>/dev/null || true
        camera_pid=
    fi
}

starter=
stop_daemon() {
    [[ -n "$starter" ]] || return 0
    if [[ -s "$demo/daemon.pid" ]]; then
        kill -TERM "$(cat "$demo/daemon.pid")" 2>/dev/null || true
    fi
    wait "$starter" 2>/dev/null || true
    starter=
    echo "voxapp exited with code $(cat "$demo/daemon.exit" 2>/dev/null || echo '?')" \
        "(console output: $demo/daemon.out, log file: $root/var/log/voxapp.log)"
    exec 8>&- || true
    wait "$instrument_pid" 2>/dev/null || true
}
trap 'stop_daemon; stop_bus; stop_camera' EXIT

serve=("$sim" serve --pki "$demo/pki" --ready-file "$ready" --log "$demo/server.log")
echo "Demo root: $root (VOXAPP_ROOT); server transcript: $demo/server.log"
start_camera
start_daemon &
starter=$!

mkfifo "$demo/server.in"
if [[ -t 0 && -t 1 ]]; then
    "${serve[@]}" <"$demo/server.in" &
    server_pid=$!
    exec 9>"$demo/server.in"
    echo "Waiting for the router unit to connect; then type #1,U?,N?; and press Enter."
    echo "!plug puts the simulated instrument in (serial 5001), !unplug takes it out."
    tail -n +1 -f "$demo/instrument.log" | sed -u 's/^/[instrument] /' &
    tail_pid=$!
    while IFS= read -r -e line; do
        if [[ "$line" == '!'* ]]; then
            echo "${line#!}" >&8
        else
            echo "$line" >&9
            [[ "$line" == ":quit" ]] && break
        fi
    done
    exec 9>&-
    wait "$server_pid" 2>/dev/null || true
    kill "$tail_pid" 2>/dev/null || true
    exit 0
fi

# No terminal: a scripted exchange, each frame sent once the one before was answered: the router
# unit first, then the instrument is plugged in, answers on its own connection and is taken out.
# The daemon takes a GPS fix once it has seen the receiver's clock move, hence the pause.
status=0
"${serve[@]}" --lockstep <"$demo/server.in" &
server_pid=$!
exec 9>"$demo/server.in"
printf '%s\n' ':wait connection 30' '#1,U?,N?;' ':pause 1100' '>7 #7,GP;' '#7,SN,D,Z;' >&9
wait_for_line "$demo/server.log" '<- PLAIN #7,SN,D,Z' || status=1
if [[ -n "$camera_pid" ]]; then
    wait_for_line "$demo/daemon.out" 'Camera was provisioned' || status=1
    printf '%s\n' '#7,SN,S;' >&9
    wait_for_line "$demo/server.log" '<- PLAIN #7,SN,S,' || status=1
fi
echo plug >&8
wait_for_line "$demo/server.log" '\[2\] established' || status=1
printf '%s\n' '#1,U?,N?;' '>8 #7,MD,abc;' >&9
wait_for_line "$demo/server.log" '<- ASCII id=8 #7,MD' || status=1
echo unplug >&8
wait_for_line "$demo/server.log" '\[2\] closed' || status=1
echo ':quit' >&9
exec 9>&-
wait "$server_pid" || status=$?
stop_daemon
stop_bus
echo "Commands the router unit processed:"
grep -a "Processing command" "$demo/daemon.out" || true
echo "What the instrument saw:"
cat "$demo/instrument.log"
echo "Cameras:"
grep -a -E "Camera (went|was)|SadpDiscovery\] Discovered" "$demo/daemon.out" || true
stop_camera
exit "$status"
