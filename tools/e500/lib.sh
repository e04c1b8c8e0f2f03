# Shell helpers shared by the e500 build scripts (sourced, not run).

# The cache root: builds of the kernel and busybox live outside the tree.
E500_CACHE=${E500_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/bootmgr-e500}
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
