#!/bin/sh
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for a bounded time (default 60 s):
#   fuzz/run.sh [seconds]
# Each target's corpus, fuzz/corpus/<name>/, starts from the committed seeds in fuzz/seeds/<name>/ and keeps
# what earlier runs found; the inputs of fixed crashes in fuzz/regressions/<name>/ are run as well. A crash, a
# leak, a time-out or a broken property fails the script; its input is left in fuzz/artifacts/<name>/.
set -eu
. "$(dirname "$0")/../scripts/common.sh"
install_deps

seconds="${1:-60}"
case "$seconds" in
    '' | *[!0-9]* | 0) echo "usage: $0 [seconds]  (a whole number above 0)" >&2; exit 2 ;;
esac

# Every target has a seed directory of its name (its replay test fails without one).
targets=""
for seeds in "$ROOT"/fuzz/seeds/*/; do targets="$targets $(basename "$seeds")"; done
dir="$ROOT/build-fuzz"
cxx="$(command -v clang++-14 || command -v clang++)"
cc="$(command -v clang-14 || command -v clang)"
# A tree configured with another compiler would lose the fuzz option when CMake resets its cache.
if [ -f "$dir/CMakeCache.txt" ] && ! grep -Eq "^CMAKE_CXX_COMPILER:[A-Z]+=$cxx\$" "$dir/CMakeCache.txt"; then
    rm -rf "$dir"
fi
cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
    -DBRINDLEMOOR_FUZZ=ON >/dev/null
fuzzers=""
for name in $targets; do fuzzers="$fuzzers ${name}_fuzz"; done
# shellcheck disable=SC2086 # one word per target
cmake --build "$dir" --parallel --target $fuzzers

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

passed=0
failures=0
failed=""
for name in $targets; do
    corpus="$ROOT/fuzz/corpus/$name"
    artifacts="$ROOT/fuzz/artifacts/$name"
    regressions="$ROOT/fuzz/regressions/$name"
    log="$dir/$name.log"
    mkdir -p "$corpus" "$artifacts"
    cp "$ROOT/fuzz/seeds/$name"/* "$corpus/"
    extra=""
    [ -d "$regressions" ] && extra="$regressions"
    echo "== fuzz $name for ${seconds}s"
    # The first directory collects new inputs; the regressions are only read. Any input taking over 30 s is
    # a hang.
    # shellcheck disable=SC2086 # $extra is empty or one directory
    if "$dir/${name}_fuzz" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" "$corpus" $extra >"$log" 2>&1; then
        grep -E '^Done' "$log" || true
        passed=$((passed + 1))
    else
        tail -n 60 "$log"
        echo "fuzz $name FAILED: its input is in $artifacts/; replay it with $dir/${name}_fuzz <file>," \
            "and once fixed keep it in fuzz/regressions/$name/" >&2
        failures=$((failures + 1))
        failed="$failed $name"
    fi
done
echo "fuzz: $passed passed, $failures failed"
[ -z "$failed" ] || { echo "failed fuzz targets:$failed" >&2; exit 1; }
