#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Measures the engine in a Release build: the parser micro-benchmark across stream sizes and
# chunkings, and the figures of a host process streaming from a local service (CPU per event,
# wall time, peak RSS, latency, stop, connection reuse) next to libcurl alone, and the time to
# the first fragment over TLS through nginx at a 30 ms round trip (also after a stop) and the
# time a stop takes there. Prints a Markdown
# table. With --chart, also draws docs/cpu-per-event.png (gnuplot) from the micro-benchmark.
# Takes a few minutes; nothing else should load the machine meanwhile. CMake's and the
# compiler's output goes to build/benchmark.log, whose end a failure shows.
# Usage: scripts/benchmark.sh [--chart]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/common.sh
step_prefix="==>"
step_log=build/benchmark.log
chart=0
case "$#:${1:-}" in
    0:) ;;
    1:--chart) chart=1 ;;
    1:-h | 1:--help) print_usage; exit 0 ;;
    *) usage_error "unknown arguments: $*" ;;
esac
check_clone_access .
# The parser path's goal, µs CPU per event: the table's and the chart's (docs/performance.md).
parser_goal_us=0.5

deps=()
[ "$chart" -eq 0 ] || deps=(--also gnuplot-nox)
scripts/install-deps.sh "${deps[@]}"
mkdir -p build
: >"$step_log"
say "building (preset bench)"
run_logged cmake --preset bench
run_logged cmake --build --preset bench -j "$(nproc 2>/dev/null || echo 2)" \
    --target parser_benchmark zefa_bench field_bench
out=build/bench/results
mkdir -p "$out"
bench=build/bench/tests/zefa_bench

say "parser micro-benchmark (engine path, no-op host)"
build/bench/tests/parser_benchmark --benchmark_format=csv --benchmark_min_time=0.5 \
    2>/dev/null > "$out/parser.csv"
# events chunk_bytes ns_per_event ns_per_byte
awk -F, 'NR > 1 && $1 ~ /BM_ReplyToHostCallback/ {
    split($1, parts, "/"); sub("events:", "", parts[2]); sub("chunk_bytes:", "", parts[3]);
    gsub("\"", "", parts[3]);
    print parts[2], parts[3], $(NF-1), $(NF-2)
}' "$out/parser.csv" > "$out/parser.dat"

value() { grep "^$2=" <<<"$1" | cut -d= -f2; }
median_of() {   # median_of <key> <runs> <command...>: the output of the run whose <key> is the median
    local key=$1 runs=$2 r
    shift 2
    for _ in $(seq "$runs"); do
        r=$("$@" | tr '\n' ' ')
        echo "$(tr ' ' '\n' <<<"$r" | grep "^$key=" | cut -d= -f2) $r"
    done | sort -g | sed -n "$(( (runs + 1) / 2 ))p" | cut -d' ' -f2- | tr ' ' '\n'
}

say "end to end (host process; service in a child process)"
for chunk in 0 16384; do
    for client in engine curl; do
        r=$(median_of cpu_us_per_event 3 "$bench" bulk "$client" 100000 "$chunk")
        declare "cpu_${client}_${chunk}=$(value "$r" cpu_us_per_event)"
        declare "wall_${client}_${chunk}=$(value "$r" wall_ms)"
        declare "rss_${client}_${chunk}=$(value "$r" peak_rss_kb)"
    done
done
rss_engine_small=$(value "$("$bench" bulk engine 1000 16384)" peak_rss_kb)
for client in engine curl; do
    r=$(median_of latency_p50_us 3 "$bench" latency "$client" 1000)
    declare "p50_$client=$(value "$r" latency_p50_us)" "p90_$client=$(value "$r" latency_p90_us)"
    declare "p99_$client=$(value "$r" latency_p99_us)" "first_$client=$(value "$r" latency_first_us)"
done
stop=$("$bench" stop)
reuse=$("$bench" reuse 10)
say "over TLS through nginx and a relay of 30 ms round trip (needs root)"
field=$(build/bench/tests/field_bench 30 10 || echo skipped)
field_cell() {   # field_cell <measure>: median / max, or why there is none
    if [ "$field" = skipped ]; then echo "(not measured: needs root)"; return; fi
    echo "$(value "$field" "$1_median_ms") / $(value "$field" "$1_max_ms")"
}

