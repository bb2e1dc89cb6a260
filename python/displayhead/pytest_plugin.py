"""pytest fixtures for testing host software against a display head.

Fixtures:
  device      a SimulatedDevice, shared by the tests of a module; a test marked
              @pytest.mark.dh_device(panel="320x240", theme=3, card=64, trace=True, ...) gets
              one of its own with those options, and so does each test of a class so marked;
              a module so marked shares one with those options
  host        a HostLink to the device: the simulated one, or with --dh-port PORT a real one
  controller  the simulated cooling controller (dhmcu's control words)
  panel       the simulated panel: screenshot(), picture(), wait_for_pixel(...)
  cable       the simulated USB cable: pull(), plug()

Options:
  --dh-port PORT       run against a real device on PORT (a serial port or tcp://HOST:PORT);
                       the fixtures that need the simulator skip
  --dh-build DIR       the build folder that holds the daemon and the tools (default
                       $DH_BUILD_DIR, else build/ of the source tree)
  --dh-artifacts DIR   where a failed test's screenshot, logs and traces go (default
                       dh-artifacts/ in pytest's root folder)
  --dh-timeout SECONDS how long each reply may take (default 10)

Where the plugin comes from a conftest.py rather than the installed package, give these
options in their one-word form (--dh-build=DIR): before the plugin is loaded, pytest takes a
value in the next word for a test path.

A failed test that used a simulated device gets the panel's screenshot, the daemon's log and
the traces attached: written to the artifacts folder (in a folder of the run's own,
run-DATE-TIME-XXXX/TEST, so that runs never overwrite each other's), named in the report, and
the end of the daemon's log shown in it.

After each test on a module's shared device, the device is put back powered, with its cable
plugged and the host link answering (SimulatedDevice.restore()), whatever the test did or failed
before undoing; its stored files and the controller's state carry over. A run ended by SIGTERM
tears its devices down as on Ctrl-C.
"""
from __future__ import annotations

import re
import signal
import tempfile
import threading
import time
from pathlib import Path
from typing import Optional

import pytest

from .link import HostLink
from .sim import SimulatedDevice, default_build_dir

_DEVICE = pytest.StashKey[SimulatedDevice]()
_LOG_TAIL = 6000


def pytest_addoption(parser):
    group = parser.getgroup("displayhead", "display head under test")
    group.addoption("--dh-port", metavar="PORT", default=None,
                    help="a real device's port (serial port or tcp://HOST:PORT); simulator-only fixtures skip")
    group.addoption("--dh-build", metavar="DIR", default=None,
                    help="the build folder with the daemon and the tools (default $DH_BUILD_DIR, else build/)")
    group.addoption("--dh-artifacts", metavar="DIR", default=None,
                    help="where a failed test's screenshot, logs and traces go (default dh-artifacts/ in the root folder)")
    group.addoption("--dh-timeout", metavar="SECONDS", type=float, default=10.0,
                    help="how long each reply may take (default 10)")


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "dh_device(**options): a simulated device of its own for this test (or, on a module, "
                   "for the module), with SimulatedDevice's options (panel, theme, card, trace, tcp, backgrounds)")


def _real_port(config) -> Optional[str]:
    return config.getoption("--dh-port")


def _stop_on_sigterm() -> None:
    """A run ended with SIGTERM (a CI job cancelled) tears its fixtures down as on Ctrl-C:
    the simulated devices run in sessions of their own, and would outlive a killed pytest.
    Only where SIGTERM has its default action, and from the main thread."""
    if threading.current_thread() is not threading.main_thread():
        return
    if signal.getsignal(signal.SIGTERM) is not signal.SIG_DFL:
        return

    def interrupt(number, frame):
        signal.signal(signal.SIGTERM, signal.SIG_DFL)  # a second SIGTERM ends the run at once
        raise KeyboardInterrupt(f"signal {number}")

    signal.signal(signal.SIGTERM, interrupt)


def _start(config, options: dict) -> SimulatedDevice:
    _stop_on_sigterm()
    return SimulatedDevice(config.getoption("--dh-build"), host_timeout=config.getoption("--dh-timeout"), **options)


def _skip_on_real(config, fixture: str) -> None:
    port = _real_port(config)
    if port:
        pytest.skip(f"'{fixture}' needs the simulated device; this run drives the real device on {port} (--dh-port)")


