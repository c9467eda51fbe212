#!/bin/sh
# Installs what the build needs, builds, and runs every test (unit and end-to-end) through CTest.
set -eu
. "$(dirname "$0")/common.sh"
install_deps
build_tree "$ROOT/build"
ctest --test-dir "$ROOT/build" --output-on-failure --parallel "$(nproc)"