per_event() { awk -v e="$1" -v c="$2" '$1 == e && $2 == c { printf "%.2f", $3 / 1000 }' "$out/parser.dat"; }
per_byte() { awk -v e="$1" -v c="$2" '$1 == e && $2 == c { printf "%.1f", $4 }' "$out/parser.dat"; }

cat <<TABLE
| measure | engine | libcurl alone | goal |
|---|---|---|---|
| parser path, µs CPU per event, 100,000 events, one per chunk | $(per_event 100000 0) | | ≤ $parser_goal_us |
| parser path, µs CPU per event, 100,000 events, 16 KiB chunks | $(per_event 100000 16384) | | ≤ $parser_goal_us |
| parser path, ns per byte, 1-byte chunks, 1 MB / 10 MB reply | $(per_byte 4545 1) / $(per_byte 45454 1) | | within 30 % |
| host process, µs CPU per event, one event per write (host parses each fragment) | $cpu_engine_0 | $cpu_curl_0 | |
| host process, µs CPU per event, 16 KiB writes (host parses each fragment) | $cpu_engine_16384 | $cpu_curl_16384 | |
| wall time, 100,000 events, 16 KiB writes, ms | $wall_engine_16384 | $wall_curl_16384 | |
| peak RSS, 100,000 events, KiB | $rss_engine_16384 | $rss_curl_16384 | ≤ libcurl + 4096 |
| peak RSS, 1,000 events, KiB | $rss_engine_small | | within 1024 of 100,000 |
| latency write → callback, p50 / p90 / p99, µs (1,000 events 1 ms apart) | $p50_engine / $p90_engine / $p99_engine | $p50_curl / $p90_curl / $p99_curl | p50 ≤ libcurl + 15 |
| latency of the first event, µs | $first_engine | $first_curl | ≤ libcurl + 50 |
| stopChat → chat returns, silent stream, median / max of 20, ms | $(value "$stop" stop_silent_median_ms) / $(value "$stop" stop_silent_max_ms) | | median ≤ 1 |
| stopChat → chat returns, events 10 ms apart, median / max of 20, ms | $(value "$stop" stop_streaming_median_ms) / $(value "$stop" stop_streaming_max_ms) | | median ≤ 1 |
| connections accepted for 10 sequential chats | $(value "$reuse" connections) | | 1 |
| first fragment, new / kept connection (loopback), ms | $(value "$reuse" first_fragment_new_connection_ms) / $(value "$reuse" first_fragment_kept_connection_ms) | | |
| first fragment over TLS (HTTP/2, nginx) at 30 ms round trip, first chat, median / max of 10, ms | $(field_cell first_chat) | | ≤ 92 (3 round trips + 2) |
| the same, later chat on the kept connection, median / max of 50, ms | $(field_cell later_chat) | | ≤ 32 (1 round trip + 2) |
| the same, the chat after a stop (a new connection), median / max of 20, ms | $(field_cell chat_after_stop) | | ≤ 92 (3 round trips + 2) |
| stopChat → chat returns over TLS through nginx, silent stream, median / max of 10, ms | $(field_cell stop_silent) | | median ≤ 1 |
| the same, events 10 ms apart, median / max of 10, ms | $(field_cell stop_streaming) | | median ≤ 1 |
TABLE

if [ "$chart" -eq 1 ]; then
    gnuplot <<PLOT
set terminal pngcairo size 900,540 font "sans,11"
set output "docs/cpu-per-event.png"
set title "Engine path from reply bytes to host callback: CPU per event"
set xlabel "events in the reply (about 220 bytes each)"
set ylabel "µs CPU per event"
set logscale x
set xrange [500:200000]
set yrange [0:*]
set key top left
set grid
plot "< awk '\$2 == 0' $out/parser.dat" using 1:(\$3/1000) with linespoints lw 2 title "one event per chunk", \
     "< awk '\$2 == 16384' $out/parser.dat" using 1:(\$3/1000) with linespoints lw 2 title "16 KiB chunks", \
     "< awk '\$2 == 7' $out/parser.dat" using 1:(\$3/1000) with linespoints lw 2 title "7-byte chunks", \
     "< awk '\$2 == 1' $out/parser.dat" using 1:(\$3/1000) with linespoints lw 2 title "1-byte chunks", \
     $parser_goal_us with lines dt 2 lc rgb "gray" title "goal"
PLOT
    say "docs/cpu-per-event.png"
fi
