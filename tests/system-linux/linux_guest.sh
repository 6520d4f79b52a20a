#!/usr/bin/env bash
# Boots a minimal Linux guest in QEMU whose initramfs holds busybox and the
# static korvex, runs one case of korvex in it against QEMU's KCS interface,
# and compares what the guest saw with korvex-sim on the host for the same
# command line. Exit 0 pass, 1 fail, 77 skip.
#
#   linux_guest.sh CASE KORVEX_STATIC KORVEX_SIM KORVEX_BMCD KORVEX_PACK [IPMI_CLIENT]
#
# CASE: banner | no-device | update | dump | config | refusal | driver |
#       driver-jobs | openipmi-driver | driver-bench (by hand: bench/driver_bench.sh)
set -uo pipefail

case_name=$1
korvex=$(realpath -e "$2") || exit 1
sim=$(realpath -e "$3") || exit 1
bmcd=$(realpath -e "$4") || exit 1
pack=$(realpath -e "$5") || exit 1
client=${6:+$(realpath -m "$6")}
here=$(cd "$(dirname "$0")" && pwd)
boot_limit=${KORVEX_GUEST_TIMEOUT:-240}

skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }

kernel=${KORVEX_GUEST_KERNEL:-$(ls /boot/vmlinuz-* 2>/dev/null | sort -V | tail -n 1)}
[ -n "$kernel" ] && [ -r "$kernel" ] || skip "no readable kernel under /boot (install linux-image-amd64)"
busybox=$(command -v busybox || true)
[ -n "$busybox" ] || skip "busybox not installed (busybox-static)"
readelf -l "$(readlink -f "$busybox")" 2>/dev/null | grep INTERP > /dev/null && skip "$busybox is not static (install busybox-static)"
command -v qemu-system-x86_64 >/dev/null || skip "qemu-system-x86_64 not installed"
command -v cpio >/dev/null || skip "cpio not installed"
[ -x "$korvex" ] || fail "no korvex at $korvex"

case "$case_name" in
  banner|no-device|refusal|openipmi-driver|update|dump|config|driver|driver-jobs|driver-bench) ;;
  *) fail "unknown case $case_name" ;;
esac

