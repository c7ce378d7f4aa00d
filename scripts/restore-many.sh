#!/usr/bin/env bash
# Restores many privacy-masked videos at once: one demosaic per file, several at a time
# (GNU parallel when it is installed, else xargs -P), and one report line per file with
# its name and its result line.
#
#   DEMOSAIC_KEY='my privacy key' scripts/restore-many.sh [-j JOBS] [-o REPORT] [-l LOGDIR] [-r RECORDDIR] [-a ARG]... FILE...
#   find clips -name '*.mp4' -print0 | DEMOSAIC_KEY=... scripts/restore-many.sh -0 -o report.txt
#
# Without FILE arguments the names are read from standard input, one per line, or
# NUL-separated with -0. The key is handed to each demosaic on its standard input, so it
# never appears in a process list. The report (default restore-report.txt) holds, sorted
# by file name, lines of the form
#   FILE<TAB>mosaic_ResultCode=N;mosaic_errStr=TEXT;
# (with -a --info, FILE<TAB> and the file's JSON description). With -l, each file's log
# lines are kept in LOGDIR/<path with / as _>.log; with -r, each file's evidence record is
# written to RECORDDIR/<path with / as _>.json (demosaic --report; it must not exist yet).
# Each -a ARG is passed to every demosaic (-a --copy, -a --check, -a --from -a 10). Names that
# hold "_decmosic_" (outputs of an earlier run) are skipped. The exit status is 0
# when every file succeeded, 1 when any did not, 2 for a bad command line.
# RESTORE_MANY_WITH=xargs uses xargs -P even when GNU parallel is installed.
set -euo pipefail

usage() {  # -h: on stdout, status 0; a bad option: on stderr, status 2
  if [ "${1:-2}" -eq 0 ]; then exec 3>&1; else exec 3>&2; fi
  echo "usage:" >&3
  sed -n '6,7p' "$0" | sed 's/^# *//' >&3
  exit "${1:-2}"
}

# One file: run demosaic, append "FILE<TAB>result line" to the report in a single write.
# Files that are themselves restored outputs carry no hidden pictures and are skipped.
if [ "${1:-}" = "--one" ]; then
  file=$2
  case $(basename -- "$file") in
    *_decmosic_[0-9]*)
      echo "restore-many: skipping $file (a restored file)" >&2
      exit 0
      ;;
  esac
  eval "extra=($RESTORE_MANY_ARGS)"
  name=$(printf '%s' "$file" | tr '/' '_')
  if [ -n "$RESTORE_MANY_RECORDS" ]; then extra+=(--report "$RESTORE_MANY_RECORDS/$name.json"); fi
  log=$(printf '%s\n' "$DEMOSAIC_KEY" | "$RESTORE_MANY_DEMOSAIC" "${extra[@]}" -- "$file" - 2>/dev/null) && status=0 || status=$?
  result=$(printf '%s\n' "$log" | tail -n 1)
  case $result in
    mosaic_ResultCode=* | '{'*) ;;
    *) result="no result line (exit status $status)" ;;
  esac
  if [ -n "$RESTORE_MANY_LOGDIR" ]; then
    printf '%s\n' "$log" > "$RESTORE_MANY_LOGDIR/$name.log"
  fi
  printf '%s\t%s\n' "$file" "$result" >> "$RESTORE_MANY_REPORT"
  exit 0
fi

jobs=$(nproc 2>/dev/null || echo 2)
report=restore-report.txt
logdir=""
records=""
args=""
nul=0
while getopts "j:o:l:r:a:0h" option; do
  case $option in
    j) jobs=$OPTARG ;;
    o) report=$OPTARG ;;
    l) logdir=$OPTARG ;;
    r) records=$OPTARG ;;
    a) args+=$(printf '%q ' "$OPTARG") ;;
    0) nul=1 ;;
    h) usage 0 ;;
    *) usage ;;
  esac
done
shift $((OPTIND - 1))
case $jobs in '' | *[!0-9]* | 0) echo "restore-many: -j needs a number of jobs" >&2; exit 2 ;; esac
if [ -z "${DEMOSAIC_KEY+set}" ]; then
  echo "restore-many: set DEMOSAIC_KEY to the privacy key" >&2
  exit 2
fi

# demosaic: $DEMOSAIC, else this tree's build, else the one on PATH.
here=$(cd "$(dirname "$0")" && pwd)
demosaic=${DEMOSAIC:-}
if [ -z "$demosaic" ]; then
  if [ -x "$here/../build/demosaic" ]; then
    demosaic="$here/../build/demosaic"
  else
    demosaic=$(command -v demosaic || true)
  fi
fi
if [ -z "$demosaic" ] || [ ! -x "$demosaic" ]; then
  echo "restore-many: demosaic not found; build it or set DEMOSAIC" >&2
  exit 2
fi

if [ -n "$logdir" ]; then mkdir -p "$logdir"; fi
if [ -n "$records" ]; then mkdir -p "$records"; fi
: > "$report"
export DEMOSAIC_KEY
# The -a arguments travel quoted for the shell (printf %q) and are split again in --one.
export RESTORE_MANY_DEMOSAIC=$demosaic RESTORE_MANY_REPORT=$report RESTORE_MANY_LOGDIR=$logdir
export RESTORE_MANY_RECORDS=$records RESTORE_MANY_ARGS=$args

# The names, NUL-separated, whether they came as arguments or on standard input.
names() {
  if [ $# -gt 0 ]; then
    printf '%s\0' "$@"
  elif [ "$nul" -eq 1 ]; then
    cat
  else
    tr '\n' '\0'
  fi
}

# Only GNU parallel takes these options (moreutils has a parallel of its own).
# RESTORE_MANY_WITH=xargs uses xargs even when parallel is there.
parallel_version=""
if [ "${RESTORE_MANY_WITH:-}" != "xargs" ]; then parallel_version=$(parallel --version 2>/dev/null || true); fi
if [ "${parallel_version#GNU parallel}" != "$parallel_version" ]; then
  names "$@" | parallel --will-cite -0 -j "$jobs" "$0" --one {}
else
  names "$@" | xargs -0 -r -n 1 -P "$jobs" "$0" --one
fi

sort -t "$(printf '\t')" -k 1,1 -o "$report" "$report"
total=$(wc -l < "$report")
failed=$(grep -vc -e "	mosaic_ResultCode=0;" -e '"result":{"code":0,' "$report" || true)
echo "restore-many: $((total - failed)) of $total restored; report in $report"
[ "$failed" -eq 0 ]
