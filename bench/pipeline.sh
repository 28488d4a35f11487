#!/bin/bash
# Whole update run against a real HTTP server (nginx on 127.0.0.1), compared with a shell
# baseline doing the same work on the same data: parallel curl downloads with the same
# stream count, md5sum -c, cp into place. Prints both wall times and their ratio, and the
# run's peak memory for a small and the full release (it should not grow with the release).
#
#   bench/pipeline.sh [build-dir]
#
# Environment: BENCH_FILES (2000), BENCH_MIB (1024), BENCH_STREAMS (6), BENCH_REPEAT (3),
# BENCH_DIR (a fresh directory under /tmp; removed at the end unless BENCH_KEEP=1).
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$src/build}" && pwd)
files=${BENCH_FILES:-2000}
mib=${BENCH_MIB:-1024}
streams=${BENCH_STREAMS:-6}
repeat=${BENCH_REPEAT:-3}
dir=${BENCH_DIR:-$(mktemp -d /tmp/corvane-bench-pipeline.XXXXXX)}
version=12
key=$src/keys/development-private.key

bench=$build/bench/bench_pipeline
if [ ! -x "$bench" ]; then
    cmake --build "$build" --target bench_pipeline -j2
fi

if ! command -v nginx >/dev/null 2>&1 && [ ! -x /usr/sbin/nginx ]; then
    echo "installing nginx from the Debian packages" >&2
    sudo=
    [ "$(id -u)" = 0 ] || sudo=sudo
    # Keep the package's own service from starting on port 80 during installation.
    policy_added=0
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        printf '#!/bin/sh\nexit 101\n' | $sudo tee /usr/sbin/policy-rc.d >/dev/null
        $sudo chmod +x /usr/sbin/policy-rc.d
        policy_added=1
    fi
    $sudo apt-get install -y -qq --no-install-recommends nginx-light >&2 \
        || $sudo apt-get install -y -qq --no-install-recommends nginx >&2
    [ "$policy_added" = 1 ] && $sudo rm -f /usr/sbin/policy-rc.d
fi
nginx=$(command -v nginx || echo /usr/sbin/nginx)

mkdir -p "$dir"
chmod 755 "$dir"
www=$dir/www
nginx_pid=
cleanup() {
    if [ -n "$nginx_pid" ] && kill -0 "$nginx_pid" 2>/dev/null; then
        kill "$nginx_pid"
        for _ in $(seq 50); do kill -0 "$nginx_pid" 2>/dev/null || break; sleep 0.1; done
    fi
    if [ "${BENCH_KEEP:-0}" != 1 ]; then rm -rf "$dir"; fi
}
trap cleanup EXIT

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()')
mkdir -p "$dir/nginx-tmp" "$www"
cat > "$dir/nginx.conf" <<CONF
worker_processes 2;
pid $dir/nginx.pid;
error_log $dir/nginx-error.log;
events { worker_connections 512; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    tcp_nodelay on;
    keepalive_timeout 30;
    keepalive_requests 100000;
    client_body_temp_path $dir/nginx-tmp/body;
    proxy_temp_path $dir/nginx-tmp/proxy;
    fastcgi_temp_path $dir/nginx-tmp/fastcgi;
    uwsgi_temp_path $dir/nginx-tmp/uwsgi;
    scgi_temp_path $dir/nginx-tmp/scgi;
    types { application/octet-stream bin; }
    default_type application/octet-stream;
    server {
        listen 127.0.0.1:$port;
        root $www;
    }
}
CONF
"$nginx" -c "$dir/nginx.conf" -p "$dir" -e "$dir/nginx-error.log"
for _ in $(seq 50); do [ -s "$dir/nginx.pid" ] && break; sleep 0.1; done
nginx_pid=$(cat "$dir/nginx.pid")
url=http://127.0.0.1:$port

# Every mirror serves one transfer at a time: the server is listed once per stream.
{
    echo "[mirrors]"
    echo "size=$streams"
    for i in $(seq "$streams"); do echo "$i\\mirror=m$i"; done
    for i in $(seq "$streams"); do printf '[m%s]\nurl=%s\n' "$i" "$url"; done
} > "$dir/mirrors.ini"

now() { date +%s.%N; }

baseline() {
    rm -rf "$dir/base-dl" "$dir/base-install"
    mkdir -p "$dir/base-dl" "$dir/base-install"
    awk -v u="$url/$version/client/" '{ print "-o"; print $0; print u $0 }' "$www/$version/baseline.files" > "$dir/curl.args"
    # Neither side pays for the other's pending disk writes.
    sync
    local start end
    start=$(now)
    (cd "$dir/base-dl" && xargs -P "$streams" -n 60 curl -sSf --create-dirs < "$dir/curl.args")
    (cd "$dir/base-dl" && md5sum --quiet -c "$www/$version/baseline.md5")
    cp -a "$dir/base-dl/." "$dir/base-install/"
    end=$(now)
    echo "$start $end" | awk '{ printf "%.3f\n", $2 - $1 }'
}

pipeline() {
    rm -rf "$dir/install" "$dir/tmp"
    mkdir -p "$dir/install" "$dir/tmp"
    sync
    local start end out
    start=$(now)
    out=$(TMPDIR=$dir/tmp "$bench" run "$dir/install" "$dir/mirrors.ini" "$version" "$streams")
    end=$(now)
    echo "$out" >&2
    echo "$start $end $(echo "$out" | sed -n 's/^pipeline_seconds=.* peak_rss_kib=\([0-9]*\).*/\1/p')" | awk '{ printf "%.3f %s\n", $2 - $1, $3 }'
}

make_release() {
    rm -rf "${www:?}/$version"
    "$bench" make-release "$www" "$version" "$1" "$2" "$key" >&2
    chmod -R a+rX "$www"
    cat "$www/$version"/client/*/* > /dev/null
}

echo "== small release for the memory comparison: $((files / 10)) files, $((mib / 10)) MiB"
make_release $((files / 10)) $((mib / 10))
read -r small_time small_rss < <(pipeline)
echo "pipeline ${small_time}s, peak RSS ${small_rss} KiB"

echo "== full release: $files files, $mib MiB, $streams streams, $repeat rounds"
make_release "$files" "$mib"
base_times=()
pipe_times=()
for round in $(seq "$repeat"); do
    b=$(baseline)
    read -r p rss < <(pipeline)
    if ! diff -rq "$dir/base-install" "$dir/install" >/dev/null; then
        echo "installation differs from the baseline's" >&2
        exit 1
    fi
    echo "round $round: baseline ${b}s, pipeline ${p}s, peak RSS ${rss} KiB"
    base_times+=("$b")
    pipe_times+=("$p")
done
median() { printf '%s\n' "$@" | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
mb=$(median "${base_times[@]}")
mp=$(median "${pipe_times[@]}")
echo "median baseline ${mb}s, median pipeline ${mp}s"
echo "ratio pipeline/baseline: $(echo "$mp $mb" | awk '{ printf "%.2f", $1 / $2 }') (target <= 1.3)"
echo "peak RSS: ${small_rss} KiB for $((mib / 10)) MiB, ${rss} KiB for $mib MiB"
