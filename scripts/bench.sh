#!/usr/bin/env bash
# Builds the Release preset's benchmark programs, runs them, and prints each of the
# comparisons as a ratio. The raw results (Google Benchmark CSV) stay in
# build/release/bench-results/. Extra arguments go to every benchmark program
# (for example --benchmark_repetitions=3).
#
# usage: scripts/bench.sh [BENCHMARK-ARG...]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

# shellcheck source=scripts/setup.sh
source "$root/scripts/setup.sh" || {
    echo "bench: the build tools are not installed (see above)" >&2
    exit 1
}

programs=(receive_path write_path control_round_trip read_latency pty_echo driver_cost)
cmake --preset release >/dev/null
cmake --build --preset release -j"${KORVAX_JOBS:-2}" --target "${programs[@]}"

results=build/release/bench-results
mkdir -p "$results"
for program in "${programs[@]}"; do
    echo "bench: $program" >&2
    "build/release/bench/$program" --benchmark_format=csv "$@" >"$results/$program.csv" \
        2>"$results/$program.log"
done

# One line per comparison: the driver's figure, the reference's, and their ratio.
# Times are real (wall-clock) times per iteration, converted to microseconds.
awk -F, '
    FNR == 1 || $1 !~ /^"/ {
        if ($1 == "name") for (i = 1; i <= NF; ++i) column[$i] = i
        next
    }
    {
        name = $1; gsub(/"/, "", name)
        unit = $(column["time_unit"])
        scale = unit == "ns" ? 0.001 : unit == "us" ? 1 : unit == "ms" ? 1000 : 1000000
        time[name] = $(column["real_time"]) * scale
        rate[name] = $(column["bytes_per_second"]) / 1048576
    }
    function throughput(title, driver, reference, what) {
        printf "%-44s %9.1f MiB/s vs %9.1f MiB/s  %8.3gx %s\n", title, rate[driver],
            rate[reference], rate[driver] / rate[reference], what
    }
    function latency(title, driver, reference, what) {
        printf "%-44s %9.2f us    vs %9.2f us     %8.3gx %s\n", title, time[driver],
            time[reference], time[driver] / time[reference], what
    }
    END {
        throughput("receive (64-byte packets) vs pty pair", "ReceiveThroughDriver/64/min_time:1.000/real_time", "ReceiveThroughPty/min_time:1.000/real_time", "the pty pair")
        throughput("receive (512-byte packets) vs pty pair", "ReceiveThroughDriver/512/min_time:1.000/real_time", "ReceiveThroughPty/min_time:1.000/real_time", "the pty pair")
        throughput("receive (64-byte packets) vs two memcpy", "ReceiveThroughDriver/64/min_time:1.000/real_time", "ReceiveTwoCopies/min_time:1.000/real_time", "two copies")
        throughput("write (64-byte packets) vs pty pair", "WriteThroughDriver/64/min_time:1.000/real_time", "WriteThroughPty/min_time:1.000/real_time", "the pty pair")
        throughput("write (512-byte packets) vs pty pair", "WriteThroughDriver/512/min_time:1.000/real_time", "WriteThroughPty/min_time:1.000/real_time", "the pty pair")
        throughput("write (64-byte packets) vs two memcpy", "WriteThroughDriver/64/min_time:1.000/real_time", "WriteTwoCopies/min_time:1.000/real_time", "two copies")
        latency("GET_BAUD_RATE round trip vs I/O manager floor", "GetBaudRateFromDriver/min_time:1.000/real_time", "GetBaudRateFromNullDriver/min_time:1.000/real_time", "the floor")
        throughput("korvaxsim pty --echo vs plain pty echo", "EchoThroughKorvaxsim/min_time:2.000/real_time", "EchoThroughPlainPty/min_time:2.000/real_time", "the plain pty")
        latency("driver receive per 4096 bytes, one thread", "DriverReceiveInline/64/min_time:1.000/real_time", "PacketTwoCopies/min_time:1.000/real_time", "two copies")
        latency("driver write per 4096 bytes, one thread", "DriverWriteInline/64/min_time:1.000/real_time", "PacketTwoCopies/min_time:1.000/real_time", "two copies")
        latency("arrival to ReadFile return vs thread wake-up", "ArrivalToReadReturn/min_time:1.000/manual_time", "ConditionVariablePingPong/min_time:1.000/manual_time", "the wake-up")
    }
' "$results"/*.csv
