#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, runs every committed input once,
# then fuzzes each target for a few seconds, two targets at a time.
# Exits non-zero on any crash, leak, sanitizer report or time-out.
#   Tests/fuzz/run-ci.sh [seconds per target, default 20]
# The targets build in HOLVANE_FUZZ_BUILD_DIR (default build-fuzz-ci): a tree
# already configured with fuzzing on, such as the clang ASan tree that
# scripts/test-all.sh builds, is used as it is; otherwise the folder is
# configured as a tree of the fuzz targets alone.
set -euo pipefail

SECONDS_PER_TARGET="${1:-20}"
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
REPO="$(cd "$HERE/../.." && pwd)"
BUILD="${HOLVANE_FUZZ_BUILD_DIR:-$REPO/build-fuzz-ci}"
TARGETS=(token_table simple_reply value_list dir_entry reply_readers)

. "$REPO/scripts/ccache-env.sh" "$REPO"
ccache_log "$BUILD/ccache-fuzz.log"
start=$SECONDS
if ! grep -qs '^HOLVANE_BUILD_FUZZ:BOOL=ON$' "$BUILD/CMakeCache.txt"; then
    CC="${CC:-clang-14}" CXX="${CXX:-clang++-14}" cmake -S "$REPO" -B "$BUILD" -G Ninja \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHOLVANE_BUILD_FUZZ=ON -DHOLVANE_BUILD_TESTS=OFF \
        -DHOLVANE_BUILD_PYTHON=OFF -DHOLVANE_BUILD_SIMULATOR=OFF -DHOLVANE_BUILD_BENCH=OFF \
        -DHOLVANE_SANITIZE= >/dev/null
fi
if ! cmake --build "$BUILD" -j2 --target $(printf 'fuzz_%s ' "${TARGETS[@]}") >"$BUILD/fuzz-build.log" 2>&1; then
    tail -60 "$BUILD/fuzz-build.log"; echo "FAILED: building the fuzz targets"; exit 1
fi
echo "built the fuzz targets in $BUILD in $((SECONDS - start)) s ($(ccache_summary "$BUILD/ccache-fuzz.log"))"

WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
status=0

# 1. Replay: every committed input must pass.
for t in "${TARGETS[@]}"; do
    echo "== replay $t"
    if ! "$BUILD/bin/fuzz_$t" -runs=0 -timeout=30 -rss_limit_mb=2048 "$HERE/corpus/$t" >"$WORK/replay-$t.log" 2>&1; then
        echo "FAILED: replay of $t"; tail -40 "$WORK/replay-$t.log"; status=1
    fi
done

# 2. Brief fuzzing, two targets at a time; new inputs stay in a scratch folder.
run_one() {
    local t="$1"
    mkdir -p "$WORK/corpus-$t" "$WORK/artifacts-$t"
    if "$BUILD/bin/fuzz_$t" -max_total_time="$SECONDS_PER_TARGET" -timeout=30 -rss_limit_mb=2048 \
        -max_len=4096 -artifact_prefix="$WORK/artifacts-$t/" "$WORK/corpus-$t" "$HERE/corpus/$t" \
        >"$WORK/fuzz-$t.log" 2>&1; then
        echo "ok: $t $(grep -E '^#[0-9]+.*(DONE|pulse)' "$WORK/fuzz-$t.log" | tail -1)"
    else
        echo "FAILED: fuzzing $t"; tail -60 "$WORK/fuzz-$t.log"
        ls "$WORK/artifacts-$t"
        return 1
    fi
}
i=0
while [ $i -lt ${#TARGETS[@]} ]; do
    pids=()
    for t in "${TARGETS[@]:$i:2}"; do
        run_one "$t" & pids+=($!)
    done
    for p in "${pids[@]}"; do
        wait "$p" || status=1
    done
    i=$((i + 2))
done
exit $status
