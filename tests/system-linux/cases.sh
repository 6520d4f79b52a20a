# The cases of linux_guest.sh, one function each: they queue runs for the
# guest (guest_run), boot it, and compare with the same runs of korvex-sim.
# Packages and dumps stay small: under TCG every exchange costs real time.

# korvex with no arguments prints the usage banner only, as on the host, and
# exits with the usage status.
case_banner() {
  guest_run banner
  boot no-bmc
  collect banner 2
  sim_run banner
  same "banner" "$work/sim/banner.out" "$work/banner.out" || fail "the guest's banner differs"
}

# No KCS interface: every port reads 0xFF, so the BMC never seems ready. The
# update gives up after its two bounded waits (the request, then the cold
# reset) with the tool's messages and status 1 (failed). Nothing answering and a
# controller that never clears IBF look alike from the host, so korvex-sim
# with that fault must print the same.
case_no_device() {
  head -c 4096 /dev/zero > "$work/fw.bin"
  guest_file "$work/fw.bin" fw.bin
  guest_run nodev -f fw.bin -r y
  boot no-bmc
  collect nodev 1
  sim_run nodev --bmc-fault=kcs-ibf-stuck -- -f fw.bin -r y
  grep -q 'ERROR !! BMC did not in correct state' "$work/sim/nodev.out" || fail "korvex-sim did not run the KCS exchange"
  same "console text without a KCS interface" "$work/sim/nodev.out" "$work/nodev.out" || fail "differs from korvex-sim"
}

# An update of a small package over real port I/O: the same console text
# as korvex-sim, and every part in the BMC's flash afterwards.
case_update() {
  head -c 16384 /dev/urandom > "$work/payload.bin"
  "$pack" build --part a.bin=$work/payload.bin@0 --size 0x10000 -o "$work/fw.bin" > /dev/null ||
    fail "korvex-pack could not build the package"
  guest_file "$work/fw.bin" fw.bin
  guest_run update -f fw.bin -r y
  boot with-bmc --bmc-save-flash="$work/flash.bin"
  collect update
  sim_run update -- -f fw.bin -r y
  grep -q 'Update Complete' "$work/sim/update.out" || fail "korvex-sim did not complete the update"
  same "update console text" "$work/sim/update.out" "$work/update.out" || fail "differs from korvex-sim"
  "$pack" verify-dump "$work/fw.bin" "$work/flash.bin" > /dev/null || fail "the BMC's flash does not hold the package"
  echo "ok: the BMC's flash holds every part"
}

# A short dump (4 KiB announced and sent) of a flash with known contents.
# The job's own 50-second wait for the BMC makes this the longest case.
case_dump() {
  head -c 4096 /dev/urandom > "$work/flash.bin"
  local knobs=(--bmc-flash="$work/flash.bin" --bmc-dump-length=4096)
  guest_run dump -d dump.bin
  guest_fetch dump.bin
  boot with-bmc "${knobs[@]}"
  collect dump
  sim_run dump "${knobs[@]}" -- -d dump.bin
  grep -q 'Phase2' "$work/sim/dump.out" || fail "korvex-sim did not run the dump"
  same "dump console text" "$work/sim/dump.out" "$work/dump.out" || fail "differs from korvex-sim"
  guest_has file.dump.bin || fail "the guest wrote no dump.bin"
  guest_result file.dump.bin > "$work/dump.bin"
  same "dump file" "$work/sim/dump.bin" "$work/dump.bin" || fail "the dump file differs from korvex-sim's"
  # Only a dump of known, non-blank contents shows that no byte was lost or
  # invented on the way; korvex-sim's dump must hold the flash for that.
  if cmp -s "$work/sim/dump.bin" "$work/flash.bin"; then
    same "dump file against the flash" "$work/flash.bin" "$work/dump.bin" || fail "the dump is not the flash"
  else
    echo "note: the simulated BMC does not dump the flash given with --bmc-flash; compared with korvex-sim only"
  fi
}

