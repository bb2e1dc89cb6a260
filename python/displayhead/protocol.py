"""The host link's wire records: the enciphered 512-byte packet the host sends, the payloads
of the commands, and the plain 512-byte reply.

A packet carries a 496-byte command record (code, 0, 1A, 6D, a four-byte tag, the payload
from byte 8), padded by the cipher with eight 08 bytes to 504 bytes and enciphered with DES
in CBC mode, the packet key serving as key and IV; six filler bytes and A1 1A follow. The
reply is plain: code, C8, the tag, and the result from byte 8. Lengths in commands are 32-bit
big-endian, integers in replies 32-bit little-endian.
"""
from __future__ import annotations

import struct
from dataclasses import dataclass

try:  # Debian's python3-pycryptodome
    from Cryptodome.Cipher import DES
except ImportError:
    from Crypto.Cipher import DES  # pycryptodome, where pycryptodomex is not installed

PACKET_LEN = 512
CIPHER_LEN = 504
RECORD_LEN = 496
PAYLOAD_MAX = RECORD_LEN - 8  # 488: the payload bytes a record holds
NAME_MAX = 480                # the longest name or path a command carries
BLOCK_MAX = 1048576           # the longest follow-on block the device takes
STREAM_BLOCK = 202752         # one slot of the device's H.264 queue
QUEUE_SLOTS = 5
PACKET_KEY = b"qkw7rnvb"
TRAILER = b"\xa1\x1a"
CHECK = 0x1A
MAGIC = 0x6D
STATUS_OK = 0xC8
FAILURE_MARK = b"_failed\x00"  # reply bytes 6..13 of a command the device could not carry out
END_OF_STREAM = b"\x00\x00\x00\x01\x0b"

# Command codes, by the system's names for them.
CMD_GET_VERSION = 0x0A
CMD_REBOOT = 0x0B
CMD_HALT = 0x0C
CMD_SET_ROTATION = 0x0D
CMD_SET_BRIGHTNESS = 0x0E
CMD_SET_FRAMERATE = 0x0F
CMD_CREATE_FILE = 0x26
CMD_SAVE_FILE_BUFFER = 0x27
CMD_SAVE_SMALL_FILE = 0x28
CMD_DELETE_FILE = 0x2A
CMD_GET_FILE_SIZE = 0x62
CMD_QUERY_DIR = 0x63
CMD_QUERY_STORAGE = 0x64
CMD_SHOW_JPG = 0x65
CMD_SHOW_PNG = 0x66
CMD_PLAY_LOCAL_H264 = 0x6E
CMD_STOP_LOCAL_H264 = 0x6F
CMD_GET_LOCAL_H264_STATE = 0x70
CMD_PLAY_LOCAL_JPG = 0x71
CMD_STOP_LOCAL_JPG = 0x72
CMD_PUSH_H264_BLOCK = 0x79
CMD_GET_H264_BLOCK_COUNT = 0x7A
CMD_STOP_H264 = 0x7B
CMD_SET_CONFIG = 0x7D
CMD_MARK_USB_DISPLAY = 0x96
CMD_GET_GROUP_POSITION = 0xC9
CMD_MCU_ERASE = 0xF7
CMD_MCU_UPDATE_DATA = 0xF8
CMD_SET_THEME = 0xF9
CMD_GET_MCU_DATA = 0xFA
CMD_MCU_SET_PUMP_FAN = 0xFB
CMD_MCU_LIGHT_DATA = 0xFC
CMD_TEST_H264_DECODE = 0xFD

# The commands the device drops unanswered while the controller reports wireless mode.
GATED_CODES = frozenset({CMD_MCU_ERASE, CMD_MCU_UPDATE_DATA, CMD_SET_THEME,
                         CMD_MCU_SET_PUMP_FAN, CMD_MCU_LIGHT_DATA})

THEME_RECORD_LEN = 64
PUMP_FAN_LEN = 14
LISTING_PAGES = 20


def encipher(plain: bytes) -> bytes:
    """DES-CBC with the packet key as key and IV; `plain` is a multiple of 8 bytes."""
    return DES.new(PACKET_KEY, DES.MODE_CBC, iv=PACKET_KEY).encrypt(plain)


def decipher(cipher: bytes) -> bytes:
    """The inverse of encipher, padding left in place."""
    return DES.new(PACKET_KEY, DES.MODE_CBC, iv=PACKET_KEY).decrypt(cipher)


def build_packet(code: int, tag: bytes, payload: bytes = b"") -> bytes:
    """The packet for a command. A payload longer than 488 bytes does not fit a record."""
    if not 0 <= code <= 255:
        raise ValueError(f"a command code is one byte, not {code}")
    if len(tag) != 4:
        raise ValueError("a tag is four bytes")
    if len(payload) > PAYLOAD_MAX:
        raise ValueError(f"a payload has at most {PAYLOAD_MAX} bytes, not {len(payload)}")
    record = bytes([code, 0, CHECK, MAGIC]) + bytes(tag) + bytes(payload)
    record += bytes(RECORD_LEN - len(record))
    return encipher(record + b"\x08" * 8) + bytes(6) + TRAILER


