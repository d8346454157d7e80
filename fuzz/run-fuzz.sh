#!/bin/sh
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) into their own folder and
# runs each for a while. Usage: run-fuzz.sh SOURCE_DIR BUILD_DIR [SECONDS]
# Exit 77 when clang or its fuzzer runtime is missing.
set -eu
src=$1
build=$2
seconds=${3:-5}

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
targets=$(cd "$src/fuzz" && ls *_fuzz.cpp | sed 's/\.cpp$//')
cmake --build "$build" --target $targets -j2

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
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
    "$build/bin/${target}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 $dict "$corpus" $seeds
done
