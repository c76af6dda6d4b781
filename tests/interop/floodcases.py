"""Datagrams for the flood: valid ones in the relay's own encoding, each unique, which the relay
writes back byte for byte; bad ones of every kind, each with what the relay makes of it (most
yield nothing; a few are read with the tolerances of the decoder and relayed as written here)."""

import random
import struct

from oscpeers import osc_string, pad, relay_blob

MAX_DATAGRAM = 65507
# What a listener reads of a datagram: one byte less than the largest UDP datagram.
MAX_READ = 65506
PAST_SECONDS = 0xE0000000


def int32(value):
    return struct.pack(">i", value)


def osc_message(address, types, *args):
    return osc_string(address) + osc_string("," + types) + b"".join(args)


def osc_bundle(seconds, fraction, *elements):
    out = osc_string("#bundle") + struct.pack(">II", seconds, fraction)
    for element in elements:
        out += int32(len(element)) + element
    return out


def nested(depth, innermost):
    """`depth` bundles one inside the other around one message, each at the same past time."""
    packet = innermost
    for _ in range(depth):
        packet = osc_bundle(PAST_SECONDS, 0, packet)
    return packet


def deepest_nesting(innermost):
    """The deepest nesting whose datagram still fits what a listener reads."""
    return nested((MAX_READ - len(innermost)) // 20, innermost)


class Flood:
    """A burst for one listen port, in rounds: every round is a list of (datagram, expected)
    pairs, where expected is the bytes the relay sends for it or None for nothing. At most one
    datagram of a round is large, so that a round fits the relay's receive buffer."""

    def __init__(self, route, rounds, seed):
        self.route = route
        self.random = random.Random(seed)
        self.serial = 0
        self.rounds = [self._round(number) for number in range(rounds)]

    def _valid(self):
        """A valid datagram, unique in the whole burst, that the relay writes back unchanged."""
        self.serial += 1
        address = f"/flood/{self.route}/{self.serial}"
        kind = self.serial % 5
        if kind == 0:
            return osc_message(address, "i", int32(self.serial))
        if kind == 1:
            payload = self.random.randbytes(self.random.randrange(0, 40))
            return osc_message(address, "sifb", osc_string("text"), int32(-self.serial), struct.pack(">f", 0.5), relay_blob(payload))
        if kind == 2:
            return osc_bundle(PAST_SECONDS, 0, osc_message(address, "i", int32(1)), osc_message(address, "s", osc_string("two")))
        if kind == 3:
            return osc_bundle(0, 1, osc_message(address, ""))
        return nested(self.random.randrange(2, 40), osc_message(address, "f", struct.pack(">f", -1.25)))

    def _bad(self):
        """A datagram the relay reads nothing from."""
        kind = self.random.randrange(12)
        address = f"/flood/{self.route}/bad"
        if kind == 0:
            return b""
        if kind == 1:
            # Any cut through a message of strings, ints and floats leaves something unread.
            message = osc_message(address, "sif", osc_string("text"), int32(1), struct.pack(">f", 2.0))
            return message[: self.random.randrange(len(message))]
        if kind == 2:
            # An element cut short: its size asks for more bytes than are left.
            message = osc_message(address, "ii", int32(1), int32(2))
            return osc_bundle(PAST_SECONDS, 0, message)[: 20 + self.random.randrange(1, len(message))]
        if kind == 3:
            return osc_bundle(PAST_SECONDS, 0) + int32(-self.random.randrange(1, 1 << 31)) + b"\0" * 8
        if kind == 4:
            return osc_message(address, "b", int32(-self.random.randrange(1, 5)), b"\0" * 8)
        if kind == 5:
            return osc_message(address, "s", pad("caf\u00e9 \u266b".encode()))
        if kind == 6:
            return b"/fl\xe9od\0\0" + osc_string(",i") + int32(0)
        if kind == 7:
            tag = self.random.choice(["h", "d", "T", "F", "N", "I", "t", "c", "m", "S", "[", "ih", "fd"])
            return osc_message(address, tag, b"\0" * 16)
        if kind == 8:
            # One bad element deep inside a valid nesting spoils the whole datagram.
            return nested(self.random.randrange(2, 200), osc_message(address, "d", b"\0" * 8))
        if kind == 9:
            # No zero byte anywhere: the address runs to the end. ("#" would start a bundle.)
            return b"/" + bytes(self.random.randrange(1, 256) for _ in range(self.random.randrange(0, 200)))
        if kind == 10:
            # A type tag word of four zero bytes.
            return osc_string(address) + b"\0" * 4
        return osc_message(address, "i", int32(1))[:-1]

    def _tolerated(self):
        """Bad datagrams the decoder reads anyway, with the relay's bytes for them."""
        self.serial += 1
        address = f"/flood/{self.route}/{self.serial}"
        size = self.random.choice([-5, -1000, -(1 << 31), 1 << 30])
        empty_blob = osc_message(address, "b", relay_blob(b""))
        return [
            (osc_message(address, "b", int32(size), b"\xAA" * 4), empty_blob),
            # Bytes after the last argument are ignored.
            (osc_message(address, "", b"") + b"trailing", osc_message(address, "")),
        ]

    def _large(self, number):
        """One large datagram per round, in turn: the largest UDP datagram (read as its first
        65506 bytes), the deepest nesting, and a bad deep nesting."""
        self.serial += 1
        address = f"/flood/{self.route}/{self.serial}"
        kind = number % 4
        if kind == 0:
            head = osc_message(address, "i", int32(self.serial))
            return head + self.random.randbytes(MAX_DATAGRAM - len(head)), head
        if kind == 1:
            deep = deepest_nesting(osc_message(address, "i", int32(self.serial)))
            return deep, deep
        if kind == 2:
            return deepest_nesting(osc_message(address, "h", b"\0" * 8)), None
        # A string that runs past what the listener reads.
        return osc_string(address) + osc_string(",s") + b"x" * (MAX_DATAGRAM - len(osc_string(address)) - 4), None

    def _round(self, number):
        items = [self._large(number)]
        for _ in range(30):
            valid = self._valid()
            items.append((valid, valid))
            items.append((self._bad(), None))
        items += self._tolerated()
        self.random.shuffle(items)
        return items

    def datagrams(self):
        return sum(len(items) for items in self.rounds)

    def expected(self):
        return [out for items in self.rounds for _, out in items if out is not None]
