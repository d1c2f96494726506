#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine (as root) and runs every test: the whole
# suite in an optimised build, again under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the threaded code (the tile driver's pool,
# the worker thread, the document, the learned-profile store) under ThreadSanitizer.
# Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh

calmora_install_missing

echo "== Build and test (RelWithDebInfo)"
calmora_build build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo
QT_QPA_PLATFORM=offscreen ctest --test-dir build/release --output-on-failure -j2

echo "== Everything under AddressSanitizer + UndefinedBehaviorSanitizer"
calmora_build build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCALMORA_BUILD_BENCH=OFF \
    -DCALMORA_SANITIZE=address,undefined
# Qt and the image plugins keep their caches until exit; leaks are not what
# this run looks for.
ASAN_OPTIONS=detect_leaks=0 QT_QPA_PLATFORM=offscreen \
    ctest --test-dir build/asan --output-on-failure -j2

echo "== Threaded tile driver under ThreadSanitizer"
calmora_build build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCALMORA_ENGINE_ONLY=ON \
    -DCALMORA_SANITIZE=thread
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure -R 'RunTiles'

echo "== Processing worker and batch under ThreadSanitizer"
cmake -S . -B build/tsan-worker -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCALMORA_SANITIZE=thread \
    -DCALMORA_BUILD_BENCH=OFF >/dev/null
cmake --build build/tsan-worker --target document_tests settings_tests
TSAN_OPTIONS=halt_on_error=1 build/tsan-worker/tests/document/document_tests \
    --gtest_filter='WorkerTest*:BatchTest*'
# The learned-profile store's writer thread, and two stores on one folder.
TSAN_OPTIONS=halt_on_error=1 build/tsan-worker/tests/settings/settings_tests \
    --gtest_filter='LearnedProfileFolder*'

echo "All tests passed."
