"""The host side of the command link: one method per command, typed results, and an
exception for every way a command can go wrong.

The device answers every accepted command with exactly 512 plain bytes, after it has carried
the command out, and drops a bad packet without a word; so the only sign of a lost command is
silence, and every read has a time limit. Bytes lost or added on the way leave the device
reading packets out of step until it has seen 2 seconds of silence inside a packet; after a
command that went unanswered the link therefore keeps quiet for that long before the next one.
"""
from __future__ import annotations

import errno
import os
import socket
import time
from pathlib import Path
from typing import Callable, Optional, Union

from . import protocol as p

Progress = Callable[[int, int], None]
Data = Union[bytes, bytearray, memoryview, str, os.PathLike]

DEFAULT_TIMEOUT = 10.0
RESYNC_SILENCE = 2.5   # the device drops a half-read packet after 2 s without a byte
BLOCK_PIECE = 4096
QUEUE_POLL = 0.01      # how often a full H.264 queue is asked about
DRAIN_PIECE = 65536    # what is read and dropped at once while the link keeps quiet
READ_SLICE = 0.05      # a serial read waits this long at most before the deadline is looked at
LAST_CHUNK_TIMEOUT = 30.0  # an upload's last chunk syncs the whole file system: slow on a slow card


class DeviceError(Exception):
    """A command that the device did not carry out, or did not confirm."""


class NoReply(DeviceError):
    """The device did not answer within the time limit."""


class WrongReply(DeviceError):
    """The reply does not belong to the command (another code or tag)."""


class CommandFailed(DeviceError):
    """The device answered with its failure reply (bytes 6..13 "_failed\\0")."""


class DeviceGone(DeviceError):
    """The port hung up: the cable was pulled, or the device restarted or powered off."""


class QueueStuck(DeviceError):
    """The device's H.264 queue stayed full for the whole time limit."""


# --- Transports: a serial port or a TCP socket, read with a deadline.

class _SerialTransport:
    def __init__(self, path: str):
        import serial  # Debian's python3-serial
        try:
            import termios  # a pty that hung up fails pyserial's flush with termios.error
            self._serial_error = (serial.SerialException, termios.error)
        except ImportError:  # not a POSIX system
            self._serial_error = (serial.SerialException,)
        try:
            # exclusive: flock(LOCK_EX), as every host program here locks the port
            self._port = serial.Serial(path, 115200, timeout=READ_SLICE, exclusive=True)
        except (serial.SerialException, OSError) as error:
            held = getattr(error, "errno", None) in (errno.EAGAIN, errno.EWOULDBLOCK)  # the flock is taken
            holders = _port_holders(path) if held else ""
            if holders:
                raise DeviceGone(f"cannot open the port {path}: it is in use by {holders}; the port is one "
                                 "program's at a time") from error
            raise DeviceGone(f"cannot open the port {path}: {error}") from error
        self.name = path

    def write(self, data: bytes) -> None:
        try:
            self._port.write(data)
            self._port.flush()
        except (*self._serial_error, OSError) as error:
            raise DeviceGone(f"{self.name} hung up while writing: {error}") from error

    def read(self, count: int, deadline: float) -> bytes:
        # Each read waits at most READ_SLICE: the port's time-out stays as it was set at the
        # open (pyserial reconfigures the port whenever it changes).
        got = bytearray()
        try:
            while len(got) < count and time.monotonic() < deadline:
                got += self._port.read(count - len(got))
        except (*self._serial_error, OSError) as error:
            raise DeviceGone(f"{self.name} hung up while reading: {error}") from error
        return bytes(got)

    def discard_pending(self) -> None:
        try:
            self._port.reset_input_buffer()
            while self._port.in_waiting:
                self._port.read(self._port.in_waiting)
        except (*self._serial_error, OSError) as error:
            raise DeviceGone(f"{self.name} hung up: {error}") from error

    def close(self) -> None:
        try:
            self._port.close()
        except (*self._serial_error, OSError):
            pass


