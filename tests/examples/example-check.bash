# What the checks of the examples that run under Wine share
# (check-node-example, check-csharp-example): the DLLs of the release
# package, a fresh prefix per run in which the package's phone simulator
# handles the "dial" action and the package's watch tool is subscribed
# beside the example, and what the example and the watch must show for the
# call placed to a name with accents.
# Sourced, not run: the caller sets checker (its name, for messages) and
# repo (the repository's root) first.
#
# Environment: KESTROVA_WINE_ROOT, where the template prefix lives (default
# build/win32/wine, shared with the tests); KESTROVA_KEEP_PREFIX=1 keeps each
# run's prefix and files and says where; WINEDEBUG, -all unless set.

root=${KESTROVA_WINE_ROOT:-$repo/build/win32/wine}
export WINEDEBUG=${WINEDEBUG:--all}
unset WINEARCH
# Wine takes the ANSI code page from the locale: 1252 here.
export LC_ALL=C.UTF-8

die() {
    printf '%s: %s\n' "$checker" "$*" >&2
    exit 1
}

mkdir -p "$root/run" || die "cannot create $root/run"
# shellcheck source-path=SCRIPTDIR source=../win32/wine-prefix.bash
source "$repo/tests/win32/wine-prefix.bash"
ensure_template || die "could not create the template prefix in $template"

# Only a name sent in the ANSI code page reads back right there.
name="Zoë Ärger"
number="+1 555 0100"

# x86 or x64, from the PE header's machine field.
architecture() {
    local header machine
    header=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
    machine=$(od -An -tx2 -j$((header + 4)) -N2 "$1" | tr -d ' ')
    case $machine in
        014c) echo x86 ;;
        8664) echo x64 ;;
        *) return 1 ;;
    esac
}

expected_results="kestrovaAddObserver (subscribe)    -> 0 (ok)
kestrovaDial                       -> 0 (ok)
kestrovaHookOff (take the line)    -> 0 (ok)
kestrovaHangUp                     -> 0 (ok)
kestrovaRemoveObserver             -> 0 (ok)"
party="\"$name\", \"$number\""
expected_notifications="    phone says: call \"dialling\", $party
    phone says: call \"ringing\", $party
    phone says: call \"connected\", $party
    phone says: call \"ended\", $party, \"local\""
party_json="\"$name\",\"$number\""
expected_watched="\"name\":\"call\",\"arguments\":[\"dialling\",$party_json]}
\"name\":\"call\",\"arguments\":[\"ringing\",$party_json]}
\"name\":\"call\",\"arguments\":[\"connected\",$party_json]}
\"name\":\"call\",\"arguments\":[\"ended\",$party_json,\"local\"]}"

# Compares what was seen with what was wanted; prints both when they differ.
same() {
    local what=$1 wanted=$2 seen=$3
    [[ $seen == "$wanted" ]] && return 0
    printf '%s differ.\n--- wanted\n%s\n--- seen\n%s\n---\n' "$what" "$wanted" "$seen"
    return 1
}