# A configuration backup, then a restore of other bytes, in one guest: the
# backup matches korvex-sim's byte for byte, and after the restore the BMC
# holds exactly the restored bytes.
case_config() {
  head -c 1000 /dev/urandom > "$work/restore.bin"
  guest_file "$work/restore.bin" restore.bin
  guest_run backup -c -d backup.bin
  guest_fetch backup.bin
  guest_run restore -c -f restore.bin
  boot with-bmc --bmc-save-config="$work/bmc-config.bin"
  collect backup
  collect restore
  sim_run backup -- -c -d backup.bin
  sim_run restore -- -c -f restore.bin
  grep -q 'Done' "$work/sim/backup.out" || fail "korvex-sim did not complete the backup"
  same "backup console text" "$work/sim/backup.out" "$work/backup.out" || fail "differs from korvex-sim"
  guest_has file.backup.bin || fail "the guest wrote no backup.bin"
  guest_result file.backup.bin > "$work/backup.bin"
  same "backup file" "$work/sim/backup.bin" "$work/backup.bin" || fail "the backup differs from korvex-sim's"
  same "restore console text" "$work/sim/restore.out" "$work/restore.out" || fail "differs from korvex-sim"
  same "the BMC's configuration after the restore" "$work/restore.bin" "$work/bmc-config.bin" ||
    fail "the BMC does not hold the restored bytes"
}

