"""The host link without a device: the packets every command builds (checked byte for byte
against the C++ host client), the replies it accepts and refuses, and how it keeps the link
aligned."""
import os
import subprocess
import time
from pathlib import Path

import pytest

from displayhead import CommandFailed, DeviceGone, HostLink, NoReply, WrongReply
from displayhead import link as link_module
from displayhead import protocol as p

CARD = "/tmp/sdcard/mmcblk0p1"
TAG = bytes([0x11, 0x22, 0x33, 0x44])
# Where a command's follow-on block length sits: (offset in the payload) per code.
BLOCK_LENGTH_AT = {p.CMD_SAVE_FILE_BUFFER: 0, p.CMD_SAVE_SMALL_FILE: 4, p.CMD_SHOW_JPG: 0, p.CMD_SHOW_PNG: 0,
                   p.CMD_PUSH_H264_BLOCK: 0, p.CMD_MCU_UPDATE_DATA: 4, p.CMD_MCU_LIGHT_DATA: 4}


class FakeDevice:
    """A transport that reads packets as the device does and answers them; `answer(code,
    tag, payload)` gives the 512 bytes (or None for silence)."""

    def __init__(self, answer=None):
        self.packets = []   # (code, payload, raw packet, block)
        self.pending = b""
        self.block_left = 0
        self.answer = answer or self.standard
        self.discards = 0

    @staticmethod
    def standard(code, tag, payload, result=b""):
        if code == p.CMD_QUERY_DIR:
            return b"result:dir:file:a.jpg/".ljust(512, b"\0")
        if code == p.CMD_CREATE_FILE:
            result = bytes([p.STATUS_OK])
        return (bytes([code, p.STATUS_OK]) + tag + bytes(2) + result).ljust(512, b"\0")

    def write(self, data):
        if self.block_left:
            assert len(data) <= self.block_left, "more block bytes than the command announced"
            self.packets[-1][3].extend(data)
            self.block_left -= len(data)
        else:
            code, tag, payload = p.read_packet(data)
            at = BLOCK_LENGTH_AT.get(code)
            self.block_left = int.from_bytes(payload[at:at + 4], "big") if at is not None else 0
            self.packets.append((code, payload, data, bytearray()))
            self.tag = tag
        if not self.block_left:
            code, payload = self.packets[-1][0], self.packets[-1][1]
            self.pending += self.answer(code, self.tag, payload) or b""

    def read(self, count, deadline):
        out, self.pending = self.pending[:count], self.pending[count:]
        return out

    def discard_pending(self):
        self.discards += 1
        self.pending = b""

    def close(self):
        pass


def fake_link(answer=None, **options):
    device = FakeDevice(answer)
    return HostLink("fake", transport=device, tag_source=lambda: TAG, **options), device


def reference_packets(build_dir: Path) -> dict:
    printer = build_dir / "dh_host_packets"
    if not printer.is_file():
        pytest.skip(f"{printer} is not built (cmake --build {build_dir} --target dh_host_packets)")
    lines = subprocess.run([str(printer)], check=True, stdout=subprocess.PIPE, text=True).stdout.split()
    return {label: bytes.fromhex(hex_text) for label, hex_text in zip(lines[::2], lines[1::2])}


