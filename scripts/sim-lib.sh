# Sourced by scripts/sim, scripts/demo and scripts/soak: a simulated display head in a run
# folder ROOT, laid out so that nothing of the simulator itself is within the device's reach:
#
#   ROOT/device  what the daemon sees as "/" (its DISPLAYHEAD_ROOT): /dev, /usr/data, /media,
#                the SD card, /sys
#   ROOT/host    the host-side ends: ttyACM0 (the PC's end of the USB cable), ttyMCU (the
#                controller's end of its UART), mcu.ctl (the serving dhmcu's control socket)
#                and sim.ctl (dhsim's: the cable and the power)
#   ROOT/log     every log: daemon.log, dhsim.log, dhgui.log, dhmcu.log, socat.log
#
# dhsim owns the USB cable and the device's power: it joins device /dev/ttyGS0 (the USB gadget
# port) to host/ttyACM0, where the PC's dhhost talks, which exists only while the cable is
# plugged and the device is up, and it runs the daemon (restarting it when the device's
# reboot asks; see tools/dhsim.cpp). A socat null-modem cable joins device /dev/ttyS5 (the
# controller's UART) to host/ttyMCU, where dhmcu plays the controller. dhgui maps the GUI
# process's shared block. Every process started here is remembered in SIM_PIDS and ended by
# sim_stop. Needs DH_TOP (the source tree).
#
# Scripts use the variables below, set by sim_paths, never literal paths.

SIM_PIDS=()
SIM_DAEMON_PID="" SIM_MCU_PID="" SIM_DHSIM="" SIM_DHSIM_PID=""
# Relative to the device's root.
SIM_UDC_STATE=sys/class/udc/13500000.otg/state
# The display driver's attributes the daemon writes: the rotator's angle and the backlight,
# and what their drivers give them at boot (the rotator at 0 degrees, the backlight full):
# dhsim puts them back before every start of the daemon, as the board's boot does.
SIM_ROTATOR=sys/bus/platform/drivers/ingenic-fb/ingenic-fb.0/rotator_angle
SIM_BACKLIGHT=sys/class/backlight/backlight_pwm0/brightness
SIM_ROTATOR_AT_BOOT=0
SIM_BACKLIGHT_AT_BOOT=100
SIM_CARD=tmp/sdcard/mmcblk0p1

# sim_paths ROOT: sets SIM_ROOT, SIM_DEVICE, SIM_HOST, SIM_LOG, SIM_HOST_PORT, SIM_MCU_PORT,
# SIM_MCU_CTL and SIM_CTL for the run folder ROOT.
sim_paths() {
  SIM_ROOT=$1
  SIM_DEVICE=$1/device
  SIM_HOST=$1/host
  SIM_LOG=$1/log
  SIM_HOST_PORT=$SIM_HOST/ttyACM0
  SIM_MCU_PORT=$SIM_HOST/ttyMCU
  SIM_MCU_CTL=$SIM_HOST/mcu.ctl
  SIM_CTL=$SIM_HOST/sim.ctl
}
# SIM_TRACE=1 puts dhtrace between each cable and its far end (see sim_start_trace).
SIM_TRACE=${SIM_TRACE:-0}

# sim_build BUILD-DIR: configures and builds the daemon and the tools.
sim_build() {
  dh_configure "$1"
  cmake --build "$1" --parallel "$(nproc)" --target displayhead dhhost dhshot dhmcu dhgui dhtrace dhsim >/dev/null
}

