"""A host team's first tests against a display head.

    pytest python/examples                        against a simulated device built in build/
    pytest python/examples --dh-build DIR         ... built in DIR
    pytest python/examples --dh-port /dev/ttyACM0 against a real device (the tests that look
                                                  at the simulated panel, controller or cable skip)
"""
import os
from pathlib import Path

import pytest

from displayhead import DeviceError

CARD = "/tmp/sdcard/mmcblk0p1"
STREAM = Path(__file__).resolve().parents[2] / "tests/media/colours_480x480.h264"  # ends on white


def test_upload_and_list(host, tmp_path):
    local = tmp_path / "clip.bin"
    local.write_bytes(os.urandom(200_000))
    host.put(local, f"{CARD}/clip.bin", chunk=64 * 1024)

    listing = host.ls(CARD)
    assert "clip.bin" in listing.files
    assert host.file_size(f"{CARD}/clip.bin") == 200_000

    host.delete(f"{CARD}/clip.bin")
    assert "clip.bin" not in host.ls(CARD).files


def test_upload_into_a_missing_folder_is_refused(host):
    with pytest.raises(DeviceError, match="cannot create"):
        host.put(b"data", f"{CARD}/no/such/folder/file.bin")


@pytest.mark.skipif(os.environ.get("DH_H264_DECODES") == "0", reason="this build's decoder shows no pictures")
def test_stream_ends_on_its_last_picture(host, panel):
    host.stream(STREAM)
    # stream() returns once the last picture is on the screen.
    r, g, b = panel.picture().rgb(240, 240)
    assert min(r, g, b) > 230, (r, g, b)


def test_pump_and_fan_settings_reach_the_controller(host, controller):
    host.relay_pump_fan(bytes.fromhex("0102030405060708090a0b0c0d0e"))
    controller.wait_for_received("01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e")


def test_cable_pulled_and_host_reconnects(device, host, cable):
    assert host.version()
    cable.pull()
    with pytest.raises(DeviceError):
        host.version()
    cable.plug()
    assert host.reconnect(within=30) == "morvadq7_0005_0020"
    assert "img" in host.ls(CARD).folders
