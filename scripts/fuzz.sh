#!/usr/bin/env bash
# Builds every libFuzzer target (fuzz/*_fuzz.cpp) with clang and fuzzes each one for
# its share of SECONDS, starting from its seeds in fuzz/corpus/<name>/ (the target's
# name without "_fuzz"). Prints the executions per target and their total.
# Usage: scripts/fuzz.sh [SECONDS]    (default 60; a longer campaign is more seconds)
# Exits non-zero when any target finds a crash or a broken invariant; the inputs that
# did are kept in <build>/artifacts/. FUZZ_BUILD_DIR picks the build directory
# (default build-fuzz); FUZZ_TARGETS="nal peer_script" fuzzes only those.
set -euo pipefail

seconds="${1:-60}"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${FUZZ_BUILD_DIR:-$root/build-fuzz}"

targets=()
if [ -n "${FUZZ_TARGETS:-}" ]; then
    read -r -a targets <<<"$FUZZ_TARGETS"
else
    for src in "$root"/fuzz/*_fuzz.cpp; do
        name="$(basename "$src" .cpp)"
        targets+=("${name%_fuzz}")
    done
fi
[ "${#targets[@]}" -gt 0 ] || { echo "no fuzz targets" >&2; exit 1; }

CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DTARVELLO_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$build" -j"${FUZZ_BUILD_JOBS:-2}" "${targets[@]/%/_fuzz}"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
artifacts="$build/artifacts"
mkdir -p "$artifacts"

share=$(( seconds / ${#targets[@]} ))
[ "$share" -ge 1 ] || share=1

total=0
failed=()
printf '%-22s %14s %10s\n' target executions exec/s
for t in "${targets[@]}"; do
    corpus="$work/corpus-$t"
    mkdir -p "$corpus"
    # New units go to the scratch copy: the seeds in the tree stay small and reviewed.
    if [ -d "$root/fuzz/corpus/$t" ]; then cp -r "$root/fuzz/corpus/$t/." "$corpus/"; fi
    log="$work/$t.log"
    set +e
    # Standard output closed: targets that drive the app's log would flood it. Their
    # scratch files go under TMPDIR, removed with the work directory.
    TMPDIR="$work" "$build/${t}_fuzz" -max_total_time="$share" -print_final_stats=1 -close_fd_mask=1 \
        -timeout=20 -rss_limit_mb=2560 -artifact_prefix="$artifacts/$t-" "$corpus" >"$log" 2>&1
    rc=$?
    set -e
    runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
    runs="${runs:-0}"
    total=$(( total + runs ))
    printf '%-22s %14d %10d\n' "$t" "$runs" $(( runs / share ))
    if [ "$rc" -ne 0 ]; then
        failed+=("$t")
        tail -n 40 "$log" >&2
        echo "$t failed (exit $rc); inputs in $artifacts" >&2
    fi
done
printf '%-22s %14d\n' total "$total"

if [ "${#failed[@]}" -gt 0 ]; then
    echo "fuzzing failed: ${failed[*]}" >&2
    exit 1
fi
