# Draws the chart of `make bench` (scripts/bench.sh writes its inputs): two
# panels of bars, lumed against nfs-ganesha, each row normalised so that
# ganesha's median is 1 and higher is better in both panels:
#   top:    throughput rows, lumed / ganesha;
#   bottom: the rows where lower is better (server CPU per call, latency,
#           resident memory, time to the first call), ganesha / lumed
#           (2 = lumed uses half).
# Bars are medians, error bars min-max; a dashed red line marks the target.
# Set with -e:
#   rates, cpu  tab-separated tables (higher is better; lower is better), one row per workload: label, lumed,
#               lumed min, lumed max, ganesha, ganesha min, ganesha max,
#               target (NaN where there is none)
#   out         the PNG to write
#   peer        1 when ganesha has every row; 0: rows are normalised to
#               lumed's median, ganesha's columns are ignored
#   peer_note   ganesha's status when peer is 0 ("not run: REASON")
#   subtitle    one line under the title

set terminal pngcairo size 1800,1300 font "Sans,13" noenhanced
set encoding utf8
set output out
set datafile separator "\t"
set style fill solid 0.85 border -1
set boxwidth 0.36
set grid ytics lc rgb "#d0d0d0"
set key top right opaque box samplen 2
set style textbox opaque noborder margins 1, 1
set xtics nomirror scale 0
set ytics nomirror
set yrange [0:*]
set offsets 0, 0, graph 0.3, 0
set arrow 1 from graph 0, first 1 to graph 1, first 1 nohead lc rgb "#404040" lw 1.5 front

lumed_color = "#2166ac"
ganesha_color = "#f4a582"
target_color = "#b2182b"

stats rates using 2 nooutput
n_rates = STATS_records
stats cpu using 2 nooutput
n_cpu = STATS_records

set multiplot title (peer ? "make bench: lumed against nfs-ganesha (nfs-ganesha = 1)\n" : "make bench: lumed only, nfs-ganesha " . peer_note . "\n") . subtitle

set size 1, 0.52
set origin 0, 0.44
set title (peer ? "Throughput: lumed / nfs-ganesha, higher is better" : "Throughput: spread of lumed's runs around its median")
set ylabel (peer ? "× nfs-ganesha's median" : "× lumed's median")
set xrange [-0.6 : n_rates - 0.4]
set xtics rotate by 25 right
plot rates using ($0 - 0.19):2 with boxes lc rgb lumed_color title "lumed", \
     ''    using ($0 + 0.19):5 with boxes lc rgb ganesha_color title (peer ? "nfs-ganesha" : ""), \
     ''    using ($0 - 0.19):2:3:4 with yerrorbars lc black pt 7 ps 0.4 lw 1.5 notitle, \
     ''    using ($0 + 0.19):5:6:7 with yerrorbars lc black pt 7 ps 0.4 lw 1.5 notitle, \
     ''    using ($0 - 0.45):8:(0.9):(0) with vectors nohead lc rgb target_color lw 3 dt 2 title (peer ? "target" : ""), \
     ''    using ($0 - 0.19):4:(sprintf("%.2f×", $2)) with labels boxed offset 0, 0.9 tc rgb lumed_color notitle, \
     ''    using 0:(1):xtic(1) with points ps 0 notitle

set size 1, 0.42
set origin 0, 0.0
set title (peer ? "CPU per call, latency, memory, time to first call: nfs-ganesha's / lumed's, higher is better (2 = lumed needs half)" : "CPU per call, latency, memory, time to first call: lumed's median / each run's (spread only)")
set ylabel (peer ? "ganesha's ÷ lumed's" : "÷ lumed's median")
set xrange [-0.6 : n_cpu - 0.4]
plot cpu using ($0 - 0.19):2 with boxes lc rgb lumed_color title "lumed", \
     ''  using ($0 + 0.19):5 with boxes lc rgb ganesha_color title (peer ? "nfs-ganesha" : ""), \
     ''  using ($0 - 0.19):2:3:4 with yerrorbars lc black pt 7 ps 0.4 lw 1.5 notitle, \
     ''  using ($0 + 0.19):5:6:7 with yerrorbars lc black pt 7 ps 0.4 lw 1.5 notitle, \
     ''  using ($0 - 0.45):8:(0.9):(0) with vectors nohead lc rgb target_color lw 3 dt 2 title (peer ? "target" : ""), \
     ''  using ($0 - 0.19):4:(sprintf("%.2f×", $2)) with labels boxed offset 0, 0.9 tc rgb lumed_color notitle, \
     ''    using 0:(1):xtic(1) with points ps 0 notitle

unset multiplot
