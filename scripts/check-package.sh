#!/bin/sh
# Builds the Debian package, installs it on a fresh minimal Debian 12 root (debootstrap)
# as a new machine would, and checks it there: the unit, lintian, --help of every
# command on PATH, the ALSA names, a normal user of group audio playing into the driver
# host (run as its unit runs it, inside a network namespace made here), and purge.
# Prints one line per check and a summary; the logs stay in $VELUNOR_CHECK_DIR.
#
#   sudo ./scripts/check-package.sh [--fresh]     # --fresh: a new root, not the cached one
#
# Not part of the test gate: the first run downloads a Debian root (a few minutes).
set -u
ROOT=$(cd "$(dirname "$0")/.." && pwd)
WORK=${VELUNOR_CHECK_DIR:-/var/tmp/velunor-check}
CH=$WORK/root
LOGS=$WORK/logs
NS=velcheck$$
FRESH=0
[ "${1:-}" = "--fresh" ] && FRESH=1
if [ "$(id -u)" != 0 ]; then
  echo "check-package.sh: needs root (debootstrap, chroot, network namespaces): sudo $0" >&2
  exit 1
fi

pass=0
fail=0
ok() { pass=$((pass + 1)); echo "ok:   $*"; }
bad() { fail=$((fail + 1)); echo "FAIL: $*"; }
# check "what" command...: one line, the command's output in the log
check() {
  what=$1
  shift
  log="$LOGS/$(echo "$what" | tr -c 'A-Za-z0-9\n' '_' | cut -c1-60).log"
  LAST_LOG=$log
  if "$@" >"$log" 2>&1; then ok "$what"; else bad "$what (log: $log)"; fi
}
in_root() { chroot "$CH" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }
as_user() { # as_user NAME command...: a login-less normal user, no environment of ours
  u=$1
  shift
  in_root /usr/sbin/runuser -u "$u" -- /usr/bin/env -i PATH=/usr/bin:/bin HOME=/tmp "$@"
}

cleanup() {
  [ -n "${HOSTPID:-}" ] && kill "$HOSTPID" 2>/dev/null
  ip netns del "$NS" 2>/dev/null
  for m in "$CH/dev/pts" "$CH/dev" "$CH/proc" "$CH/sys"; do
    mountpoint -q "$m" 2>/dev/null && umount -l "$m"
  done
}
trap cleanup EXIT INT TERM

mkdir -p "$WORK" "$LOGS"
echo "== building the package (logs in $LOGS)"
{ "$ROOT/scripts/setup.sh" && "$ROOT/scripts/build.sh" release &&
  (cd "$ROOT/build-release" && rm -f velunor-link_*.deb velunor-link-dbgsym_*.ddeb && cpack -G DEB); } \
  >"$LOGS/build.log" 2>&1
DEB=$(ls "$ROOT"/build-release/velunor-link_*_amd64.deb 2>/dev/null | head -1)
if [ -z "$DEB" ]; then
  bad "the package is built (log: $LOGS/build.log)"
  echo "check-package: $pass passed, $fail failed"
  exit 1
fi
ok "the package is built: $(basename "$DEB"), $(du -k "$DEB" | cut -f1) kB"

