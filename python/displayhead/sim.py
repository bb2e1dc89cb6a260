"""A complete simulated display head from a build folder: scripts/sim in a temporary run
folder, and handles on what a test looks at and changes: the host link, the controller, the
panel, the cable, the GUI process's shared block and the logs.

The run folder holds device/ (what the daemon sees as "/"), host/ (the host-side ends of the
cables and the controller's control socket) and log/ (every log).
"""
from __future__ import annotations

import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Optional

from .link import DeviceError, HostLink
from .png import Picture, decode_png

START_LIMIT = 90.0   # a busy machine (or a sanitizer build) starts the device slowly
STOP_LIMIT = 20.0
UDC_STATE = "sys/class/udc/13500000.otg/state"
CARD = "tmp/sdcard/mmcblk0p1"


class SimError(Exception):
    """The simulated device did not do what was asked of it."""


class NeedsSimControl(SimError):
    """A feature that needs scripts/sim-ctl (the simulated cable's and power's control),
    which this source tree does not have yet."""


def source_dir(build_dir: Optional[Path] = None) -> Path:
    """The source tree that has scripts/sim: DH_SOURCE_DIR, else the tree this package lies in,
    else the one the build folder was configured from."""
    if os.environ.get("DH_SOURCE_DIR"):
        return Path(os.environ["DH_SOURCE_DIR"]).resolve()
    here = Path(__file__).resolve().parents[2]
    if (here / "scripts/sim").is_file() or build_dir is None:
        return here
    try:
        for line in (build_dir / "CMakeCache.txt").read_text().splitlines():
            if line.startswith("CMAKE_HOME_DIRECTORY:INTERNAL="):
                return Path(line.split("=", 1)[1])
    except FileNotFoundError:
        pass
    return here


def default_build_dir() -> Path:
    """DH_BUILD_DIR, else build/ of the source tree."""
    if os.environ.get("DH_BUILD_DIR"):
        return Path(os.environ["DH_BUILD_DIR"]).resolve()
    return source_dir() / "build"


def wait_until(check: Callable[[], object], within: float, what: str, seen: Callable[[], str] = None,
               every: float = 0.05):
    """Polls `check` until it returns something true; SimError after `within` seconds saying
    what did not happen and what was seen."""
    deadline = time.monotonic() + within
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > deadline:
            detail = f"\nseen: {seen()}" if seen else ""
            raise SimError(f"{what} did not happen within {within:.0f} s{detail}")
        time.sleep(every)


@dataclass(frozen=True)
class GuiRecord:
    """The record of the block shared with the GUI process ("/demo_shm"), as last published."""
    raw: bytes
    new_data: int

    @property
    def kind(self) -> str:
        return {0x51: "data", 0x99: "command"}.get(self.raw[1], f"0x{self.raw[1]:02x}")

    @property
    def command(self) -> Optional[str]:
        """"pause" or "resume" for a command record."""
        code = self.raw[2:5]
        return {b"\x12\x34\x56": "pause", b"\x65\x43\x21": "resume"}.get(code) if self.raw[1] == 0x99 else None

    @property
    def control_mode(self) -> int:
        return self.raw[3]

    @property
    def water_temp(self) -> int:
        return self.raw[4]

    @property
    def pump_speed(self) -> int:
        return self.raw[11] << 8 | self.raw[12]

    @property
    def theme_index(self) -> int:
        return self.raw[34]

    @property
    def theme_data(self) -> bytes:
        return self.raw[5:11] + self.raw[13:34]

    @property
    def display_record(self) -> bytes:
        """Bytes 3..66: the controller's display record (its wireless copy)."""
        return self.raw[3:67]

    @property
    def complete(self) -> bool:
        return self.raw[127] == 0xB1