# Each of HostLink's commands, as the reference printer's label names it, and which of the
# packets the call sends is that command.
CALLS = {
    "version": (lambda h: h.version(), 0),
    "reboot": (lambda h: h.reboot(), 0),
    "halt": (lambda h: h.halt(), 0),
    "set_rotation": (lambda h: h.set_rotation(1), 0),
    "set_brightness": (lambda h: h.set_brightness(80), 0),
    "set_framerate": (lambda h: h.set_framerate(24), 0),
    "create_file": (lambda h: h.put(bytes(4196), CARD + "/up.bin", chunk=4096), 0),
    "save_chunk": (lambda h: h.put(bytes(4196), CARD + "/up.bin", chunk=4096), 1),
    "save_last_chunk": (lambda h: h.save_file_buffer(bytes(100), True), 0),
    "save_small_file": (lambda h: h.put_small(bytes(70), CARD + "/small.bin"), 0),
    "delete": (lambda h: h.delete(CARD + "/up.bin"), 0),
    "file_size": (lambda h: h.file_size(CARD + "/up.bin"), 0),
    "ls": (lambda h: h.ls(CARD + "/img"), 0),
    "ls_longest_name": (lambda h: h.ls("/" + "n" * 479), 0),
    "df": (lambda h: h.df(), 0),
    "show_jpg": (lambda h: h.show_jpg(bytes(1234)), 0),
    "show_png": (lambda h: h.show_png(bytes(999)), 0),
    "play_local_h264": (lambda h: h.play_local_h264("/media/bg_h264/bg1.h264"), 0),
    "stop_local_h264": (lambda h: h.stop_local_h264(), 0),
    "local_h264_playing": (lambda h: h.local_h264_playing(), 0),
    "play_local_jpg": (lambda h: h.play_local_jpg(CARD + "/img/slide-1.jpg"), 0),
    "stop_local_jpg": (lambda h: h.stop_local_jpg(), 0),
    "push_h264_block": (lambda h: h.stream(bytes(202752 + 10)), 0),
    "push_end_of_stream": (lambda h: h.stream(bytes(10)), 1),
    "h264_block_count": (lambda h: h.h264_block_count(), 0),
    "stop_h264": (lambda h: h.stream(bytes(10)), 3),
    "set_config": (lambda h: h.set_config(100, 2, 0, 1, 0, 1), 0),
    "mark_usb_display": (lambda h: h.mark_usb_display(), 0),
    "group_position": (lambda h: h.group_position(), 0),
    "mcu_erase": (lambda h: h.firmware_update(bytes(5000)), 0),
    "mcu_update_data": (lambda h: h.firmware_update(bytes(5000)), 1),
    "set_theme": (lambda h: h.set_theme(bytes(range(0x40, 0x80))), 0),
    "mcu_data": (lambda h: h.mcu_data(), 0),
    "relay_pump_fan": (lambda h: h.relay_pump_fan(bytes(range(1, 15))), 0),
    "relay_light": (lambda h: h.relay_light(bytes(300)), 0),
    "test_h264_decode": (lambda h: h.test_h264_decode(), 0),
}


def test_every_command_builds_the_packet_the_cpp_client_builds(dh_build_dir):
    reference = reference_packets(dh_build_dir)
    assert set(reference) == set(CALLS), "the printer and this table must list the same commands"
    for label, (call, index) in CALLS.items():
        link, device = fake_link()
        call(link)
        assert device.packets[index][2] == reference[label], label
    # Every code of the command table is among them.
    codes = {value for name, value in vars(p).items() if name.startswith("CMD_")}
    assert codes == {p.read_packet(packet)[0] for packet in reference.values()}


def test_exchanges_that_span_several_packets():
    link, device = fake_link()
    link.put(bytes(range(256)) * 40, CARD + "/x.bin", chunk=4096)
    assert [(code, len(block)) for code, _, _, block in device.packets] == \
        [(0x26, 0), (0x27, 4096), (0x27, 4096), (0x27, 2048), (0x27, 0)]
    assert [payload[8] for _, payload, _, _ in device.packets[1:]] == [0, 0, 0, 1]
    assert b"".join(bytes(b) for *_, b in device.packets) == bytes(range(256)) * 40

    # An empty file goes up as one closing chunk with an empty block.
    link, device = fake_link()
    assert link.put(b"", CARD + "/empty") == 0
    assert [(code, payload[:9]) for code, payload, _, _ in device.packets][1] == (0x27, bytes(8) + b"\x01")

    # A stream: slot-sized blocks while the queue has room, two end-of-stream units, the
    # queue asked until it is empty, then 0x7B.
    counts = [4, 5, 5, 4, 5, 4, 5, 4, 5, 0]
    answer = lambda code, tag, payload: FakeDevice.standard(
        code, tag, payload, bytes([counts.pop(0)]) if code in (0x79, 0x7A) else b"")
    link, device = fake_link(answer)
    assert link.stream(bytes(202752 * 2 + 1)) == 3
    assert [(code, len(block)) for code, _, _, block in device.packets] == [
        (0x79, 202752), (0x79, 202752), (0x7A, 0), (0x7A, 0), (0x79, 1), (0x7A, 0), (0x79, 5), (0x7A, 0),
        (0x79, 5), (0x7A, 0), (0x7B, 0)]
    assert [bytes(b) for code, _, _, b in device.packets if code == 0x79][-2:] == [p.END_OF_STREAM] * 2


