# Sourced by scripts/sim and scripts/demo: a simulated display head in a sandbox root.
#
# The daemon sees ROOT as "/". Two socat null-modem cables join its serial ports to their far
# ends: ROOT/dev/ttyGS0 (the USB gadget port) to ROOT/host/ttyACM0, where the PC's dhhost
# talks, and ROOT/dev/ttyS5 (the controller's UART) to ROOT/host/ttyMCU, where dhmcu plays
# the controller. dhgui maps the GUI process's shared block. Every process started here is
# remembered in SIM_PIDS and ended by sim_stop. Needs DH_TOP (the source tree).

SIM_PIDS=()
SIM_UDC_STATE=sys/class/udc/13500000.otg/state

# sim_build BUILD-DIR: configures and builds the daemon and the tools.
sim_build() {
  dh_configure "$1"
  cmake --build "$1" --parallel "$(nproc)" --target displayhead dhhost dhshot dhmcu dhgui >/dev/null
}

# sim_make_root ROOT: the device's folders, the boot logo, the SD card with its slideshow
# pictures, and the host's cable plugged in. The 13 background videos come with
# sim_add_backgrounds.
sim_make_root() {
  local root=$1
  mkdir -p "$root/dev" "$root/host" "$root/log" "$root/usr/data" "$root/media" \
    "$root/tmp/sdcard/mmcblk0p1/img" "$(dirname "$root/$SIM_UDC_STATE")"
  cp "$DH_TOP/media/logo.jpg" "$root/media/logo.jpg"
  cp "$DH_TOP"/media/slideshow/*.jpg "$root/tmp/sdcard/mmcblk0p1/img/"
  sim_cable "$root" plugged
}

# sim_add_backgrounds ROOT: the 13 background videos of the themes, in /media/bg_h264.
sim_add_backgrounds() {
  cp -r "$DH_TOP/media/bg_h264" "$1/media/bg_h264"
}

# sim_store_theme ROOT N: the stored theme the daemon starts with.
sim_store_theme() {
  printf "\\x$(printf %02x "$2")" >"$1/usr/data/lvgl_app.cfg"
}

# sim_cable ROOT plugged|pulled: the USB gadget's state, as the host's cable leaves it.
sim_cable() {
  if [ "$2" = plugged ]; then
    echo configured >"$1/$SIM_UDC_STATE"
  else
    echo "not attached" >"$1/$SIM_UDC_STATE"
  fi
}

# sim_wait_file PATH SECONDS: waits until PATH exists; 1 when it does not come.
sim_wait_file() {
  local i
  for ((i = 0; i < $2 * 20; ++i)); do
    [ -e "$1" ] && return 0
    sleep 0.05
  done
  return 1
}

# sim_wait_log LOG TEXT SECONDS: waits until LOG holds TEXT (a fixed string); 1 when it
# does not come.
sim_wait_log() {
  local i
  for ((i = 0; i < $3 * 20; ++i)); do
    grep -qF -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}

# sim_start ROOT BUILD-DIR [DHMCU-ARGS...]: the cables, the daemon, dhgui and dhmcu (by
# default reporting offline mode, 31 degrees and 1500 rpm twice a second). Output goes to
# ROOT/log/{daemon,dhgui,dhmcu}.log. Returns 1 with a message when a part does not come up.
sim_start() {
  local root=$1 build=$2
  shift 2
  local controller_args=("$@")
  [ ${#controller_args[@]} -gt 0 ] || controller_args=(--status 0,31,1500 --rate 2)
  socat "pty,raw,echo=0,link=$root/dev/ttyGS0" "pty,raw,echo=0,link=$root/host/ttyACM0" 2>>"$root/log/socat.log" &
  SIM_PIDS+=($!)
  socat "pty,raw,echo=0,link=$root/dev/ttyS5" "pty,raw,echo=0,link=$root/host/ttyMCU" 2>>"$root/log/socat.log" &
  SIM_PIDS+=($!)
  local end
  for end in dev/ttyGS0 host/ttyACM0 dev/ttyS5 host/ttyMCU; do
    sim_wait_file "$root/$end" 5 || { echo "sim: socat made no $root/$end" >&2; return 1; }
  done
  DISPLAYHEAD_ROOT=$root "$build/displayhead" >"$root/log/daemon.log" 2>&1 &
  SIM_PIDS+=($!)
  sim_wait_log "$root/log/daemon.log" 'init_tty done!' 10 ||
    { echo "sim: the daemon did not open its host port (see $root/log/daemon.log)" >&2; return 1; }
  DISPLAYHEAD_ROOT=$root "$build/dhgui" >"$root/log/dhgui.log" 2>&1 &
  SIM_PIDS+=($!)
  "$build/dhmcu" -p "$root/host/ttyMCU" "${controller_args[@]}" >"$root/log/dhmcu.log" 2>&1 &
  SIM_PIDS+=($!)
}

# sim_follow LOG PREFIX: echoes LOG's new lines as they come, each after PREFIX, leaving out
# a line that repeats the one before it (dhgui prints every record, twice a second).
sim_follow() {
  local prefix=$2
  tail -n +1 -F "$1" 2>/dev/null > >(
    last=""
    while IFS= read -r line; do
      [ "$line" = "$last" ] || printf '%s%s\n' "$prefix" "$line"
      last=$line
    done) &
  SIM_PIDS+=($!)
}

# sim_stop: ends every process started here, newest first: SIGTERM, then SIGKILL after 3 s.
sim_stop() {
  local i pid
  for ((i = ${#SIM_PIDS[@]} - 1; i >= 0; --i)); do kill -TERM "${SIM_PIDS[i]}" 2>/dev/null || true; done
  for ((i = 0; i < 60; ++i)); do
    local alive=0
    for pid in "${SIM_PIDS[@]}"; do kill -0 "$pid" 2>/dev/null && alive=1; done
    [ $alive -eq 0 ] && break
    sleep 0.05
  done
  for pid in "${SIM_PIDS[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  for pid in "${SIM_PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  SIM_PIDS=()
}
