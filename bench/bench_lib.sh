# What the bench scripts share; sourced by them, never run. It finds what was built, checks the
# tools a bench needs, makes its work folder, and measures runs the same way in every script.
# Each bench that sources it is named by its own file (bench_name) in what it says.

bench_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bench_name=$(basename "$0" .sh)
bench_pids=()  # processes a bench started in the background, ended when it exits

# bench_fail TEXT...: says why on standard error and ends the bench.
bench_fail() {
    echo "$bench_name: $*" >&2
    exit 1
}

# bench_built PATH: the built file PATH (cli/cindral-cli) of build/release, else build/test;
# nothing when neither has it.
bench_built() {
    local tree
    for tree in build/release build/test; do
        if [ -x "$bench_root/$tree/$1" ]; then
            echo "$bench_root/$tree/$1"
            return 0
        fi
    done
}

# bench_need TOOL...: each must be a program that runs here.
bench_need() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null 2>&1 || bench_fail "$tool not found"
    done
}

# bench_make_work: a fresh folder in $work (under TMPDIR), removed with the background processes
# of bench_pids when the bench exits.
bench_make_work() {
    work=$(mktemp -d "${TMPDIR:-/tmp}/cindral-$bench_name-XXXXXX")
    trap bench_clean_up EXIT
}

bench_clean_up() {
    local pid
    for pid in "${bench_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}

# bench_timed RESULT COMMAND...: runs COMMAND under /usr/bin/time and writes "wall_s cpu_s peak_kb"
# to the file RESULT (processor time: user and system, all threads). Returns COMMAND's status.
bench_timed() {
    local result=$1 status=0
    shift
    /usr/bin/time -f "%e %U %S %M" -o "$result.time" "$@" || status=$?
    # The last line: a failing command's exit status comes before it.
    tail -n 1 "$result.time" | awk '{ printf "%.3f %.3f %s\n", $1, $2 + $3, $4 }' >"$result"
    return "$status"
}

# bench_process_cpu_s PID: processor seconds the running process has used so far (all threads).
bench_process_cpu_s() {
    awk -v t="$(getconf CLK_TCK)" '{ sub(/^.*\) /, ""); printf "%.2f\n", ($12 + $13) / t }' "/proc/$1/stat"
}

# bench_thread_ticks PID PREFIX: "tid ticks" of each thread of PID whose name starts with PREFIX
# (processor time so far, user and system, in clock ticks).
bench_thread_ticks() {
    local stat
    for stat in /proc/"$1"/task/*/stat; do
        awk -v p="$2" '{ name = $0; sub(/^[^(]*\(/, "", name); sub(/\).*$/, "", name)
            rest = $0; sub(/^.*\) /, "", rest); split(rest, f, " ")
            if (index(name, p) == 1) print FILENAME, f[12] + f[13] }' "$stat" 2>/dev/null || true
    done | awk '{ split($1, part, "/"); print part[5], $2 }'
}

# bench_field NAME FILE: the whole number of "NAME":N in a run's JSON summary.
bench_field() {
    grep -o "\"$1\":[0-9]*" "$2" | head -n 1 | cut -d: -f2
}

# Lines in, one line out: the line with the smallest first number (the best of repeated runs),
# or the median of the first numbers.
bench_best() { sort -n -k1,1 | head -n 1; }
bench_median() {
    awk 'NF { print $1 }' | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}

# Lines in, one line out: the median of the first numbers, their quartiles and their range:
# "M (quartiles Q1-Q3, range A-B, N)". The quartiles are the medians of the lower and upper halves.
bench_spread() {
    awk 'NF { print $1 }' | sort -n | awk '
        function median(from, to,    n) { n = to - from + 1; return n % 2 ? v[from + (n - 1) / 2] : (v[from + n / 2 - 1] + v[from + n / 2]) / 2 }
        { v[NR] = $1 }
        END {
            if (NR == 0) exit 1
            half = int(NR / 2)
            printf "%.3f (quartiles %.3f-%.3f, range %.3f-%.3f, %d)\n", median(1, NR),
                median(1, half > 0 ? half : 1), median(NR - half + 1 > NR ? NR : NR - half + 1, NR), v[1], v[NR], NR
        }'
}