def test_listing_pages_and_their_text():
    # A listing longer than a page runs on into the next.
    names = [f"picture-{n:03}.jpg" for n in range(40)]
    text = ("result:dir:photos/old/file:" + "".join(name + "/" for name in names)).encode()
    assert 512 < len(text) < 1024
    pages = [text[:512], text[512:].ljust(512, b"\0")]
    answer = lambda code, tag, payload: pages.pop(0) if pages else bytes(512)
    link, device = fake_link(answer)
    listing = link.ls(CARD)
    assert (listing.folders, listing.files, listing.created) == (["photos", "old"], names, False)
    assert len(device.packets) == 20

    # Pages an earlier session left unfinished come first; ours starts with "result:".
    pages = [b"tail of another listing".ljust(512, b"\0"), bytes(512),
             b"result:nodir-createdone".ljust(512, b"\0")]
    link, device = fake_link(answer)
    assert link.ls(CARD + "/new").created
    assert len(device.packets) == 22

    with pytest.raises(FileNotFoundError, match="could not create"):
        p.parse_listing("/x", "result:nodir")


def test_listing_text_splits_at_the_first_name_marked_file():
    def read(text):
        listing = p.parse_listing("/d", text)
        return listing.folders, listing.files, listing.ambiguous

    assert read("result:dir:file:") == ([], [], False)
    assert read("result:dir:img/file:") == (["img"], [], False)
    assert read("result:dir:file:a/b/") == ([], ["a", "b"], False)
    # A name that holds "file:" further in, or a file whose own name begins with it, belongs
    # where it stands.
    assert read("result:dir:my file:s/img/file:profile:1/a.jpg/") == (["my file:s", "img"], ["profile:1", "a.jpg"], False)
    assert read("result:dir:img/file:plain/file:notes.txt/") == (["img"], ["plain", "file:notes.txt"], True)
    with pytest.raises(ValueError, match="cannot read"):
        p.parse_listing("/d", "result:dir:img/")


def test_failures_raise_saying_what_did_not_happen():
    failing = lambda code, tag, payload: (bytes([code, 0xC8]) + tag + b"_failed\0").ljust(512, b"\0")
    link, _ = fake_link(failing)
    with pytest.raises(CommandFailed, match=r"cannot create /tmp/x/y \(does its directory exist\?\); nothing was uploaded"):
        link.put(b"data", "/tmp/x/y")
    with pytest.raises(CommandFailed, match="pump and fan settings .*did not get them"):
        link.relay_pump_fan(bytes(14))
    with pytest.raises(CommandFailed, match="settings .*not stored"):
        link.set_config(1, 2, 3, 4, 5, 6)

    # A chunk the device could not store stops the upload and says how far it came.
    answers = iter([None, True])
    def second_chunk_fails(code, tag, payload):
        if code == 0x27 and next(answers, True) is True:
            return failing(code, tag, payload)
        return FakeDevice.standard(code, tag, payload)
    link, device = fake_link(second_chunk_fails)
    with pytest.raises(CommandFailed, match="stopped after 10 of 20 bytes and /tmp/f is not replaced; "
                                            "the unfinished upload is discarded"):
        link.put(bytes(20), "/tmp/f", chunk=10)
    assert device.packets[-1][1][:9] == bytes(8) + b"\x01", "the spoilt upload is closed"

    # No reply to the closing chunk: the file may have been put in place before the reply.
    silent_close = lambda code, tag, payload: None if code == 0x27 and payload[8] == 1 else \
        FakeDevice.standard(code, tag, payload)
    link, device = fake_link(silent_close)
    link.resync = lambda: None
    with pytest.raises(NoReply, match="stopped after 20 of 20 bytes and /tmp/f may or may not be replaced"):
        link.put(bytes(20), "/tmp/f", chunk=10)

    # A reply to another command is not taken for ours.
    other = lambda code, tag, payload: FakeDevice.standard(code, b"\x00\x00\x00\x00", payload)
    link, _ = fake_link(other)
    with pytest.raises(WrongReply):
        link.version()

    # Arguments the device cannot take are refused before anything goes out.
    link, device = fake_link()
    for bad in (lambda: link.set_rotation(4), lambda: link.relay_pump_fan(bytes(13)),
                lambda: link.ls("/" + "n" * 480), lambda: link.play_local_h264("/" + "v" * 127),
                lambda: link.show_jpg(b""), lambda: link.firmware_update(b"")):
        with pytest.raises(ValueError):
            bad()
    assert device.packets == []