@pytest.fixture(scope="session")
def dh_build_dir(request) -> Path:
    """The build folder the simulated devices come from."""
    chosen = request.config.getoption("--dh-build")
    return Path(chosen).resolve() if chosen else default_build_dir()


@pytest.fixture(scope="module")
def _dh_module_device(request):
    if _real_port(request.config):
        yield None
        return
    marker = request.node.get_closest_marker("dh_device")
    device = _start(request.config, dict(marker.kwargs) if marker else {})
    yield device
    device.stop()


@pytest.fixture
def device(request) -> SimulatedDevice:
    """A simulated display head: the module's, or one of the test's own when the test or its
    class is marked dh_device."""
    _skip_on_real(request.config, "device")
    # The test's own mark, or its class's: a module's mark is the shared device's.
    own = request.node.get_closest_marker("dh_device")
    module = request.node.getparent(pytest.Module)
    if own is not None and module is not None and own in module.own_markers:
        own = None
    if own is None:
        shared = request.getfixturevalue("_dh_module_device")
        request.node.stash[_DEVICE] = shared
        yield shared
        # The next test finds the device powered, plugged and answering, whatever this one
        # did to it (or failed before undoing).
        if shared.running:
            shared.restore()
        return
    fresh = _start(request.config, dict(own.kwargs))
    request.node.stash[_DEVICE] = fresh
    yield fresh
    fresh.stop()


@pytest.fixture
def host(request) -> HostLink:
    """The host link: to the simulated device, or to the real one of --dh-port."""
    port = _real_port(request.config)
    if port:
        link = HostLink(port, timeout=request.config.getoption("--dh-timeout"))
        yield link
        link.close()
        return
    yield request.getfixturevalue("device").host


@pytest.fixture
def controller(request):
    """The simulated cooling controller."""
    _skip_on_real(request.config, "controller")
    return request.getfixturevalue("device").controller


@pytest.fixture
def panel(request):
    """The simulated panel."""
    _skip_on_real(request.config, "panel")
    return request.getfixturevalue("device").panel


@pytest.fixture
def cable(request):
    """The simulated USB cable; skips where the source tree has no scripts/sim-ctl yet."""
    _skip_on_real(request.config, "cable")
    device = request.getfixturevalue("device")
    if not (device.source_dir / "scripts/sim-ctl").is_file():
        pytest.skip("'cable' needs scripts/sim-ctl, which this source tree does not have")
    return device.cable


_RUN_FOLDER = pytest.StashKey[Path]()


def _artifacts_dir(config) -> Path:
    """This run's folder in the artifacts folder, made at the first failure: a folder of its
    own ("run-DATE-TIME-XXXX"), so that a later run, or one at the same time, never writes
    over another's attachments."""
    folder = config.stash.get(_RUN_FOLDER, None)
    if folder is None:
        chosen = config.getoption("--dh-artifacts")
        base = Path(chosen) if chosen else Path(config.rootpath) / "dh-artifacts"
        base.mkdir(parents=True, exist_ok=True)
        folder = Path(tempfile.mkdtemp(prefix=time.strftime("run-%Y%m%d-%H%M%S-"), dir=base))
        config.stash[_RUN_FOLDER] = folder
    return folder


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if not report.failed or report.when == "teardown":
        return
    device = item.stash.get(_DEVICE, None)
    if device is None or not device.running:
        return
    folder = _artifacts_dir(item.config) / re.sub(r"[^A-Za-z0-9_.-]+", "_", item.nodeid)
    folder.mkdir(parents=True, exist_ok=True)
    saved = []
    for name, data in device.artifacts().items():
        (folder / name).write_bytes(data)
        saved.append(str(folder / name))
        report.user_properties.append((f"dh:{name}", str(folder / name)))
    report.sections.append(("displayhead: attachments", "\n".join(saved)))
    report.sections.append(("displayhead: daemon log (end)", device.log("daemon")[-_LOG_TAIL:]))
    traces = device.traces()
    if "trace-host.jsonl" in traces:
        text = traces["trace-host.jsonl"].read_text(errors="replace")
        report.sections.append(("displayhead: host link trace (end)", text[-_LOG_TAIL:]))