def build_packet_from_plain(plain: bytes) -> bytes:
    """The packet for a whole 504-byte plain text, padding byte chosen by the caller."""
    if len(plain) != CIPHER_LEN:
        raise ValueError(f"a plain text is {CIPHER_LEN} bytes")
    return encipher(plain) + bytes(6) + TRAILER


def read_packet(packet: bytes) -> tuple[int, bytes, bytes]:
    """(code, tag, payload) of a packet as the device reads it; ValueError when the device
    would drop it."""
    if len(packet) != PACKET_LEN or packet[510:512] != TRAILER:
        raise ValueError("not a packet: wrong length or trailer")
    plain = decipher(packet[:CIPHER_LEN])
    pad = plain[-1]
    if pad > 8:
        raise ValueError(f"padding byte {pad} above 8")
    record = plain[:CIPHER_LEN - pad]
    if record[2] != CHECK or record[3] != MAGIC:
        raise ValueError("wrong check or magic byte")
    return record[0], record[4:8], record[8:]


def be32(value: int) -> bytes:
    return struct.pack(">I", value)


def le32(data: bytes, at: int) -> int:
    return struct.unpack_from("<I", data, at)[0]


def check_name(name: str | bytes, limit: int = NAME_MAX, what: str = "a remote path") -> bytes:
    raw = name.encode() if isinstance(name, str) else bytes(name)
    if not 1 <= len(raw) <= limit:
        raise ValueError(f"{what} must be 1 to {limit} bytes long, not {len(raw)}")
    return raw


def name_payload(name: bytes, second: int = 0) -> bytes:
    """L (the name's length) and M big-endian at command bytes 8..15, the name from byte 16."""
    return be32(len(name)) + be32(second) + name


def length_payload(length: int) -> bytes:
    """A block's length at command bytes 8..11 (pictures, H.264 blocks)."""
    return be32(length)


def relay_payload(length: int) -> bytes:
    """A controller relay's block length at command bytes 12..15."""
    return bytes(4) + be32(length)


def chunk_payload(length: int, last: bool) -> bytes:
    """An upload chunk: its length twice (block and bytes to store) and the last-chunk flag."""
    return be32(length) + be32(length) + bytes([1 if last else 0])


def byte_payload(value: int, high: int, what: str) -> bytes:
    if not 0 <= value <= high:
        raise ValueError(f"{what} must be 0..{high}, not {value}")
    return bytes([value])


@dataclass(frozen=True)
class Reply:
    """A standard reply: the header checked, the result from byte 8."""
    raw: bytes

    @property
    def code(self) -> int:
        return self.raw[0]

    @property
    def tag(self) -> bytes:
        return self.raw[2:6]

    @property
    def result(self) -> bytes:
        return self.raw[8:]

    @property
    def failed(self) -> bool:
        return self.raw[6:14] == FAILURE_MARK


@dataclass(frozen=True)
class Listing:
    """A directory listing: subdirectories and files by name. `created` when the directory
    did not exist and the device created it, empty. `ambiguous` when more than one name
    begins with "file:": the text cannot tell a folder of such a name from a file, and the
    names are read as if no folder's name began so."""
    path: str
    folders: list[str]
    files: list[str]
    created: bool = False
    ambiguous: bool = False


@dataclass(frozen=True)
class Storage:
    """The SD card's space in KiB, and the three fields the device never sets."""
    total_kib: int
    used_kib: int
    avail_kib: int
    extra0: int = 0
    extra1: int = 0
    extra2: int = 0


def parse_storage(result: bytes) -> Storage:
    return Storage(*struct.unpack_from("<6I", result, 0))


def split_names(text: str) -> list[str]:
    """'a/b/' -> ['a', 'b']."""
    return text.split("/")[:-1] if text else []


def parse_listing(path: str, text: str) -> Listing:
    """The listing text "result:dir:A/B/file:x/y/" (or "result:nodir..."), cut at its first
    zero byte."""
    if not text.startswith("result:"):
        raise ValueError(f"not a listing: {text[:60]!r}")
    body = text[len("result:"):]
    if body.startswith("nodir"):
        if "-createdone" not in body:
            raise FileNotFoundError(f"no directory {path} on the device, and it could not create one")
        return Listing(path, [], [], created=True)
    # Every name is followed by "/"; the files part starts at the first name that begins with
    # "file:" (the last such name may well be a file's own: "file:notes.txt").
    names = body[4:].split("/")
    marked = [at for at, name in enumerate(names) if name.startswith("file:")]
    if not body.startswith("dir:") or not marked:
        raise ValueError(f"cannot read the listing: {text[:120]!r}")
    files_at = marked[0]
    return Listing(path, names[:files_at], split_names("/".join(names[files_at:])[len("file:"):]),
                   ambiguous=len(marked) > 1)


def count_pictures(data: bytes) -> int:
    """Pictures in an H.264 stream: coded slices (types 1 and 5) that start a picture
    (first_mb_in_slice 0, the Exp-Golomb bit 1)."""
    pictures = 0
    at = data.find(b"\x00\x00\x01")
    while 0 <= at < len(data) - 4:
        kind = data[at + 3] & 0x1F
        if kind in (1, 5) and data[at + 4] & 0x80:
            pictures += 1
        at = data.find(b"\x00\x00\x01", at + 3)
    return pictures
