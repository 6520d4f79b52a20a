# The cases of linux_guest.sh, one function each: they queue runs for the
# guest (guest_run), boot it, and compare with the same runs of korvex-sim.

# korvex with no arguments prints the usage banner only, as on the host.
case_banner() {
  guest_run banner
  boot no-bmc
  guest_has banner.out || fail "no result from the guest"
  sim_run banner
  guest_result banner.out > "$work/banner.out"
  guest_result banner.rc > "$work/banner.rc"
  same "banner" "$work/sim/banner.out" "$work/banner.out" || fail "the guest's banner differs"
  [ "$(cat "$work/banner.rc")" = 0 ] || fail "exit status $(cat "$work/banner.rc")"
}

# No KCS interface: every port reads 0xFF, so the BMC never seems ready.
# The dump fails after its bounded wait, with exit status 0, and leaves no
# flash data behind.
case_no_device() {
  guest_run nodev -d dump.bin
  guest_fetch dump.bin
  boot no-bmc
  guest_has nodev.out || fail "no result from the guest"
  guest_result nodev.out > "$work/nodev.out"
  guest_result nodev.err > "$work/nodev.err"
  guest_result nodev.rc > "$work/nodev.rc"
  echo "guest's console text:"; cat -v "$work/nodev.out" | tail -n 5
  [ "$(cat "$work/nodev.rc")" = 0 ] || fail "exit status $(cat "$work/nodev.rc")"
  [ -s "$work/nodev.err" ] && { cat "$work/nodev.err"; fail "the front end complained"; }
  if guest_has file.dump.bin; then
    guest_result file.dump.bin > "$work/dump.bin"
    [ -s "$work/dump.bin" ] && fail "flash data in dump.bin without a BMC"
  fi
  grep -q 'ERROR !! BMC did not in correct state' "$work/nodev.out" || echo "note: no KCS error line (the exchange is not built yet?)"
  true
}