# The DLLs to run against, into dlls: the arguments, or, given the release
# zip alone, each edition's DLL in it, unpacked into $unpacked.
find_dlls() {
    dlls=("$@")
    [[ $# -ge 1 ]] || die "usage: $checker DLL... | $checker PACKAGE.zip"
    [[ $# == 1 && $1 == *.zip ]] || return 0
    local zip
    unpacked=$(mktemp -d) || die "cannot make a folder to unpack into"
    trap 'rm -rf "$unpacked"' EXIT
    zip=$(realpath -- "$1") || die "no such file: $1"
    (cd "$unpacked" && cmake -E tar xf "$zip") || die "cannot unpack $1"
    # The editions this machine's Wine runs; the ARM64 one has its own tests.
    mapfile -t dlls < <(find "$unpacked" \( -path '*/x86/bin/KestrovaAPI.dll' -o \
                                            -path '*/x64/bin/KestrovaAPI.dll' \) | LC_ALL=C sort)
    [[ ${#dlls[@]} -gt 0 ]] || die "no x86/bin or x64/bin KestrovaAPI.dll in $1"
}

# new_prefix DLL: for a run against DLL, its architecture (arch), the
# package's folder (package), a fresh prefix (prefix, now WINEPREFIX) and a
# folder for the run's files (work).
new_prefix() {
    arch=$(architecture "$1") || { echo "not a Windows DLL for x86 or x64: $1"; return 1; }
    package=$(cd "$(dirname "$1")/../.." && pwd)
    prefix=$(mktemp -d "$root/run/$$.XXXXXX") || return 1
    work=$prefix.out
    mkdir -p "$work"
    copy_template "$prefix" || { echo "could not copy the template prefix"; return 1; }
    export WINEPREFIX=$prefix
}

# A crash ends the program at once instead of starting Wine's debugger,
# which can hang past a minute when .NET stops: on a crash, the AeDebug
# Debugger runs, in the 32-bit and in the 64-bit registry view. No server
# runs in the new prefix yet, so its registry file is edited directly.
end_crashes_at_once() {
    local registry=$prefix/system.reg debugger='"Debugger"="winedbg --auto %ld %ld"'
    if [[ $(grep -cxF "$debugger" "$registry") == 2 ]]; then
        sed -i "s|^$debugger\$|\"Debugger\"=\"cmd /c exit\"|" "$registry"
        return
    fi
    local view
    for view in 32 64; do
        wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger \
            /d 'cmd /c exit' /f /reg:$view >/dev/null 2>&1 ||
            { echo "could not set the AeDebug debugger"; return 1; }
    done
}

# Registers the package's simulator for "dial" in the prefix and starts the
# watch of the run's architecture, which starts the simulator through the
# library; returns once the watch has subscribed. False, saying why, when
# something did not start: the example may run anyway, to show what it does.
# Output goes to files throughout: Node.js fails on a pipe under Wine
# (EBADF), and Wine's server keeps the first program's output open.
start_phone() {
    local sim=$package/tools/kestrova-phone-sim.exe watch=$package/tools/$arch/kestrova-watch.exe
    [[ -f $sim && -f $watch ]] || { echo "the package in $package lacks its tools"; return 1; }
    wine "$sim" register >"$work/register.txt" 2>&1 </dev/null ||
        { cat "$work/register.txt"; echo "could not register the simulator"; return 1; }
    wine "$watch" --json --wait 60 >"$work/watch.txt" 2>"$work/watch-errors.txt" </dev/null &
    for _ in $(seq 120); do
        wine "$sim" status >"$work/status.txt" 2>&1 </dev/null
        grep -q 'KestrovaObserver\.' "$work/status.txt" && return 0
        sleep 0.5
    done
    cat "$work/status.txt" "$work/watch-errors.txt"
    echo "the watch did not subscribe"
    return 1
}

# Ends the simulator, the watch and the prefix's server.
stop_phone() {
    wine "$package/tools/kestrova-phone-sim.exe" quit >/dev/null 2>&1 </dev/null
    wineserver -k >/dev/null 2>&1
    wait
    wineserver -w >/dev/null 2>&1
}

remove_prefix() {
    if [[ ${KESTROVA_KEEP_PREFIX:-} == 1 ]]; then
        echo "kept the prefix $prefix and the run's files in $work"
    else
        rm -rf "$prefix" "$work"
    fi
    unset WINEPREFIX
}

# check_call OUTPUT: the example's output for the call to $name: every
# result, every notification in order, and its other lines.
check_call() {
    local output=$1 ok=0
    same "The example's results" "$expected_results" "$(grep -e ' -> ' <<<"$output")" || ok=1
    same "The example's notifications" "$expected_notifications" \
        "$(grep -e '^    phone says: ' <<<"$output")" || ok=1
    same "The example's other lines" "KestrovaAPI demo: calling $name at $number

Done." "$(grep -v -e ' -> ' -e '^    phone says: ' <<<"$output" | cat -s)" || ok=1
    return $ok
}

# The notifications as the watch read them: the call's four, in order.
check_watched() {
    same "The watch's notifications" "$expected_watched" \
        "$(sed 's/^{"time":"[^"]*",//' "$work/watch.txt")"
}
