#!/usr/bin/env bash
# Builds the fuzz preset and runs every fuzz target for SECONDS seconds each, one after the other.
#
#   fuzz/smoke.sh 20          # what CI runs
#   fuzz/smoke.sh 600 hive    # only the targets whose name contains "hive"
#
# Each target starts from a copy of fuzz/corpus/<target>/ (the tree is never written) and uses
# fuzz/<target>.dict when there is one. Any crash, sanitizer report, leak, time-out (one input taking
# longer than KN_FUZZ_TIMEOUT seconds, default 25) or memory beyond 2 GB fails the run; the
# failing input stays in the scratch folder, whose path is printed. Extra libFuzzer options can be
# given in KN_FUZZ_ARGS.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
seconds=${1:?usage: fuzz/smoke.sh SECONDS [NAME-FILTER]}
filter=${2:-}
build=$root/build-fuzz

cd "$root"
[ -f "$build/build.ninja" ] || ./setup.sh fuzz
cmake --build "$build" --target fuzz_targets

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kn-fuzz-smoke.XXXXXX")
failed=()
for target in "$build"/fuzz/fuzz_*; do
  [ -x "$target" ] && [ -f "$target" ] || continue
  name=$(basename "$target")
  [[ -z "$filter" || "$name" == *"$filter"* ]] || continue
  work=$scratch/$name
  mkdir -p "$work/corpus" "$work/artifacts"
  [ -d "$here/corpus/$name" ] && cp -R "$here/corpus/$name/." "$work/corpus/"
  args=(-max_total_time="$seconds" -timeout="${KN_FUZZ_TIMEOUT:-25}" -rss_limit_mb=2048
        -artifact_prefix="$work/artifacts/" -print_final_stats=1)
  [ -f "$here/$name.dict" ] && args+=(-dict="$here/$name.dict")
  echo "== $name: ${seconds}s"
  # shellcheck disable=SC2086 # KN_FUZZ_ARGS is a list of options
  # Targets that read files write them below TMPDIR; keep those inside the scratch folder too.
  if (cd "$work" && TMPDIR=$work "$target" "${args[@]}" ${KN_FUZZ_ARGS:-} "$work/corpus" >"$work/log" 2>&1); then
    grep -E '^stat::number_of_executed_units|^stat::new_units_added' "$work/log" | tr '\n' ' '
    echo
  else
    failed+=("$name")
    tail -n 60 "$work/log"
    echo "== $name FAILED; its log and failing input are in $work"
  fi
done

if ((${#failed[@]})); then
  echo "fuzz smoke: FAILED: ${failed[*]} (kept $scratch)"
  exit 1
fi
rm -rf "$scratch"
echo "fuzz smoke: every target passed (${seconds}s each)"
