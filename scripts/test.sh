#!/bin/sh
# Installs what the build needs, then builds and runs every test (unit and end-to-end) through CTest three
# times: a plain build, one with AddressSanitizer and UndefinedBehaviorSanitizer, and one with ThreadSanitizer;
# then runs each fuzz target for a short while (fuzz/run.sh).
# `./scripts/test.sh plain thread` (any of `plain`, `address`, `thread`, `fuzz`) runs only those.
set -eu
. "$(dirname "$0")/common.sh"
install_deps

# A test that asks for an impossible allocation expects an exception, not the sanitizer's abort.
export ASAN_OPTIONS="allocator_may_return_null=1:detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="allocator_may_return_null=1:halt_on_error=1:second_deadlock_stack=1"

# run_build plain|address|thread: the plain build lives in build/, a sanitizer build in build-<sanitizer>/.
run_build() {
    case "$1" in
        plain) sanitizer="" dir="$ROOT/build" ;;
        *) sanitizer="$1" dir="$ROOT/build-$1" ;;
    esac
    echo "== $1 build"
    build_tree "$dir" -DBRINDLEMOOR_SANITIZER="$sanitizer" -DBRINDLEMOOR_WERROR=ON -DBRINDLEMOOR_BENCH=ON
    ctest --test-dir "$dir" --output-on-failure --parallel "$(nproc)"
}

for build in ${*:-plain address thread fuzz}; do
    case "$build" in
        plain | address | thread) run_build "$build" ;;
        fuzz) echo "== fuzz build"; "$ROOT/fuzz/run.sh" 10 ;;
        *) echo "unknown build '$build' (plain, address, thread, fuzz)" >&2; exit 2 ;;
    esac
done
