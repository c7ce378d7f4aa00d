#!/usr/bin/env bash
# Installs the Debian packages that building, testing, fuzzing and benchmarking need, when
# they are missing (checked on Debian 12 and 13). Runs apt-get only when something is missing.
# The sanitizer and libFuzzer runtimes of clang come in a package named after clang's major
# version (libclang-rt-14-dev on Debian 12, libclang-rt-19-dev on Debian 13); the version is
# that of the `clang` package installed, or else of the one apt would install.
#   scripts/deps.sh                 installs what is missing
#   scripts/deps.sh --clang-major   prints that major version (scripts/check.sh builds the
#                                   fuzz targets with clang-N, whose runtimes are installed)
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# Sets major to the major version of the `clang` package ("1:19.0-63" -> 19), installed or
# installable; updates the package lists first when apt knows no candidate.
updated=0
clang_major() {
  local version=""
  if installed clang; then
    version=$(dpkg-query -W -f='${Version}' clang)
  else
    version=$(apt-cache policy clang 2>/dev/null | sed -n 's/^ *Candidate: *//p')
    if [ -z "$version" ] || [ "$version" = "(none)" ]; then
      $SUDO apt-get update -qq
      updated=1
      version=$(apt-cache policy clang | sed -n 's/^ *Candidate: *//p')
    fi
  fi
  version=${version#*:}
  version=${version%%[.~+-]*}
  case "$version" in
    '' | *[!0-9]*) echo "deps: cannot tell which clang apt offers (got '$version')" >&2; exit 1 ;;
  esac
  major=$version
}

clang_major
if [ "${1:-}" = "--clang-major" ]; then
  echo "$major"
  exit 0
fi
packages=(
  build-essential cmake pkg-config git
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libssl-dev
  ffmpeg
  libgtest-dev libbenchmark-dev groff-base python3
  clang "libclang-rt-$major-dev"
)

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
if [ "$updated" -eq 0 ]; then $SUDO apt-get update -qq; fi
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
