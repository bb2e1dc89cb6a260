"""The package against the simulated device: one device for the module where the tests do not
disturb each other, devices of their own where they need other options."""
import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest

from displayhead import CommandFailed, DeviceError, DeviceGone, HostLink, NoReply, SimulatedDevice
from displayhead.png import decode_png
from displayhead.sim import wait_until

CARD = "/tmp/sdcard/mmcblk0p1"
SOURCE = Path(__file__).resolve().parents[2]
DECODES = os.environ.get("DH_H264_DECODES", "1") != "0"


def near(rgb, want, tolerance=24):
    return all(abs((rgb >> s & 0xFF) - (want >> s & 0xFF)) <= tolerance for s in (16, 8, 0))


def test_files_up_listed_sized_and_deleted(host, device, tmp_path):
    local = tmp_path / "song.bin"
    local.write_bytes(os.urandom(150_000))
    seen = []
    assert host.put(local, CARD + "/song.bin", chunk=65536, progress=lambda done, total: seen.append((done, total))) == 150_000
    assert seen == [(65536, 150_000), (131072, 150_000), (150_000, 150_000)]
    assert (device.card / "song.bin").read_bytes() == local.read_bytes()
    assert host.file_size(CARD + "/song.bin") == 150_000
    assert host.put_small(b"tiny", CARD + "/tiny.txt") == 4
    listing = host.ls(CARD)
    assert {"song.bin", "tiny.txt"} <= set(listing.files)
    assert "img" in listing.folders

    # A failure reply says what did not happen, and the link goes on.
    with pytest.raises(CommandFailed, match="cannot create /tmp/sdcard/mmcblk0p1/none/x.bin"):
        host.put(b"x", CARD + "/none/x.bin")
    host.delete(CARD + "/song.bin")
    assert host.file_size(CARD + "/song.bin") == 0
    assert host.ls(CARD + "/fresh").created
    assert host.ls(CARD + "/fresh").files == []

    space = host.df()
    assert space.total_kib > 0 and space.used_kib + space.avail_kib == space.total_kib
    assert (space.extra0, space.extra1, space.extra2) == (0, 0, 0)
    assert host.version() == "morvadq7_0005_0020"


@pytest.mark.skipif(not DECODES, reason="this build's simulated decoder shows no pictures")
def test_stream_returns_with_its_last_picture_on_the_panel(host, panel):
    # The stream's pictures run through colours and end on white: shown when stream() returns.
    before = panel.changes()
    assert host.stream(SOURCE / "tests/media/colours_480x480.h264") == 1
    picture = panel.picture()
    assert panel.changes() > before
    assert near(picture.at(240, 240), 0xFFFFFF), hex(picture.at(240, 240))
    assert host.h264_block_count() == 0


def test_relays_reach_the_controller_and_wireless_mode_drops_them(host, controller, device):
    host.relay_pump_fan(bytes(range(1, 15)))
    controller.wait_for_received("01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e")
    assert "A4 00 pump/fan settings, 14 bytes" in controller.received()
    host.relay_light(b"light")
    controller.wait_for_received("6c 69 67 68 74")

    # What the controller reports reaches the GUI process's shared block, once the host has
    # handed the screen back to the GUI process (a host stream or picture pauses it).
    host.set_theme(bytes(64))
    controller.temp(42)
    controller.pump(2000)
    record = wait_until(lambda: (lambda r: r if (r.water_temp, r.pump_speed) == (42, 2000) else None)(device.gui_record()),
                        10, "temperature 42 and pump 2000 in the shared block", lambda: str(device.gui_record()))
    assert record.kind == "data" and record.complete

    # In wireless mode the device drops controller commands unanswered; once the link has
    # kept quiet for the device to realign, the next command is answered.
    controller.mode(1)
    mark = device.wait_for_log("control mode = 1")
    host.timeout = 1.0
    try:
        with pytest.raises(NoReply, match="wireless mode"):
            host.relay_pump_fan(bytes(14))
    finally:
        host.timeout = 10.0
    controller.mode(2)
    device.wait_for_log("control mode = 2", after=mark)
    assert host.version() == "morvadq7_0005_0020"
    host.relay_pump_fan(bytes(14))
    assert controller.state()["mode"] == 2


