#!/usr/bin/env bash
# Runs the shipped CardRwUninstall.exe on Wine: for each scenario a copy of one prepared Wine
# prefix is seeded with a Windows installation of the card reader/writer through the real APIs,
# the program runs under Xvfb while its message boxes are read and answered, and what it left is
# checked. Prints one line per scenario, the time the stage took, and "wine: N passed, M failed".
#
# usage: tests/wine/uninstaller/run.sh [WINDOWS-BUILD-DIR [DIST-DIR [SCENARIO...]]]
#   defaults build/windows and dist; without SCENARIO names every scenario runs
#   CARDRW_WINE_CACHE: where the prepared prefix is kept (default build/wine-prefix)
#   CARDRW_WINE_TRACE=1: the time of each step on standard error
# Installs wine64 and xvfb when missing. Xvfb is started directly, without authorisation, so
# xauth is not needed.
#
# A scenario is a file scenarios/NAME.scenario of lines (UTF-8, "#" starts a comment):
#   include FILE            the lines of scenarios/FILE
#   env NAME=VALUE          environment of the uninstaller's run (LC_ALL=ja_JP.UTF-8)
#   box caption=... | text=... | icon=... | buttons=...
#                           the next message box expected, exactly as cardrw_wine_boxes logs it
#   stdout REGEX            the next line of standard output matches REGEX (extended, whole line)
#   anything else           a seeding or "expect-" command of cardrw_wine_state
# The boxes and the standard output lines must be exactly those listed, in order.
set -uo pipefail
root=$(cd "$(dirname "$0")/../../.." && pwd)

# Paths given are taken from the caller's directory, the defaults from the repository's root.
build_dir=$(realpath -m "${1:-$root/build/windows}")
dist_dir=$(realpath -m "${2:-$root/dist}")
cache_dir=$(realpath -m "${CARDRW_WINE_CACHE:-$root/build/wine-prefix}")
cd "$root"
scenario_dir=$root/tests/wine/uninstaller/scenarios
helpers=$build_dir/tests/wine/uninstaller
program=$dist_dir/CardRwUninstall.exe

WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=,winemenubuilder.exe=d"
unset WINEPREFIX DISPLAY

# Time limits, in seconds: the program itself, the Wine command around it (seeding, the program,
# checks), the prefix creation.
# They only end hangs: on a loaded machine the first Wine process of a prefix alone may take
# half a minute.
PROGRAM_LIMIT=120
COMMAND_LIMIT=300
PREFIX_LIMIT=180

# Scenarios run two at a time, each slot on an X display of its own: the icons of the boxes are
# read from the screen, so the boxes of two programs must never overlap.
SLOTS=2

passed=0
failed=0
work=""
slot_pids=()
xvfb_pid=""        # the display of this slot
current_prefix=""  # the prefix whose wineserver runs now in this slot

# ---------------------------------------------------------------------------------------------
# Helpers
# ---------------------------------------------------------------------------------------------

# The Windows path of a host path, through Wine's Z: drive.
winpath() {
    local path
    path=$(realpath -m "$1")
    echo "Z:${path//\//\\}"
}

trace() {
    [ -n "${CARDRW_WINE_TRACE:-}" ] && echo "  [${EPOCHREALTIME}] $*" >&2
    return 0
}

report() {  # report PASS|FAIL NAME [REASON]
    if [ "$1" = PASS ]; then
        passed=$((passed + 1))
        echo "PASS $2"
    else
        failed=$((failed + 1))
        echo "FAIL $2: $3"
    fi
}

# A slot's verdict on one scenario, read by the main shell once the slots are done.
record() {  # record NAME PASS|FAIL [REASON]
    printf '%s\n%s\n' "$2" "${3:-}" >"$work/$1.result"
}

# Ends the current prefix's wineserver and everything running in it, and waits until it is gone.
stop_wineserver() {
    [ -n "$current_prefix" ] || return 0
    WINEPREFIX=$current_prefix "$WINESERVER" -k >/dev/null 2>&1
    WINEPREFIX=$current_prefix timeout 10 "$WINESERVER" -w >/dev/null 2>&1
    current_prefix=""
}

