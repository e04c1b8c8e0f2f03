# Shell helpers shared by the e500 build scripts (sourced, not run).

# The cache root: builds of the kernel and busybox live outside the tree.
E500_CACHE=${E500_CACHE:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/bootmgr-e500}
E500_CROSS=powerpc-linux-gnu-
E500_JOBS=${E500_JOBS:-2}

# e500_key TEXT FILE...: a short hash of TEXT and the files' contents, so a
# cached build is used only when its inputs and tool versions are the same.
e500_key() {
    text=$1
    shift
    { printf '%s\n' "$text"; cat "$@"; "${E500_CROSS}gcc" --version | head -n 1; } |
        sha256sum | cut -c1-16
}

# e500_package_version NAME: the installed version of a Debian package.
e500_package_version() {
    dpkg-query -W -f='${Version}' "$1"
}

e500_say() {
    echo "e500: $*" >&2
}

# e500_fetch_source PACKAGE VERSION WORK: fetches and unpacks Debian's source
# package into WORK/PACKAGE, through an apt configuration of our own whose
# sources are the machine's Debian sources as deb-src entries.
e500_fetch_source() {
    fs_pkg=$1
    fs_version=$2
    fs_work=$3
    fs_apt=$fs_work/apt
    mkdir -p "$fs_apt/sources.list.d" "$fs_apt/lists/partial" "$fs_work/download"
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        sed 's/^Types:.*$/Types: deb-src/' "$f" > "$fs_apt/sources.list.d/$(basename "$f")"
    done
    if [ -f /etc/apt/sources.list ]; then
        sed -n 's/^deb \(.*\)$/deb-src \1/p' /etc/apt/sources.list > "$fs_apt/sources.list.d/main.list"
    fi
    set -- -q -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$fs_apt/sources.list.d" \
        -o Dir::State::Lists="$fs_apt/lists" -o Dir::Cache="$fs_apt"
    e500_say "fetching Debian's $fs_pkg source package ($fs_version)"
    apt-get "$@" update >&2
    (cd "$fs_work/download" && apt-get "$@" source --download-only "$fs_pkg=$fs_version" >&2)
    dpkg-source -x "$fs_work/download/${fs_pkg}_"*.dsc "$fs_work/$fs_pkg" >&2
}

# e500_source_version PACKAGE: the source version of an installed package
# (a binary-only rebuild suffix dropped).
e500_source_version() {
    e500_package_version "$1" | sed 's/+b[0-9]*$//'
}