# The front end's refusals, on a kernel that does give root the ports: as
# nobody (EPERM); as root, kcs.cfg files planted in the world-writable /work
# (ports among the machine's own controllers, the PCI configuration ports
# held in /proc/ioports, writable by all, owned by nobody, a FIFO, a link to
# /dev/zero, and with the BMC, ports other than those that QEMU's tables
# describe); then as root with a device node of the kernel's IPMI driver
# present (/dev/null's, so no IPMI device): on the ports, and on the driver
# that the node makes korvex choose. The BMC must see no request from any of
# them; then the same backup on the ports with --force-with-kernel-driver and
# a good kcs.cfg runs as on korvex-sim, and the BMC sees exactly korvex-sim's
# number of requests. Each refusal follows the line that names the way to
# the BMC.
case_refusal() {
  guest_cmd nobody "su -s /bin/sh nobody -c 'korvex -d dump.bin'"
  local planted=(
    "planted|printf 'CMD CF9 DATA 70' > kcs.cfg"
    "claimed|printf 'CMD CF9 DATA CF8' > kcs.cfg"
    "writable|printf 'CMD CA3 DATA CA2' > kcs.cfg; chmod 666 kcs.cfg"
    "foreign|chmod 644 kcs.cfg; chown nobody kcs.cfg"
    "fifo|rm kcs.cfg; mkfifo -m 644 kcs.cfg"
    "link|rm kcs.cfg; ln -s /dev/zero kcs.cfg"
    "differs|rm kcs.cfg; printf 'CMD CA5 DATA CA4' > kcs.cfg")
  local p
  for p in "${planted[@]}"; do
    guest_sh "${p#*|}"
    guest_run "${p%%|*}" -d dump.bin
  done
  guest_sh "rm kcs.cfg"
  guest_sh "mknod /dev/ipmi0 c 1 3"
  guest_run driver --interface=ports -c -d backup.bin
  guest_run bogus -c -d backup.bin
  guest_sh "ls > /tmp/files; put files /tmp/files"
  guest_sh "printf 'CMD CA3 DATA CA2' > kcs.cfg"
  guest_run forced --interface=ports --force-with-kernel-driver -c -d forced.bin
  boot with-bmc --verbose
  for p in nobody driver bogus forced "${planted[@]}"; do
    name=${p%%|*}
    guest_has "$name.rc" || fail "no result of $name from the guest"
    for part in out err rc; do guest_result "$name.$part" > "$work/$name.$part"; done
  done
  local ports_line="korvex: interface: KCS ports (no /dev/ipmi0)"
  printf '%s\n' "$ports_line" "korvex: KCS ports (from kcs.cfg) refused: the data port 0x70 is below 0x100, among the machine's own controllers (DMA, interrupts, timer, CMOS, reset)" > "$work/planted.expected"
  same "refusal of a planted kcs.cfg" "$work/planted.expected" "$work/planted.err" || fail "the planted kcs.cfg's message differs"
  local says=(
    'claimed|port 0xCF8 is held by "PCI conf1" (/proc/ioports)'
    'writable|kcs.cfg refused: others than its owner may write it (mode 0666)'
    'foreign|kcs.cfg refused: it is owned by uid 65534'
    'fifo|kcs.cfg refused: it is a FIFO'
    'link|kcs.cfg refused: it is a symbolic link'
    'differs|but the system describes its KCS interface at command/status 0xCA3, data 0xCA2 (SMBIOS)')
  for p in "${says[@]}"; do
    name=${p%%|*}
    [ -e "$work/$name.err" ] || continue
    [ "$(wc -l < "$work/$name.err")" = 2 ] && [ "$(head -n 1 "$work/$name.err")" = "$ports_line" ] &&
      tail -n 1 "$work/$name.err" | grep -qF -- "${p#*|}" ||
      { cat "$work/$name.err"; fail "$name: not the one line of refusal expected"; }
    [ "$(cat "$work/$name.rc")" != 0 ] && [ ! -s "$work/$name.out" ] || fail "$name: status or output"
  done
  echo "ok: the planted kcs.cfg files were refused"
  printf '%s\n' "$ports_line" "korvex: cannot access I/O ports 0xCA2/0xCA3: Operation not permitted (run as root)" \
    "korvex: nothing was sent to the BMC" > "$work/nobody.expected"
  same "refusal as nobody" "$work/nobody.expected" "$work/nobody.err" || fail "the message as nobody differs"
  [ "$(cat "$work/nobody.rc")" = 4 ] && [ ! -s "$work/nobody.out" ] || fail "as nobody: status or output"
  grep -q "^korvex: the kernel's IPMI driver is loaded (/dev/ipmi0 exists)" "$work/driver.err" ||
    { cat "$work/driver.err"; fail "no kernel-driver refusal"; }
  [ "$(cat "$work/driver.rc")" = 4 ] && [ ! -s "$work/driver.out" ] || fail "kernel driver: status or output"
  printf '%s\n' "korvex: interface: the kernel's IPMI driver, /dev/ipmi0" \
    "korvex: /dev/ipmi0 is not the kernel's IPMI device: Inappropriate ioctl for device" \
    "korvex: nothing was sent to the BMC" > "$work/bogus.expected"
  same "refusal of a device node that is not the driver's" "$work/bogus.expected" "$work/bogus.err" ||
    fail "the message for /dev/null at /dev/ipmi0 differs"
  [ "$(cat "$work/bogus.rc")" = 4 ] && [ ! -s "$work/bogus.out" ] || fail "not an IPMI device: status or output"
  guest_result files > "$work/files"
  grep -qx 'dump.bin\|backup.bin' "$work/files" && fail "a refused run created a file"
  echo "ok: refused runs created no file"

  sim_run forced --stats -- -c -d forced.bin
  grep -q 'Done' "$work/sim/forced.out" || fail "korvex-sim did not complete the backup"
  [ "$(cat "$work/forced.rc")" = 0 ] || fail "the forced run's status is $(cat "$work/forced.rc")"
  grep -q '^korvex: warning: ' "$work/forced.err" || fail "the forced run did not warn"
  grep -qx 'korvex: KCS ports: command/status 0xCA3, data 0xCA2 (from kcs.cfg)' "$work/forced.err" ||
    fail "the forced run did not name the ports of its kcs.cfg"
  same "forced backup console text" "$work/sim/forced.out" "$work/forced.out" || fail "differs from korvex-sim"
  local sent expected
  sent=$(grep -c '^korvex-bmcd: seq ' "$work/bmcd.log")
  expected=$(sed -n 's/^exchanges: //p' "$work/sim/forced.err")
  [ "$sent" = "$expected" ] || fail "the BMC saw $sent requests; korvex-sim's backup alone sends $expected"
  echo "ok: the BMC saw only the forced run's $sent requests"
}

