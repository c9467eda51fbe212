# Shared by the scripts: installs the Debian packages (as root, or through sudo) and builds one configuration.
# Usage inside a script: . "$(dirname "$0")/common.sh"

ROOT="$(cd "$(dirname "$0")/.." && pwd)"

install_deps() {
    if [ "$(id -u)" -eq 0 ]; then
        "$ROOT/scripts/install-deps.sh"
    else
        sudo "$ROOT/scripts/install-deps.sh"
    fi
}

# build_tree DIR [cmake options...]: configures (once) and builds everything in DIR.
build_tree() {
    dir="$1"
    shift
    cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir" --parallel
}
