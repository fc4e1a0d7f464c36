# What check-node-package and scripts/bench-node share: the packed npm
# package installed into an empty folder with `npm install <file>`, as an
# integrator would, offline, for Windows on x64 or ia32, koffi and its
# Windows binaries coming from the cache that scripts/install-windows-node
# fills. Sourced, not run: the caller sets node_dir (that cache folder).

# pack_koffi DIR: koffi and its two Windows binaries as npm archives in DIR.
pack_koffi() {
    koffi_version=$(sed -nE 's/.*"version": *"([^"]+)".*/\1/p' "$node_dir/node_modules/koffi/package.json")
    koffi_archives=$1
    mkdir -p "$koffi_archives" &&
        (cd "$koffi_archives" && npm pack --silent "$node_dir/node_modules/koffi" \
            "$node_dir/node_modules/@koromix/koffi-win32-x64" \
            "$node_dir/node_modules/@koromix/koffi-win32-ia32" >/dev/null)
}

# install_package TGZ FOLDER CPU: TGZ installed into the empty FOLDER for
# Windows on CPU (x64 or ia32), koffi resolved to the archives of pack_koffi;
# npm's output in FOLDER/npm.log.
install_package() {
    local tgz=$1 folder=$2 cpu=$3
    mkdir -p "$folder"
    cat >"$folder/package.json" <<JSON
{ "private": true,
  "overrides": { "koffi": "file:$koffi_archives/koffi-$koffi_version.tgz",
                 "@koromix/koffi-win32-$cpu": "file:$koffi_archives/koromix-koffi-win32-$cpu-$koffi_version.tgz" } }
JSON
    # koffi's install script only checks that its binary loads, which it
    # cannot on Linux; Node.js for Windows loads it later.
    (cd "$folder" && npm install --offline --no-audit --no-fund --ignore-scripts --os win32 --cpu "$cpu" \
        --cache "$folder/.npm-cache" "$tgz") >"$folder/npm.log" 2>&1
}