# The kernel's IPMI driver against korvex-bmcd. ipmi_msghandler, ipmi_si and
# ipmi_devintf load, find QEMU's KCS interface and create /dev/ipmi0, and
# ipmi_si sets up its interrupt with none of the warnings of a BMC that
# lacks the Global Enables. Requests through /dev/ipmi0 (ipmi-client) get
# the simulated BMC's answers; a loop of Get Device ID gives the driver's
# rate and must raise the interrupt at least once per request. Then the
# BMC falls silent (QEMU answers 0xC3 after its 4 s) and, in a second guest,
# goes away (0xD2 at once).
case_driver() {
  [ -n "$client" ] && [ -x "$client" ] || skip "ipmi-client is not built"
  guest_ipmi_modules || skip "no IPMI modules for $kernel (KORVEX_GUEST_MODULES)"
  cp "$client" "$root/bin/ipmi-client"
  local loop=2000 name
  guest_load_driver load
  guest_cmd irq0 "grep ipmi_si /proc/interrupts"
  guest_cmd devid "ipmi-client 6 1"
  guest_cmd rate "ipmi-client -n $loop 6 1"
  guest_cmd irq1 "grep ipmi_si /proc/interrupts"
  guest_cmd silent "ipmi-client -n 5000 6 1"
  guest_cmd dmesg "dmesg"
  # Silent after the driver's start, the loop and some more answers.
  boot with-bmc --bmcd-stop-after=$((loop + 1000))
  for name in load irq0 devid rate irq1 silent dmesg; do collect $name; done
  value() { sed -n "s/^$1=//p" "$work/$2.out"; }

  echo "driver: $(value per_second rate) Get Device ID requests/s through /dev/ipmi0 ($loop in a row)"
  [ "$(value ok rate)" = $loop ] || { cat "$work/rate.out"; fail "the loop did not get $loop answers"; }
  printf 'cc=0x00\ndata=20 01 02 10 02 00 00 00 00 00 00\n' > "$work/devid.expected"
  grep -E '^(cc|data)=' "$work/devid.out" > "$work/devid.got"
  same "Get Device ID through the driver" "$work/devid.expected" "$work/devid.got" || fail "wrong answer"
  grep -i 'ipmi' "$work/dmesg.out"
  grep -q 'ipmi_si .*: Using irq [0-9]' "$work/dmesg.out" || fail "ipmi_si does not use an interrupt"
  grep -E "Couldn't get irq info|does not support|Could not set the global enables|Error clearing flags|Invalid return|Error getting response" \
    "$work/dmesg.out" && fail "the driver warned about the BMC"
  echo "ok: the driver uses its interrupt and did not warn"
  local before after
  before=$(awk '{print $2}' "$work/irq0.out")
  after=$(awk '{print $2}' "$work/irq1.out")
  echo "interrupts during the loop: $((after - before))"
  [ $((after - before)) -ge $loop ] || fail "fewer interrupts than requests: the driver polled"
  echo "ok: at least one interrupt per request"
  [ "$(value cc silent)" = 0xc3 ] && [ "$(value ok silent)" -gt 0 ] || { cat "$work/silent.out"; fail "a silent BMC"; }
  echo "ok: a silent BMC gives 0xc3 (after $(value last_seconds silent) s)"

  : > "$guest_cases"
  guest_load_driver load
  guest_cmd gone "ipmi-client -n 1000 6 1"
  guest_cmd again "ipmi-client 6 1"
  boot with-bmc --bmcd-exit-after=100
  for name in load gone again; do collect $name; done
  [ "$(value cc gone)" = 0xd2 ] && [ "$(value ok gone)" -gt 0 ] && [ "$(value cc again)" = 0xd2 ] ||
    { cat "$work/gone.out" "$work/again.out"; fail "a BMC that went away"; }
  echo "ok: a BMC that went away gives 0xd2 (after $(value last_seconds again) s)"
}