# sim_make_root ROOT: the three folders; in the device's: its folders, the boot logo, the SD
# card with its slideshow pictures. The 13 background videos come with sim_add_backgrounds.
sim_make_root() {
  sim_paths "$1"
  local dev=$SIM_DEVICE
  mkdir -p "$SIM_HOST" "$SIM_LOG" "$dev/dev" "$dev/usr/data" "$dev/media" "$dev/$SIM_CARD/img" \
    "$(dirname "$dev/$SIM_UDC_STATE")"
  cp "$DH_TOP/media/logo.jpg" "$dev/media/logo.jpg"
  cp "$DH_TOP"/media/slideshow/*.jpg "$dev/$SIM_CARD/img/"
  sim_display_attributes "$SIM_DEVICE"
}

# sim_display_attributes DEVICE-ROOT: the rotator and the backlight as their drivers leave
# them at boot.
sim_display_attributes() {
  mkdir -p "$(dirname "$1/$SIM_ROTATOR")" "$(dirname "$1/$SIM_BACKLIGHT")"
  printf %s "$SIM_ROTATOR_AT_BOOT" >"$1/$SIM_ROTATOR"
  printf %s "$SIM_BACKLIGHT_AT_BOOT" >"$1/$SIM_BACKLIGHT"
}

# sim_add_backgrounds ROOT: the 13 background videos of the themes, in /media/bg_h264.
sim_add_backgrounds() {
  sim_paths "$1"
  cp -r "$DH_TOP/media/bg_h264" "$SIM_DEVICE/media/bg_h264"
}

# sim_store_theme ROOT N: the stored theme the daemon starts with.
sim_store_theme() {
  sim_paths "$1"
  printf "\\x$(printf %02x "$2")" >"$SIM_DEVICE/usr/data/lvgl_app.cfg"
}

# sim_panel ROOT W H: the panel's size, as the display driver reports it for both layers.
sim_panel() {
  sim_paths "$1"
  local fb
  for fb in fb0 fb1; do
    mkdir -p "$SIM_DEVICE/sys/class/graphics/$fb"
    echo "$2,$3" >"$SIM_DEVICE/sys/class/graphics/$fb/virtual_size"
  done
}

# sim_cable ROOT plugged|pulled: the host's USB cable, through dhsim (sim_start).
sim_cable() {
  sim_paths "$1"
  "$SIM_DHSIM" ctl "$SIM_CTL" cable "$([ "$2" = plugged ] && echo plug || echo pull)" >/dev/null
}

# sim_device_commands ROOT DHSIM: the device image's reboot and halt, in its /sbin: they ask
# dhsim to restart the device or to power it off.
sim_device_commands() {
  sim_paths "$1"
  mkdir -p "$SIM_DEVICE/sbin"
  local command
  for command in reboot halt; do
    printf '#!/bin/sh\n# The device image'"'"'s %s, simulated: dhsim drops the cable and ends the daemon.\nexec "%s" ctl "%s" %s\n' \
      "$command" "$2" "$SIM_CTL" "$command" >"$SIM_DEVICE/sbin/$command"
    chmod +x "$SIM_DEVICE/sbin/$command"
  done
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

# sim_start ROOT BUILD-DIR [DHMCU-ARGS...]: the cables, dhsim and the daemon it runs, dhgui
# and dhmcu serving its control socket SIM_MCU_CTL (by default reporting offline mode, 31
# degrees and 1500 rpm twice a second). Output goes to SIM_LOG/{daemon,dhsim,dhgui,dhmcu}.log.
# SIM_CARD_MB, when set, gives the SD card a size of its own (sim_card_command); SIM_TCP_PORT
# (and SIM_TCP_BIND) make dhsim serve the host's end on TCP (port 0: a free one), and
# SIM_TCP_PORT is then the port it bound. Returns 1 with a message when a part does not come
# up.
sim_start() {
  sim_paths "$1"
  local build=$2
  shift 2
  local controller_args=("$@")
  [ ${#controller_args[@]} -gt 0 ] || controller_args=(--status 0,31,1500 --rate 2)
  # Traced, dhtrace makes the ports the daemon and the controller open, and the cables' ends
  # for them are in SIM_HOST/direct.
  local device_end=$SIM_DEVICE/dev/ttyGS0 mcu_end=$SIM_MCU_PORT
  if [ "$SIM_TRACE" = 1 ]; then
    mkdir -p "$SIM_HOST/direct"
    device_end=$SIM_HOST/direct/ttyGS0 mcu_end=$SIM_HOST/direct/ttyMCU
  fi
  SIM_DHSIM=$build/dhsim
  sim_device_commands "$SIM_ROOT" "$SIM_DHSIM"
  # The card belongs to the device, not to one run of the daemon: dhsim, which outlives its
  # reboots and power cycles, holds it.
  local dhsim=("$SIM_DHSIM")
  [ -z "${SIM_CARD_MB:-}" ] || sim_card_command dhsim "$SIM_CARD_MB" "$SIM_DHSIM"
  local tcp=()
  [ -z "${SIM_TCP_PORT:-}" ] || tcp=(--tcp "$SIM_TCP_PORT" --bind "${SIM_TCP_BIND:-127.0.0.1}")
  rm -f "$SIM_CTL"
  DISPLAYHEAD_ROOT=$SIM_DEVICE "${dhsim[@]}" serve --device-end "$device_end" --host-end "$SIM_HOST_PORT" \
    --udc-state "$SIM_DEVICE/$SIM_UDC_STATE" --ctl "$SIM_CTL" --log "$SIM_LOG/daemon.log" "${tcp[@]}" \
    --boot-attribute "$SIM_DEVICE/$SIM_ROTATOR=$SIM_ROTATOR_AT_BOOT" \
    --boot-attribute "$SIM_DEVICE/$SIM_BACKLIGHT=$SIM_BACKLIGHT_AT_BOOT" \
    --power off -- "$build/displayhead" 2>>"$SIM_LOG/dhsim.log" &
  SIM_DHSIM_PID=$!
  SIM_PIDS+=($!)
  socat "pty,raw,echo=0,link=$SIM_DEVICE/dev/ttyS5" "pty,raw,echo=0,link=$mcu_end" 2>>"$SIM_LOG/socat.log" &
  SIM_PIDS+=($!)
  local end i
  for end in "$SIM_CTL" "$device_end" "$SIM_DEVICE/dev/ttyS5" "$mcu_end"; do
    for ((i = 0; i < 600; ++i)); do
      [ ! -e "$end" ] || break
      kill -0 "$SIM_DHSIM_PID" 2>/dev/null || { echo "sim: $(tail -n 2 "$SIM_LOG/dhsim.log")" >&2; return 1; }
      sleep 0.05
    done
    [ -e "$end" ] || { echo "sim: no $end came (see $SIM_LOG/dhsim.log, socat.log)" >&2; return 1; }
  done
  if [ -n "${SIM_TCP_PORT:-}" ]; then
    # dhsim says the port it bound before it makes its control socket (with port 0 the kernel
    # picks a free one as it binds it: no other program can take it in between).
    SIM_TCP_PORT=$(sed -n 's/^dhsim: TCP bridge on .*:\([0-9][0-9]*\)$/\1/p' "$SIM_LOG/dhsim.log" | tail -n 1)
    [ -n "$SIM_TCP_PORT" ] || { echo "sim: dhsim did not say its TCP port (see $SIM_LOG/dhsim.log)" >&2; return 1; }
  fi
  [ "$SIM_TRACE" != 1 ] || sim_start_trace "$build" || return 1
  "$SIM_DHSIM" ctl "$SIM_CTL" power on >/dev/null ||
    { echo "sim: the daemon did not open its host port (see $SIM_LOG/daemon.log)" >&2; return 1; }
  SIM_DAEMON_PID=$(pgrep -n -P "$SIM_DHSIM_PID" || true)
  DISPLAYHEAD_ROOT=$SIM_DEVICE "$build/dhgui" --brief >"$SIM_LOG/dhgui.log" 2>&1 &
  SIM_PIDS+=($!)
  rm -f "$SIM_MCU_CTL"
  "$build/dhmcu" -p "$SIM_MCU_PORT" --serve "$SIM_MCU_CTL" "${controller_args[@]}" >"$SIM_LOG/dhmcu.log" 2>&1 &
  SIM_MCU_PID=$!
  SIM_PIDS+=($!)
  sim_wait_file "$SIM_MCU_CTL" 30 || { echo "sim: dhmcu made no $SIM_MCU_CTL (see $SIM_LOG/dhmcu.log)" >&2; return 1; }
}

# sim_card_command ARRAY MB PROGRAM: sets the array named ARRAY to a command that runs
# PROGRAM (with the arguments that follow the array) with the SD card (SIM_DEVICE/SIM_CARD) as
# a tmpfs of MB MiB of its own, in a user and mount namespace, the card's files copied in;
# PROGRAM and its children see the card, and it lasts as long as PROGRAM. SIM_CARD_HOW says
# how the card is made. Where the machine allows no such namespace, PROGRAM runs on the plain
# folder.
sim_card_command() {
  local -n command=$1
  local card=$SIM_DEVICE/$SIM_CARD
  if unshare --user --map-root-user --mount true 2>/dev/null; then
    # The shell keeps the plain folder as its working directory while the tmpfs covers it,
    # so the files the card started with can be copied over.
    # shellcheck disable=SC2016
    command=(unshare --user --map-root-user --mount bash -c \
      'cd "$1" && mount -t tmpfs -o "size=$2m" displayhead-card "$1" && cp -a . "$1"/ && cd / && exec "${@:3}"' \
      sim-card "$card" "$2" "$3")
    SIM_CARD_HOW="a tmpfs of $2 MiB in the device's own mount namespace (kept across reboots)"
  else
    command=("$3")
    SIM_CARD_HOW="the machine allows no user namespace: the card is a plain folder of the host's file system, with its size"
  fi
}

# sim_card_path: the SD card's folder as the daemon sees it, reachable from outside its
# namespace (through dhsim's /proc entry while the card is a tmpfs of its own).
sim_card_path() {
  if [ -n "${SIM_CARD_MB:-}" ] && [ -n "$SIM_DHSIM_PID" ] && [ -d "/proc/$SIM_DHSIM_PID/root$SIM_DEVICE" ]; then
    echo "/proc/$SIM_DHSIM_PID/root$SIM_DEVICE/$SIM_CARD"
  else
    echo "$SIM_DEVICE/$SIM_CARD"
  fi
}

# sim_start_trace BUILD-DIR: dhtrace on both links. On the host's, between the daemon's port
# (which it makes, SIM_DEVICE/dev/ttyGS0) and the device's end of dhsim's cable, so that the
# host's end still comes and goes with the cable; on the controller's, between the cable's
# far end (SIM_HOST/direct/ttyMCU) and the port dhmcu opens (SIM_MCU_PORT). JSON lines go to
# SIM_LOG/trace-host.jsonl and trace-mcu.jsonl, the captures to trace-host.pcapng and
# trace-mcu.pcapng.
sim_start_trace() {
  local build=$1
  "$build/dhtrace" --device "$SIM_HOST/direct/ttyGS0" --listen "$SIM_DEVICE/dev/ttyGS0" --listen-is-device \
    --link host --json --pcap "$SIM_LOG/trace-host.pcapng" >"$SIM_LOG/trace-host.jsonl" 2>>"$SIM_LOG/dhtrace.log" &
  SIM_PIDS+=($!)
  sim_wait_file "$SIM_DEVICE/dev/ttyGS0" 30 || { echo "sim: dhtrace made no $SIM_DEVICE/dev/ttyGS0" >&2; return 1; }
  "$build/dhtrace" --device "$SIM_HOST/direct/ttyMCU" --listen "$SIM_MCU_PORT" --link controller \
    --json --pcap "$SIM_LOG/trace-mcu.pcapng" >"$SIM_LOG/trace-mcu.jsonl" 2>>"$SIM_LOG/dhtrace.log" &
  SIM_PIDS+=($!)
  sim_wait_file "$SIM_MCU_PORT" 30 || { echo "sim: dhtrace made no $SIM_MCU_PORT" >&2; return 1; }
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