def test_silence_then_quiet_for_the_device_to_realign(monkeypatch):
    monkeypatch.setattr(link_module, "RESYNC_SILENCE", 0.05)
    answers = [None]
    link, device = fake_link(lambda code, tag, payload: answers.pop(0) if answers else FakeDevice.standard(code, tag, payload))
    link.timeout = 0.05
    with pytest.raises(NoReply, match="wireless mode"):
        link.relay_pump_fan(bytes(14))
    waited = []
    monkeypatch.setattr(link, "resync", lambda: waited.append(True) or setattr(link, "_unaligned", False))
    assert link.version() == ""
    assert waited == [True]
    link.version()
    assert waited == [True], "only the command after the silence waits"


def test_a_reboot_or_halt_met_with_silence_is_the_device_going_down():
    # The device may go down before it answers, and the port may stay, silent, while the
    # board's system stops: that is the command done, not a failure. The link is closed, so
    # that reconnect() opens the port anew once the device is back.
    silent = lambda code, tag, payload: None if code in (p.CMD_REBOOT, p.CMD_HALT) else \
        FakeDevice.standard(code, tag, payload)
    for command in (HostLink.reboot, HostLink.halt):
        link, device = fake_link(silent, timeout=0.05)
        assert command(link) is False
        assert link.closed
        assert [code for code, _, _, _ in device.packets] == [p.CMD_REBOOT if command is HostLink.reboot else p.CMD_HALT]
    link, _ = fake_link()
    assert link.reboot() is True, "a device that answered before going down"
    assert not link.closed


def test_an_interrupted_block_is_finished_with_filler():
    link, device = fake_link()
    real_write = device.write
    pieces = []

    def write(data):
        pieces.append(len(data))
        if len(pieces) == 3:  # Ctrl-C in the middle of the block
            raise KeyboardInterrupt
        real_write(data)

    device.write = write
    with pytest.raises(KeyboardInterrupt):
        link.show_jpg(b"\xff" * 10000)
    code, _, _, block = device.packets[-1]
    assert code == p.CMD_SHOW_JPG and device.block_left == 0, "the device got the whole announced length"
    assert bytes(block[:4096]) == b"\xff" * 4096 and bytes(block[4096:]) == bytes(10000 - 4096)
    device.write = real_write
    assert link.version() == "", "the link goes on aligned"


def test_an_upload_cut_short_by_ctrl_c_never_puts_its_filler_in_place():
    # The interrupted chunk is finished with filler to keep the link aligned; were it the chunk
    # with the last-chunk flag, the device would replace the file with it.
    link, device = fake_link()
    real_write = device.write
    writes = []

    def write(data):
        writes.append(len(data))
        if len(writes) == 4:  # 0x26, 0x27, the first piece of its block, then Ctrl-C
            raise KeyboardInterrupt
        real_write(data)

    device.write = write
    with pytest.raises(KeyboardInterrupt):
        link.put(b"\xff" * 10000, CARD + "/up.bin", chunk=10000)
    assert [payload[8] for code, payload, _, _ in device.packets if code == p.CMD_SAVE_FILE_BUFFER] == [0]


def test_a_refusing_bridge_is_reported_with_its_reason():
    # The sim's TCP bridge refuses a second client with one line, then closes: the reason
    # reaches the caller whether it came before the command or after.
    import socket
    import threading

    with socket.socket() as server:
        server.bind(("127.0.0.1", 0))
        server.listen()

        def refuse():
            client, _ = server.accept()
            client.sendall(b"dhsim: refused: the device's host port already serves the TCP client\n")
            client.close()

        refusing = threading.Thread(target=refuse)
        refusing.start()
        link = HostLink(f"tcp://127.0.0.1:{server.getsockname()[1]}", timeout=5)
        refusing.join()  # the line and the close wait before the first command
        with pytest.raises(DeviceGone, match="closed by the device's side: dhsim: refused: the device's host port"):
            link.version()
        link.close()


def test_the_last_chunk_of_an_upload_is_given_the_cards_time():
    # The last chunk syncs the whole file system before the reply: up to 30 s on a slow card.
    # This device answers it only to a host that waits that long.
    class SlowCard(FakeDevice):
        def read(self, count, deadline):
            code, payload = self.packets[-1][0], self.packets[-1][1]
            if code == p.CMD_SAVE_FILE_BUFFER and payload[8] == 1 and deadline - time.monotonic() < 29:
                return b""
            return super().read(count, deadline)

    device = SlowCard()
    link = HostLink("fake", transport=device, tag_source=lambda: TAG)
    assert link.put(bytes(5000), CARD + "/up.bin", chunk=4096) == 5000
    assert [code for code, _, _, _ in device.packets] == [0x26, 0x27, 0x27, 0x27]
