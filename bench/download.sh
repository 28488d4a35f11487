#!/bin/bash
# Throughput and memory of the HTTP transfer task against a real HTTP server.
#
# Starts a private nginx on 127.0.0.1 (installing Debian's package first when it is
# missing), serves a file of SIZE_MIB (default 1024) MiB, and fetches it alternately
# with curl and with the transfer task (bench_download), ROUNDS times each (default 2).
# Prints the best time of each, the task's throughput as a ratio to curl's, and the
# task's peak resident memory, also for a file one eighth of the size, which shows
# whether memory grows with the file.
#
# Both clients store the file in OUT_DIR: by default a directory in /dev/shm (memory), so
# the numbers show the transfer path rather than the disk; OUT_DIR=/some/disk/dir
# measures with the disk in the way.
#
#   bench/download.sh [build dir]        (default: build)
#   SIZE_MIB=2048 ROUNDS=3 OUT_DIR=/var/tmp bench/download.sh build
set -euo pipefail

BUILD_DIR=${1:-build}
SIZE_MIB=${SIZE_MIB:-1024}
ROUNDS=${ROUNDS:-2}
BENCH="$BUILD_DIR/bench/bench_download"
if [ ! -x "$BENCH" ]; then
    echo "missing $BENCH: cmake --build $BUILD_DIR --target bench_download" >&2
    exit 2
fi
BENCH=$(readlink -f "$BENCH")

NGINX=$(command -v nginx || true)
[ -z "$NGINX" ] && [ -x /usr/sbin/nginx ] && NGINX=/usr/sbin/nginx
if [ -z "$NGINX" ]; then
    echo "installing nginx from the Debian packages" >&2
    # Keep the package's service from starting on port 80 during installation.
    POLICY_ADDED=0
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
        chmod +x /usr/sbin/policy-rc.d
        POLICY_ADDED=1
    fi
    apt-get install -y --no-install-recommends nginx-light >&2 || apt-get install -y --no-install-recommends nginx >&2
    [ "$POLICY_ADDED" = 1 ] && rm -f /usr/sbin/policy-rc.d
    NGINX=/usr/sbin/nginx
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/corvane-bench-download-XXXXXX")
if [ -n "${OUT_DIR:-}" ]; then
    OUT=$(mktemp -d "$OUT_DIR/corvane-bench-out-XXXXXX")
elif [ -d /dev/shm ] && [ "$(df -Pk /dev/shm | awk 'NR==2 {print $4}')" -gt $((SIZE_MIB * 1024 * 2)) ]; then
    OUT=$(mktemp -d /dev/shm/corvane-bench-out-XXXXXX)
else
    OUT=$(mktemp -d "$WORK/out-XXXXXX")
fi
NGINX_PID=""
cleanup() {
    if [ -n "$NGINX_PID" ]; then
        kill "$NGINX_PID" 2>/dev/null || true
        for _ in $(seq 50); do kill -0 "$NGINX_PID" 2>/dev/null || break; sleep 0.1; done
    fi
    rm -rf "$WORK" "$OUT"
}
trap cleanup EXIT

# The worker runs as an ordinary user, so the served tree must be readable by all.
chmod 755 "$WORK"
mkdir -p "$WORK/www/files/1" "$WORK/logs" "$WORK/temp"
echo "creating a file of $SIZE_MIB MiB" >&2
head -c "$((SIZE_MIB * 1024 * 1024))" /dev/urandom > "$WORK/www/files/1/big.bin"
head -c "$((SIZE_MIB * 1024 * 1024 / 8))" "$WORK/www/files/1/big.bin" > "$WORK/www/files/1/small.bin"
chmod -R a+rX "$WORK/www"
BIG=$(stat -c %s "$WORK/www/files/1/big.bin")
SMALL=$(stat -c %s "$WORK/www/files/1/small.bin")

PORT=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat > "$WORK/nginx.conf" <<EOF
worker_processes 1;
daemon off;
pid $WORK/nginx.pid;
error_log $WORK/logs/error.log;
events { worker_connections 64; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    default_type application/octet-stream;
    client_body_temp_path $WORK/temp/body;
    proxy_temp_path $WORK/temp/proxy;
    fastcgi_temp_path $WORK/temp/fastcgi;
    uwsgi_temp_path $WORK/temp/uwsgi;
    scgi_temp_path $WORK/temp/scgi;
    server {
        listen 127.0.0.1:$PORT;
        root $WORK/www;
    }
}
EOF
"$NGINX" -p "$WORK" -e "$WORK/logs/error.log" -c "$WORK/nginx.conf" &
NGINX_PID=$!
for _ in $(seq 100); do
    curl -s -o /dev/null "http://127.0.0.1:$PORT/files/1/small.bin" && break
    sleep 0.1
done
BASE="http://127.0.0.1:$PORT/files"

# Seconds for curl to store the file on disk.
curl_seconds() {
    curl -s -o "$OUT/curl.out" -w '%{time_total}\n' "$BASE/1/$1"
    rm -f "$OUT/curl.out"
}

# "seconds peak_rss_kb start_rss_kb" for the transfer task.
task_run() {
    local line
    line=$("$BENCH" "$BASE" 1 "$1" "$OUT/task.out" "$2")
    rm -f "$OUT/task.out"
    echo "$line" | sed -E 's/.*seconds=([0-9.]+) start_rss_kb=([0-9]+) peak_rss_kb=([0-9]+).*/\1 \3 \2/'
}

best_curl=""
best_task=""
peak_big=0
start_big=0
for round in $(seq "$ROUNDS"); do
    c=$(curl_seconds big.bin)
    read -r t peak start < <(task_run big.bin "$BIG")
    echo "round $round: curl ${c} s, task ${t} s, task peak RSS ${peak} kB" >&2
    best_curl=$(python3 -c "print(min(x for x in [$c, ${best_curl:-$c}]))")
    best_task=$(python3 -c "print(min(x for x in [$t, ${best_task:-$t}]))")
    [ "$peak" -gt "$peak_big" ] && peak_big=$peak && start_big=$start
done
read -r _ peak_small _ < <(task_run small.bin "$SMALL")

echo "files stored in $(df -P "$OUT" | awk 'NR==2 {print $1}') ($OUT)"
python3 - "$BIG" "$SMALL" "$best_curl" "$best_task" "$peak_big" "$start_big" "$peak_small" <<'EOF'
import sys
big, small = int(sys.argv[1]), int(sys.argv[2])
curl_s, task_s = float(sys.argv[3]), float(sys.argv[4])
peak_big, start_big, peak_small = int(sys.argv[5]), int(sys.argv[6]), int(sys.argv[7])
mib = 1024 * 1024
print(f"file: {big / mib:.0f} MiB from nginx on 127.0.0.1")
print(f"curl:  {curl_s:.3f} s  {big / mib / curl_s:.0f} MiB/s")
print(f"task:  {task_s:.3f} s  {big / mib / task_s:.0f} MiB/s")
print(f"ratio task/curl throughput: {curl_s / task_s:.2f} (target >= 0.70)")
print(f"task peak RSS: {peak_big} kB for {big / mib:.0f} MiB, {peak_small} kB for {small / mib:.0f} MiB "
      f"(RSS before the transfer: {start_big} kB; growth with 8x the size: {peak_big - peak_small} kB)")
EOF
