#!/usr/bin/env bash
# A complete update of a sample Corvane 3 Client installation, on this machine only.
#
# Installs what is missing, builds the updater and the publisher's tools, then in
# a temporary directory: an installed client of version 12 (3.0.5), a signed
# release 13 (3.1.0) built with the release tool and the development key,
# three mirrors served by a local HTTP server, the reference update server with
# versions, news and a banner, and finally "update --nouser", which asks the
# server for the version and updates by itself. With a display the window is
# shown, without one it runs offscreen. At the end the installation is checked
# against the release's product ini and the client's start script must have run.
#
# Usage: scripts/demo.sh [--slow] [--screenshot FILE] [--keep]
#   --slow             throttle the mirrors so that the run can be watched
#   --screenshot FILE  run under a virtual X server (Xvfb) and save a PNG of the
#                      window during the download (implies --slow)
#   --keep             keep the temporary directory for inspection
#
# Everything listens on 127.0.0.1 only. The updater's UDP ports 17384 and 2009
# are fixed; they must be free.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
tools="$repo/scripts/demo_tools.py"
build="$repo/build-demo"

slow=0
screenshot=""
keep=0
while [[ $# -gt 0 ]]; do
  case "$1" in
    --slow) slow=1 ;;
    --screenshot) [[ $# -ge 2 ]] || { echo "--screenshot needs a file name" >&2; exit 2; }
                  screenshot=$(realpath -m "$2"); slow=1; shift ;;
    --keep) keep=1 ;;
    -h|--help) sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "Unknown option: $1 (try --help)" >&2; exit 2 ;;
  esac
  shift
done

say() { printf '==> %s\n' "$*"; }
fail() {
  printf 'Demo update FAILED: %s\n' "$*"
  exit 1
}