@pytest.mark.dh_device(panel="320x240", tcp=0, backgrounds=False, theme=3, trace=True)
def test_options_of_a_device_of_its_own(device, host, panel):
    assert device.host_port.startswith("tcp://127.0.0.1:")
    assert host.version() == "morvadq7_0005_0020"
    wait_until(lambda: "morvadq7_0005_0020" in device.traces()["trace-host.jsonl"].read_text(), 10,
               "the version reply in the host link's trace")
    assert (panel.picture().width, panel.picture().height) == (320, 240)
    before = panel.changes()
    host.show_jpg(SOURCE / "media/host.jpg")
    wait_until(lambda: panel.changes() > before, 10, "the panel changing after a picture")
    assert decode_png(panel.screenshot()).width == 320
    device.cable.pull()
    assert device.status()["cable"] == "pulled"
    device.cable.plug()
    assert device.status()["cable"] == "plugged"


def test_a_device_stops_cleanly_and_leaves_nothing(dh_build_dir):
    # Started as a CI script starts programs in the background, with SIGINT ignored: the sim
    # still stops by its own hand, not killed after a time.
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        device = SimulatedDevice(dh_build_dir, backgrounds=False)
    finally:
        signal.signal(signal.SIGINT, previous)
    with device:
        root = device.root
        port = device.host_port
        with HostLink(port) as link:
            assert link.version() == "morvadq7_0005_0020"
    assert not device.running
    assert device._process.returncode == 0
    assert not root.exists()


def test_a_marked_class_gives_its_tests_devices_of_their_own(pytester, dh_build_dir):
    pytester.makepyfile(
        """
        import pytest

        @pytest.mark.dh_device(panel="320x240", backgrounds=False)
        class TestSmallPanel:
            def test_small(self, panel):
                assert panel.picture().width == 320

        def test_the_modules(panel):
            assert panel.picture().width == 480
        """)
    result = pytester.runpytest("-p", "displayhead.pytest_plugin", f"--dh-build={dh_build_dir}")
    result.assert_outcomes(passed=2)