stop_display() {
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null
        wait "$xvfb_pid" 2>/dev/null
        xvfb_pid=""
    fi
}

# A slot's own clean-up, also when it is interrupted.
slot_cleanup() {
    stop_wineserver
    stop_display
}

# The stage's clean-up when it is interrupted or done: slots still running are told to end,
# every prefix's server is ended (so that the Wine commands the slots wait for return at once),
# then the slots are waited for.
cleanup() {
    local pid prefix
    for pid in "${slot_pids[@]}"; do
        kill "$pid" 2>/dev/null
    done
    [ -n "$work" ] || return 0
    for prefix in "$work"/*/prefix; do
        [ -d "$prefix" ] && WINEPREFIX=$prefix "$WINESERVER" -k >/dev/null 2>&1
    done
    for pid in "${slot_pids[@]}"; do
        wait "$pid" 2>/dev/null
    done
    # A failed scenario keeps its directory (logs and prefix) for a look afterwards.
    if [ "$failed" -eq 0 ]; then
        rm -rf "$work"
    else
        echo "the failed scenarios' logs and prefixes are in $work"
    fi
}

finish() {
    local start=$1
    echo "wine stage took $(( $(date +%s) - start )) s"
    echo "wine: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit
}

# ---------------------------------------------------------------------------------------------
# The prepared prefix and the display
# ---------------------------------------------------------------------------------------------

# Creates the prefix once per Wine version; a half-made one never takes the cache's place, and
# two stages started at once make it only once.
prepare_prefix() {
    mkdir -p "$(dirname "$cache_dir")"
    (
        flock -w "$PREFIX_LIMIT" 9 || exit 1
        make_prefix
    ) 9>"$cache_dir.lock"
}

make_prefix() {
    local version stamp=$cache_dir/wine-version fresh
    version=$("$WINE" --version 2>/dev/null)
    if [ -d "$cache_dir/prefix" ] && [ "$(cat "$stamp" 2>/dev/null)" = "$version" ]; then
        return 0
    fi
    echo "preparing the Wine prefix in $cache_dir"
    rm -rf "$cache_dir"
    mkdir -p "$cache_dir"
    fresh=$cache_dir/prefix.new
    (
        export WINEPREFIX=$fresh
        timeout "$PREFIX_LIMIT" "$WINE" wineboot -i >/dev/null 2>&1
        timeout "$PREFIX_LIMIT" "$WINESERVER" -w >/dev/null 2>&1
    )
    WINEPREFIX=$fresh "$WINESERVER" -k >/dev/null 2>&1
    [ -f "$fresh/system.reg" ] || return 1
    mv "$fresh" "$cache_dir/prefix" && echo "$version" >"$stamp"
}

# Copies the prepared prefix. Program images and NLS tables, which Wine only reads, are shared
# as hard links; every other file (the registry, INI files, the spooler's directory, where a
# printer driver is copied over the existing file) gets a copy of its own.
copy_prefix() {
    local from=$1 to=$2
    cp -al "$from" "$to" || return 1
    (
        cd "$from" &&
        find . -type f \( -path './drive_c/windows/system32/spool/*' -o ! \( -iname '*.dll' \
            -o -iname '*.exe' -o -iname '*.sys' -o -iname '*.drv' -o -iname '*.nls' -o -iname '*.ocx' \
            -o -iname '*.acm' -o -iname '*.tlb' -o -iname '*.cpl' -o -iname '*.ax' \) \) -print0 |
            xargs -0 -r cp -p --parents --remove-destination -t "$to"
    )
}

# Starts an X server for this slot on a free display; waits until it is ready.
start_display() {
    local number_file i
    number_file=$(mktemp "$work/display.XXXXXX")
    Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$number_file" >/dev/null 2>&1 &
    xvfb_pid=$!
    for ((i = 0; i < 100; i++)); do
        if grep -q '^[0-9]\+$' "$number_file" 2>/dev/null; then
            export DISPLAY=":$(cat "$number_file")"
            return 0
        fi
        kill -0 "$xvfb_pid" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

# ---------------------------------------------------------------------------------------------
# Scenarios
# ---------------------------------------------------------------------------------------------

# Writes the scenario's lines with its includes expanded.
expand_scenario() {
    local line
    while IFS= read -r line || [ -n "$line" ]; do
        if [[ $line =~ ^include[[:space:]]+(.+)$ ]]; then
            expand_scenario "$scenario_dir/${BASH_REMATCH[1]}"
        else
            printf '%s\n' "$line"
        fi
    done <"$1"
}

# compare_lines EXPECTED ACTUAL regex|exact: prints the first difference, if any.
compare_lines() {
    local mode=$3 i=0 expected actual
    local -a want have
    mapfile -t want <"$1"
    mapfile -t have <"$2"
    for ((i = 0; i < ${#want[@]} || i < ${#have[@]}; i++)); do
        expected=${want[i]-}
        actual=${have[i]-}
        if [ $i -ge ${#have[@]} ]; then
            echo "missing: $expected"
            return
        fi
        if [ $i -ge ${#want[@]} ]; then
            echo "unexpected: $actual"
            return
        fi
        if [ "$mode" = regex ]; then
            [[ $actual =~ ^($expected)$ ]] || { echo "line $((i + 1)) is \"$actual\", expected /$expected/"; return; }
        else
            [ "$actual" = "$expected" ] || { echo "got \"$actual\", expected \"$expected\""; return; }
        fi
    done
}

# Runs one scenario in its own copy of the prefix; prints the reason of a failure, if any.
run_scenario_steps() {
    local name=$1 dir=$2 state=$helpers/cardrw_wine_state.exe difference rc target=$program
    local -a run_env=()
    local line

    # The harness checks itself on a program of its own with known boxes and output.
    [ "$name" = harness ] && target=$helpers/cardrw_wine_msgbox.exe
    expand_scenario "$scenario_dir/$name.scenario" >"$dir/all"
    : >"$dir/boxes.expected"
    : >"$dir/stdout.expected"
    : >"$dir/script"
    while IFS= read -r line; do
        case $line in
        env\ *) run_env+=("${line#env }") ;;
        box\ *) printf '%s\n' "$line" >>"$dir/boxes.expected" ;;
        stdout\ *) printf '%s\n' "${line#stdout }" >>"$dir/stdout.expected" ;;
        *) printf '%s\n' "$line" >>"$dir/script" ;;
        esac
    done <"$dir/all"

    trace "copy prefix"
    copy_prefix "$cache_dir/prefix" "$dir/prefix" || { echo "cannot copy the prefix"; return; }
    export WINEPREFIX=$dir/prefix
    # One server for the whole scenario: Wine forgets key security descriptors when it restarts.
    "$WINESERVER" -p >/dev/null 2>&1

    # Seeding, the run under the message-box reader and the checks, in one process of the prefix.
    trace "seed, run, check"
    env "${run_env[@]}" timeout -k 5 "$COMMAND_LIMIT" "$WINE" "$(winpath "$state")" run \
        "$(winpath "$dir/script")" "$(winpath "$scenario_dir")" \
        "$(winpath "$helpers/cardrw_wine_boxes.exe")" $((PROGRAM_LIMIT + 30)) \
        "$(winpath "$dir/boxes.log")" "$PROGRAM_LIMIT" "$(winpath "$dir/stdout")" \
        "$(winpath "$dir/stderr")" "$(winpath "$target")" >"$dir/state.log" 2>&1
    rc=$?
    case $rc in
    0 | 1) ;;
    2)
        echo "seeding failed: $(head -n 1 "$dir/state.log")"
        return
        ;;
    3)
        echo "the program did not run to its end: $(grep '^run:' "$dir/state.log" | head -n 1)," \
            "last logged: $(tail -n 1 "$dir/boxes.log" 2>/dev/null)"
        return
        ;;
    *)
        echo "the Wine command did not end in time ($rc)"
        return
        ;;
    esac
    if ! grep -qx 'exit=0' "$dir/boxes.log"; then
        echo "the program ended with $(tail -n 1 "$dir/boxes.log"), expected exit=0"
        return
    fi

    grep '^box ' "$dir/boxes.log" >"$dir/boxes.actual"
    difference=$(compare_lines "$dir/boxes.expected" "$dir/boxes.actual" exact)
    [ -z "$difference" ] || { echo "message boxes: $difference"; return; }

    tr -d '\r' <"$dir/stdout" >"$dir/stdout.actual"
    difference=$(compare_lines "$dir/stdout.expected" "$dir/stdout.actual" regex)
    [ -z "$difference" ] || { echo "standard output: $difference"; return; }

    if [ $rc -ne 0 ]; then
        echo "$(grep -c '^FAIL' "$dir/state.log") check(s) failed, first: $(grep -m 1 '^FAIL' "$dir/state.log")"
        return
    fi
}

run_scenario() {
    local name=$1 dir=$work/$1 reason
    mkdir -p "$dir"
    current_prefix=$dir/prefix
    reason=$(run_scenario_steps "$name" "$dir")
    trace "stop"
    stop_wineserver
    trace "stopped"
    if [ -z "$reason" ]; then
        record "$name" PASS
        rm -rf "$dir/prefix"
    else
        record "$name" FAIL "$reason"
    fi
}

# One slot: its own display, then its scenarios one after the other.
run_slot() {
    local name
    trap slot_cleanup EXIT
    trap 'exit 1' TERM INT
    if ! start_display; then
        for name in "$@"; do
            record "$name" FAIL "Xvfb did not start"
        done
        return
    fi
    for name in "$@"; do
        run_scenario "$name"
    done
}

# ---------------------------------------------------------------------------------------------
# Main
# ---------------------------------------------------------------------------------------------

start=$(date +%s)
source tools/ensure-packages.sh
ensure_packages wine64 xvfb >/dev/null || { report FAIL setup "cannot install wine64 and xvfb"; finish "$start"; }

for file in "$program" "$helpers/cardrw_wine_state.exe" "$helpers/cardrw_wine_boxes.exe" \
            "$helpers/cardrw_wine_msgbox.exe"; do
    [ -f "$file" ] || { report FAIL setup "$file is missing (build the Windows target first)"; finish "$start"; }
done

work=$(mktemp -d /tmp/cardrw-wine.XXXXXX)
trap cleanup EXIT
trap 'exit 1' TERM INT HUP
prepare_prefix || { report FAIL setup "the Wine prefix could not be created"; finish "$start"; }

# The harness first, so that a fault of its own shows before the uninstaller's scenarios.
scenarios=(harness)
if [ $# -gt 2 ]; then
    for name in "${@:3}"; do
        [ -f "$scenario_dir/$name.scenario" ] || { report FAIL "$name" "no such scenario"; continue; }
        [ "$name" = harness ] || scenarios+=("$name")
    done
else
    for file in "$scenario_dir"/*.scenario; do
        name=$(basename "$file" .scenario)
        [ "$name" = harness ] || scenarios+=("$name")
    done
fi
for ((slot = 0; slot < SLOTS; slot++)); do
    share=()
    for ((i = slot; i < ${#scenarios[@]}; i += SLOTS)); do
        share+=("${scenarios[i]}")
    done
    run_slot "${share[@]}" &
    slot_pids+=($!)
done
for pid in "${slot_pids[@]}"; do
    wait "$pid"
done
slot_pids=()

for name in "${scenarios[@]}"; do
    if [ -f "$work/$name.result" ]; then
        { read -r verdict; read -r reason; } <"$work/$name.result"
        report "$verdict" "$name" "$reason"
    else
        report FAIL "$name" "the scenario did not report"
    fi
done
finish "$start"