# ------------------------------------------------------------------ processes
pids=()
work=""
cleanup() {
  local rc=$?
  set +e
  local i pid
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do   # the last started first
    pid=${pids[i]}
    if kill -0 "$pid" 2>/dev/null; then
      kill "$pid" 2>/dev/null
      for _ in 1 2 3 4 5 6 7 8 9 10; do kill -0 "$pid" 2>/dev/null || break; sleep 0.2; done
      kill -9 "$pid" 2>/dev/null
    fi
    wait "$pid" 2>/dev/null
  done
  if [[ -n "$work" && -d "$work" ]]; then
    if [[ $keep -eq 1 || $rc -ne 0 ]]; then
      echo "Files of the demo kept in $work"
    else
      rm -rf "$work"
    fi
  fi
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Waits up to $2 seconds for file $1 to exist and be non-empty.
wait_for_file() {
  local i
  for ((i = 0; i < $2 * 10; i++)); do
    [[ -s "$1" ]] && return 0
    sleep 0.1
  done
  return 1
}

# ------------------------------------------------------------------ 1. packages
extra=()
[[ -n "$screenshot" ]] && extra+=(xvfb imagemagick x11-utils fonts-dejavu-core)
say "Checking packages"
"$repo/scripts/deps.sh" "${extra[@]}"

# ------------------------------------------------------------------ 2. ports
if ! taken=$(python3 "$tools" ports 17384 2009); then
  fail "UDP port(s) $taken on 127.0.0.1 already in use. The updater asks the update server on the fixed ports 17384 (version and news) and 2009 (banner); stop the program that holds them (see: ss -ulpn) and run the demo again."
fi

# ------------------------------------------------------------------ 3. build
say "Building the updater and the tools in $build"
# The demo's servers listen on 127.0.0.1, so that is the host built into this updater.
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCORVANE_BUILD_TESTS=OFF -DCORVANE_UPDATE_SERVER_HOST=127.0.0.1 >/dev/null
cmake --build "$build" -j "$(nproc)" --target update corvane-release corvane-update-server
release="$build/tools/release/corvane-release"
server="$build/tools/update-server/corvane-update-server"
for f in "$build/update" "$release" "$server"; do
  [[ -x "$f" ]] || fail "$f was not built"
done

# ------------------------------------------------------------------ 4. sample installation and release
work=$(mktemp -d "${TMPDIR:-/tmp}/corvane-demo.XXXXXX")
install="$work/Corvane 3 Client"   # a blank in the path, as real installations have
mkdir -p "$install" "$work/stage-12" "$work/stage-13" "$work/www/mirror" "$work/tmp" "$work/logs"

say "Sample installation of version 12 (3.0.5) in $install"
python3 "$tools" client --version 12 --out "$work/stage-12"
cp -a "$work/stage-12/." "$install/"

say "Building the signed release 13 (3.1.0) with the release tool"
python3 "$tools" client --version 13 --out "$work/stage-13"
cat > "$work/changelog.txt" <<'EOF'
Corvane 3 Client 3.1.0

- New map: Harbour
- New music theme
- Faster renderer, new audio library
- The intro video and legacy.cfg are gone
EOF
"$release" build --stage "$work/stage-13" --version 13 --section client \
  --key "$repo/keys/development-private.key" --out "$work/www/mirror" \
  --pack '*.so' --pack 'data/maps/*.map' --previous "$work/stage-12" \
  --changelog "$work/changelog.txt"
product_ini="$work/www/mirror/13/client_linux_x86.ini"
"$release" verify --built-in "$product_ini" >/dev/null \
  || fail "the product ini's signature does not verify with the key built into the updater"

# Three mirror names for the one mirror tree, so that the updater downloads from
# several mirrors at once (each mirror serves one file at a time).
for m in mirror-a mirror-b mirror-c; do ln -s mirror "$work/www/$m"; done
python3 "$tools" banner "$work/www/banner.png"
cat > "$work/www/news.html" <<'EOF'
<html><body><h1>Corvane 3.1.0</h1><p>New map, new music, faster renderer.</p></body></html>
EOF

# ------------------------------------------------------------------ 5. HTTP server
rate=0
[[ $slow -eq 1 ]] && rate=60000
say "Starting the HTTP server for the mirrors and the banner"
python3 "$tools" serve --root "$work/www" --port-file "$work/http.port" --rate "$rate" \
  --log "$work/logs/http.log" 2>"$work/logs/http.err" &
pids+=($!)
wait_for_file "$work/http.port" 10 || fail "the HTTP server did not start: $(cat "$work/logs/http.err")"
port=$(cat "$work/http.port")
base="http://127.0.0.1:$port"
echo "    $base/ (mirrors mirror-a, mirror-b, mirror-c)"

cat > "$install/mirrors.ini" <<EOF
[mirrors]
size=3
1\\mirror=mirror-a
2\\mirror=mirror-b
3\\mirror=mirror-c

[mirror-a]
url=$base/mirror-a

[mirror-b]
url=$base/mirror-b/

[mirror-c]
url=$base/mirror-c
retries=3
EOF

# ------------------------------------------------------------------ 6. update server
cat > "$work/update-server.ini" <<EOF
[versions]
stable = 13
stable_label = 3.1.0
beta = 13
beta_label = 3.1.0
alpha =
alpha_label =

[news]
text = Corvane 3.1.0 is out: a new map, new music and a faster renderer! <a href="$base/news.html">Read the release notes</a><!--URL=$base/news.html-->

[banner]
picture = $base/banner.png
click = $base/news.html
EOF
say "Starting the reference update server on 127.0.0.1 (UDP 17384 and 2009)"
"$server" --verbose "$work/update-server.ini" 2>"$work/logs/update-server.log" &
server_pid=$!
pids+=("$server_pid")
for _ in $(seq 50); do
  grep -q "listening" "$work/logs/update-server.log" 2>/dev/null && break
  kill -0 "$server_pid" 2>/dev/null || break
  sleep 0.1
done
grep -q "listening" "$work/logs/update-server.log" \
  || fail "the update server did not start: $(cat "$work/logs/update-server.log")"

# ------------------------------------------------------------------ 7. the updater
cp "$build/update" "$install/"
if [[ -d "$build/translations" ]]; then
  mkdir -p "$install/translations"
  cp "$build"/translations/*.qm "$install/translations/" 2>/dev/null || true
fi

if [[ -n "$screenshot" ]]; then
  say "Starting a virtual X server for the screenshot"
  Xvfb -displayfd 1 -screen 0 640x480x24 -nolisten tcp >"$work/xvfb.display" 2>"$work/logs/xvfb.log" &
  pids+=($!)
  wait_for_file "$work/xvfb.display" 10 || fail "Xvfb did not start: $(cat "$work/logs/xvfb.log")"
  export DISPLAY=":$(cat "$work/xvfb.display")"
  unset WAYLAND_DISPLAY
fi
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
  export QT_QPA_PLATFORM=offscreen
  mode="offscreen (no display)"
else
  mode="on display ${DISPLAY:-$WAYLAND_DISPLAY}"
fi

say "Running: update --nouser   ($mode)"
limit=90
[[ $slow -eq 1 ]] && limit=300
started=$SECONDS
mkdir -m 700 "$work/runtime"
(cd "$install" && exec env TMPDIR="$work/tmp" XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$work/runtime}" \
   CORVANE_UPDATE_LOG="$work/logs/detail.log" ./update --nouser) >"$work/logs/update.log" 2>&1 &
update_pid=$!
pids+=("$update_pid")

shot_taken=0
timed_out=0
while kill -0 "$update_pid" 2>/dev/null; do
  if ((SECONDS - started > limit)); then
    # A failed run waits in a message box for someone to read it.
    timed_out=1
    kill "$update_pid" 2>/dev/null
    break
  fi
  if [[ -n "$screenshot" && $shot_taken -eq 0 ]] \
     && [[ $(grep -c '/13/client/' "$work/logs/http.log" 2>/dev/null || true) -ge 4 ]]; then
    sleep 5   # let the figures and the progress bar move
    win=$(xwininfo -root -tree | awk '/"Corvane 3 Client Update"/ {print $1; exit}')
    if [[ -n "$win" ]] && import -window "$win" "$screenshot"; then
      echo "    screenshot saved to $screenshot"
    else
      echo "    screenshot FAILED (window not found)"
    fi
    shot_taken=1
  fi
  sleep 0.2
done
set +e
wait "$update_pid"
update_rc=$?
set -e

# The updater starts the client's script as a detached process right before it ends.
client_log="$install/client_started.log"
wait_for_file "$client_log" 10 || true

# ------------------------------------------------------------------ 8. report
echo
echo "---------------- the updater's detail log ----------------"
sed 's/^/    /' "$work/logs/detail.log" 2>/dev/null || echo "    (no log lines were written)"
echo "---------------- update server: requests for versions, news and banner ----------------"
grep -v 'listening\|settings read' "$work/logs/update-server.log" | sed 's/^[^ ]* /    /' || true
echo "---------------- files fetched over HTTP ----------------"
grep -o '"GET [^"]*" [0-9]*' "$work/logs/http.log" | sed 's/^/    /' || true
if grep -qv 'propagateSizeHints' "$work/logs/update.log"; then
  echo "---------------- output of the updater ----------------"
  grep -v 'propagateSizeHints' "$work/logs/update.log" | sed 's/^/    /'
fi
echo "---------------- result ----------------"

problems=()
if [[ $timed_out -eq 1 ]]; then
  problems+=("the updater did not end within $limit seconds (a failed run waits in a message box); stopped it")
elif [[ $update_rc -ne 0 ]]; then
  problems+=("the updater ended with status $update_rc")
fi
if ! check=$(python3 "$tools" check --ini "$product_ini" --install "$install"); then
  problems+=("the installation does not match the release:$(printf '\n%s' "$check" | sed 's/^/    /')")
fi
if [[ -s "$client_log" ]]; then
  client_line=$(tail -n 1 "$client_log")
  [[ "$client_line" == *"3.1.0"* ]] || problems+=("the client's start script that ran is not the new one: $client_line")
else
  problems+=("the client's start script cv3client_runscript.sh did not run")
fi
if [[ -n "$screenshot" && ! -s "$screenshot" ]]; then
  problems+=("no screenshot was taken")
fi

if [[ ${#problems[@]} -gt 0 ]]; then
  printf '  - %s\n' "${problems[@]}"
  fail "${problems[0]%%:*} (logs in $work/logs)"
fi
echo "Demo update succeeded: version 12 -> 13 (3.1.0) in $((SECONDS - started)) s, $(tail -n 1 <<<"$check"), client start script ran."
