#!/bin/bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each for
# the given number of seconds (default 60), starting from the seed corpora in
# fuzz/corpus. Any crash, leak or sanitizer report fails the run; the input
# that caused it is left in build-fuzz/fuzz/ as crash-*, leak-* or timeout-*.
# For a longer run: scripts/fuzz.sh 3600 (new inputs collect in build-fuzz/corpus).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

# The release's own clang: 14 on Debian 12, 19 on Debian 13, and on another
# release the one its clang package stands for.
. /etc/os-release
case ${VERSION_ID:-} in
12) llvm=14 ;;
13) llvm=19 ;;
*) llvm=$(apt-cache depends clang 2>/dev/null | sed -n 's/^ *Depends: clang-\([0-9]*\)$/\1/p' | head -n 1) ;;
esac
[ -n "$llvm" ] || { echo "fuzz: no clang version known for this release" >&2; exit 1; }
packages=()
for package in "clang-$llvm" "libclang-rt-$llvm-dev"; do
    [ "$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null)" = "install ok installed" ] ||
        packages+=("$package")
done
if [ ${#packages[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "Install the fuzzing tools as root: apt-get install -y ${packages[*]}" >&2
        exit 1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${packages[@]}"
fi
scripts/install-deps.sh

build=build-fuzz
# A configure that failed (a package missing) leaves a cache without build.ninja.
if [ ! -f "$build/build.ninja" ]; then
    CC=clang-$llvm CXX=clang++-$llvm cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DBUILD_TESTING=OFF -DKRV_FUZZ=ON \
        -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all" \
        -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all" \
        -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
        -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined"
fi
cmake --build "$build" --parallel --target fuzz_cardrecord fuzz_message

export ASAN_OPTIONS="detect_leaks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
status=0
for target in cardrecord message; do
    corpus="$build/corpus/$target"
    mkdir -p "$corpus"
    echo "== fuzz_$target for $seconds s"
    (cd "$build/fuzz" && "./fuzz_$target" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 "../../$corpus" "../../fuzz/corpus/$target") ||
        status=1
done
exit $status
