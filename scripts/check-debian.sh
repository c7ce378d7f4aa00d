#!/usr/bin/env bash
# Runs the README's two commands (scripts/setup.sh, then scripts/check.sh) in a fresh Debian
# tree, as a new user would on that release: a minimal debootstrap tree outside the repository
# (made on the first run, reused after), a clean clone of one commit inside it, both commands
# run under chroot, their times printed. Needs root, debootstrap and the network.
#
#   scripts/check-debian.sh [-d DIR] [-s] RELEASE [COMMIT]
#     RELEASE  bookworm or trixie (12 and 13 are accepted too)
#     COMMIT   what to clone from this repository (default HEAD; uncommitted work is not seen)
#     -d DIR   where the tree lives (default /var/tmp/demosaic-RELEASE)
#     -s       setup.sh and the Release test suite only, not the whole check.sh
# MIRROR overrides the Debian mirror (default: the host's, from /etc/apt); NICE the niceness
# of the commands in the tree (default 15). Logs go to DIR/root/*.log.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
dir=""
quick=0
while getopts "d:s" opt; do
  case "$opt" in
    d) dir=$OPTARG ;;
    s) quick=1 ;;
    *) sed -n '7,13p' "$0" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  sed -n '7,13p' "$0" >&2
  exit 2
fi
case "$1" in
  12 | bookworm) release=bookworm ;;
  13 | trixie) release=trixie ;;
  *) echo "check-debian: unknown release '$1' (bookworm or trixie)" >&2; exit 2 ;;
esac
commit=$(git -C "$repo" rev-parse --verify "${2:-HEAD}^{commit}")
dir=${dir:-/var/tmp/demosaic-$release}
nice_level=${NICE:-15}
if [ "$(id -u)" -ne 0 ]; then
  echo "check-debian: needs root (debootstrap, mount, chroot)" >&2
  exit 2
fi

# The host's Debian mirror: the first URI of a "debian" (not security) source.
host_mirror() {
  {
    cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '$1 == "URIs:" {print $2}'
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
      awk '$1 == "deb" {for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) {print $i; break}}'
  } | grep -E '/debian/?$' | head -n 1 || true
}
mirror=${MIRROR:-$(host_mirror)}
mirror=${mirror:-http://deb.debian.org/debian}
security=${mirror%/debian*}/debian-security
case "$mirror" in
  *deb.debian.org*) ;;
  *) security=http://deb.debian.org/debian-security ;;
esac

# A tree counts as made once apt is installed in it (a debootstrap cut short is made again).
if ! chroot "$dir" dpkg-query -W -f='${Status}' apt 2>/dev/null | grep -q "install ok installed"; then
  command -v debootstrap >/dev/null || { echo "check-debian: install debootstrap first" >&2; exit 2; }
  echo "== making a minimal $release tree in $dir from $mirror"
  mkdir -p "$dir"
  nice -n "$nice_level" debootstrap --variant=minbase "$release" "$dir" "$mirror"
fi
# The sources a fresh installation has: the release, its updates and its security fixes.
cat > "$dir/etc/apt/sources.list" <<EOF
deb $mirror $release main
deb $mirror $release-updates main
deb $security $release-security main
EOF
cp /etc/resolv.conf "$dir/etc/resolv.conf"

mounted=()
unmount_all() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[$i]}" 2>/dev/null || umount -l "${mounted[$i]}" || true
  done
}
trap unmount_all EXIT
mount_in() {  # mount_in TARGET mount-arguments...
  local target=$dir/$1
  shift
  mountpoint -q "$target" && return 0
  mkdir -p "$target"
  mount "$@" "$target"
  mounted+=("$target")
}
# The tree's root a mount point of its own, as / is on a real system: the tests that mount a
# small tmpfs in a private mount namespace need it.
mount_in "" --bind "$dir"
mount_in proc -t proc proc
mount_in sys -t sysfs sysfs
mount_in dev --bind /dev
mount_in dev/pts --bind /dev/pts
mount_in dev/shm -t tmpfs tmpfs

echo "== cloning $commit into $dir/root/demosaic"
rm -rf "$dir/root/demosaic"
git clone -q --no-checkout "$repo" "$dir/root/demosaic"
git -C "$dir/root/demosaic" checkout -q --detach "$commit"

# Runs one command in the clone with a clean environment; prints and keeps its time.
in_tree() {  # in_tree NAME COMMAND
  local start code
  start=$(date +%s)
  set +e
  chroot "$dir" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    nice -n "$nice_level" bash -c "cd /root/demosaic && $2" 2>&1 | tee "$dir/root/$1.log"
  code=${PIPESTATUS[0]}
  set -e
  times+=("$1: exit $code, $(( $(date +%s) - start )) s")
  echo "== $1 ended with $code after $(( $(date +%s) - start )) s"
  return "$code"
}

times=()
status=0
in_tree setup scripts/setup.sh || status=1
if [ "$status" -eq 0 ]; then
  if [ "$quick" -eq 1 ]; then
    in_tree ctest '(cd build && ctest --output-on-failure -j"$(nproc)")' || status=1
  else
    in_tree check scripts/check.sh || status=1
  fi
fi
echo "== Debian $(cat "$dir/etc/debian_version") ($release), commit $commit"
printf '   %s\n' "${times[@]}"
exit "$status"