# The four jobs through the kernel's IPMI driver against korvex-bmcd: korvex
# finds /dev/ipmi0 and goes through it. The same console text and exit
# status as korvex-sim for the same command and knobs; the dump equal to the
# flash, the package's parts in the flash afterwards, the backup equal to
# korvex-sim's, the restored bytes in the BMC. The restore runs beside a
# kcs.cfg, which the driver's way ignores and says so. The driver uses its
# interrupt throughout. Then a run on the raw ports while the driver holds
# them, refused as without this way, and one as nobody, who may not open
# /dev/ipmi0: status 4, no file.
case_driver_jobs() {
  guest_ipmi_modules || skip "no IPMI modules for $kernel (KORVEX_GUEST_MODULES)"
  head -c 4096 /dev/urandom > "$work/flash.bin"
  head -c 16384 /dev/urandom > "$work/payload.bin"
  "$pack" build --part a.bin=$work/payload.bin@0 --size 0x10000 -o "$work/fw.bin" > /dev/null ||
    fail "korvex-pack could not build the package"
  head -c 1000 /dev/urandom > "$work/restore.bin"
  guest_file "$work/fw.bin" fw.bin
  guest_file "$work/restore.bin" restore.bin
  local knobs=(--bmc-flash="$work/flash.bin" --bmc-dump-length=4096) name
  guest_load_driver load
  guest_cmd irq0 "grep ipmi_si /proc/interrupts"
  guest_run dump -d dump.bin
  guest_fetch dump.bin
  guest_run update -f fw.bin -r y
  guest_run backup -c -d backup.bin
  guest_fetch backup.bin
  guest_sh "printf 'CMD CA3 DATA CA2' > kcs.cfg"
  guest_run restore -c -f restore.bin
  guest_sh "rm kcs.cfg"
  guest_cmd irq1 "grep ipmi_si /proc/interrupts"
  guest_run ports --interface=ports -c -d refused.bin
  guest_cmd nobody "su -s /bin/sh nobody -c 'korvex -c -d refused.bin'"
  guest_sh "ls > /tmp/files; put files /tmp/files"
  boot with-bmc "${knobs[@]}" --bmc-save-flash="$work/flash-after.bin" --bmc-save-config="$work/bmc-config.bin"
  for name in load irq0 irq1; do collect $name; done
  sim_run dump "${knobs[@]}" -- -d dump.bin
  sim_run update -- -f fw.bin -r y
  sim_run backup -- -c -d backup.bin
  sim_run restore -- -c -f restore.bin
  collect dump "$(cat "$work/sim/dump.rc")" driver
  collect update "$(cat "$work/sim/update.rc")" driver
  collect backup "$(cat "$work/sim/backup.rc")" driver
  collect restore "$(cat "$work/sim/restore.rc")" driver-kcs-cfg
  for name in dump update backup restore; do
    same "$name console text through /dev/ipmi0" "$work/sim/$name.out" "$work/$name.out" || fail "differs from korvex-sim"
  done
  guest_result file.dump.bin > "$work/dump.bin"
  same "dump file" "$work/flash.bin" "$work/dump.bin" || fail "the dump is not the flash"
  "$pack" verify-dump "$work/fw.bin" "$work/flash-after.bin" > /dev/null || fail "the BMC's flash does not hold the package"
  echo "ok: the BMC's flash holds every part"
  guest_result file.backup.bin > "$work/backup.bin"
  same "backup file" "$work/sim/backup.bin" "$work/backup.bin" || fail "the backup differs from korvex-sim's"
  same "the BMC's configuration after the restore" "$work/restore.bin" "$work/bmc-config.bin" ||
    fail "the BMC does not hold the restored bytes"
  local before after
  before=$(awk '{print $2}' "$work/irq0.out")
  after=$(awk '{print $2}' "$work/irq1.out")
  [ $((after - before)) -gt 0 ] || fail "no interrupt during the jobs: the driver polled"
  echo "ok: $((after - before)) interrupts during the four jobs"

  guest_has ports.rc || fail "no result of the raw-port run"
  for part in out err rc; do guest_result "ports.$part" > "$work/ports.$part"; done
  [ "$(cat "$work/ports.rc")" = 4 ] && [ ! -s "$work/ports.out" ] || fail "the raw-port run: status or output"
  [ "$(head -n 1 "$work/ports.err")" = "korvex: interface: KCS ports (--interface=ports)" ] &&
    grep -q "the kernel's IPMI driver" "$work/ports.err" || { cat "$work/ports.err"; fail "the raw-port run was not refused"; }
  echo "ok: the raw-port run was refused while the driver holds the ports: $(sed -n 2p "$work/ports.err")"
  guest_has nobody.rc || fail "no result of the run as nobody"
  for part in out err rc; do guest_result "nobody.$part" > "$work/nobody.$part"; done
  printf '%s\n' "korvex: interface: the kernel's IPMI driver, /dev/ipmi0" \
    "korvex: cannot open /dev/ipmi0: Permission denied (run as root)" "korvex: nothing was sent to the BMC" \
    > "$work/nobody.expected"
  same "refusal as nobody through the driver" "$work/nobody.expected" "$work/nobody.err" || fail "differs"
  [ "$(cat "$work/nobody.rc")" = 4 ] && [ ! -s "$work/nobody.out" ] || fail "as nobody: status or output"
  guest_result files > "$work/files"
  grep -qx 'refused.bin' "$work/files" && fail "a refused run created a file"
  echo "ok: refused runs created no file"
}