class Controller:
    """The cooling controller that dhmcu plays on the far end of the controller's cable,
    steered through its control socket (one line of words, one line of answer)."""

    def __init__(self, device: "SimulatedDevice"):
        self._device = device

    def words(self, line: str) -> str:
        """Sends one line of control words; the answer ("ok" or JSON). SimError on "error:"."""
        path = str(self._device.mcu_ctl)
        deadline = time.monotonic() + 10
        while True:
            try:
                with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as client:
                    client.settimeout(10)
                    client.connect(path)
                    client.sendall(line.encode() + b"\n")
                    answer = b""
                    while not answer.endswith(b"\n"):
                        piece = client.recv(4096)
                        if not piece:
                            break
                        answer += piece
                break
            except (ConnectionRefusedError, FileNotFoundError) as error:
                if time.monotonic() > deadline:
                    raise SimError(f"the controller's control socket {path} does not answer: {error}")
                time.sleep(0.05)  # dhmcu is between two clients
        text = answer.decode().strip()
        if text.startswith("error"):
            raise SimError(f"controller: {line}: {text}")
        return text

    def state(self) -> dict:
        """mode, temp, pump, rate, frames_sent, queued, messages_received, wireless, set."""
        return json.loads(self.words("state"))

    def mode(self, mode: int) -> None:
        """The control mode in the status frames (1: wireless, in which the device drops the
        host's controller commands)."""
        self.words(f"mode {mode}")

    def temp(self, degrees: int) -> None:
        self.words(f"temp {degrees}")

    def pump(self, rpm: int) -> None:
        self.words(f"pump {rpm}")

    def wireless(self, theme: int, brightness: int, rotation: int) -> None:
        self.words(f"wireless {theme},{brightness},{rotation}")

    def wireless_off(self) -> None:
        self.words("wireless off")

    def set(self, offset: int, data: bytes) -> None:
        """Bytes of every frame from `offset` on."""
        self.words(f"set {offset}={data.hex()}")

    def unset(self, offset: Optional[int] = None) -> None:
        self.words("unset all" if offset is None else f"unset {offset}")

    def knob(self, steps: int) -> None:
        self.words(f"knob {steps}")

    def picture(self, path: os.PathLike, packages: Optional[list[int]] = None, size: Optional[int] = None) -> None:
        words = f"picture {os.fspath(path)}"
        if packages is not None:
            words += " packages=" + ",".join(str(n) for n in packages)
        if size is not None:
            words += f" size={size}"
        self.words(words)

    def host_data(self, data: bytes) -> None:
        self.words(f"host-data {data.hex()}")

    def wake(self) -> None:
        self.words("wake")

    def slip(self) -> None:
        self.words("slip")

    def gap(self, ms: Optional[int] = None) -> None:
        self.words("gap" if ms is None else f"gap {ms}")

    def rate(self, hz: float) -> None:
        self.words(f"rate {hz:g}")

    def received(self) -> str:
        """What the controller has received from the display head, as dhmcu prints it."""
        return self._device.log("dhmcu")

    def wait_for_received(self, text: str, within: float = 10.0) -> None:
        """Waits until dhmcu has printed `text` (for a relay: "A4 00 pump/fan settings, 14
        bytes", then its payload bytes "01 02 ...")."""
        wait_until(lambda: text in self.received(), within, f"the controller receiving {text!r}",
                   lambda: self.received()[-2000:])


