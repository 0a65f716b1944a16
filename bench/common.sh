# shellcheck shell=bash
# Shared by bench/run-bench and bench/run-soak; sourced, never run.
#
# Everything here starts processes on 127.0.0.1 only, and remembers what it
# started so that cleanup() stops exactly those processes and removes the
# temporary directory, however the script ends.

BENCH_PIDS=()
BENCH_TMP=""

say() { printf '%s\n' "$*" >&2; }
die() {
    say "error: $*"
    exit 1
}

bench_init() {
    BENCH_TMP=$(mktemp -d "${TMPDIR:-/tmp}/quillo-bench.XXXXXX")
    trap cleanup EXIT
    # An interrupted run must still stop its servers: turn the signals into an
    # ordinary exit so the EXIT trap runs.
    trap 'exit 130' INT
    trap 'exit 143' TERM
}

cleanup() {
    local pid
    for pid in "${BENCH_PIDS[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${BENCH_PIDS[@]}"; do
        # A server that ignores SIGTERM for a second gets SIGKILL.
        for _ in 1 2 3 4 5 6 7 8 9 10; do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    BENCH_PIDS=()
    if [[ -n "$BENCH_TMP" && -d "$BENCH_TMP" ]]; then
        rm -rf "$BENCH_TMP"
    fi
}

remember_pid() { BENCH_PIDS+=("$1"); }

# Stops one process this script started and forgets it.
stop_pid() {
    local pid=$1 kept=() p
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    for p in "${BENCH_PIDS[@]}"; do
        [[ "$p" == "$pid" ]] || kept+=("$p")
    done
    BENCH_PIDS=("${kept[@]}")
}

