# Shared by the scripts: installs the Debian packages (as root, or through sudo) and builds one configuration.
# Usage inside a script: . "$(dirname "$0")/common.sh"

ROOT="$(cd "$(dirname "$0")/.." && pwd)"

# Skipped in a script started by one that has installed them already (fuzz/run.sh under test.sh).
install_deps() {
    [ -z "${BRINDLEMOOR_DEPS_INSTALLED:-}" ] || return 0
    if [ "$(id -u)" -eq 0 ]; then
        "$ROOT/scripts/install-deps.sh"
    else
        sudo "$ROOT/scripts/install-deps.sh"
    fi
    export BRINDLEMOOR_DEPS_INSTALLED=1
}

# build_tree DIR [cmake options...]: configures DIR with the options (again, if it exists, so that they hold) and
# builds everything in it.
build_tree() {
    dir="$1"
    shift
    cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir" --parallel
}
