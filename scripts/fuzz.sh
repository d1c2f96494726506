#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) in build/fuzz and runs one target for the
# given number of seconds on one core.
#
#   scripts/fuzz.sh TARGET SECONDS [--merge] [LIBFUZZER_OPTION...]
#
# e.g. -malloc_limit_mb=512 reports any single allocation above 512 MB, which
# for an input of at most 64 KB means a decompression bomb.
#
# The run works on a scratch corpus (build/fuzz/corpus/TARGET) that starts
# from the seeds in fuzz/corpus/TARGET and is kept between runs, so the
# repository's corpus stays small. --merge afterwards adds to fuzz/corpus
# only the inputs that reach code the seeds do not. Crashes, timeouts and
# broken properties are saved in fuzz/crashes/TARGET, where the normal test
# suite replays them.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh

targets="profile_json settings_blobs cli_args exif_reader image_loader"
if [ $# -lt 2 ] || [[ ! " $targets " =~ " $1 " ]] || [[ ! "$2" =~ ^[0-9]+$ ]]; then
    echo "usage: scripts/fuzz.sh TARGET SECONDS [--merge] [LIBFUZZER_OPTION...]" >&2
    echo "targets: $targets" >&2
    exit 2
fi
target=$1
seconds=$2
shift 2
merge=no
options=()
for option in "$@"; do
    if [ "$option" = --merge ]; then merge=yes; else options+=("$option"); fi
done

calmora_packages+=(clang-14 libclang-rt-14-dev)
calmora_install_missing

build=build/fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++-14 -DCALMORA_FUZZ=ON \
    -DCALMORA_BUILD_TESTS=OFF -DCALMORA_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target "fuzz_$target"
program=$(realpath "$build/fuzz/fuzz_$target")

seeds=$PWD/fuzz/corpus/$target
crashes=$PWD/fuzz/crashes/$target
scratch=$PWD/$build/corpus/$target
mkdir -p "$scratch" "$crashes"
cp -n "$seeds"/* "$scratch"/

# Qt's own warnings about damaged files would drown libFuzzer's report.
export QT_LOGGING_RULES='*=false'
export ASAN_OPTIONS=${ASAN_OPTIONS:-allocator_may_return_null=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/fuzz/lsan.supp}
dict=()
[ -f "fuzz/$target.dict" ] && dict=(-dict="$PWD/fuzz/$target.dict")
cd "$build"
status=0
"$program" "$scratch" "${dict[@]}" -jobs=1 -workers=1 -max_total_time="$seconds" -timeout=20 \
    -rss_limit_mb=3072 -max_len=65536 -print_final_stats=1 \
    -artifact_prefix="$crashes/" "${options[@]}" || status=$?
log=fuzz-$target.log
mv fuzz-0.log "$log" 2>/dev/null || true
tail -n 30 "$log" 2>/dev/null || true
echo "corpus: $(ls "$scratch" | wc -l) inputs in $scratch"
echo "crashes: $(ls "$crashes" | wc -l) inputs in $crashes"

if [ "$merge" = yes ]; then
    "$program" -merge=1 "$seeds" "$scratch" >/dev/null 2>&1
    echo "merged: $(ls "$seeds" | wc -l) inputs in $seeds"
fi
rmdir "$crashes" 2>/dev/null || true
exit $status
