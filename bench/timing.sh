# Sourced by the benchmark scripts.

seconds() { # <command...>: wall time of the command, output discarded
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null
    end=$(date +%s.%N)
    echo "$end - $start" | bc -l
}
best() { sort -g | head -1; }
