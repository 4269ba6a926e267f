#!/usr/bin/env bash
# The test bench. One entry point, sub-commands:
#   bootstrap  install the Debian packages the project needs (only what is missing)
#   build      configure and build the host and windows presets
#   test       bootstrap, build, start Wine and Xvfb, run every test through CTest, stop all
#   demo       bootstrap, build, publish a demo update site and run three starts of the launcher
#   bench      bootstrap, build, start the bench and print the performance table
#   fuzz       run every fuzz target for FUZZ_SECONDS (default 60)
#   reliability  fuzzing, hostile site, file-system faults, CRASH_RUNS kills; prints a summary
#   soak       the end-to-end suite RUNS times (default 10) on a busy machine; failures per test
#   mutants    applies each deliberate fault of tests/mutants/mutants.py; reports survivors
#   e2e ARGS   bootstrap, build, start the bench and run only the end-to-end suite (pytest ARGS)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$ROOT/build
# The bench's ports, defined here only: CMake gets them as the test launchers' hosts, the unit
# tests and the end-to-end suite read them from the environment. Several checkouts on one machine
# each export their own.
export VARNIX_TEST_PORT=${VARNIX_TEST_PORT:-47443}          # nginx: the update site
export VARNIX_FAULT_PORT=${VARNIX_FAULT_PORT:-47444}        # the scripted hostile site
export VARNIX_UNREACHABLE_PORT=${VARNIX_UNREACHABLE_PORT:-47449}  # nothing listens here
TEST_PORT=$VARNIX_TEST_PORT
TEST_HOST=localhost:$TEST_PORT
FAULT_PORT=$VARNIX_FAULT_PORT
SITE=$BUILD/site
HOST_ROOTS=$BUILD/site/host-roots  # the CA bundle the suites see (make_host_roots)
# Wine run as root writes read-only files and unwritable directories. The scenarios marked
# `nonroot` run in a part of their own whose every Wine process runs as this unprivileged user,
# in a prefix it owns (build/wine-user), where Wine refuses those writes as Windows does.
WINE_USER=varnix-wine
WINE_USER_HOME=/var/lib/varnix-wine
# The user part sees the build directory here, in a mount namespace of its own: the user may not
# pass the checkout's parent directories (a clone under /root).
USER_PART_VIEW=/run/varnix-bench-user-part
# The command that starts Wine's programs (wine, wineboot, wineserver): empty, they run as the
# bench's own user; in the user part, as WINE_USER (see as_wine_user).
AS_WINE=()

PACKAGES=(
    cmake ninja-build g++ make python3 python3-pytest googletest libgtest-dev
    g++-mingw-w64-x86-64-posix libz-mingw-w64-dev clang libclang-rt-14-dev
    wine wine64 xvfb nginx openssl libssl-dev libzip-dev zip osslsigncode
    softhsm2 libengine-pkcs11-openssl nsis
)

export WINEPREFIX=$BUILD/wine
export WINEDEBUG=-all
# winemenubuilder off: the setup's shortcuts must not turn into menu files on the host.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# Wine takes its ANSI code page from the host locale, and the PowerShell stand-in decodes ZIP
# names without the UTF-8 flag in it: one locale for every run (code page 1252).
export LC_ALL=C.UTF-8

started_pids=()

log() { printf '== %s\n' "$*" >&2; }

