#!/usr/bin/env bash
# Instructions per datagram for every case of the codec benchmark, counted by callgrind: each
# case runs twice, with two fixed iteration counts, and the difference is divided by the
# difference in iterations, so that start-up and set-up cancel out. Unlike time, the count
# does not depend on what else the machine runs. Prints a Markdown table.
set -euo pipefail

bench=${1:?usage: count-instructions.sh BENCHMARK_BINARY}
few=2000
many=4000

instructions() { # case, iterations
    valgrind --tool=callgrind --callgrind-out-file=/dev/null \
        "$bench" --iterations="$2" --benchmark_filter="^codec/$1(/.*)?\$" 2>&1 >/dev/null |
        sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}

perDatagram() { # case
    local a b
    a=$(instructions "$1" "$few")
    b=$(instructions "$1" "$many")
    echo $(((b - a) / (many - few)))
}

echo "| datagram | tandrel | liblo | oscpack | tandrel/liblo | tandrel/oscpack |"
echo "|---|---|---|---|---|---|"
for datagram in cue fader three_args bundle; do
    ours=$(perDatagram "$datagram/tandrel")
    lo=$(perDatagram "$datagram/liblo")
    pack=$(perDatagram "$datagram/oscpack")
    awk -v d="$datagram" -v t="$ours" -v l="$lo" -v p="$pack" \
        'BEGIN { printf "| %s | %d | %d | %d | %.2f | %.2f |\n", d, t, l, p, t / l, t / p }'
done
