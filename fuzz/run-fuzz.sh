#!/bin/sh
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) into their own folder and
# runs each for a while. Usage: run-fuzz.sh SOURCE_DIR BUILD_DIR [SECONDS [TARGET...]]
# (no TARGET: every NAME_fuzz.cpp). The corpora grow in BUILD_DIR/corpus/NAME.
# An input that takes more than FUZZ_TIMEOUT seconds (default 5) or makes the process pass
# FUZZ_RSS_MB (default 512) is a finding: libFuzzer stops and keeps it as timeout-* or oom-*.
# Exit 77 when clang or its fuzzer runtime is missing.
set -eu
src=$1
build=$2
seconds=${3:-5}
[ $# -ge 3 ] && shift 3 || shift $#
timeout=${FUZZ_TIMEOUT:-5}
rss_mb=${FUZZ_RSS_MB:-512}

if ! command -v clang++ >/dev/null 2>&1 || ! command -v clang >/dev/null 2>&1; then
    echo "clang not found: fuzz runs skipped"
    exit 77
fi
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' > "$probe/p.cpp"
if ! clang++ -fsanitize=fuzzer "$probe/p.cpp" -o "$probe/p" >/dev/null 2>&1; then
    echo "clang has no libFuzzer runtime: fuzz runs skipped"
    exit 77
fi

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DVANTORRA_SANITIZE=ON -DVANTORRA_FUZZ=ON \
        -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link \
        -DVANTORRA_BIN_DIR="$build/bin" >/dev/null
fi
if [ $# -gt 0 ]; then
    targets=$(for name in "$@"; do echo "${name%_fuzz}_fuzz"; done)
else
    targets=$(cd "$src/fuzz" && ls *_fuzz.cpp | sed 's/\.cpp$//')
fi
cmake --build "$build" --target $targets -j"${FUZZ_JOBS:-2}"

failed=""
# A smaller quarantine than ASan's 256 MB keeps freed buffers from counting against the
# memory limit, so an oom-* finding is memory the code itself holds.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:quarantine_size_mb=32
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for fuzz_target in $targets; do
    target=${fuzz_target%_fuzz}
    corpus="$build/corpus/$target"
    mkdir -p "$corpus"
    seeds=""
    [ -d "$src/fuzz/corpus/$target" ] && seeds="$src/fuzz/corpus/$target"
    # A target's token list, when it has one, steers mutations towards its syntax.
    dict=""
    [ -f "$src/fuzz/$target.dict" ] && dict="-dict=$src/fuzz/$target.dict"
    cd "$build"
    # A finding in one target does not keep the others from running; the run fails at the end.
    if ! "$build/bin/${target}_fuzz" -max_total_time="$seconds" -timeout="$timeout" \
        -rss_limit_mb="$rss_mb" -print_final_stats=1 $dict "$corpus" $seeds; then
        failed="$failed $target"
    fi
done
if [ -n "$failed" ]; then
    echo "fuzz findings (kept in $build):$failed"
    exit 1
fi
