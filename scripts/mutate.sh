#!/usr/bin/env bash
# Mutation run: puts each small fault of a list into the product code, one at a time, rebuilds
# incrementally in build-mutate/, runs the test suite and says whether a test failed (killed)
# or not (survived); the file is restored after each fault, also on ^C or an error.
#
#   scripts/mutate.sh [LIST]     LIST defaults to scripts/mutations.txt
#
# LIST holds one fault per line: file, exact text, replacement, separated by tabs; '#' lines
# and blank lines are skipped. The text must occur on exactly one line of the file.
# Environment: MUTATE_JOBS (default 2), MUTATE_TIMEOUT per test in seconds (default 300),
# MUTATE_LAST: tests run only once all others pass, the slow ones (default HostileCampaign).
# MUTATE_ONLY: a ctest -R pattern; only those tests run (a quick look at the faults of one
# area; a fault that survives them may still be killed by the whole suite).
set -uo pipefail
cd "$(dirname "$0")/.."
list=${1:-scripts/mutations.txt}
jobs=${MUTATE_JOBS:-2}
timeout=${MUTATE_TIMEOUT:-300}
last=${MUTATE_LAST:-HostileCampaign}
only=${MUTATE_ONLY:-}
build=build-mutate

die() { echo "mutate: $*" >&2; exit 2; }
[ -f "$list" ] || die "no list $list"

# Every line is checked before anything is changed.
n=0
while IFS=$'\t' read -r file text replacement extra; do
    [[ -z "$file" || "$file" == \#* ]] && continue
    n=$((n + 1))
    [[ -n "$text" && -n "${replacement+x}" && -z "${extra:-}" ]] || die "line $n of $list: want file, text, replacement"
    [ -f "$file" ] || die "fault $n: no file $file"
    count=$(grep -c -F -- "$text" "$file")
    [ "$count" = 1 ] || die "fault $n: '$text' is on $count lines of $file, not on exactly one"
done < "$list"

echo "== building $build (Release)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null || die "cmake failed"
cmake --build "$build" -j"$jobs" >"$build.log" 2>&1 || die "the unchanged tree does not build (see $build.log)"

saved=""
original=""
restore() {
    if [ -n "$saved" ]; then
        cp "$saved" "$original" && rm -f "$saved"  # a fresh time stamp: the next build recompiles it
        saved=""
    fi
}
trap 'restore' EXIT
trap 'restore; echo; echo "mutate: interrupted" >&2; exit 130' INT TERM

killed=0
survived=0
i=0
report=""
while IFS=$'\t' read -r file text replacement extra <&3; do
    [[ -z "$file" || "$file" == \#* ]] && continue
    i=$((i + 1))
    original=$file
    saved=$(mktemp)
    cp -p "$file" "$saved"
    FILE="$file" TEXT="$text" REPLACEMENT="$replacement" python3 - <<'PY' || { restore; die "fault $i: cannot apply"; }
import os
path, text, rep = os.environ["FILE"], os.environ["TEXT"], os.environ["REPLACEMENT"]
lines = open(path).read().split("\n")
hits = [k for k, line in enumerate(lines) if text in line]
assert len(hits) == 1
lines[hits[0]] = lines[hits[0]].replace(text, rep, 1)
open(path, "w").write("\n".join(lines))
PY
    start=$(date +%s)
    if ! cmake --build "$build" -j"$jobs" >/dev/null 2>&1; then
        verdict="killed (does not build)"
        killed=$((killed + 1))
    elif (cd "$build" && if [ -n "$only" ]; then ctest -j"$jobs" --stop-on-failure --timeout "$timeout" -R "$only"; else
          ctest -j"$jobs" --stop-on-failure --timeout "$timeout" -E "$last" &&
          ctest -j"$jobs" --stop-on-failure --timeout "$timeout" -R "$last"; fi) >"$build/ctest-mutant-$i.log" 2>&1; then
        verdict="SURVIVED"
        survived=$((survived + 1))
    else
        first=$(grep -m1 -E '\*\*\*Failed|\*\*\*Timeout|Exception' "$build/ctest-mutant-$i.log" | sed -E 's/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: //; s/ +\.+.*//')
        verdict="killed by ${first:-a failing test}"
        killed=$((killed + 1))
    fi
    restore
    line=$(printf '%2d  %-9s  %-32s  %s  (%ss)' "$i" "${verdict%% *}" "$file" "${text:0:60}" "$(( $(date +%s) - start ))")
    echo "$line    ${verdict#* }"
    report+="$line"$'\n'
done 3< "$list"

# Rebuild the untouched tree so build-mutate does not keep the last fault's objects around.
cmake --build "$build" -j"$jobs" >/dev/null 2>&1
total=$((killed + survived))
echo "== $killed of $total faults killed ($(( total ? 100 * killed / total : 0 )) %), $survived survived"
[ "$survived" = 0 ]