# Debian packages, installed only when the command is missing. Services are
# never started by this: the packages' own start-up is not wanted, and only
# the binaries are used.
ensure_commands() {
    local missing=() pair command package
    for pair in "$@"; do
        command=${pair%%:*}
        package=${pair#*:}
        command -v "$command" >/dev/null 2>&1 || missing+=("$package")
    done
    ((${#missing[@]} == 0)) && return 0
    local sudo=""
    if ((EUID != 0)); then
        command -v sudo >/dev/null 2>&1 || die "need root or sudo to install: ${missing[*]}"
        sudo=sudo
    fi
    say "installing ${missing[*]}"
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq >/dev/null ||
        die "apt-get update failed"
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        -o DPkg::Lock::Timeout=300 "${missing[@]}" >/dev/null ||
        die "apt-get install ${missing[*]} failed"
}

# Release build of the server, its route modules and front-end copy, plus the
# named extra targets. The bench tools (startup_probe, ws_bench, guard_bench,
# soak_client) exist only with QUILLO_BUILD_BENCH, the transport fixture only
# with QUILLO_BUILD_TESTS.
build_release() {
    local build_dir=$1
    shift
    cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DQUILLO_BUILD_BENCH=ON -DQUILLO_BUILD_TESTS=ON \
        >/dev/null || die "cmake configure failed"
    local modules
    # Whole target names only: the help also lists object files such as
    # route_modules.o.
    modules=$(cmake --build "$build_dir" --target help |
        awk '{ t = $1 == "..." ? $2 : $1; sub(/:.*/, "", t); if (t ~ /^route_[A-Za-z0-9_]+$/) print t }' |
        sort -u)
    # shellcheck disable=SC2086 # one word per target
    cmake --build "$build_dir" -j "$(nproc)" --target quillo qarn_service static_assets \
        $modules "$@" >"$BENCH_TMP/build.log" 2>&1 || {
        tail -n 40 "$BENCH_TMP/build.log" >&2
        die "build failed (the log above)"
    }
}

# A port on 127.0.0.1 that nobody accepts on, below the ephemeral range so the
# load generator's own outgoing ports cannot collide with it. Nothing holds it
# once chosen: pick the next port only after the previous server listens.
free_port() {
    local port
    for _ in $(seq 200); do
        port=$((20000 + RANDOM % 12000))
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            echo "$port"
            return 0
        fi
    done
    die "no free port found on 127.0.0.1"
}

# Writes `count` bytes of repeated `line` to `file`.
fill_file() {
    local file=$1 count=$2 line=$3 text=""
    while ((${#text} < count)); do
        text+=$line
    done
    printf '%s' "${text:0:count}" >"$file"
}

# A deterministic stand-in for the real front end, of realistic sizes: the
# page with its two cache-bust markers, one large script and a style sheet,
# and a tiny file the size of a JSON answer (the static-file reference for
# the API cases).
make_fixture() {
    local dir=$1
    mkdir -p "$dir"
    local head body
    head='<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Quillo</title>
<link rel="stylesheet" href="/style.css?v=__CACHE_BUST__">
</head>
<body>
<div id="app">
'
    body=$(fill_file /dev/stdout 3900 '<div class="panel"><span class="label">Workspace</span><button class="btn">Open</button></div>
')
    printf '%s%s\n</div>\n<script src="/app.js?v=__CACHE_BUST__"></script>\n</body>\n</html>\n' \
        "$head" "$body" >"$dir/index.html"
    fill_file "$dir/app.js" 102400 'function render(node, state) { return node.update(state.files, state.tabs, 42); }
'
    fill_file "$dir/style.css" 10240 '.panel { display: flex; padding: 4px 8px; color: #222; background: #fafafa; }
'
    printf '{"authenticated":true,"password_set":true}' >"$dir/tiny.json"
}

# Starts the server in the background on 127.0.0.1:port with its own home and
# does not wait for it; QUILLO_SERVER_PID is its process id (env, taskset and
# the like exec into it). Its output goes to LOG.out and LOG.err. Extra
# arguments go before the binary: NAME=VALUE settings for it, then a
# launcher such as "taskset -c 0".
launch_quillo() {
    local home=$1 log=$2 binary=$3 site=$4 port=$5
    shift 5
    mkdir -p "$home"
    # The caller's own QUILLO_ settings must not change what is measured.
    local unset=() name
    for name in $(compgen -e); do
        if [[ "$name" == QUILLO_* ]]; then
            unset+=(-u "$name")
        fi
    done
    env "${unset[@]}" HOME="$home" QUILLO_CONFIG_DIR="$home/.quillo" QUILLO_PORT="$port" \
        QUILLO_HOST=127.0.0.1 QUILLO_NO_AUTO_OPEN=1 QUILLO_NO_TRAY=1 QUILLO_SERVER_DIR="$site" \
        "$@" "$binary" --no-browser >"$log.out" 2>"$log.err" </dev/null &
    QUILLO_SERVER_PID=$!
    remember_pid "$QUILLO_SERVER_PID"
}

# Polls `check ARGS...` every 50 ms for up to 10 s while the server (pid)
# lives; on failure shows its output and stops with `what`.
wait_for_server() {
    local pid=$1 log=$2 what=$3
    shift 3
    for _ in $(seq 200); do
        "$@" && return 0
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    cat "$log.out" "$log.err" >&2
    die "$what"
}

answers_health() {
    curl -fsS -o /dev/null --max-time 1 "http://127.0.0.1:$1/api/health" 2>/dev/null
}

# Reads /proc/net/tcp only, without connecting.
listens_on() {
    awk -v a="$(printf '0100007F:%04X' "$1")" '$2 == a && $4 == "0A" { found = 1 } END { exit !found }' \
        /proc/net/tcp 2>/dev/null
}

# Waits until the server answers GET /api/health.
wait_for_health() {
    wait_for_server "$2" "$3" "the server did not answer /api/health on port $1" answers_health "$1"
}

# Waits until something listens on 127.0.0.1:port, without connecting: the
# server's memory can then be read before it has seen any request at all.
wait_listening() {
    wait_for_server "$2" "$3" "the server did not listen on port $1" listens_on "$1"
}

# Starts the server in the background on 127.0.0.1:port with its own home and
# waits until it answers; QUILLO_SERVER_PID is its process id. Extra
# arguments go before the binary, e.g. "taskset -c 0".
start_quillo() {
    local binary=$1 site=$2 port=$3
    shift 3
    launch_quillo "$BENCH_TMP/home" "$BENCH_TMP/quillo" "$binary" "$site" "$port" "$@"
    wait_for_health "$port" "$QUILLO_SERVER_PID" "$BENCH_TMP/quillo"
}

# Sets the password through the API and prints the session cookie
# ("name=value") that the answer logs in with.
set_password() {
    local port=$1 password=$2 headers="$BENCH_TMP/setup.headers" cookie
    curl -fsS -o /dev/null -D "$headers" --max-time 5 -H 'Content-Type: application/json' \
        --data "{\"password\":\"$password\"}" "http://127.0.0.1:$port/api/auth/setup" ||
        die "POST /api/auth/setup failed"
    cookie=$(awk 'tolower($1) == "set-cookie:" { sub(/^[^:]*:[ \t]*/, ""); sub(/;.*/, "");
                  sub(/\r$/, ""); print; exit }' "$headers")
    [[ -n "$cookie" ]] || die "POST /api/auth/setup answered without a session cookie"
    local status
    status=$(curl -fsS --max-time 5 -H "Cookie: $cookie" "http://127.0.0.1:$port/api/auth/status")
    [[ "$status" == *'"authenticated":true'* ]] ||
        die "the session cookie does not log in: /api/auth/status says $status"
    printf '%s\n' "$cookie"
}

# VmRSS of a process in kB (0 when it is gone).
rss_kb() {
    awk '$1 == "VmRSS:" { print $2; found = 1 } END { if (!found) print 0 }' \
        "/proc/$1/status" 2>/dev/null || echo 0
}

threads_of() {
    awk '$1 == "Threads:" { print $2 }' "/proc/$1/status" 2>/dev/null || echo 0
}