# korvex through the kernel's IPMI driver against OpenIPMI's ipmi_sim, a BMC
# none of us wrote, which answers the tool's OEM requests and the Cold Reset
# with 0xC1: the update is refused (update state 1, "Execute Cold Reset
# Fail"), and a backup fails and leaves the older backup.bin as it was. Each
# console text and status equals korvex-sim's given the same answers.
case_openipmi_driver() {
  [ -n "$client" ] && [ -x "$client" ] || skip "ipmi-client is not built"
  guest_ipmi_modules || skip "no IPMI modules for $kernel (KORVEX_GUEST_MODULES)"
  head -c 4096 /dev/zero > "$work/fw.bin"
  head -c 700 /dev/urandom > "$work/older.bin"
  guest_file "$work/fw.bin" fw.bin
  guest_file "$work/older.bin" backup.bin
  local refused=(--bmc-fault=request-cc:get-fw-update-info:0xc1 --bmc-fault=request-cc:cold-reset:0xc1) name
  guest_load_driver load
  guest_cmd devid "ipmi-client 6 1"
  guest_run update -f fw.bin -r y
  guest_run backup -c -d backup.bin
  guest_fetch backup.bin
  guest_sh "ls > /tmp/files; put files /tmp/files"
  cp "$client" "$root/bin/ipmi-client"
  ipmi_sim_start
  boot ipmi-sim "$ipmi_sim_port"
  kill "$ipmi_sim_pid" 2>/dev/null; ipmi_sim_pid=
  collect load
  collect devid
  echo "ipmi_sim's Get Device ID through /dev/ipmi0: $(sed -n 's/^data=//p' "$work/devid.out")"
  sim_run update "${refused[@]}" -- -f fw.bin -r y
  sim_run backup --bmc-fault=request-cc:config-transfer:0xc1 -- -c -d backup.bin
  collect update "$(cat "$work/sim/update.rc")" driver
  collect backup "$(cat "$work/sim/backup.rc")" driver
  grep -q 'Execute Cold Reset Fail' "$work/update.out" || fail "the update was not refused with the cold reset failing"
  for name in update backup; do
    same "$name console text against ipmi_sim" "$work/sim/$name.out" "$work/$name.out" || fail "differs from korvex-sim"
  done
  guest_result file.backup.bin > "$work/backup.bin"
  same "the older backup.bin" "$work/older.bin" "$work/backup.bin" || fail "the failed backup changed the older file"
  guest_result files > "$work/files"
  grep -q 'incomplete' "$work/files" && fail "the failed backup left its temporary file"
  echo "ok: exit statuses $(cat "$work/update.rc") and $(cat "$work/backup.rc"), as korvex-sim's"
}