echo "== a minimal Debian 12 root in $CH"
command -v debootstrap >/dev/null 2>&1 ||
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends debootstrap >"$LOGS/debootstrap-install.log" 2>&1
MIRROR=$(sed -n 's/^URIs: *\(http[^ ]*debian\)$/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -1)
[ -n "$MIRROR" ] || MIRROR=$(sed -n 's/^deb  *\(http[^ ]*\) bookworm .*/\1/p' /etc/apt/sources.list 2>/dev/null | head -1)
[ -n "$MIRROR" ] || MIRROR=http://deb.debian.org/debian
# Never through a mount of a run that was cut short (its /dev, /proc, /sys binds).
grep -q " $CH/" /proc/mounts && umount -R -l "$CH"/dev "$CH"/proc "$CH"/sys 2>/dev/null
rm -rf --one-file-system "$CH"
if [ "$FRESH" = 0 ] && [ -s "$WORK/bookworm-minbase.tar" ]; then
  mkdir -p "$CH" && tar -C "$CH" -xf "$WORK/bookworm-minbase.tar"
else
  if debootstrap --variant=minbase bookworm "$CH" "$MIRROR" >"$LOGS/debootstrap.log" 2>&1; then
    tar -C "$CH" -cf "$WORK/bookworm-minbase.tar" .
  fi
fi
if [ ! -x "$CH/usr/bin/apt-get" ]; then
  bad "debootstrap made a Debian 12 root from $MIRROR (log: $LOGS/debootstrap.log)"
  echo "check-package: $pass passed, $fail failed"
  exit 1
fi
ok "a minimal Debian 12 root from $MIRROR ($(du -sm "$CH" | cut -f1) MB)"
mount -t proc proc "$CH/proc"
mount --bind /dev "$CH/dev"
mount --bind /dev/pts "$CH/dev/pts"
mount -t sysfs sysfs "$CH/sys"
cp /etc/resolv.conf "$CH/etc/resolv.conf" 2>/dev/null
cp "$DEB" "$CH/tmp/"
PKG=/tmp/$(basename "$DEB")

echo "== installing the package with apt-get"
in_root apt-get update -q >"$LOGS/apt-update.log" 2>&1
check "apt-get install ./$(basename "$DEB") on the minimal root" \
  in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$PKG"
in_root dpkg -L velunor-link >"$WORK/files.txt" 2>/dev/null
check "VelunorRoute has cap_net_bind_service and cap_sys_nice" \
  sh -c "getcap '$CH/usr/lib/velunor-link/VelunorRoute' | grep -q 'cap_net_bind_service,cap_sys_nice=ep'"
check "/run/velunor and /var/lib/velunor are root:audio 2770" \
  sh -c "[ \"\$(stat -c '%U:%G %a' '$CH/run/velunor' '$CH/var/lib/velunor' | sort -u)\" = 'root:audio 2770' ]"
check "the service is enabled at boot" test -L "$CH/etc/systemd/system/multi-user.target.wants/velunor-kernel.service"

echo "== tools for the checks (systemd, lintian, alsa-utils, iproute2)"
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends systemd lintian \
  alsa-utils iproute2 >"$LOGS/tools.log" 2>&1 || bad "the check tools install (log: $LOGS/tools.log)"

check "systemd-analyze verify velunor-kernel.service" \
  in_root systemd-analyze verify /lib/systemd/system/velunor-kernel.service
check "lintian shows no errors" in_root lintian --fail-on error --no-tag-display-limit "$PKG"
grep -E '^[EW]: ' "$LAST_LOG" 2>/dev/null | sed 's/^/      lintian /'
for c in velunor-link velunor-ctl VelunorCore velunor-kernel; do
  check "$c --help on PATH" sh -c "chroot '$CH' /usr/bin/env -i PATH=/usr/bin:/bin $c --help | grep -qi usage"
  check "man $c is installed" test -s "$CH/usr/share/man/man1/$c.1.gz"
done
# (ldd of the link in /usr/bin would take $ORIGIN from the link: ask about the program.)
check "VelunorCore finds libVelunorCore.so as installed (RUNPATH \$ORIGIN)" \
  sh -c "chroot '$CH' ldd /usr/lib/velunor-link/VelunorCore | grep -q 'libVelunorCore.so => /usr/lib/velunor-link/'"

in_root useradd -m -G audio alice >/dev/null 2>&1
in_root useradd -m bob >/dev/null 2>&1
aplay_list() { as_user bob aplay -L | grep -qx velunor_out_00; }
check "aplay -L lists velunor_out_00 as a normal user" aplay_list

echo "== the driver host as its unit runs it, in network namespace $NS"
ip netns add "$NS"
ip -n "$NS" link set lo up
ip -n "$NS" link add va type veth peer name vb
ip -n "$NS" addr add 10.88.0.1/24 dev va
ip -n "$NS" link set va up
ip -n "$NS" link set vb up
ip -n "$NS" route add 224.0.0.0/4 dev va
EXEC=$(sed -n 's/^ExecStart=//p' "$CH/lib/systemd/system/velunor-kernel.service")
ENVS=$(sed -n 's/^Environment=//p' "$CH/lib/systemd/system/velunor-kernel.service")
UMASK=$(sed -n 's/^UMask=//p' "$CH/lib/systemd/system/velunor-kernel.service")
ip netns exec "$NS" chroot "$CH" /bin/sh -c "umask ${UMASK:-0022}; exec /usr/bin/env -i PATH=/usr/bin:/bin $ENVS $EXEC" \
  >"$LOGS/velunor-kernel.log" 2>&1 &
HOSTPID=$!
sleep 2
check "the driver host runs as root with no environment ($EXEC)" grep -q "loaded, status 0x00000000" "$LOGS/velunor-kernel.log"
in_ns_user() { # in_ns_user NAME command...: that user inside the namespace
  u=$1
  shift
  ip netns exec "$NS" chroot "$CH" /usr/sbin/runuser -u "$u" -- /usr/bin/env -i PATH=/usr/bin:/bin HOME=/tmp "$@"
}
second_host() { ip netns exec "$NS" chroot "$CH" $EXEC | grep -q 'another host serves /run/velunor'; }
check "a second host says another host serves /run/velunor" second_host
engine_up() {
  for w in "5 10.88.0.1" "52 2 2 0 0" "54 48000" "56 48" "12" "12"; do
    in_ns_user alice VelunorCore $w || return 1
  done
  in_ns_user alice VelunorCore 11p | grep -q '"status":"2"'
}
check "alice (group audio) starts the card's engine with VelunorCore" engine_up
play() { head -c "$2" /dev/urandom | in_ns_user "$1" aplay -D velunor_out_00 -t raw -f S16_LE -r 48000 -c 2; }
T0=$(date +%s%N)
check "alice plays 2 s with aplay -D velunor_out_00 into the running driver host" play alice 384000
T1=$(date +%s%N)
ms=$(( (T1 - T0) / 1000000 ))
if [ "$ms" -ge 1800 ]; then ok "the 2 s of audio took $ms ms (paced by the card's clock)"; else bad "the 2 s of audio took only $ms ms"; fi
refused() { ! play bob 19200; }
check "bob (not in group audio) is refused by aplay" refused
sed 's/^/      bob: /' "$LAST_LOG" | head -3
told() { in_ns_user bob VelunorCore 11p | tee /dev/stderr | grep -q 'group audio'; }
check "bob is told why by VelunorCore (group audio)" told
grep -o '"reason":"[^"]*"' "$LAST_LOG" | sed 's/^/      bob: /'
bob_host() { in_ns_user bob $EXEC | tee /dev/stderr | grep -q 'no write permission for the folder /run/velunor'; }
check "bob's velunor-kernel names the folder and the permission it lacks" bob_host
sed 's/^/      bob: /' "$LAST_LOG"
route_words() {
  in_ns_user alice /usr/lib/velunor-link/VelunorRoute --help | grep -q '^usage: ' &&
    { in_ns_user alice /usr/lib/velunor-link/VelunorRoute --bogus; [ $? = 2 ]; } &&
    { in_ns_user alice /usr/lib/velunor-link/VelunorRoute bindIp=10.99.0.1; [ $? = 1 ]; }
}
check "VelunorRoute: --help exits 0, --bogus 2, an address not here 1" route_words
asio_listed() { in_ns_user alice /usr/lib/velunor-link/asiohost --list | grep -q Velunor-rEduVuzi; }
check "the ASIO driver is registered for alice's ASIO hosts" asio_listed
kill "$HOSTPID" 2>/dev/null
wait "$HOSTPID" 2>/dev/null
HOSTPID=

echo "== purge"
check "apt-get purge velunor-link" in_root env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q velunor-link
# Every file of the package gone, and nothing named after it anywhere (man-db's cache of
# formatted pages is man-db's: systemd-analyze verify formatted the unit's man page).
left=$( (while read -r f; do
           if [ ! -d "$CH$f" ] && { [ -e "$CH$f" ] || [ -L "$CH$f" ]; }; then echo "$f"; fi
         done <"$WORK/files.txt"
         find "$CH" -xdev \( -path "$CH/proc" -o -path "$CH/tmp" -o -path "$CH/sys" -o -path "$CH/dev" \
           -o -path "$CH/var/cache/man" \) -prune -o -iname '*velunor*' -print | sed "s|^$CH||") | sort -u)
if [ -z "$left" ]; then ok "purge leaves nothing of the package behind"; else
  bad "purge left: $(echo "$left" | tr '\n' ' ')"; fi

echo "check-package: $pass passed, $fail failed ($(basename "$DEB"), logs in $LOGS)"
[ "$fail" = 0 ]