work=$(mktemp -d "${TMPDIR:-/tmp}/korvex-guest.XXXXXX")
bmcd_pid=
ipmi_sim_pid=
cleanup() {
  local status=$?
  # The CPU time beside the wall time: these guests mostly wait. (times, a
  # builtin, counts this shell's children only when run in this shell.)
  times > "$work/times"
  echo "CPU of QEMU and the tools (user, system): $(tail -n 1 "$work/times")"
  [ -n "$bmcd_pid" ] && kill "$bmcd_pid" 2>/dev/null
  [ -n "$ipmi_sim_pid" ] && kill "$ipmi_sim_pid" 2>/dev/null
  if [ $status = 1 ]; then echo "work folder kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

# --- the guest's files ------------------------------------------------------
root=$work/root
mkdir -p "$root"/{bin,dev,etc,proc,sys,tmp,work}
chmod 1777 "$root/tmp"
chmod 0777 "$root/work"  # an unprivileged korvex could write here: it must not
printf 'root:x:0:0:root:/root:/bin/sh\nnobody:x:65534:65534:nobody:/nonexistent:/bin/sh\n' > "$root/etc/passwd"
printf 'root:x:0:\nnogroup:x:65534:\n' > "$root/etc/group"
cp "$busybox" "$root/bin/busybox"
cp "$korvex" "$root/bin/korvex"
cat > "$root/init" <<'INIT'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
echo "@@KORVEX-GUEST-UP $(cut -d' ' -f1 /proc/uptime)@@"
cd /work
# Every result leaves the guest as base64 between markers, byte for byte.
put() {
  echo "@@KORVEX-BEGIN $1@@"
  base64 "$2"
  echo "@@KORVEX-END $1@@"
}
. /cases.sh
echo "@@KORVEX-GUEST-DONE $(cut -d' ' -f1 /proc/uptime)@@"
poweroff -f
INIT
chmod +x "$root/init"

# Runs a shell command in the guest; its stdout, stderr and exit status come
# back as NAME.out, NAME.err, NAME.rc: guest_cmd NAME COMMAND
guest_cases=$root/cases.sh
: > "$guest_cases"
guest_cmd() {
  local name=$1 command=$2
  {
    printf '%s > /tmp/%s.out 2> /tmp/%s.err\n' "$command" "$name" "$name"
    printf 'echo $? > /tmp/%s.rc\n' "$name"
    printf 'put %s.out /tmp/%s.out; put %s.err /tmp/%s.err; put %s.rc /tmp/%s.rc\n' \
      "$name" "$name" "$name" "$name" "$name" "$name"
  } >> "$guest_cases"
}
# Runs the tool in the guest as root: guest_run NAME ARG...
guest_run() {
  local name=$1; shift
  local command=korvex a
  for a in "$@"; do command+=$(printf ' %q' "$a"); done
  guest_cmd "$name" "$command"
}
# Queues a plain shell line for the guest.
guest_sh() { printf '%s\n' "$1" >> "$guest_cases"; }

# Puts a file into the guest's /work and the host's korvex-sim folder.
guest_file() { cp "$1" "$root/work/$2"; mkdir -p "$work/sim"; cp "$1" "$work/sim/$2"; }
# Sends a file the guest wrote back to the host.
guest_fetch() { printf 'if [ -e %s ]; then put file.%s %s; fi\n' "$1" "$1" "$1" >> "$guest_cases"; }

# Puts the kernel's IPMI driver into the guest: ipmi_msghandler, ipmi_si,
# ipmi_devintf and what they depend on, from the modules of the guest's
# kernel (KORVEX_GUEST_MODULES names another folder), uncompressed for
# busybox's insmod. The guest loads them with guest_load_driver. Fails when
# the kernel has none.
guest_ipmi_modules() {
  local dir=${KORVEX_GUEST_MODULES:-/lib/modules/${kernel##*/vmlinuz-}} m
  [ -r "$dir/modules.dep" ] || return 1
  mkdir -p "$root/lib/modules"
  : > "$root/lib/modules/order"
  for m in ipmi_msghandler ipmi_si ipmi_devintf; do guest_module "$dir" "$m" || return 1; done
}
guest_module() {  # DIR NAME: the module after what it needs, once
  local dir=$1 name=$2 line path dep
  grep -qx "$name" "$root/lib/modules/order" && return 0
  line=$(grep -m1 -E "(^|/)$name\.ko(\.(xz|zst|gz))?:" "$dir/modules.dep") || return 1
  path=$dir/${line%%:*}
  for dep in ${line#*:}; do
    dep=${dep##*/}
    guest_module "$dir" "${dep%%.ko*}" || return 1
  done
  case "$path" in
    *.ko) cp "$path" "$root/lib/modules/$name.ko" ;;
    *.xz) xz -dc "$path" > "$root/lib/modules/$name.ko" ;;
    *.zst) zstd -qdc "$path" > "$root/lib/modules/$name.ko" ;;
    *.gz) gzip -dc "$path" > "$root/lib/modules/$name.ko" ;;
  esac || return 1
  echo "$name" >> "$root/lib/modules/order"
}
# Queues the driver's loading in the guest as the run NAME: it succeeds when
# every module loaded and /dev/ipmi0 appeared (within 10 s).
guest_load_driver() {
  guest_cmd "$1" '(for m in $(cat /lib/modules/order); do insmod /lib/modules/$m.ko || exit 1; done
i=0; while [ ! -c /dev/ipmi0 ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done; [ -c /dev/ipmi0 ] || { echo "no /dev/ipmi0" >&2; exit 1; })'
}

# Picks a guest result out of the console log: guest_result NAME > FILE
guest_result() {
  tr -d '\r' < "$work/console.log" |
    awk -v b="@@KORVEX-BEGIN $1@@" -v e="@@KORVEX-END $1@@" '$0==e{on=0} on{print} $0==b{on=1}' |
    base64 -d
}
# (grep reads to the end: with pipefail, an early exit would fail tr on SIGPIPE)
guest_has() { tr -d '\r' < "$work/console.log" | grep -x "@@KORVEX-BEGIN $1@@" > /dev/null; }

# The same run on the host against the simulated BMC, with the tool's
# program name as in the guest; its exit status goes to NAME.rc:
# sim_run NAME [--bmc-...]... -- ARG...
sim_run() {
  local name=$1; shift
  mkdir -p "$work/sim"
  (cd "$work/sim" && exec -a korvex "$sim" "$@" > "$work/sim/$name.out" 2> "$work/sim/$name.err")
  echo $? > "$work/sim/$name.rc"
}

# --- QEMU -------------------------------------------------------------------
# boot no-bmc | with-bmc [KORVEX-BMCD-OPTION]... | ipmi-sim PORT
# with-bmc starts korvex-bmcd behind QEMU's KCS interface; ipmi-sim has QEMU
# connect to the ipmi_sim listening on 127.0.0.1:PORT (ipmi_sim_start).
boot() {
  rm -f "$work/bmc.sock" "$work/console.log"
  (cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) | gzip -1 > "$work/initrd.gz"
  local ipmi=()
  if [ "$1" = with-bmc ]; then
    ipmi=(-chardev "socket,id=ipmi0,path=$work/bmc.sock,server=on,wait=off")
  elif [ "$1" = ipmi-sim ]; then
    ipmi=(-chardev "socket,id=ipmi0,host=127.0.0.1,port=$2,reconnect=10")
  fi
  if [ ${#ipmi[@]} -gt 0 ]; then
    ipmi+=(-device ipmi-bmc-extern,chardev=ipmi0,id=bmc0 -device isa-ipmi-kcs,bmc=bmc0)
  fi
  # TCG by default: KVM is often missing, and nested KVM can hang at boot.
  local accel=tcg
  [ -n "${KORVEX_GUEST_KVM:-}" ] && accel=kvm:tcg
  local start=$(date +%s.%N)
  timeout "$boot_limit" qemu-system-x86_64 \
    -machine "pc,accel=$accel" -m 256 -smp 1 \
    -display none -monitor none -serial "file:$work/console.log" \
    -no-reboot -net none \
    -kernel "$kernel" -initrd "$work/initrd.gz" \
    -append "console=ttyS0 quiet loglevel=1 panic=-1 rdinit=/init" \
    "${ipmi[@]}" &
  local qemu_pid=$!
  if [ "$1" = with-bmc ]; then
    local i
    for i in $(seq 100); do [ -S "$work/bmc.sock" ] && break; sleep 0.05; done
    [ -S "$work/bmc.sock" ] || { kill $qemu_pid; fail "QEMU did not open the BMC socket"; }
    shift
    "$bmcd" "$@" "$work/bmc.sock" > "$work/bmcd.log" 2>&1 &
    bmcd_pid=$!
  fi
  wait $qemu_pid
  local status=$?
  if [ -n "$bmcd_pid" ]; then
    # It saves what it was asked to when QEMU closes the connection.
    wait "$bmcd_pid" || { cat "$work/bmcd.log"; fail "korvex-bmcd failed"; }
    bmcd_pid=
  fi
  local end=$(date +%s.%N)
  echo "guest ($accel): QEMU ran $(awk -v a="$start" -v b="$end" 'BEGIN{printf "%.1f", b-a}') s"
  [ $status = 124 ] && { tail -n 40 "$work/console.log"; fail "the guest did not finish within $boot_limit s"; }
  grep -q '@@KORVEX-GUEST-DONE' "$work/console.log" || { tail -n 40 "$work/console.log"; fail "the guest did not run its cases"; }
  tr -d '\r' < "$work/console.log" | grep -o '@@KORVEX-GUEST-[A-Z]* [0-9.]*@@' | sed 's/@@//g; s/KORVEX-GUEST-/guest /'
}

# Starts OpenIPMI's ipmi_sim with the configuration of tests/system/openipmi.py
# (KORVEX_OPENIPMI_HELPER names another copy) and sets ipmi_sim_port; skips
# when either is missing.
ipmi_sim_start() {
  local helper=${KORVEX_OPENIPMI_HELPER:-$here/../system/openipmi.py} line status
  [ -f "$helper" ] || skip "the ipmi_sim set-up ($helper) is not here"
  line=$(python3 "$helper" start "$work"); status=$?
  [ $status = 77 ] && skip "ipmi_sim is not installed (openipmi)"
  [ $status = 0 ] || fail "ipmi_sim did not start"
  read -r ipmi_sim_port ipmi_sim_pid <<< "$line"
}

# --- checks -----------------------------------------------------------------
# Fetches a guest run's results into $work/NAME.{out,err,rc} and checks
# that korvex ran and ended with the exit status of the outcome expected:
# collect NAME [STATUS [WAY]], 0 (success) by default. The front end may only
# have named its way to the BMC: WAY ports (the default; the standard ports,
# which QEMU's SMBIOS and ACPI tables describe too), driver (/dev/ipmi0), or
# driver-kcs-cfg (and said that kcs.cfg is ignored).
collect() {
  local name=$1 want=${2:-0} way=${3:-ports} part
  guest_has "$name.out" || fail "no result of $name from the guest"
  for part in out err rc; do guest_result "$name.$part" > "$work/$name.$part"; done
  [ "$(cat "$work/$name.rc")" = "$want" ] ||
    { cat "$work/$name.err"; fail "$name: exit status $(cat "$work/$name.rc"), not $want"; }
  case $way in
    ports) printf '%s\n' "korvex: interface: KCS ports (no /dev/ipmi0)" \
             "korvex: KCS ports: command/status 0xCA3, data 0xCA2 (default)" ;;
    driver) printf '%s\n' "korvex: interface: the kernel's IPMI driver, /dev/ipmi0" ;;
    driver-kcs-cfg) printf '%s\n' "korvex: interface: the kernel's IPMI driver, /dev/ipmi0" \
             "korvex: kcs.cfg is ignored: the kernel's IPMI driver has no use for KCS ports" ;;
  esac > "$work/err.expected"
  [ -s "$work/$name.err" ] && ! cmp -s "$work/err.expected" "$work/$name.err" &&
    { cat "$work/$name.err"; fail "$name: the front end complained"; }
  return 0
}

same() {  # same WHAT EXPECTED_FILE ACTUAL_FILE
  if ! cmp -s "$2" "$3"; then
    echo "--- $1 differs (expected: $2, guest: $3)"
    diff <(od -c "$2") <(od -c "$3") | head -n 40
    return 1
  fi
  echo "ok: $1"
}

. "$here/cases.sh"
"case_${case_name//-/_}"