# The throughput of the tool's update over the raw KCS ports and then, with
# the driver loaded, through /dev/ipmi0, in one guest (bench/driver_bench.sh;
# not a test). Each run is timed by the guest's /proc/uptime; the four
# progress polls' pauses of 1 s are taken off, and the requests are those
# korvex-sim counts for the same update, less the four polls.
case_driver_bench() {
  guest_ipmi_modules || skip "no IPMI modules for $kernel (KORVEX_GUEST_MODULES)"
  local part=${KORVEX_BENCH_PART:-262144} name
  head -c "$part" /dev/urandom > "$work/payload.bin"
  "$pack" build --part a.bin=$work/payload.bin@0 --size $((part + 0x10000)) -o "$work/fw.bin" > /dev/null ||
    fail "korvex-pack could not build the package"
  guest_file "$work/fw.bin" fw.bin
  guest_cmd t0 "cut -d' ' -f1 /proc/uptime"
  guest_run raw -f fw.bin -r y
  guest_cmd t1 "cut -d' ' -f1 /proc/uptime"
  guest_load_driver load
  guest_cmd irq0 "grep ipmi_si /proc/interrupts"
  guest_cmd t2 "cut -d' ' -f1 /proc/uptime"
  guest_run drv -f fw.bin -r y
  guest_cmd t3 "cut -d' ' -f1 /proc/uptime"
  guest_cmd irq1 "grep ipmi_si /proc/interrupts"
  guest_cmd dmesg "dmesg"
  boot with-bmc
  for name in t0 t1 load irq0 t2 t3 irq1 dmesg; do collect $name; done
  collect raw
  collect drv 0 driver
  sim_run update --stats -- -f fw.bin -r y
  same "update console text, raw ports" "$work/sim/update.out" "$work/raw.out" || fail "differs from korvex-sim"
  same "update console text, driver" "$work/sim/update.out" "$work/drv.out" || fail "differs from korvex-sim"
  local requests
  requests=$(( $(sed -n 's/^exchanges: //p' "$work/sim/update.err") - 4 ))
  awk -v n="$requests" -v part="$part" -v t0="$(cat "$work/t0.out")" -v t1="$(cat "$work/t1.out")" \
      -v t2="$(cat "$work/t2.out")" -v t3="$(cat "$work/t3.out")" 'BEGIN {
    raw = n / (t1 - t0 - 4); drv = n / (t3 - t2 - 4)
    printf "update of a %d-byte part, %d requests besides the progress polls\n", part, n
    printf "raw ports: %.1f s, %.0f requests/s\n", t1 - t0 - 4, raw
    printf "driver:    %.1f s, %.0f requests/s\n", t3 - t2 - 4, drv
    printf "driver / raw ports: %.2f (goal: at least 0.8)\n", drv / raw }'
  echo "interrupts during the driver's update: $(( $(awk '{print $2}' "$work/irq1.out") - $(awk '{print $2}' "$work/irq0.out") ))"
  grep -i 'ipmi' "$work/dmesg.out"
}