def _port_holders(path: str) -> str:
    """The programs that hold the port's flock, as /proc/locks lists them ("dhhost (pid 42)",
    "this program (pid 43)" for another link of this process); "" where that cannot be told."""
    try:
        port = os.stat(path)
        with open("/proc/locks") as locks:
            lines = locks.read().splitlines()
    except OSError:
        return ""
    where = f"{os.major(port.st_dev):02x}:{os.minor(port.st_dev):02x}:{port.st_ino}"
    holders = []
    for line in lines:  # "1: FLOCK  ADVISORY  WRITE 4242 00:1a:123 0 EOF", a waiter with "->"
        words = line.replace("->", "").split()
        if len(words) < 6 or words[1] != "FLOCK" or words[5] != where:
            continue
        try:
            with open(f"/proc/{words[4]}/comm") as comm:
                name = comm.read().strip()
        except OSError:
            name = "a program"
        if words[4] == str(os.getpid()):
            name = "this program"
        holder = f"{name} (pid {words[4]})"
        if holder not in holders:
            holders.append(holder)
    return ", ".join(holders)


class _TcpTransport:
    def __init__(self, host: str, port: int):
        self.name = f"tcp://{host}:{port}"
        try:
            self._socket = socket.create_connection((host, port), timeout=10)
        except OSError as error:
            raise DeviceGone(f"cannot connect to {self.name}: {error}") from error
        self._socket.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def write(self, data: bytes) -> None:
        try:
            self._socket.settimeout(30)
            self._socket.sendall(data)
        except OSError as error:
            raise DeviceGone(f"{self.name} closed while writing: {error}") from error

    def read(self, count: int, deadline: float) -> bytes:
        got = bytearray()
        while len(got) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            self._socket.settimeout(left)
            try:
                piece = self._socket.recv(count - len(got))
            except socket.timeout:
                break
            except OSError as error:
                raise DeviceGone(f"{self.name} closed while reading: {error}") from error
            if not piece:
                raise self._closed(got)
            got += piece
        return bytes(got)

    def _closed(self, last: bytes) -> DeviceGone:
        # A bridge that refuses a client says why in a line of text before it closes.
        said = bytes(last).decode("ascii", "replace").strip() if last and max(last) < 0x80 else ""
        return DeviceGone(f"{self.name} was closed by the device's side" + (f": {said}" if said else ""))

    def discard_pending(self) -> None:
        self._socket.setblocking(False)
        last = b""
        try:
            while True:
                piece = self._socket.recv(4096)
                if not piece:
                    raise self._closed(last)
                last = piece
        except (BlockingIOError, InterruptedError):
            pass
        except OSError as error:
            raise DeviceGone(f"{self.name} closed: {error}") from error
        finally:
            self._socket.setblocking(True)

    def close(self) -> None:
        try:
            self._socket.close()
        except OSError:
            pass


def open_transport(address: str):
    """A serial port ("/dev/ttyACM0", "COM5") or a TCP address ("tcp://127.0.0.1:7000",
    "127.0.0.1:7000")."""
    text = str(address)
    if text.startswith("tcp://"):
        text = text[len("tcp://"):]
    elif text.startswith("/") or text.upper().startswith("COM") or ":" not in text:
        return _SerialTransport(text)
    host, _, port = text.rpartition(":")
    if not host or not port.isdigit():
        raise ValueError(f"a TCP address is HOST:PORT, not {address!r}")
    return _TcpTransport(host.strip("[]"), int(port))


def _read_data(data: Data, limit: int, what: str, empty_ok: bool = True) -> bytes:
    """The bytes of a local file (a path) or the bytes given."""
    if isinstance(data, (bytes, bytearray, memoryview)):
        raw = bytes(data)
        name = "the data"
    else:
        path = Path(data)
        if path.is_dir():
            raise IsADirectoryError(f"{path} is a directory, not a file; nothing was sent")
        raw = path.read_bytes()
        name = str(path)
    if not raw and not empty_ok:
        raise ValueError(f"{name} is empty: {what} needs at least one byte; nothing was sent")
    if len(raw) > limit:
        raise ValueError(f"{name} has {len(raw)} bytes; {what} takes at most {limit}; nothing was sent")
    return raw


