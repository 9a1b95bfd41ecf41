# Sourced by the package tests (scripts/package-test.sh, scripts/package-boot-test.sh): the package
# they install and the fresh Debian 12 root they install it into.
#
# fresh_root_build_package: builds the package with scripts/package.sh (lintian included) and sets
#   `deb` to its path. FRESH_ROOT_OUT is build-deb/, which keeps the apt cache between runs.
# fresh_root_make ROOT [mmdebstrap options...]: makes ROOT with mmdebstrap --variant=apt from the
#   Debian entries of this machine's apt sources; packages come from and go back to the cache in
#   build-deb/apt-cache/, and the given options (--include, hooks) run in between.

FRESH_ROOT_OUT="$PWD/build-deb"

fresh_root_build_package() {
    mkdir -p "$FRESH_ROOT_OUT"
    scripts/package.sh | tee "$FRESH_ROOT_OUT/package.out"
    deb=$(tail -1 "$FRESH_ROOT_OUT/package.out")
}

# The Debian entries of this machine's apt sources (one-line and deb822 alike), and nothing of
# third-party repositories that the root could not reach.
fresh_root_sources() {
    local sources="$1" file
    : >"$sources"
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        case "$file" in
            *.sources) awk -v RS= -v ORS='\n\n' '/(^|\n)URIs:[^\n]*\/debian/' "$file" >>"$sources" ;;
            *) grep -E '^deb .*/debian' "$file" >>"$sources" || true ;;
        esac
    done
    if [ ! -s "$sources" ]; then
        echo "no Debian mirror found in /etc/apt/sources.list*" >&2
        return 1
    fi
}

fresh_root_make() {
    local root="$1" cache="$FRESH_ROOT_OUT/apt-cache" sources="$FRESH_ROOT_OUT/debian.sources"
    shift
    rm -rf "$root"
    mkdir -p "$cache"
    fresh_root_sources "$sources"
    mmdebstrap --variant=apt --skip=essential/unlink \
        --setup-hook='mkdir -p "$1"/var/cache/apt/archives/' \
        --setup-hook="sync-in '$cache' /var/cache/apt/archives/" \
        "$@" \
        --customize-hook="sync-out /var/cache/apt/archives '$cache'" \
        bookworm "$root" "$sources"
}
