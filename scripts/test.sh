#!/bin/sh
# Builds lavrosk-daemon and runs every test: a plain build with the whole
# suite and a leak check under valgrind, the bus-facing tests on dbus-broker,
# the suite again under
# AddressSanitizer + UndefinedBehaviorSanitizer and under ThreadSanitizer, and
# each fuzz target for a bounded time. Installs missing Debian packages.
set -eu
cd "$(dirname "$0")/.."
./scripts/deps.sh test

jobs=$(nproc)
started=$(date +%s)
stage() { echo "== $1 (at $(($(date +%s) - started))s)"; }
fuzz_seconds=${FUZZ_SECONDS:-20}
failed=0
reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT
# Some tests run a daemon as another user: it must be able to read the
# suppressions and write its reports here too.
chmod 1777 "$reports"
cp tests/tsan.supp "$reports/tsan.supp"
chmod 644 "$reports/tsan.supp"

configure_and_build() { # DIR [cmake options...]
    dir=$1
    shift
    # Fresh each time: an option cached by an earlier configure (a sanitizer,
    # say) would otherwise stay and quietly drop tests. Objects are kept.
    rm -rf "$dir/CMakeCache.txt" "$dir/CMakeFiles"
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
    ninja -C "$dir"
}

# Every sanitizer report, from a test or from a daemon a test started, lands in
# a file under $reports; a report anywhere fails the run. A failed test shows
# them too: a daemon's report often is why it failed.
check_reports() { # NAME
    found=""
    for report in "$reports"/asan.* "$reports"/ubsan.* "$reports"/tsan.[0-9]*; do
        if [ -e "$report" ]; then
            found="$found $report"
        fi
    done
    if [ -n "$found" ]; then
        echo "== $1 reported problems:"
        # shellcheck disable=SC2086
        cat $found
        exit 1
    fi
    if [ "$failed" = 1 ]; then
        exit 1
    fi
}

stage "plain build, all tests"
configure_and_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir build --output-on-failure -j "$jobs"

stage "the bus-facing tests on dbus-broker"
LAVROSK_TEST_BUS=broker ctest --test-dir build --output-on-failure -j "$jobs" \
    -R '^(tst_startup|tst_bus|tst_bus_refused|tst_runner)$'

stage "AddressSanitizer + UndefinedBehaviorSanitizer"
configure_and_build build-asan -DCMAKE_BUILD_TYPE=Debug -DLAVROSK_SANITIZE=address \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
ASAN_OPTIONS="log_path=$reports/asan:detect_leaks=0" \
UBSAN_OPTIONS="log_path=$reports/ubsan:print_stacktrace=1" \
    ctest --test-dir build-asan --output-on-failure -j "$jobs" || failed=1
check_reports "ASan/UBSan"

stage "ThreadSanitizer"
configure_and_build build-tsan -DCMAKE_BUILD_TYPE=Debug -DLAVROSK_SANITIZE=thread \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
# Qt and libdbus are not instrumented: their own accesses are left out, ours
# are all checked (tests/tsan.supp is there for a report wholly inside them;
# it holds none today).
TSAN_OPTIONS="log_path=$reports/tsan:ignore_noninstrumented_modules=1:suppressions=$reports/tsan.supp" \
    ctest --test-dir build-tsan --output-on-failure -j "$jobs" || failed=1
check_reports "TSan"

stage "fuzzing, ${fuzz_seconds}s per target"
configure_and_build build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLAVROSK_FUZZ=ON \
    -DBUILD_TESTING=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
for name in fuzz_listing fuzz_split fuzz_app_name fuzz_argv; do
    target=build-fuzz/tests/fuzz/$name
    corpus=$(mktemp -d)
    cp tests/fuzz/corpus/"$name"/* "$corpus"/ 2>/dev/null || true
    if ! "$target" -max_total_time="$fuzz_seconds" -print_final_stats=1 "$corpus" \
        >"$reports/fuzz.log" 2>&1; then
        cat "$reports/fuzz.log"
        echo "== $name failed"
        exit 1
    fi
    grep -E "^stat::number_of_executed_units" "$reports/fuzz.log" | sed "s/^/$name: /"
    rm -rf "$corpus" "$reports/fuzz.log"
done
stage "all passed"
