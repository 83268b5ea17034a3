#!/usr/bin/env bash
# Instructions executed in the driver's own code per byte, counted by
# callgrind over a fixed loopback workload (driver_cost_workload): each byte
# is sent once and received once. Costs are self costs of the driver's
# functions, so the copies (memcpy) and the model's services are not in
# them; they are grouped by the driver's modules:
#   received  DispatchRead.cpp   the receive engine and read requests
#   sent      DispatchWrite.cpp  the chunked transmit path
#   shared    the rest           URB submission, remove lock, completion helpers
#
# usage: driver_cost.sh BUILD_DIR [PAYLOAD_BYTES ROUNDS] [--check RECEIVED_MAX SENT_MAX]
# With --check, exits 1 when a bound is exceeded; exits 77 when valgrind is
# missing.
set -euo pipefail

build=${1:?usage: driver_cost.sh BUILD_DIR [PAYLOAD_BYTES ROUNDS] [--check RECEIVED_MAX SENT_MAX]}
shift
size=4096
rounds=64
if [ $# -ge 2 ] && [ "$1" != --check ]; then
  size=$1 rounds=$2
  shift 2
fi
check=()
if [ $# -ge 3 ] && [ "$1" = --check ]; then
  check=("$2" "$3")
fi

command -v valgrind >/dev/null && command -v callgrind_annotate >/dev/null || { echo "valgrind is not installed"; exit 77; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
valgrind --tool=callgrind --callgrind-out-file="$work/cg.out" \
  "$build/bench/driver_cost_workload" "$size" "$rounds" >"$work/run.log" 2>&1 || { cat "$work/run.log"; exit 1; }
# The workload dumps its own counts (the first dump) before the process ends.
dump=$(ls "$work"/cg.out.* | head -n1)
workload=$(grep '^bytes ' "$work/run.log")
bytes=$(echo "$workload" | awk '{print $2}')

callgrind_annotate --inclusive=no --threshold=100 "$dump" 2>/dev/null |
  awk -v bytes="$bytes" -v workload="$workload" -v rmax="${check[0]:-}" -v smax="${check[1]:-}" '
    # Lines of the function table: "  18,923 ( 0.13%)  /path/driver/File.cpp:Function(...) [binary]"
    # (the path is relative when the driver sources lie below the current directory).
    $0 ~ /^ *[0-9,]+ \( *[0-9.]+%\)  / && $0 !~ /=>/ {
      n = $1; gsub(",", "", n)
      path = $0; sub(/^ *[0-9,]+ \( *[0-9.]+%\)  /, "", path); sub(/:.*/, "", path)
      if (path !~ /(^|\/)driver\/[^\/]+$/) next
      file = path; sub(/.*\//, "", file)
      group = file == "DispatchRead.cpp" ? "received" : file == "DispatchWrite.cpp" ? "sent" : "shared"
      cost[group] += n; total += n; perFile[file] += n
    }
    END {
      printf "workload: %s\n", workload
      printf "driver instructions per byte (self cost of driver functions, copies excluded)\n"
      n = 0
      for (f in perFile) names[++n] = f
      for (i = 2; i <= n; i++) for (j = i; j > 1 && names[j] < names[j - 1]; j--) { t = names[j]; names[j] = names[j - 1]; names[j - 1] = t }
      for (i = 1; i <= n; i++) printf "  %-28s %.3f\n", names[i], perFile[names[i]] / bytes
      printf "  %-28s %.3f\n", "received (DispatchRead.cpp)", cost["received"] / bytes
      printf "  %-28s %.3f\n", "sent (DispatchWrite.cpp)", cost["sent"] / bytes
      printf "  %-28s %.3f\n", "shared (the other modules)", cost["shared"] / bytes
      printf "  %-28s %.3f\n", "all driver code", total / bytes
      if (total == 0) { print "no driver functions in the profile"; exit 1 }
      if (rmax != "" && (cost["received"] / bytes > rmax || cost["sent"] / bytes > smax)) {
        printf "over the bounds: received <= %s, sent <= %s\n", rmax, smax
        exit 1
      }
    }'