bootstrap() {
    local missing=()
    for package in "${PACKAGES[@]}"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    if ((${#missing[@]})); then
        log "installing: ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
    make_wine_user
}

# The user of the non-root e2e part, made once per machine (only root can; without root that
# part cannot run, see e2e_user_part). A bootstrap of another checkout may make it at the same
# moment: it only has to exist afterwards.
make_wine_user() {
    ((EUID == 0)) || return 0
    id -u "$WINE_USER" >/dev/null 2>&1 && return 0
    useradd --system --user-group --create-home --home-dir "$WINE_USER_HOME" \
        --shell /usr/sbin/nologin "$WINE_USER" 2>/dev/null || id -u "$WINE_USER" >/dev/null
}

# From here on every Wine program starts as WINE_USER, with the home and names Wine takes from
# the environment; the environment is otherwise kept (WINEPREFIX, DISPLAY, WINEDEBUG, ...).
as_wine_user() {
    AS_WINE=(setpriv --reuid="$WINE_USER" --regid="$WINE_USER" --init-groups
        env HOME="$WINE_USER_HOME" USER="$WINE_USER" LOGNAME="$WINE_USER")
    export VARNIX_WINE_USER=$WINE_USER
}

# Builds the named presets (default: all three). Output goes to build/build.log; a failing build
# prints the end of that log, where the compiler's error stands, and stops the script.
build() {
    local presets=("$@")
    ((${#presets[@]})) || presets=(host windows fuzz)
    mkdir -p "$BUILD"
    : >"$BUILD/build.log"
    local preset
    # The host preset comes first: the windows build embeds the test key its tool makes.
    for preset in host "${presets[@]/host/}"; do
        [[ -n $preset ]] || continue
        log "building $preset preset"
        if ! build_preset "$preset" >>"$BUILD/build.log" 2>&1; then
            echo "build of the $preset preset failed; from $BUILD/build.log:" >&2
            # The first failed step and its first error lines; template notes come after them.
            sed -n '/^FAILED: /,$p' "$BUILD/build.log" | grep -m 20 -E 'FAILED:|error|Error' >&2 ||
                tail -n 40 "$BUILD/build.log" >&2
            exit 1
        fi
    done
}

build_preset() {
    case "$1" in
        host)
            cmake --preset host && cmake --build --preset host && make_test_keys
            ;;
        windows)
            cmake --preset windows -DVARNIX_UPDATE_HOST="$TEST_HOST" \
                -DVARNIX_TEST_FAULT_HOST="localhost:$FAULT_PORT" \
                -DVARNIX_TEST_UNREACHABLE_HOST="localhost:$VARNIX_UNREACHABLE_PORT" \
                -DVARNIX_MANIFEST_PUBLIC_KEY="$SITE/keys/manifest-public.pem;$SITE/keys/next/manifest-public.pem" &&
                cmake --build --preset windows
            ;;
        fuzz)
            cmake --preset fuzz && cmake --build --preset fuzz
            ;;
    esac
}

# The test manifest key and a test CA with a certificate for "localhost", made once per machine.
# None of it leaves build/; the CA is trusted only inside the project's Wine prefix.
make_test_keys() {
    if [[ ! -f $SITE/keys/manifest-private.pem ]]; then
        rm -rf "$SITE/keys"
        "$BUILD/host/tools/varnix-repo/varnix-repo" keygen --out "$SITE/keys" >/dev/null
    fi
    # The next key of a rotation: the test launchers carry both.
    if [[ ! -f $SITE/keys/next/manifest-private.pem ]]; then
        rm -rf "$SITE/keys/next"
        "$BUILD/host/tools/varnix-repo/varnix-repo" keygen --out "$SITE/keys/next" >/dev/null
    fi
    local tls=$SITE/tls
    [[ -f $tls/server.pem ]] && return 0
    mkdir -p "$tls"
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$tls/ca.key" -out "$tls/ca.pem" -days 3650 \
        -subj "/CN=Varnix Test CA" -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
    openssl req -newkey rsa:2048 -nodes -keyout "$tls/server.key" -out "$tls/server.csr" \
        -subj "/CN=localhost" 2>/dev/null
    printf 'subjectAltName=DNS:localhost\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' \
        >"$tls/server.ext"
    openssl x509 -req -in "$tls/server.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca.key" \
        -CAcreateserial -out "$tls/server.pem" -days 3650 -extfile "$tls/server.ext" 2>/dev/null
}

# Wine's crypt32 copies the host's whole CA bundle into every process that checks a certificate
# chain, verifying each of its roots first: about a quarter of a launcher start's time under Wine.
# The suites see a bundle that holds one unrelated root instead (see in_test_namespace); the test
# CA is trusted through the prefix's LocalMachine store alone, as before.
make_host_roots() {
    local roots=$HOST_ROOTS
    [[ -f $roots/ca-certificates.crt ]] && return 0
    mkdir -p "$roots"
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$roots/placeholder.key" \
        -out "$roots/placeholder.pem" -days 3650 -subj "/CN=Varnix Bench Placeholder Root" \
        -addext "basicConstraints=critical,CA:TRUE" 2>/dev/null
    cp "$roots/placeholder.pem" "$roots/ca-certificates.crt"
}

# Runs a test command in a mount namespace of its own, where /etc/ssl/certs is the bench's small
# bundle. Without the rights for that (not root), the command runs as it is, only slower.
in_test_namespace() {
    if ((EUID == 0)) && [[ -d /etc/ssl/certs ]] &&
        unshare --mount --propagation private true 2>/dev/null; then
        unshare --mount --propagation private /bin/sh -c \
            'mount --bind "$0" /etc/ssl/certs && exec "$@"' "$HOST_ROOTS" "$@"
    else
        "$@"
    fi
}

# Wine's own powershell.exe does nothing; the stand-in takes its place at the real location.
install_powershell_standin() {
    "${AS_WINE[@]}" cp "$BUILD/windows/tests/support/powershell.exe" \
        "$WINEPREFIX/drive_c/windows/system32/WindowsPowerShell/v1.0/powershell.exe"
}

trust_test_ca() {
    "${AS_WINE[@]}" wine "$BUILD/windows/tests/support/trust_ca.exe" "Z:$SITE/tls/ca.pem" \
        </dev/null >/dev/null 2>&1 || { echo "could not trust the test CA in Wine" >&2; return 1; }
}

wait_for_port() {
    for _ in $(seq 200); do
        (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
        sleep 0.05
    done
    echo "nothing listens on port $1" >&2
    return 1
}

# The update site: real nginx with TLS on loopback, serving $SITE/www.
start_site() {
    mkdir -p "$SITE/www/varnix" "$SITE/nginx-tmp"
    cat >"$SITE/nginx.conf" <<CONF
user root;
daemon off;
worker_processes 1;
pid $SITE/nginx.pid;
error_log $SITE/nginx-error.log;
events { worker_connections 64; }
http {
    access_log $SITE/nginx-access.log;
    client_body_temp_path $SITE/nginx-tmp/body;
    proxy_temp_path $SITE/nginx-tmp/proxy;
    fastcgi_temp_path $SITE/nginx-tmp/fastcgi;
    uwsgi_temp_path $SITE/nginx-tmp/uwsgi;
    scgi_temp_path $SITE/nginx-tmp/scgi;
    types { application/zip zip; text/plain txt; }
    default_type application/octet-stream;
    server {
        listen 127.0.0.1:$TEST_PORT ssl;
        server_name localhost;
        ssl_certificate $SITE/tls/server.pem;
        ssl_certificate_key $SITE/tls/server.key;
        # TLS 1.2 alone: what the launcher requires must be enough on its own.
        ssl_protocols TLSv1.2;
        root $SITE/www;
        location ~ /manifest\.txt(\.sig)?\$ { add_header Cache-Control "no-cache, no-store"; }
        # Archives named slow_* trickle, so tests can interrupt a download.
        location ~ /packages/slow_[^/]*\$ { limit_rate 256k; }
    }
}
CONF
    nginx -c "$SITE/nginx.conf" -p "$SITE" &
    started_pids+=($!)
    mkdir -p "$SITE/fault"
    /usr/bin/python3 "$ROOT/tests/support/fault_server.py" "$FAULT_PORT" "$SITE/tls/server.pem" \
        "$SITE/tls/server.key" "$SITE/fault" &
    started_pids+=($!)
    wait_for_port "$TEST_PORT"
    wait_for_port "$FAULT_PORT"
    export VARNIX_SITE_DIR=$SITE VARNIX_FAULT_SITE=localhost:$FAULT_PORT
    log "update site on https://$TEST_HOST (nginx), fault site on https://localhost:$FAULT_PORT"
}

stop_started() {
    if [[ -n "${WINEPREFIX:-}" ]]; then "${AS_WINE[@]}" wineserver -k >/dev/null 2>&1 || true; fi
    for pid in "${started_pids[@]}"; do
        kill "$pid" >/dev/null 2>&1 || true
        wait "$pid" 2>/dev/null || true
    done
    started_pids=()
}

# Starts Xvfb on a display no other X server uses. Every bench script on the machine (the e2e
# parts start side by side, other checkouts may run too) picks its number and starts its server
# under one lock: two scripts that both saw a number free would otherwise start two servers on
# it; the second one exits at once, and its part's windows land on the other part's display.
start_xvfb() {
    local display pid lock
    exec {lock}>/tmp/varnix-bench-xvfb.lock
    flock "$lock"
    for display in $(seq 90 140); do
        [[ -e /tmp/.X11-unix/X$display || -e /tmp/.X$display-lock ]] && continue
        Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 {lock}>&- &
        pid=$!
        started_pids+=($pid)
        for _ in $(seq 100); do
            [[ -e /tmp/.X11-unix/X$display ]] && break
            sleep 0.05
        done
        # The server's lock file names its process: a display this script did not get is left.
        [[ $(tr -d ' \n' </tmp/.X$display-lock 2>/dev/null) == "$pid" ]] || continue
        exec {lock}>&-
        export DISPLAY=":$display"
        log "Xvfb on $DISPLAY"
        return 0
    done
    exec {lock}>&-
    echo "no free X display" >&2
    return 1
}

# A persistent wineserver and a finished wineboot before any test: otherwise Wine's services
# inherit the test runner's pipes and CTest waits on them for ever.
start_wine() {
    "${AS_WINE[@]}" mkdir -p "$WINEPREFIX"
    "${AS_WINE[@]}" wineserver -f -p >/dev/null 2>&1 &
    started_pids+=($!)
    "${AS_WINE[@]}" wineboot </dev/null >/dev/null 2>&1
    private_profile_folders
    unmanaged_windows
    log "Wine prefix ready: $WINEPREFIX"
}

# A new prefix links the profile's Desktop, Documents and the like to the host user's home (here
# /root): every copy of the prefix, and so every part of the suite running side by side, would
# share one Desktop, see the others' shortcuts come and go, and write into the host's home. Each
# prefix gets folders of its own; Wine makes those links only when it creates or updates a prefix.
private_profile_folders() {
    local folder
    for folder in "$WINEPREFIX"/drive_c/users/*/*; do
        [[ -L $folder ]] || continue
        "${AS_WINE[@]}" rm -f "$folder"
        "${AS_WINE[@]}" mkdir "$folder"
    done
}

# Without a window manager, Wine waits about 2 s for each managed window's withdrawn state when a
# dialog closes. Unmanaged windows close at once; the dialog driver still finds and presses them.
unmanaged_windows() {
    local key='HKCU\Software\Wine\X11 Driver'
    "${AS_WINE[@]}" wine reg query "$key" /v Managed </dev/null 2>/dev/null | grep -q 'REG_SZ[[:space:]]*N' && return 0
    "${AS_WINE[@]}" wine reg add "$key" /v Managed /d N /f </dev/null >/dev/null 2>&1
}

# Each stage is timed; the last line of `make test` gives the figures.
stage_times=()
timed() {
    local name=$1 started=$SECONDS status=0
    shift
    "$@" || status=1
    stage_times+=("$name $((SECONDS - started)) s")
    return $status
}

# A stage in the background, its output kept in build/NAME.log; finish_stage waits for it, prints
# that output and records its time.
start_stage() {
    local log=$BUILD/$1.log
    shift
    (
        started=$SECONDS
        status=0
        "$@" >"$log" 2>&1 || status=1
        echo "$((SECONDS - started))" >"$log.seconds"
        exit $status
    ) &
    stage_pid=$!
}

finish_stage() {
    local name=$1 file=$2 pid=$3 status=0
    wait "$pid" || status=1
    cat "$BUILD/$file.log"
    stage_times+=("$name $(cat "$BUILD/$file.log.seconds") s")
    return $status
}

run_tests() {
    local status=0 host unit
    # The host tests (mostly one Python process) and the Windows unit tests (one process under
    # Wine) keep a core busy each: they run side by side.
    start_stage host-tests ctest --preset host -j2
    host=$stage_pid
    start_stage windows-unit-tests ctest --preset windows -E '^e2e$'
    unit=$stage_pid
    finish_stage "host tests" host-tests "$host" || status=1
    finish_stage "Windows unit tests" windows-unit-tests "$unit" || status=1
    # Every fuzz target at once: here each replays its corpus and fuzzes for a few seconds (make
    # fuzz and make reliability fuzz for long).
    timed "fuzz" ctest --preset fuzz -j5 || status=1
    timed "e2e" e2e_in_shards || status=1
    return $status
}

# The e2e suite in E2E_SHARDS parts (default 3) that run side by side, each taking the next scenario
# no part has claimed yet (build/e2e-claims, see conftest.py). The first part uses the bench already
# started. Every other part runs in a network namespace of its own, where the same loopback ports
# are free, with its own Wine prefix, X display, nginx and fault site: no scenario can see another
# part's processes, site or files.
e2e_in_shards() {
    local shards=${E2E_SHARDS:-3} index status=0 pids=()
    rm -rf "$BUILD/e2e-claims"
    mkdir -p "$BUILD/e2e-claims"
    for ((index = 1; index < shards; index++)); do copy_prefix "wine-shard-$index" || return 1; done
    copy_user_prefix || return 1
    # The scenarios marked nonroot run in the user part beside the others (see e2e_user_part).
    local junit=()
    [[ -n ${E2E_JUNIT:-} ]] && junit=(--junitxml="$E2E_JUNIT-user.xml")
    user_part -q "${junit[@]}" >"$BUILD/e2e-user.log" 2>&1 &
    pids+=($!)
    started_pids+=($!)
    for ((index = 1; index < shards; index++)); do
        # An interrupted run ends each part too: its bench script stops what it started.
        unshare --net --fork --kill-child=TERM "$ROOT/scripts/bench.sh" e2e-shard "$index" \
            "$shards" >"$BUILD/e2e-shard-$index.log" 2>&1 &
        pids+=($!)
        started_pids+=($!)
    done
    run_e2e_shard 0 "$shards" >"$BUILD/e2e-shard-0.log" 2>&1 &
    pids+=($!)
    started_pids+=($!)
    local pid
    for pid in "${pids[@]}"; do wait "$pid" || status=1; done
    for ((index = 0; index < shards; index++)); do
        log "e2e part $((index + 1)) of $shards"
        cat "$BUILD/e2e-shard-$index.log"
    done
    log "e2e part with Wine as $WINE_USER"
    cat "$BUILD/e2e-user.log"
    return $status
}

# With E2E_JUNIT set, each part writes its JUnit report to $E2E_JUNIT-shard-INDEX.xml.
run_e2e_shard() {
    local junit=()
    [[ -n ${E2E_JUNIT:-} ]] && junit=(--junitxml="$E2E_JUNIT-shard-$1.xml")
    VARNIX_BUILD_DIR=$BUILD/windows VARNIX_E2E_CLAIMS=$BUILD/e2e-claims \
        in_test_namespace /usr/bin/python3 -m pytest -q -p no:cacheprovider "${junit[@]}" "$ROOT/tests/e2e"
}

# A part's Wine prefix: a copy of the prepared one without the scenarios' files, made once and
# kept. It is made before any part starts, while nothing runs in the prepared prefix. GNU tar's
# status 1 only says a file changed while it was read (Wine's own files, such as its temporary
# directory); the registry is saved by renaming a complete file, so a copy is whole either way.
copy_prefix() {
    local prefix=$BUILD/$1 status=0
    [[ -f $prefix/system.reg ]] && return 0
    rm -rf "$prefix"
    mkdir -p "$prefix"
    tar -C "$BUILD/wine" --exclude=./drive_c/t --warning=no-file-changed -cf - . |
        tar -C "$prefix" -xf - || status=$?
    if ((status > 1)) || [[ ! -f $prefix/system.reg ]]; then
        echo "could not copy the Wine prefix to $prefix" >&2
        rm -rf "$prefix"
        return 1
    fi
}

# The user part's prefix: a copy like the parts' ones, owned by WINE_USER (Wine refuses a prefix
# that is not its user's). Without root there is no such user and nothing to copy.
copy_user_prefix() {
    ((EUID == 0)) || return 0
    local prefix=$BUILD/wine-user
    if [[ ! -f $prefix/system.reg ]]; then
        copy_prefix wine-user || return 1
        # The copied file names the wineserver directory of root's prefix, which the user may
        # not enter: Wine makes the user's own.
        rm -f "$prefix/wineserver"
        chown -R "$WINE_USER:$WINE_USER" "$prefix"
    fi
}

# The scenarios marked nonroot that the pytest ARGS select, in a network and mount namespace of
# their own (like the parts of e2e_in_shards), with Wine run as WINE_USER. Exit status 5 when the
# ARGS select none of them.
user_part() {
    if ((EUID != 0)); then
        log "not root: the scenarios marked nonroot are left out"
        return 5
    fi
    copy_user_prefix || return 1
    unshare --net --mount --fork --kill-child=TERM "$ROOT/scripts/bench.sh" e2e-user-part "$@"
}

e2e_user_part() {
    local selected=0
    # Starting a Wine bench costs seconds: not for ARGS that select no scenario of this part.
    VARNIX_WINE_USER=$WINE_USER /usr/bin/python3 -m pytest -q --collect-only -p no:cacheprovider \
        "$ROOT/tests/e2e" "$@" >/dev/null 2>&1 || selected=$?
    ((selected == 0)) || return "$selected"
    ip link set lo up
    mkdir -p "$USER_PART_VIEW"
    mount --bind "$BUILD" "$USER_PART_VIEW"
    BUILD=$USER_PART_VIEW
    export WINEPREFIX=$BUILD/wine-user
    SITE=$BUILD/site-user
    mkdir -p "$SITE"
    ln -sfn "$BUILD/site/keys" "$SITE/keys"
    ln -sfn "$BUILD/site/tls" "$SITE/tls"
    as_wine_user
    unset DISPLAY
    start_bench
    VARNIX_BUILD_DIR=$BUILD/windows in_test_namespace /usr/bin/python3 -m pytest -p no:cacheprovider \
        "$ROOT/tests/e2e" "$@"
}

e2e_shard() {
    local index=$1 shards=$2
    ip link set lo up
    local prefix=$BUILD/wine-shard-$index
    export WINEPREFIX=$prefix
    SITE=$BUILD/site-shard-$index
    mkdir -p "$SITE"
    ln -sfn "$BUILD/site/keys" "$SITE/keys"
    ln -sfn "$BUILD/site/tls" "$SITE/tls"
    unset DISPLAY
    start_bench
    run_e2e_shard "$index" "$shards"
}

print_stage_times() {
    local IFS=','
    printf 'stage times: %s\n' "${stage_times[*]}" | sed 's/,/, /g'
}

# The whole end-to-end suite RUNS times; prints how often each test failed. Unless SOAK_LOAD=0,
# a build of the fuzz preset runs in a loop beside it, so the suite is proven on a busy machine.
soak() {
    local runs=${RUNS:-10} out=$BUILD/soak load_pid=""
    rm -rf "$out"
    mkdir -p "$out"
    if [[ ${SOAK_LOAD:-1} != 0 ]]; then
        (while true; do
            cmake --build "$BUILD/fuzz" --target clean >/dev/null 2>&1
            cmake --build "$BUILD/fuzz" -j2 >/dev/null 2>&1
        done) &
        load_pid=$!
        started_pids+=("$load_pid")
        log "soak under load: fuzz preset rebuilt in a loop (pid $load_pid)"
    fi
    local run
    for run in $(seq "$runs"); do
        log "soak run $run of $runs"
        E2E_JUNIT=$out/run-$run e2e_in_shards >"$out/run-$run.log" 2>&1 || true
        grep -E '^[0-9]+ (passed|failed)|^[0-9]+ failed' "$out/run-$run.log" >&2 || true
    done
    if [[ -n $load_pid ]]; then
        pkill -P "$load_pid" >/dev/null 2>&1 || true
        kill "$load_pid" >/dev/null 2>&1 || true
    fi
    /usr/bin/python3 "$ROOT/scripts/soak_summary.py" "$out" "$runs" "${E2E_SHARDS:-3}"
}

demo() {
    VARNIX_BUILD_DIR=$BUILD/windows /usr/bin/python3 "$ROOT/scripts/demo.py"
}

run_fuzzers() {
    local target
    for target in manifest request text redact quoting; do
        "$ROOT/tests/fuzz/run_fuzzer.sh" "$BUILD/fuzz/tests/fuzz/fuzz_$target" \
            "$ROOT/tests/fuzz/corpus/$target" "$BUILD/fuzz/corpus/$target" "$1"
    done
}

# Wine, the PowerShell stand-in, the trusted test CA and the update site; Xvfb unless a display
# is given. Everything started is stopped again when the script exits.
start_bench() {
    trap stop_started EXIT
    if [[ -z "${DISPLAY:-}" ]]; then start_xvfb; fi
    start_wine
    install_powershell_standin
    trust_test_ca
    make_host_roots
    start_site
}

# Bootstrap, build the named presets and start the bench on its own Xvfb display.
prepare() {
    bootstrap
    build "$@"
    unset DISPLAY
    start_bench
}

main() {
    local command=${1:-test}
    cd "$ROOT"
    case "$command" in
        bootstrap) bootstrap ;;
        build) shift; bootstrap; build "$@" ;;
        test)
            bootstrap
            timed "build" build
            unset DISPLAY  # tests always run on their own Xvfb display
            start_bench
            local status=0
            run_tests || status=1
            print_stage_times
            return $status
            ;;
        e2e-shard) e2e_shard "$2" "$3" ;;
        e2e-user-part) shift; e2e_user_part "$@" ;;
        e2e-user)
            # The nonroot scenarios alone, on the build as it is (the mutants' runner uses it).
            shift
            user_part "$@"
            ;;
        demo)
            bootstrap
            build windows
            # With a display of the user's, the person answers the dialogs.
            if [[ -n "${DISPLAY:-}" ]]; then export VARNIX_DEMO_INTERACTIVE=1; fi
            start_bench
            demo
            ;;
        bench)
            prepare windows
            VARNIX_BUILD_DIR=$BUILD/windows /usr/bin/python3 "$ROOT/scripts/perf.py"
            ;;
        fuzz)
            bootstrap
            build fuzz
            run_fuzzers "${FUZZ_SECONDS:-60}"
            ;;
        reliability)
            bootstrap
            build windows fuzz
            local out=$BUILD/reliability
            mkdir -p "$out"
            run_fuzzers "${FUZZ_SECONDS:-30}" | tee "$out/fuzz.log"
            unset DISPLAY
            start_bench
            # A result of an earlier run must never count for this one.
            rm -f "$out/e2e.xml"
            local status=0
            VARNIX_BUILD_DIR=$BUILD/windows VARNIX_CRASH_RUNS=${CRASH_RUNS:-50} \
                VARNIX_KILL_REPEATS=${KILL_REPEATS:-3} \
                in_test_namespace /usr/bin/python3 -m pytest -q -p no:cacheprovider --junitxml="$out/e2e.xml" \
                "$ROOT/tests/e2e/test_hostile_site.py" "$ROOT/tests/e2e/test_fs_faults.py" \
                "$ROOT/tests/e2e/test_crash_loop.py" "$ROOT/tests/e2e/test_aimed_kills.py" \
                "$ROOT/tests/e2e/test_self_update.py" || status=1
            /usr/bin/python3 "$ROOT/scripts/reliability_summary.py" "$out" || status=1
            return $status
            ;;
        soak)
            prepare windows fuzz
            soak
            ;;
        mutants)
            shift
            prepare windows
            VARNIX_BUILD_DIR=$BUILD/windows \
                in_test_namespace /usr/bin/python3 "$ROOT/tests/mutants/mutants.py" "$@"
            ;;
        e2e)
            shift
            prepare windows
            local status=0 user_status=0
            VARNIX_BUILD_DIR=$BUILD/windows \
                in_test_namespace /usr/bin/python3 -m pytest -p no:cacheprovider "$ROOT/tests/e2e" "$@" ||
                status=$?
            user_part "$@" || user_status=$?
            # 5: pytest selected nothing, which counts only when neither part selected anything.
            if ((status == 5 && user_status == 5)); then return 5; fi
            ((status == 5)) && status=0
            ((user_status == 5)) && user_status=0
            ((status == 0 && user_status == 0)) || return 1
            ;;
        *)
            echo "usage: $0 {bootstrap|build [PRESET...]|test|demo|bench|fuzz|reliability|soak|mutants|e2e ARGS|e2e-user ARGS}" >&2
            return 2
            ;;
    esac
}

main "$@"