class Panel:
    """What the simulated panel shows: composed by dhshot from the display controller's
    scan-out state; the state file's sequence counts its changes."""

    def __init__(self, device: "SimulatedDevice"):
        self._device = device

    def screenshot(self, as_seen: bool = False) -> bytes:
        """The panel as PNG bytes (as_seen: darkened by the backlight)."""
        with tempfile.TemporaryDirectory(prefix="dhshot-") as folder:
            out = Path(folder) / "panel.png"
            words = [str(self._device.build_dir / "dhshot")] + (["--as-seen"] if as_seen else []) + [str(out)]
            run = subprocess.run(words, env=dict(os.environ, DISPLAYHEAD_ROOT=str(self._device.device_root)),
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
            if run.returncode != 0:
                raise SimError(f"dhshot failed: {run.stdout.decode(errors='replace')}")
            return out.read_bytes()

    def picture(self) -> Picture:
        """The panel decoded: .width, .height, .at(x, y) as 0xRRGGBB."""
        return decode_png(self.screenshot())

    def pixel(self, x: int, y: int) -> int:
        return self.picture().at(x, y)

    def changes(self) -> int:
        """How often the scan-out has changed (opens, closes, pans) since the daemon started."""
        path = self._device.device_root / "run/displayhead/panel"
        try:
            with open(path, "rb") as state:
                head = state.read(12)
        except FileNotFoundError:
            return 0
        if len(head) < 12:
            return 0
        sequence = int.from_bytes(head[8:12], "little")
        return (sequence + 1) // 2

    def wait_for_pixel(self, x: int, y: int, rgb: int, within: float = 10.0, tolerance: int = 24) -> Picture:
        """Waits until the pixel at (x, y) comes within `tolerance` of 0xRRGGBB in every
        channel; returns that picture. A new screenshot is taken only after a change."""
        seen = {"changes": -1, "picture": None}

        def close() -> Optional[Picture]:
            now = self.changes()
            if now == seen["changes"]:
                return None
            seen["changes"] = now
            picture = self.picture()
            seen["picture"] = picture
            got = picture.at(x, y)
            near = all(abs((got >> s & 0xFF) - (rgb >> s & 0xFF)) <= tolerance for s in (16, 8, 0))
            return picture if near else None

        def last() -> str:
            picture = seen["picture"]
            return f"0x{picture.at(x, y):06x} at ({x}, {y})" if picture else "no picture"

        return wait_until(close, within, f"the panel showing 0x{rgb:06x} at ({x}, {y})", last, every=0.1)


class Cable:
    """The host's USB cable."""

    def __init__(self, device: "SimulatedDevice"):
        self._device = device

    def pull(self) -> None:
        self._device.sim_ctl("cable", "pull")

    def plug(self) -> None:
        self._device.sim_ctl("cable", "plug")

    def plugged(self) -> bool:
        return self._device.status().get("cable") == "plugged"


class SimulatedDevice:
    """scripts/sim started from a build folder in a temporary run folder.

    Options as scripts/sim takes them: panel "WxH", theme 0..12, card (MiB of an SD card of
    its own), trace (dhtrace on both links), tcp (a port, or 0 for a free one: the host link
    then goes over TCP), backgrounds (the themes' videos). Use it as a context manager, or
    call stop().
    """

    def __init__(self, build_dir: Optional[os.PathLike] = None, *, panel: Optional[str] = None,
                 theme: Optional[int] = None, card: Optional[int] = None, trace: bool = False,
                 tcp: Optional[int] = None, backgrounds: bool = True, keep: bool = False,
                 host_timeout: float = 10.0):
        self.build_dir = Path(build_dir).resolve() if build_dir else default_build_dir()
        self.source_dir = source_dir(self.build_dir)
        programs = ["displayhead", "dhshot", "dhmcu", "dhgui"]
        if (self.source_dir / "scripts/sim-ctl").is_file():
            programs.append("dhsim")  # the cable and the power
        if trace:
            programs.append("dhtrace")
        for program in programs:
            if not (self.build_dir / program).is_file():
                raise SimError(f"{self.build_dir} holds no {program}: build the daemon and the tools first "
                               f"(cmake --build {self.build_dir})")
        self.keep = keep
        self.host_timeout = host_timeout
        self._base = Path(tempfile.mkdtemp(prefix="displayhead-sim-"))
        self.root = self._base / "run"
        self.tcp = tcp  # with 0, the port the bridge bound once it is up
        words = ["bash", str(self.source_dir / "scripts/sim"), "--root", str(self.root), "--no-build", "--quiet"]
        if panel:
            words += ["--panel", panel]
        if theme is not None:
            words += ["--theme", str(theme)]
        if card is not None:
            words += ["--card", str(card)]
        if trace:
            words.append("--trace")
        if self.tcp is not None:
            # 0: the bridge binds a free port itself and says which (a number picked here
            # could be taken by another program before the bridge binds it).
            words += ["--tcp", str(self.tcp)]
        if not backgrounds:
            words.append("--no-backgrounds")
        words.append("--keep")  # the run folder goes when this object has taken what it wants
        self._output = self._base / "sim.out"
        env = {k: v for k, v in os.environ.items() if k != "DISPLAYHEAD_ROOT"}
        env["DH_BUILD_DIR"] = str(self.build_dir)
        with open(self._output, "wb") as out:
            self._process = subprocess.Popen(words, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                             env=env, start_new_session=True)
        self._host: Optional[HostLink] = None
        self._disturbed = False  # the cable or the power was switched since the last restore()
        self.ready: dict[str, str] = {}
        self.controller = Controller(self)
        self.panel = Panel(self)
        self.cable = Cable(self)
        try:
            self._wait_ready()
        except BaseException:
            self.stop()
            raise

    # --- Start and stop.

    def _wait_ready(self) -> None:
        ready_file = self.root / "log/ready"

        def up() -> bool:
            if self._process.poll() is not None:
                raise SimError(f"scripts/sim ended with status {self._process.returncode} before the device was up:\n"
                               f"{self.output()}\n{self.log('daemon')}")
            # Only the file says everything is up (and where): the sim prints its banner before
            # it has written the file, and a busy machine may show the one long before the other.
            return ready_file.is_file()

        wait_until(up, START_LIMIT, "the simulated device coming up", lambda: self.output()[-2000:])
        for line in ready_file.read_text().splitlines():  # written whole, then renamed into place
            key, sep, value = line.partition("=")
            if sep:
                self.ready[key.strip()] = value.strip()
        if self.tcp is not None:
            self.tcp = int(self.ready["TCP"])

    def stop(self) -> None:
        """Ends the device (SIGTERM to scripts/sim, which stops everything as on Ctrl-C) and
        removes the run folder (unless keep)."""
        if self._host is not None:
            self._host.close()
            self._host = None
        if self._process.poll() is None:
            # Not SIGINT: a program started in the background by a script (a CI job's) has
            # SIGINT ignored, and so has the sim it starts, which then cannot trap it.
            self._process.send_signal(signal.SIGTERM)
            try:
                self._process.wait(STOP_LIMIT)
            except subprocess.TimeoutExpired:
                os.killpg(self._process.pid, signal.SIGKILL)
                self._process.wait()
        if not self.keep:
            shutil.rmtree(self._base, ignore_errors=True)

    def restore(self, within: float = START_LIMIT) -> None:
        """Puts the device back as a test expects to find it: powered, its cable plugged and the
        host link answering, with its time limit as set up. A test may have pulled the cable,
        powered the device off, rebooted or halted it, or left the link on a port that hung up;
        the pytest plugin calls this after every test on a module's shared device. A daemon that
        ended on its own is started again by a power cycle. What the device stores, and the
        controller's state, stay as the test left them."""
        link = self._host
        needs_link = False
        if link is not None and not link.closed:
            link.timeout = self.host_timeout
            try:
                link.version()
            except DeviceError:
                needs_link = True
        elif link is not None:
            needs_link = True  # closed: the device went down under it (reboot, halt)
        if not (needs_link or self._disturbed):
            return
        self._disturbed = False
        state = self.status()
        if state.get("power") == "on" and state.get("daemon") == "stopped":
            self.power_off()  # the daemon ended on its own: the device is powered but dead
            state["power"] = "off"
        if state.get("power") == "off":
            self.power_on()
        if state.get("cable") == "pulled":
            self.cable.plug()
        if needs_link:
            if link is None or link.closed:
                self._host = None
                self._host = wait_until(self._open_host_link, within, f"the host port {self.host_port} coming back",
                                        lambda: str(self.status()), every=0.2)
            self._host.reconnect(within)

    def _open_host_link(self) -> Optional[HostLink]:
        try:
            return HostLink(self.host_port, timeout=self.host_timeout)
        except DeviceError:
            return None

    @property
    def running(self) -> bool:
        return self._process.poll() is None

    def __enter__(self) -> "SimulatedDevice":
        return self

    def __exit__(self, *exc) -> None:
        self.stop()

    # --- Where things are.

    @property
    def device_root(self) -> Path:
        return Path(self.ready.get("DEVICE", self.root / "device"))

    @property
    def host_port(self) -> str:
        """The host's end of the USB cable: a serial port path, or tcp://127.0.0.1:PORT."""
        if self.tcp:
            return f"tcp://127.0.0.1:{self.tcp}"
        return self.ready.get("HOST_PORT", str(self.root / "host/ttyACM0"))

    @property
    def mcu_ctl(self) -> Path:
        return Path(self.ready.get("MCU_CTL", self.root / "host/mcu.ctl"))

    @property
    def card(self) -> Path:
        """The SD card's folder, as the host's side sees it: with a card of its own size, the
        device's tmpfs (through dhsim's /proc entry), which lasts across reboots."""
        card = self.ready.get("CARD")
        return Path(card) if card else self.device_root / CARD

    def output(self) -> str:
        try:
            return self._output.read_text(errors="replace")
        except FileNotFoundError:
            return ""

    # --- The host link.

    @property
    def host(self) -> HostLink:
        """The host link on the far end of the USB cable, opened at first use (and again after
        it was closed)."""
        if self._host is None or self._host.closed:
            self._host = HostLink(self.host_port, timeout=self.host_timeout)
        return self._host

    def new_host_link(self, **options) -> HostLink:
        return HostLink(self.host_port, **{"timeout": self.host_timeout, **options})

    # --- Logs, traces and the shared block.

    def log(self, name: str = "daemon") -> str:
        """A log of the run folder: "daemon", "dhgui", "dhmcu", "socat", "dhtrace"."""
        try:
            return (self.root / "log" / f"{name}.log").read_text(errors="replace")
        except FileNotFoundError:
            return ""

    def wait_for_log(self, text: str, name: str = "daemon", within: float = 10.0, after: int = 0) -> int:
        """Waits until the log holds `text` at or after offset `after`; returns where it ends."""
        def found() -> int:
            at = self.log(name).find(text, after)
            return at + len(text) if at >= 0 else 0
        return wait_until(found, within, f"{text!r} in {name}.log", lambda: self.log(name)[-2000:])

    def traces(self) -> dict[str, Path]:
        """The traces of a device started with trace: name -> path."""
        folder = self.root / "log"
        return {path.name: path for path in sorted(folder.glob("trace-*")) if path.is_file()}

    def gui_record(self) -> GuiRecord:
        """The shared block's current record, read until two reads agree."""
        path = self.device_root / "dev/shm/demo_shm"
        last = None
        for _ in range(20):
            with open(path, "rb") as block:
                head = block.read(132)
            if head == last:
                break
            last = head
        if last is None or len(last) < 132:
            raise SimError(f"{path} holds no shared block")
        return GuiRecord(last[:128], int.from_bytes(last[128:132], "little"))

    # --- The cable and power (scripts/sim-ctl).

    def sim_ctl(self, *words: str) -> str:
        tool = self.source_dir / "scripts/sim-ctl"
        if not tool.is_file():
            if words[:1] == ("cable",) and words[1:] in (("pull",), ("plug",)):
                # Without sim-ctl only the device's side of a pulled cable can be played: the
                # gadget's state as the USB monitor reads it; the host's port stays.
                state = self.device_root / UDC_STATE
                state.write_text("configured\n" if words[1] == "plug" else "not attached\n")
                return "ok"
            raise NeedsSimControl(f"'{' '.join(words)}' needs scripts/sim-ctl, which this tree does not have")
        if words[:1] in (("cable",), ("power",)):
            self._disturbed = True
        run = subprocess.run(["bash", str(tool), str(self.root), *words], stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, timeout=60)
        text = run.stdout.decode(errors="replace").strip()
        if run.returncode != 0:
            raise SimError(f"sim-ctl {' '.join(words)}: {text}")
        return text

    def status(self) -> dict[str, str]:
        """cable (plugged/pulled), power (on/off), daemon (running/stopped)."""
        tool = self.source_dir / "scripts/sim-ctl"
        if not tool.is_file():
            state = (self.device_root / UDC_STATE).read_text().strip()
            return {"cable": "plugged" if state == "configured" else "pulled", "power": "on",
                    "daemon": "running" if self.running else "stopped"}
        text = self.sim_ctl("status")
        return dict(word.split("=", 1) for word in text.split() if "=" in word)

    def power_off(self) -> None:
        self.sim_ctl("power", "off")

    def power_on(self) -> None:
        self.sim_ctl("power", "on")

    # --- For a failed test.

    def artifacts(self) -> dict[str, bytes]:
        """What a failed test attaches: the panel's screenshot, the logs and the traces."""
        found: dict[str, bytes] = {}
        try:
            found["panel.png"] = self.panel.screenshot()
        except Exception as error:  # the panel may be gone with the daemon
            found["panel.txt"] = f"no screenshot: {error}".encode()
        for path in sorted((self.root / "log").glob("*")):
            if path.is_file() and path.name != "ready":
                found[path.name] = path.read_bytes()
        found["sim.out"] = self.output().encode()
        return found
