# What tests/win32/wine-run, scripts/simulate and the other scripts that run
# Wine programs share: Wine's loader check, the template prefix (made once
# per root, under a lock, and marked complete last), copying it into a new
# prefix, removing run prefixes whose owner has gone, and Windows paths.
# Sourced, not run: the caller defines die and sets root, where the template
# lives, before sourcing.

readonly template_format=1
template=$root/template
marker=$template/.kestrova-template

# Wine's 32-bit loader is an i386 ELF program. A 64-bit kernel without 32-bit
# support runs it only through an emulator registered with binfmt_misc.
check_loader() {
    local loader=${WINELOADER:-}
    if [[ -z $loader ]]; then
        for candidate in /usr/lib/wine/wine /usr/lib/i386-linux-gnu/wine/wine \
                         /usr/lib32/wine/wine /opt/wine-stable/bin/wine; do
            [[ -x $candidate ]] && { loader=$candidate; break; }
        done
    fi
    [[ -n $loader ]] || die "Wine's 32-bit loader is missing (install wine32:i386; scripts/install-deps does)"
    local output
    if ! output=$("$loader" --version 2>&1); then
        die "Wine's 32-bit loader $loader cannot run here: ${output:-no output}
wine-run: if this kernel cannot run i386 programs, register qemu-i386-static for i386 ELF
wine-run: files with binfmt_misc (scripts/install-deps sets this up)"
    fi
    wine_version=$output
}
check_loader
template_wanted="format=$template_format $wine_version"

# --- The template --------------------------------------------------------

template_ready() {
    [[ -f $marker && $(<"$marker") == "$template_wanted" ]]
}

build_template() {
    local staging=$root/template.new
    printf 'wine-run: creating the Wine template prefix in %s\n' "$template" >&2
    rm -rf "$staging"
    (
        export WINEPREFIX=$staging
        wineboot -i >/dev/null 2>&1 || exit 1
        wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 || exit 1
        wineserver -w  # the registry reaches its files when the server ends
    ) 9<&- || { rm -rf "$staging"; return 1; }
    [[ -f $staging/system.reg && -f $staging/user.reg && -d $staging/drive_c/windows ]] ||
        { rm -rf "$staging"; return 1; }
    rm -f "$staging/wineserver"
    printf '%s\n' "$template_wanted" >"$staging/.kestrova-template"
    rm -rf "$template"
    mv "$staging" "$template"
}

# Makes the template unless it is ready; false if it could not.
ensure_template() {
    template_ready && return 0
    (
        flock 9
        template_ready || build_template
    ) 9>"$root/template.lock"
}

# Copies directory $1 into $2 (which exists), entry by entry, leaving out
# the old server's socket directory and the template's mark; the folders
# holding Wine's own DLLs are hard-linked instead of copied (1.2 GB, never
# written during a run).
copy_prefix_dir() {
    local source=$1 target=$2 entry name
    for entry in "$source"/* "$source"/.[!.]*; do
        [[ -e $entry || -L $entry ]] || continue
        name=${entry##*/}
        case $name in
            wineserver | .kestrova-template) continue ;;
            drive_c | windows)
                if [[ -d $entry && ! -L $entry ]]; then
                    mkdir -p "$target/$name" || return 1
                    copy_prefix_dir "$entry" "$target/$name" || return 1
                    continue
                fi
                ;;
        esac
        if [[ $source == */drive_c/windows && $name =~ ^(system32|syswow64|winsxs)$ ]]; then
            cp -al "$entry" "$target/" || return 1
        else
            cp -a --reflink=auto "$entry" "$target/" || return 1
        fi
    done
}

# Fills the new prefix $1 with a copy of the template, which no one rebuilds
# meanwhile.
copy_template() {
    (
        flock -s 9
        copy_prefix_dir "$template" "$1"
    ) 9<"$root/template.lock"
}

# A run prefix is named after the process that owns it ($root/run/PID.*):
# one whose owner has gone was left by a run killed before it could clean
# up. Ends its Wine server and removes it.
remove_stale_prefixes() {
    local stale owner
    for stale in "$root"/run/*; do
        [[ -d $stale ]] || continue
        owner=${stale##*/}
        owner=${owner%%.*}
        [[ $owner =~ ^[0-9]+$ ]] || continue
        kill -0 "$owner" 2>/dev/null && continue
        WINEPREFIX=$stale wineserver -k >/dev/null 2>&1
        rm -rf "$stale"
    done
}

# Windows path of a Linux path through drive Z:, which maps to /.
windows_path() {
    local absolute
    absolute=$(realpath -m -- "$1")
    printf 'Z:%s' "${absolute//\//\\}"
}
