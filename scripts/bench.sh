#!/usr/bin/env bash
# The test bench. One entry point, sub-commands:
#   bootstrap  install the Debian packages the project needs (only what is missing)
#   build      configure and build the host and windows presets
#   test       bootstrap, build, start Wine and Xvfb, run every test through CTest, stop all
#   demo       bootstrap, build, run the launcher once in a scratch root under Wine, print its log
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$ROOT/build
TEST_PORT=${VARNIX_TEST_PORT:-47443}
TEST_HOST=localhost:$TEST_PORT

PACKAGES=(
    cmake ninja-build g++ make python3 python3-pytest googletest libgtest-dev
    g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
    wine wine64 xvfb nginx openssl libssl-dev libzip-dev zip
)

export WINEPREFIX=$BUILD/wine
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

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
}

build() {
    log "building host preset"
    cmake --preset host >/dev/null
    cmake --build --preset host
    log "building windows preset (update host $TEST_HOST)"
    cmake --preset windows -DVARNIX_UPDATE_HOST="$TEST_HOST" >/dev/null
    cmake --build --preset windows
}

stop_started() {
    if [[ -n "${WINEPREFIX:-}" ]]; then wineserver -k >/dev/null 2>&1 || true; fi
    for pid in "${started_pids[@]}"; do
        kill "$pid" >/dev/null 2>&1 || true
        wait "$pid" 2>/dev/null || true
    done
    started_pids=()
}

start_xvfb() {
    local display
    for display in $(seq 90 140); do
        [[ -e /tmp/.X11-unix/X$display || -e /tmp/.X$display-lock ]] && continue
        Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
        started_pids+=($!)
        for _ in $(seq 100); do
            [[ -e /tmp/.X11-unix/X$display ]] && break
            sleep 0.05
        done
        export DISPLAY=":$display"
        log "Xvfb on $DISPLAY"
        return 0
    done
    echo "no free X display" >&2
    return 1
}

# A persistent wineserver and a finished wineboot before any test: otherwise Wine's services
# inherit the test runner's pipes and CTest waits on them for ever.
start_wine() {
    mkdir -p "$WINEPREFIX"
    wineserver -f -p >/dev/null 2>&1 &
    started_pids+=($!)
    wineboot </dev/null >/dev/null 2>&1
    log "Wine prefix ready: $WINEPREFIX"
}

run_tests() {
    local status=0
    ctest --preset host -j2 || status=1
    ctest --preset windows -j2 || status=1
    return $status
}

demo() {
    local root=$WINEPREFIX/drive_c/varnix_demo
    rm -rf "$root"
    mkdir -p "$root/system"
    cp "$BUILD/windows/VarnixLauncher.exe" "$root/"
    cp "$BUILD/windows/tests/support/Varnix.exe" "$root/system/"
    echo "sleep=2500" >"$root/system/stub_behavior.txt"
    log "running C:\\varnix_demo\\VarnixLauncher.exe under Wine"
    printf '"C:\\varnix_demo\\VarnixLauncher.exe" --demo "two words"' >"$root/../varnix_demo.cmd"
    wine "$BUILD/windows/tests/support/dialog_driver.exe" 'C:\varnix_demo.result' ok \
        'C:\varnix_demo.cmd' 60 </dev/null >/dev/null 2>&1
    log "dialogs and exit code"
    cat "$WINEPREFIX/drive_c/varnix_demo.result"
    rm -f "$WINEPREFIX/drive_c/varnix_demo.result"
    log "launcher.log"
    cat "$root/logs/launcher.log"
    log "what Varnix.exe received"
    cat "$root/system/stub_runs.jsonl"
}

main() {
    local command=${1:-test}
    cd "$ROOT"
    case "$command" in
        bootstrap) bootstrap ;;
        build) bootstrap; build ;;
        test)
            bootstrap
            build
            trap stop_started EXIT
            start_xvfb
            start_wine
            run_tests
            ;;
        demo)
            bootstrap
            build
            trap stop_started EXIT
            start_xvfb
            start_wine
            demo
            ;;
        *) echo "usage: $0 {bootstrap|build|test|demo}" >&2; return 2 ;;
    esac
}

main "$@"
