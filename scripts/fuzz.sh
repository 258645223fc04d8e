#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang and runs each of them for a bounded time, all
# at once, on a fresh copy of its checked-in corpus (fuzz/corpus/<harness>/ stays untouched).
# Fails when a harness crashes, trips a sanitizer or finds a violated invariant; the input that
# did it is kept in build/fuzz/run/<harness>/artifacts/.
# Usage: scripts/fuzz.sh [seconds per harness, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: $0 [seconds per harness, default 60]" >&2
    exit 2
fi
scripts/setup.sh

build=build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVOXAPP_FUZZ=ON -DVOXAPP_TESTS=OFF >/dev/null
harnesses=(command_fuzzer frame_parser_fuzzer)
harnesses+=(settings_fuzzer uci_format_fuzzer mount_table_fuzzer time_zone_table_fuzzer)
harnesses+=(unit_request_fuzzer)
harnesses+=(uevent_fuzzer instrument_reply_fuzzer)
harnesses+=(camera_xml_fuzzer camera_time_zone_fuzzer camera_address_fuzzer sadp_answer_fuzzer)
harnesses+=(recording_text_fuzzer recording_journal_fuzzer)
cmake --build "$build" --target "${harnesses[@]}"

declare -A max_len=([command_fuzzer]=4096 [frame_parser_fuzzer]=16384)
max_len+=([settings_fuzzer]=4096 [uci_format_fuzzer]=4096 [mount_table_fuzzer]=4096)
max_len+=([time_zone_table_fuzzer]=4096 [unit_request_fuzzer]=1024)
max_len+=([uevent_fuzzer]=4096 [instrument_reply_fuzzer]=16384)
max_len+=([camera_xml_fuzzer]=8192 [camera_time_zone_fuzzer]=256 [camera_address_fuzzer]=64)
max_len+=([sadp_answer_fuzzer]=4096)
max_len+=([recording_text_fuzzer]=1024 [recording_journal_fuzzer]=8192)
pids=()
for harness in "${harnesses[@]}"; do
    run="$build/run/$harness"
    rm -rf "$run"
    mkdir -p "$run/corpus" "$run/artifacts"
    cp fuzz/corpus/"$harness"/* "$run/corpus/"
    echo "== $harness: ${seconds} s =="
    "$build/fuzz/$harness" -max_total_time="$seconds" -max_len="${max_len[$harness]}" \
        -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$run/artifacts/" "$run/corpus" >"$run/log" 2>&1 &
    pids+=($!)
done

status=0
for i in "${!harnesses[@]}"; do
    harness=${harnesses[$i]}
    log="$build/run/$harness/log"
    if wait "${pids[$i]}"; then
        echo "$harness: passed; $(grep -E '^Done [0-9]+ runs' "$log" || true)," \
            "$(find "$build/run/$harness/corpus" -type f | wc -l) corpus entries"
    else
        status=1
        echo "$harness: FAILED (log: $log)" >&2
        tail -n 60 "$log" >&2
    fi
done
exit "$status"
