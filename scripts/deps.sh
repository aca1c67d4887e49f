# Installs the Debian packages the build and the tests need, when missing.
# Sourced by scripts/demo and scripts/test.

need_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if ! command -v apt-get >/dev/null 2>&1; then
        echo "watchd: missing packages: ${missing[*]}; install them with your package manager" >&2
        exit 1
    fi
    if [ "$(id -u)" -ne 0 ]; then
        echo "watchd: missing packages: ${missing[*]}" >&2
        echo "watchd: run as root, or first: sudo apt-get install ${missing[*]}" >&2
        exit 1
    fi
    echo "watchd: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
}

BUILD_PACKAGES=(cmake ninja-build g++ pkg-config libcjson-dev psmisc tar gzip)
