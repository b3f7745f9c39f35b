#!/usr/bin/env bash
# Turns rt_bench results into PNG charts with gnuplot:
#   throughput.png        messages per second of each traffic workload (mean, min-max bar)
#   pingpong-latency.png  the distribution of ping-pong round trips
#   storm-timeline.png    connections completed, rows online and handshakes answered in a storm
#   storm-inside.png      the same storm inside the router: accepted, read, queued to the database
#                         writer, written, answered
#   idle-memory.png       the router's resident memory per idle peer, per run
# Usage: bench-charts.sh RESULTS SERIES_DIR OUT_DIR
#   RESULTS     rt_bench's output (its "rt_bench key=value ..." lines; other lines are ignored)
#   SERIES_DIR  the directory given to rt_bench -S
# A chart whose data is missing is left out, saying so.
set -euo pipefail
if [ $# -ne 3 ]; then
    echo "usage: $0 RESULTS SERIES_DIR OUT_DIR" >&2
    exit 2
fi
results=$1
series=$2
out=$3
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# field KEY: "WORKLOAD VALUE" for each rt_bench line of RESULTS that has KEY.
field() {
    awk -v key="$1" '$1 == "rt_bench" {
        w = ""; v = "";
        for (i = 2; i <= NF; i++) {
            split($i, kv, "=");
            if (kv[1] == "workload") w = kv[2];
            if (kv[1] == key) v = kv[2];
        }
        if (w != "" && v != "") print w, v;
    }' "$results"
}

style='set terminal pngcairo size 900,540 font "DejaVu Sans,11"
set grid ytics lc rgb "#dddddd"
set border 3
set tics nomirror
set key top left'

field msgs_per_s | awk '$1 != "storm" && $1 != "idle" {
        n[$1]++; s[$1] += $2;
        if (!($1 in lo) || $2 < lo[$1]) lo[$1] = $2;
        if ($2 > hi[$1]) hi[$1] = $2;
        if (!($1 in order)) order[$1] = ++count;
    }
    END { for (w in n) print order[w], w, s[w] / n[w], lo[w], hi[w] }' | sort -n >"$work/throughput"
if [ -s "$work/throughput" ]; then
    gnuplot <<GNUPLOT
$style
set output "$out/throughput.png"
set title "Messages forwarded per second (mean of runs; bar: lowest to highest)"
set ylabel "messages / s"
set yrange [0:*]
set boxwidth 0.6
set style fill solid 0.7 border -1
set format y "%.0s%c"
unset key
plot "$work/throughput" using 1:3:xtic(2) with boxes lc rgb "#4477aa", \
     "" using 1:3:4:5 with yerrorbars lc rgb "black" pt 0
GNUPLOT
else
    echo "bench-charts: no traffic results, throughput.png left out"
fi

if ls "$series"/pingpong-*.latency_us >/dev/null 2>&1; then
    cat "$series"/pingpong-*.latency_us | sort -n >"$work/latency"
    total=$(wc -l <"$work/latency")
    gnuplot <<GNUPLOT
$style
set output "$out/pingpong-latency.png"
set title "Ping-pong round trips: share of round trips at or below a latency"
set xlabel "round trip (ms)"
set ylabel "share of round trips"
set logscale x
set yrange [0:1]
set ytics ("0%%" 0, "25%%" 0.25, "50%%" 0.5, "75%%" 0.75, "90%%" 0.9, "100%%" 1)
unset key
plot "$work/latency" using (\$1 / 1000.0):(\$0 / $total) with lines lw 2 lc rgb "#4477aa"
GNUPLOT
else
    echo "bench-charts: no ping-pong series, pingpong-latency.png left out"
fi

timeline=$(ls "$series"/storm-*.timeline 2>/dev/null | head -n 1 || true)
if [ -n "$timeline" ]; then
    gnuplot <<GNUPLOT
$style
set output "$out/storm-timeline.png"
set title "Handshake storm: connections completed, rows online and peers answered"
set xlabel "seconds since the first connect"
set ylabel "peers"
set yrange [0:*]
set xrange [0:*]
plot "$timeline" index 2 using 1:2 with steps lw 2 lc rgb "#999933" title "connections completed", \
     "$timeline" index 1 using 1:2 with linespoints lw 2 pt 7 ps 0.6 lc rgb "#cc6677" title "rows online", \
     "$timeline" index 0 using 1:2 with steps lw 2 lc rgb "#4477aa" title "handshakes answered"
GNUPLOT
else
    echo "bench-charts: no storm timeline, storm-timeline.png left out"
fi

inside=$(ls "$series"/storm-*.inside 2>/dev/null | head -n 1 || true)
if [ -n "$inside" ]; then
    gnuplot <<GNUPLOT
$style
set output "$out/storm-inside.png"
set title "Handshake storm inside the router (RT_SERVER_TIMELINE)" noenhanced
set key bottom right
set xlabel "seconds since the first connect"
set ylabel "peers"
set yrange [0:*]
set xrange [0:*]
plot "$inside" index 0 using 1:2 with steps lw 2 lc rgb "#999933" title "accepted", \
     "$inside" index 1 using 1:2 with steps lw 2 lc rgb "#117733" title "handshake read", \
     "$inside" index 2 using 1:2 with steps lw 2 dt 2 lc rgb "#44aa99" title "queued to the writer", \
     "$inside" index 3 using 1:2 with steps lw 2 lc rgb "#cc6677" title "written (committed)", \
     "$inside" index 4 using 1:2 with steps lw 2 lc rgb "#4477aa" title "answered (queued on its connection)", \
     "${inside%.inside}.timeline" index 0 using 1:2 with steps lw 1 dt 3 lc rgb "#000000" title "answer received by the peer"
GNUPLOT
else
    echo "bench-charts: no router timeline (storm-N.inside), storm-inside.png left out"
fi

field kib_per_peer | awk '$1 == "idle" { print ++n, $2 }' >"$work/idle"
peers=$(field peers | awk '$1 == "idle" { print $2; exit }')
if [ -s "$work/idle" ]; then
    gnuplot <<GNUPLOT
$style
set output "$out/idle-memory.png"
set title "Router resident memory per idle peer ($peers peers joined)"
set xlabel "run"
set ylabel "KiB per peer"
set yrange [0:*]
set boxwidth 0.5
set style fill solid 0.7 border -1
set xtics 1
unset key
plot "$work/idle" using 1:2 with boxes lc rgb "#228833", \
     "" using 1:2:(sprintf("%.2f", \$2)) with labels offset 0,1
GNUPLOT
else
    echo "bench-charts: no idle results, idle-memory.png left out"
fi