def test_a_port_held_by_another_program_says_by_whom(device):
    device.host.close()  # the module's link lets go of the port (and opens it again when next used)
    holder = subprocess.Popen(
        [sys.executable, "-c", "import fcntl, os, sys\n"
         f"fd = os.open({device.host_port!r}, os.O_RDWR | os.O_NOCTTY)\n"
         "fcntl.flock(fd, fcntl.LOCK_EX)\nprint('held', flush=True)\nsys.stdin.read()"],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "held\n"
        with pytest.raises(DeviceGone, match=rf"is in use by python3 \(pid {holder.pid}\); the port is one program's"):
            HostLink(device.host_port)
    finally:
        holder.stdin.close()
        holder.wait()
    with HostLink(device.host_port) as link:
        with pytest.raises(DeviceGone, match=r"in use by this program \(pid"):
            HostLink(device.host_port)
        assert link.version() == "morvadq7_0005_0020"


def test_a_test_that_leaves_the_device_away_does_not_spoil_the_next(pytester, dh_build_dir):
    # The module's device is shared: whatever a test did to it, failing or not, the next finds
    # it powered, plugged and answering.
    pytester.makepyfile(
        r"""
        import os, signal

        def daemon_of(device):
            # The daemon dhsim runs (not a helper it forked), known by its sandbox root.
            for pid in filter(str.isdigit, os.listdir("/proc")):
                try:
                    with open(f"/proc/{pid}/stat") as stat:
                        parent = stat.read().rsplit(")", 1)[1].split()[1]
                    with open(f"/proc/{parent}/comm") as comm:
                        by_dhsim = comm.read().strip() == "dhsim"
                    with open(f"/proc/{pid}/environ", "rb") as environ:
                        rooted = f"DISPLAYHEAD_ROOT={device.device_root}".encode() in environ.read().split(b"\0")
                except OSError:
                    continue
                if by_dhsim and rooted:
                    return int(pid)
            raise AssertionError("no daemon runs")

        def test_pulls_and_fails(host, cable):
            host.timeout = 1.0
            cable.pull()
            assert False

        def test_after_the_pull(host):
            assert host.version() == "morvadq7_0005_0020" and host.timeout == 10

        def test_powers_off_and_fails(device):
            device.power_off()
            assert False

        def test_replugs_without_reconnecting(host, cable):
            cable.pull()
            cable.plug()

        def test_reboots(host):
            host.reboot()

        def test_kills_the_daemon_and_fails(device, host):
            os.kill(daemon_of(device), signal.SIGKILL)
            host.timeout = 1.0
            host.version()

        def test_last(device, host):
            assert host.version() == "morvadq7_0005_0020"
            assert device.status() == {"cable": "plugged", "power": "on", "daemon": "running"}
        """)
    result = pytester.runpytest("-p", "displayhead.pytest_plugin", f"--dh-build={dh_build_dir}")
    result.assert_outcomes(passed=4, failed=3)


def test_a_run_ended_by_sigterm_stops_its_devices(pytester, dh_build_dir, monkeypatch, tmp_path):
    # A cancelled CI job: pytest gets SIGTERM. The devices run in sessions of their own, so
    # only the fixtures' teardown ends them.
    monkeypatch.setenv("PYTHONPATH", str(SOURCE / "python"))
    roots = tmp_path / "roots.txt"
    pytester.makepyfile(
        f"""
        import os, signal

        def test_cancelled(device):
            open({str(roots)!r}, "w").write(str(device.root))
            os.kill(os.getpid(), signal.SIGTERM)
        """)
    result = pytester.runpytest_subprocess("-p", "displayhead.pytest_plugin", f"--dh-build={dh_build_dir}")
    assert result.ret == pytest.ExitCode.INTERRUPTED, result.stdout.str()
    root = Path(roots.read_text())
    assert not root.parent.exists(), sorted(str(path) for path in root.parent.rglob("*"))[:20]


def test_plugin_on_a_real_port_skips_what_needs_the_simulator(pytester, dh_build_dir):
    with SimulatedDevice(dh_build_dir, backgrounds=False) as device:
        pytester.makepyfile(
            """
            def test_host(host):
                assert host.version() == "morvadq7_0005_0020"

            def test_panel(panel):
                pass
            """)
        result = pytester.runpytest("-p", "displayhead.pytest_plugin", "--dh-port", device.host_port, "-rs")
        result.assert_outcomes(passed=1, skipped=1)
        result.stdout.fnmatch_lines(["*'panel' needs the simulated device; this run drives the real device on*"])


def test_plugin_attaches_screenshot_and_logs_to_a_failed_test(pytester, dh_build_dir, tmp_path):
    pytester.makepyfile(
        """
        def test_fails(panel):
            assert panel.changes() < 0
        """)
    # Two runs into one folder (a run again, or two at once): each keeps its own attachments.
    artifacts = tmp_path / "artifacts"
    for run in range(2):
        result = pytester.runpytest("-p", "displayhead.pytest_plugin", f"--dh-build={dh_build_dir}",
                                    f"--dh-artifacts={artifacts}")
        result.assert_outcomes(failed=1)
        result.stdout.fnmatch_lines(["*displayhead: attachments*", "*displayhead: daemon log (end)*",
                                     "*init_tty done!*"])
    folders = sorted(log.parent for log in artifacts.rglob("daemon.log"))
    assert len(folders) == 2, f"one run's attachments overwrote the other's: {folders}"
    for folder in folders:
        assert decode_png((folder / "panel.png").read_bytes()).width == 480
        assert "init_tty done!" in (folder / "daemon.log").read_text()
        assert (folder / "dhmcu.log").is_file()


def test_a_free_tcp_port_is_the_one_the_bridge_bound(dh_build_dir, monkeypatch):
    # tcp=0: a number picked here and bound later by the bridge could be taken in between by
    # another program (played by this listener); the bridge binds a free port itself and says
    # which.
    import socket
    from displayhead import sim as sim_module
    with socket.socket() as other:
        other.bind(("127.0.0.1", 0))
        other.listen()
        taken = other.getsockname()[1]
        monkeypatch.setattr(sim_module, "_free_port", lambda: taken, raising=False)
        with SimulatedDevice(dh_build_dir, tcp=0, backgrounds=False) as device:
            assert device.tcp not in (0, taken)
            assert device.ready["TCP"] == str(device.tcp)
            assert device.host_port == f"tcp://127.0.0.1:{device.tcp}"
            assert device.host.version() == "morvadq7_0005_0020"


@pytest.mark.dh_device(backgrounds=False, card=4)
def test_power_cycle_and_reboot_keep_the_stored_files(device, host, cable):
    # (the cable fixture: power, like the cable, needs scripts/sim-ctl). The card is one of its
    # own size, a tmpfs where the machine allows it: it too keeps its files, as a real one does.
    host.put_small(b"kept", CARD + "/kept.txt")
    device.power_off()
    assert device.status()["power"] == "off"
    with pytest.raises(DeviceError):
        host.version()
    device.power_on()
    assert host.reconnect() == "morvadq7_0005_0020"
    assert host.file_size(CARD + "/kept.txt") == 4

    # The device's own reboot: the port hangs up as it goes down, and it comes back.
    host.reboot()
    assert host.reconnect() == "morvadq7_0005_0020"
    assert device.status() == {"cable": "plugged", "power": "on", "daemon": "running"}
    assert host.file_size(CARD + "/kept.txt") == 4
    assert (device.card / "kept.txt").read_bytes() == b"kept"