class HostLink:
    """The command link to one display head.

    `port` is a serial port or a TCP address (see open_transport). `timeout` is how long each
    reply may take, in seconds. Every command method raises a DeviceError subclass when the
    device did not carry the command out or did not confirm it.
    """

    def __init__(self, port: str, timeout: float = DEFAULT_TIMEOUT,
                 tag_source: Optional[Callable[[], bytes]] = None, transport=None):
        self.port = port
        self.timeout = timeout
        self._tags = tag_source or (lambda: os.urandom(4))
        self._transport = transport if transport is not None else open_transport(port)
        self._unaligned = False

    # --- The link itself.

    def close(self) -> None:
        if self._transport is not None:
            self._transport.close()
            self._transport = None

    @property
    def closed(self) -> bool:
        return self._transport is None

    def __enter__(self) -> "HostLink":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def reconnect(self, within: float = 30.0) -> str:
        """Closes the port and opens it again until the device answers (a replugged cable, a
        restarted device); returns its version. DeviceGone when it does not come back."""
        self.close()
        deadline = time.monotonic() + within
        last: Exception = DeviceGone(f"{self.port} did not come back")
        while time.monotonic() < deadline:
            try:
                self._transport = open_transport(self.port)
                self._unaligned = True  # whatever the device was reading is not ours
                return self.version()
            except DeviceError as error:
                last = error
                self.close()
                time.sleep(0.2)  # the port is not there yet: ask again
        raise DeviceGone(f"the device on {self.port} did not answer again within {within:.0f} s: {last}")

    def resync(self) -> None:
        """Keeps quiet until the device has dropped whatever packet it was in the middle of
        (2 s of silence inside a packet end its read), discarding anything it sends."""
        transport = self._need_transport()
        end = time.monotonic() + RESYNC_SILENCE
        while time.monotonic() < end:
            transport.read(DRAIN_PIECE, end)
        transport.discard_pending()
        self._unaligned = False

    def _need_transport(self):
        if self._transport is None:
            raise DeviceGone(f"the link to {self.port} is closed")
        return self._transport

    def _send(self, code: int, payload: bytes, block: bytes) -> bytes:
        transport = self._need_transport()
        if self._unaligned:
            self.resync()
        transport.discard_pending()
        tag = bytes(self._tags())
        transport.write(p.build_packet(code, tag, payload))
        view = memoryview(block)
        done = 0
        try:
            while done < len(view):
                transport.write(bytes(view[done:done + BLOCK_PIECE]))
                done += BLOCK_PIECE
        except KeyboardInterrupt:
            # The device reads exactly the length it was promised: finish with filler so
            # that it stays aligned, take its reply, then stop.
            while done < len(view):
                transport.write(bytes(min(BLOCK_PIECE, len(view) - done)))
                done += BLOCK_PIECE
            transport.read(p.PACKET_LEN, time.monotonic() + self.timeout)
            raise
        return tag

    def _describe(self, code: int, what: Optional[str]) -> str:
        return what or f"command 0x{code:02X}"

    def exchange(self, code: int, payload: bytes = b"", block: bytes = b"",
                 what: Optional[str] = None, timeout: Optional[float] = None) -> p.Reply:
        """One command: the packet, its follow-on block, and the reply read and checked
        (within `timeout` seconds, the link's own when None)."""
        what = self._describe(code, what)
        timeout = self.timeout if timeout is None else timeout
        tag = self._send(code, payload, block)
        raw = self._need_transport().read(p.PACKET_LEN, time.monotonic() + timeout)
        if len(raw) < p.PACKET_LEN:
            self._unaligned = True
            note = ""
            if code in p.GATED_CODES:
                note = ("; if the controller is in wireless mode, the device drops controller "
                        "commands without a reply")
            raise NoReply(f"{what}: no reply within {timeout:.1f} s on {self.port} "
                          f"({len(raw)} of 512 bytes){note}")
        if raw[0] != code or raw[1] != p.STATUS_OK or raw[2:6] != tag:
            raise WrongReply(f"{what}: the reply belongs to another command "
                             f"(code 0x{raw[0]:02X}, status 0x{raw[1]:02X})")
        reply = p.Reply(raw)
        if reply.failed:
            raise CommandFailed(f"{what}: the device reports that it failed")
        return reply

    def raw(self, code: int, payload: bytes = b"", block: bytes = b"") -> bytes:
        """Any command code; the whole 512-byte reply, whatever it says (but for silence)."""
        tag = self._send(code, bytes(payload), bytes(block))
        raw = self._need_transport().read(p.PACKET_LEN, time.monotonic() + self.timeout)
        if len(raw) < p.PACKET_LEN:
            self._unaligned = True
            raise NoReply(f"command 0x{code:02X}: no reply within {self.timeout:.1f} s on {self.port}")
        if raw[0] != code or raw[2:6] != tag:
            raise WrongReply(f"command 0x{code:02X}: the reply belongs to another command")
        return raw

    def _page(self, payload: bytes, number: int) -> bytes:
        """A listing page: 512 bytes with no header."""
        self._send(p.CMD_QUERY_DIR, payload, b"")
        raw = self._need_transport().read(p.PACKET_LEN, time.monotonic() + self.timeout)
        if len(raw) < p.PACKET_LEN:
            self._unaligned = True
            raise NoReply(f"listing page {number} (command 0x63): no reply within {self.timeout:.1f} s")
        return raw

    # --- Device.

    def version(self) -> str:
        """The device's version text (0x0A)."""
        result = self.exchange(p.CMD_GET_VERSION).result
        return result.split(b"\0", 1)[0].decode("ascii", "replace")

    def reboot(self) -> bool:
        """Reboots the device (0x0B). The device answers when its reboot command has returned,
        if it is still there: True when it answered, False when it went down without a word
        (the port hung up, or stayed silent for the time limit: on the board the USB port may
        stay a while as the system stops). Then the link is closed; reconnect() waits for the
        device to come back."""
        return self._going_down(p.CMD_REBOOT, "reboot (0x0B)")

    def halt(self) -> bool:
        """Halts the device (0x0C); True when it answered, False when it went down without a
        word (the port hung up or stayed silent)."""
        return self._going_down(p.CMD_HALT, "halt (0x0C)")

    def _going_down(self, code: int, what: str) -> bool:
        try:
            self.exchange(code, what=what)
            return True
        except (DeviceGone, NoReply):
            # The reply may never come: a device going down is the command carried out.
            self.close()
            return False

    def set_config(self, brightness: int, mode: int, aux2: int, rotation: int, aux4: int,
                   keep_on: int) -> None:
        """Stores the settings, each 0..255; applied at the next start (0x7D)."""
        values = [brightness, mode, aux2, rotation, aux4, keep_on]
        for name, value in zip(("brightness", "mode", "aux2", "rotation", "aux4", "keep_on"), values):
            p.byte_payload(value, 255, name)
        self.exchange(p.CMD_SET_CONFIG, bytes(values), what="the settings (0x7D): not stored")

    def mark_usb_display(self) -> None:
        """Creates the USB-display marker file (0x96)."""
        self.exchange(p.CMD_MARK_USB_DISPLAY, what="the USB-display marker (0x96): not created")

    def test_h264_decode(self) -> None:
        """Starts the device's decoder test; the USB monitor then stands still (0xFD)."""
        self.exchange(p.CMD_TEST_H264_DECODE)

    # --- Display.

    def set_rotation(self, code: int) -> None:
        """Rotates the screen: 0, 1, 2, 3 for 0, 90, 180, 270 degrees; stored (0x0D)."""
        self.exchange(p.CMD_SET_ROTATION, p.byte_payload(code, 3, "the rotation code"),
                      what=f"rotation {code} (0x0D): not stored")

    def set_brightness(self, level: int) -> None:
        """The backlight, 0..100; 0 darkens and keeps the level (0x0E)."""
        self.exchange(p.CMD_SET_BRIGHTNESS, p.byte_payload(level, 100, "the brightness level"))

    def set_framerate(self, fps: int) -> None:
        """The video frame rate, 0..255; 0 turns the pacing off (0x0F)."""
        self.exchange(p.CMD_SET_FRAMERATE, p.byte_payload(fps, 255, "the frame rate"))

    def _picture(self, code: int, data: Data, what: str) -> None:
        raw = _read_data(data, p.BLOCK_MAX, what, empty_ok=False)
        self.exchange(code, p.length_payload(len(raw)), raw, what=f"{what} (0x{code:02X}): may not be shown")

    def show_jpg(self, data: Data) -> None:
        """Shows a JPEG picture (a file or its bytes) full-screen (0x65)."""
        self._picture(p.CMD_SHOW_JPG, data, "a JPEG picture")

    def show_png(self, data: Data) -> None:
        """Shows a PNG picture (a file or its bytes) on the overlay layer (0x66)."""
        self._picture(p.CMD_SHOW_PNG, data, "a PNG picture")

    def play_local_jpg(self, path: str) -> None:
        """Shows a JPEG file of the device full-screen (0x71)."""
        self.exchange(p.CMD_PLAY_LOCAL_JPG, p.name_payload(p.check_name(path)))

    def stop_local_jpg(self) -> None:
        """Stops the SD card slideshow (0x72)."""
        self.exchange(p.CMD_STOP_LOCAL_JPG)

    # --- Video.

    def play_local_h264(self, path: str) -> None:
        """Plays a local H.264 file of the device in a loop (0x6E)."""
        name = p.check_name(path, 127, "a video path")
        self.exchange(p.CMD_PLAY_LOCAL_H264, p.name_payload(name))

    def stop_local_h264(self) -> None:
        """Stops the local video (0x6F)."""
        self.exchange(p.CMD_STOP_LOCAL_H264)

    def local_h264_playing(self) -> bool:
        """Whether a local video plays (0x70)."""
        return self.exchange(p.CMD_GET_LOCAL_H264_STATE).result[0] == 1

    def push_h264_block(self, block: bytes) -> int:
        """Queues one block of a host stream, at most one queue slot (0x79); returns how many
        blocks are queued. The caller must not push while five are."""
        if not 1 <= len(block) <= p.STREAM_BLOCK:
            raise ValueError(f"an H.264 block has 1 to {p.STREAM_BLOCK} bytes, not {len(block)}")
        return self.exchange(p.CMD_PUSH_H264_BLOCK, p.length_payload(len(block)), bytes(block)).result[0]

    def h264_block_count(self) -> int:
        """How many H.264 blocks wait in the device's queue, 0..5 (0x7A)."""
        return self.exchange(p.CMD_GET_H264_BLOCK_COUNT).result[0]

    def stop_h264(self) -> None:
        """Ends a host stream; what is not yet shown is dropped (0x7B)."""
        self.exchange(p.CMD_STOP_H264)

    def _wait_for_room(self, count: int, limit: int) -> int:
        """Asks for the queue count until fewer than `limit` blocks are queued."""
        deadline = time.monotonic() + self.timeout
        while count >= limit:
            if time.monotonic() > deadline:
                raise QueueStuck(f"the device's H.264 queue stayed at {count} blocks for {self.timeout:.1f} s")
            time.sleep(QUEUE_POLL)
            count = self.h264_block_count()
        return count

    def stream(self, data: Data, progress: Optional[Progress] = None) -> int:
        """Streams an H.264 stream (a file or its bytes) to the screen and ends it once its
        last picture is shown; returns the number of blocks of the stream.

        Blocks of one queue slot go out while the queue has room. The device's unit splitter
        completes a unit only when the next start code arrives, and a queue count of 0 means
        only that the decoder has taken every block; so two blocks follow the stream, each one
        end-of-stream unit: the first completes the last picture, and the decoder takes the
        second only after it has shown every picture before it. Once the queue reads 0 the last
        picture is on the screen, and 0x7B ends the stream.
        """
        raw = _read_data(data, 1 << 40, "a stream", empty_ok=False)
        count = 0
        blocks = 0
        try:
            for done in range(0, len(raw), p.STREAM_BLOCK):
                count = self._wait_for_room(count, p.QUEUE_SLOTS)
                count = self.push_h264_block(raw[done:done + p.STREAM_BLOCK])
                blocks += 1
                if progress:
                    progress(min(done + p.STREAM_BLOCK, len(raw)), len(raw))
            for _ in range(2):
                count = self._wait_for_room(count, p.QUEUE_SLOTS)
                count = self.push_h264_block(p.END_OF_STREAM)
            self._wait_for_room(count, 1)
        except KeyboardInterrupt:
            self.stop_h264()  # Ctrl-C ends the stream too; what is queued is dropped
            raise
        self.stop_h264()
        return blocks

    # --- Files.

    def create_file(self, remote: str) -> None:
        """Opens `remote` on the device as the upload stream (0x26)."""
        name = p.check_name(remote)
        try:
            reply = self.exchange(p.CMD_CREATE_FILE, p.name_payload(name))
        except CommandFailed:
            reply = None
        if reply is None or reply.result[0] != p.STATUS_OK:
            raise CommandFailed(f"the device cannot create {remote} (does its directory exist?); "
                                "nothing was uploaded")

    def save_file_buffer(self, chunk: bytes, last: bool) -> None:
        """Stores one chunk of the upload stream; the last one closes the file (0x27), and is
        given at least 30 s: the device syncs the whole file system before it answers."""
        if len(chunk) > p.BLOCK_MAX:
            raise ValueError(f"a chunk has at most {p.BLOCK_MAX} bytes")
        self.exchange(p.CMD_SAVE_FILE_BUFFER, p.chunk_payload(len(chunk), last), bytes(chunk),
                      timeout=max(self.timeout, LAST_CHUNK_TIMEOUT) if last else None)

    def put(self, local: Data, remote: str, chunk: int = 65536,
            progress: Optional[Progress] = None) -> int:
        """Uploads a file (a local path or bytes) in chunks (0x26, then 0x27); returns its
        size. `progress(done, total)` is called after every chunk of data.

        The data goes with the last-chunk flag clear and an empty chunk closes the upload: a
        chunk cut short by Ctrl-C is finished with filler, which must never be the chunk that
        puts `remote` in place."""
        if not 1 <= chunk <= p.BLOCK_MAX:
            raise ValueError(f"chunk must be 1..{p.BLOCK_MAX}, not {chunk}")
        raw = _read_data(local, 0xFFFFFFFF, "put")
        self.create_file(remote)
        done = 0
        while True:
            last = done == len(raw)
            piece = raw[done:done + chunk]
            try:
                self.save_file_buffer(piece, last)
            except DeviceError as error:
                # The closing chunk puts the file in place before its reply: one lost on its way
                # may follow a file already replaced.
                unknown = last and not isinstance(error, CommandFailed)
                left = (f"the upload stopped after {done} of {len(raw)} bytes and {remote} "
                        f"{'may or may not be' if unknown else 'is not'} replaced")
                if isinstance(error, CommandFailed) and not last:
                    # A chunk the device could not store (a full card) spoils the upload, whose
                    # temporary file keeps its room until the upload is closed: closing discards it.
                    # The device discards it whatever it answers to the close.
                    try:
                        self.save_file_buffer(b"", True)
                        left += "; the unfinished upload is discarded"
                    except CommandFailed:
                        left += "; the unfinished upload is discarded"
                    except DeviceError:
                        pass
                raise type(error)(f"{error}; {left}") from error
            if last:
                return len(raw)
            done += len(piece)
            if progress:
                progress(done, len(raw))

    def put_small(self, local: Data, remote: str) -> int:
        """Uploads a file of at most 1 MiB in one go (0x28); returns its size."""
        raw = _read_data(local, p.BLOCK_MAX, "put_small")
        name = p.check_name(remote)
        self.exchange(p.CMD_SAVE_SMALL_FILE, p.name_payload(name, len(raw)), raw,
                      what=f"the small file {remote} (0x28): not stored")
        return len(raw)

    def delete(self, path: str) -> None:
        """Deletes a file, or every file below a directory (0x2A)."""
        self.exchange(p.CMD_DELETE_FILE, p.name_payload(p.check_name(path)),
                      what=f"delete {path} (0x2A)")

    def file_size(self, path: str) -> int:
        """A file's size in bytes; 0 when it is missing (0x62)."""
        return p.le32(self.exchange(p.CMD_GET_FILE_SIZE, p.name_payload(p.check_name(path))).result, 0)

    def ls(self, path: str) -> p.Listing:
        """Lists a directory: its subdirectories and files (20 pages of 0x63). A directory that
        did not exist is created by the device, empty (`created`); FileNotFoundError when
        even that failed."""
        payload = p.name_payload(p.check_name(path))
        # A listing that an earlier session left unfinished hands over its remaining pages
        # first; ours begins with "result:".
        for skipped in range(p.LISTING_PAGES + 1):
            if skipped == p.LISTING_PAGES:
                raise WrongReply(f"the device sent no listing in {p.LISTING_PAGES} pages")
            first = self._page(payload, 1)
            if first.startswith(b"result:"):
                break
        pages = [first] + [self._page(payload, n) for n in range(2, p.LISTING_PAGES + 1)]
        text = b"".join(pages).split(b"\0", 1)[0].decode("utf-8", "replace")
        return p.parse_listing(path, text)

    def df(self) -> p.Storage:
        """The SD card's total, used and available KiB (0x64)."""
        return p.parse_storage(self.exchange(p.CMD_QUERY_STORAGE).result)

    # --- Controller.

    def _relay_block(self, code: int, block: bytes, what: str) -> None:
        self.exchange(code, p.relay_payload(len(block)), block,
                      what=f"{what} (0x{code:02X}): the controller did not get it whole")

    def set_theme(self, record: bytes) -> None:
        """Sends the 64-byte host theme record, shown in online mode (0xF9)."""
        if len(record) != p.THEME_RECORD_LEN:
            raise ValueError(f"the theme record has {p.THEME_RECORD_LEN} bytes, not {len(record)}")
        self.exchange(p.CMD_SET_THEME, bytes(record))

    def relay_pump_fan(self, settings: bytes) -> None:
        """Relays 14 bytes of pump and fan settings to the controller (0xFB)."""
        if len(settings) != p.PUMP_FAN_LEN:
            raise ValueError(f"the pump and fan settings have {p.PUMP_FAN_LEN} bytes, not {len(settings)}")
        self.exchange(p.CMD_MCU_SET_PUMP_FAN, bytes(settings),
                      what="the pump and fan settings (0xFB): the controller did not get them")

    def relay_light(self, data: Data) -> None:
        """Relays lighting data (a file or bytes, 1 byte to 1 MiB) to the controller (0xFC)."""
        self._relay_block(p.CMD_MCU_LIGHT_DATA, _read_data(data, p.BLOCK_MAX, "lighting data", False),
                          "the lighting data")

    def mcu_erase(self) -> None:
        """Erases the controller's firmware (0xF7)."""
        self.exchange(p.CMD_MCU_ERASE, what="the firmware erase (0xF7): not sent")

    def mcu_update_data(self, block: bytes) -> None:
        """One block of a controller firmware image (0xF8)."""
        self._relay_block(p.CMD_MCU_UPDATE_DATA, bytes(block), "firmware data")

    def firmware_update(self, image: Data, chunk: int = 4096, progress: Optional[Progress] = None) -> int:
        """Erases the controller's firmware and sends the new image in chunks (0xF7, then
        0xF8). An empty image is refused before the erase."""
        raw = _read_data(image, 0xFFFFFFFF, "a firmware image", empty_ok=False)
        if not 1 <= chunk <= p.BLOCK_MAX:
            raise ValueError(f"chunk must be 1..{p.BLOCK_MAX}, not {chunk}")
        self.mcu_erase()
        for done in range(0, len(raw), chunk):
            try:
                self.mcu_update_data(raw[done:done + chunk])
            except DeviceError as error:
                raise type(error)(f"{error}; the controller's firmware is erased and it has {done} of "
                                  f"{len(raw)} bytes of the new image") from error
            if progress:
                progress(min(done + chunk, len(raw)), len(raw))
        return len(raw)

    def mcu_data(self) -> bytes:
        """The controller's 32-byte status record (0xFA)."""
        return self.exchange(p.CMD_GET_MCU_DATA).result[:32]

    def group_position(self) -> tuple[int, int]:
        """(group, position) (0xC9)."""
        result = self.exchange(p.CMD_GET_GROUP_POSITION).result
        return result[0], result[1]

