"""The relay between OSC peers of other design: osc.js, liblo (python3-liblo, oscsend, oscdump).

For every receiving peer the relay is started with that peer at all three destinations; then
every sending peer sends every case it can write into the Orvane listen port (out to both
devices) and into each device listen port (out to Orvane). Each phase ends with a sentinel
message, so what a receiver did not get was dropped: by the relay (it could not read it) or
by the receiver (it rejected what the relay wrote). The expectations say which, case by case.
"""

import os
import struct
import unittest

from oscpeers import (
    LibloPeer,
    OscdumpPeer,
    OscJsPeer,
    RawPeer,
    Relay,
    bundle,
    is_probe,
    message,
    osc_string,
    oscsend,
    relay_blob,
)

TANDREL = os.environ["TANDREL_BINARY"]

OSCJS, LIBLO, OSCSEND, OSCDUMP, RAW = "osc.js", "python3-liblo", "oscsend", "oscdump", "raw"
EVERY_SENDER = (OSCJS, LIBLO, OSCSEND, RAW)
# Senders that write blobs; python3-liblo refuses an empty one.
BLOB_SENDERS = (OSCJS, LIBLO, RAW)
BUNDLE_SENDERS = (OSCJS, LIBLO, RAW)

SAME = "the packet as sent"
REJECTED = "rejected"

# A time tag in the past, so that liblo hands the bundle on at once; its fraction is not zero.
PAST = [0xE0000000, 0x80000001]
IMMEDIATE = [0, 1]


def relay_encoding(packet):
    """The bytes the relay writes for a packet it read: OSC 1.0 but for a blob's one to four
    zero bytes, and a time tag whose fraction it dropped (the seconds go out as they came in)."""
    if "elements" in packet:
        seconds, fraction = packet["timetag"]
        out = osc_string("#bundle") + struct.pack(">II", seconds, 1 if packet["timetag"] == IMMEDIATE else 0)
        for element in packet["elements"]:
            data = relay_encoding(element)
            out += struct.pack(">i", len(data)) + data
        return out
    out = osc_string(packet["address"]) + osc_string("," + "".join(t for t, _ in packet["args"]))
    for type_tag, value in packet["args"]:
        if type_tag == "s":
            out += osc_string(value)
        elif type_tag == "i":
            out += struct.pack(">i", value)
        elif type_tag == "f":
            out += struct.pack(">f", value)
        else:
            out += relay_blob(bytes.fromhex(value))
    return out


def as_relayed(packet):
    """The packet the relay writes back: time tags keep their seconds and lose their fraction."""
    if "elements" in packet:
        timetag = packet["timetag"] if packet["timetag"] == IMMEDIATE else [packet["timetag"][0], 0]
        return bundle(timetag, *map(as_relayed, packet["elements"]))
    return packet


def messages_of(packet, timetag=None):
    """The messages of a packet in order, as liblo hands them on, each with its bundle's tag."""
    if "elements" in packet:
        return [m for e in packet["elements"] for m in messages_of(e, packet["timetag"])]
    return [{**packet, "timetag": timetag}]


def as_read_by(reader, packet):
    """A relayed packet as the reader shows it when it reads it without fault."""
    if reader == OSCJS:
        return [packet]
    if reader == RAW:
        return [relay_encoding(packet)]
    flat = messages_of(packet)
    if reader == LIBLO:
        return [{"address": m["address"], "args": m["args"]} for m in flat]
    # oscdump prints the time it read a lone message, and for an immediate bundle the time it
    # handed it on: neither is compared.
    return [{**m, "timetag": None if m["timetag"] in (None, IMMEDIATE) else m["timetag"]} for m in flat]


class Case:
    def __init__(self, name, packet, senders, relayed_from=None, read=None):
        self.name = name
        self.packet = packet
        self.senders = senders
        # The senders whose bytes the relay reads; by default all of them.
        self.relayed_from = senders if relayed_from is None else relayed_from
        # How each receiver reads the relay's output, where not SAME.
        self.read = read or {}


BLOB4 = "01020304"
CASES = [
    Case("strings", message("/interop/s", ["s", "hello world"], ["s", ""], ["s", "abcd"]), EVERY_SENDER),
    Case(
        "ints",
        message("/interop/i", ["i", 0], ["i", -1], ["i", 2147483647], ["i", -2147483648]),
        EVERY_SENDER,
    ),
    Case(
        "floats",
        message("/interop/f", ["f", 1.5], ["f", -2.25], ["f", 0.0], ["f", 3.4028234663852886e38]),
        EVERY_SENDER,
    ),
    Case("mixed", message("/interop/sifb", ["s", "x"], ["i", 7], ["f", 0.5], ["b", "0a0b0c"]), BLOB_SENDERS),
    Case(
        "blobs whose size is not a multiple of 4",
        message("/interop/b", ["b", "01"], ["b", "0102"], ["b", "010203"], ["b", "0102030405"]),
        BLOB_SENDERS,
    ),
    # The relay writes four zero bytes after a 4-byte payload; liblo then finds the message
    # longer than its arguments and rejects it, osc.js reads past them.
    Case("4-byte blob", message("/interop/b4", ["b", BLOB4]), BLOB_SENDERS, read={LIBLO: REJECTED, OSCDUMP: REJECTED}),
    Case("empty blob", message("/interop/b0", ["b", ""]), (OSCJS, RAW), read={LIBLO: REJECTED, OSCDUMP: REJECTED}),
    # From an OSC 1.0 peer the argument after a 4-byte blob is read 4 bytes late, past the end
    # of the datagram: the relay reads nothing and sends nothing. From a peer that pads as the
    # relay does it is relayed, and then osc.js reads the relay's pad bytes as the int (0).
    Case(
        "4-byte blob followed by an int",
        message("/interop/b4i", ["b", BLOB4], ["i", 9]),
        BLOB_SENDERS,
        relayed_from=(RAW,),
        read={
            OSCJS: message("/interop/b4i", ["b", BLOB4], ["i", 0]),
            LIBLO: REJECTED,
            OSCDUMP: REJECTED,
        },
    ),
    Case(
        "bundle",
        bundle(PAST, message("/interop/bundle/1", ["i", 1]), message("/interop/bundle/2", ["s", "two"])),
        BUNDLE_SENDERS,
    ),
    Case("immediate bundle", bundle(IMMEDIATE, message("/interop/now", ["f", 0.25])), BUNDLE_SENDERS),
    Case(
        "nested bundle",
        bundle(PAST, message("/interop/outer"), bundle(IMMEDIATE, message("/interop/inner", ["i", 2]))),
        (OSCJS, RAW),
    ),
    # A bundle without elements has no bytes of its own in the relay: nothing is sent.
    Case("empty bundle", bundle(PAST), BUNDLE_SENDERS, relayed_from=()),
    # A bundle holding a message with a 4-byte blob: osc.js reads the blob's pad bytes as the
    # next element's size and rejects the whole bundle; liblo rejects it too.
    Case(
        "bundle with a 4-byte blob",
        bundle(PAST, message("/interop/bundle/b4", ["b", BLOB4])),
        BUNDLE_SENDERS,
        read={OSCJS: REJECTED, LIBLO: REJECTED, OSCDUMP: REJECTED},
    ),
    Case("int64", message("/interop/h", ["h", "5"]), (OSCJS, LIBLO, OSCSEND), relayed_from=()),
    Case("double", message("/interop/d", ["d", 0.5]), (OSCJS, LIBLO, OSCSEND), relayed_from=()),
    Case("true", message("/interop/T", ["i", 1], ["T", None]), (OSCJS, LIBLO, OSCSEND), relayed_from=()),
    Case("non-ASCII string", message("/interop/utf8", ["s", "caf\u00e9"]), (OSCJS, LIBLO, OSCSEND), relayed_from=()),
]


def sentinel(phase):
    return message("/interop/end", ["s", phase])


class Senders:
    """One of each sending peer, made once for all receivers."""

    def __init__(self):
        self.oscjs = OscJsPeer()
        self.liblo = LibloPeer()
        self.raw = RawPeer()

    def send(self, sender, port, packet):
        if sender == OSCJS:
            self.oscjs.send(port, packet)
        elif sender == LIBLO:
            self.liblo.send(port, packet)
        elif sender == OSCSEND:
            oscsend(port, packet)
        else:
            self.raw.send_bytes(port, relay_encoding(packet))

    def close(self):
        for peer in (self.oscjs, self.liblo, self.raw):
            peer.close()


SENDERS = None


def setUpModule():
    global SENDERS
    SENDERS = Senders()


def tearDownModule():
    SENDERS.close()


class RelayBetweenPeers:
    """Mixed into one test class per receiving peer: `reader` names it, `make_sink` makes it."""

    reader = None

    @classmethod
    def setUpClass(cls):
        cls.orvane = cls.make_sink()
        cls.device1 = cls.make_sink()
        cls.device2 = cls.make_sink()
        cls.relay = Relay(TANDREL, cls.orvane.port, cls.device1.port, cls.device2.port)
        cls.relay.wait_ready(cls.orvane, [cls.device1, cls.device2], SENDERS.raw)

    @classmethod
    def tearDownClass(cls):
        status = cls.relay.stop()
        cls.relay.close()
        for sink in (cls.orvane, cls.device1, cls.device2):
            sink.close()
        if status != 0:
            raise AssertionError(f"relay exited with {status}")

    def received(self, sink, phase):
        """What the sink read up to the phase's sentinel, with the readiness probes left out."""
        end = sentinel(phase)
        mark = end if self.reader not in (RAW,) else relay_encoding(end)
        found = sink.received.wait_until(lambda r: any(_same(p, mark, self.reader) for p in r.packets))
        self.assertTrue(found, f"{phase}: sentinel never reached {self.reader}; relay log:\n{self.relay.output()}")
        packets, rejected = sink.received.take()
        index = next(i for i, p in enumerate(packets) if _same(p, mark, self.reader))
        return [p for p in packets[:index] if not is_probe(p)], rejected

    def expected(self, sender):
        expected, rejected = [], 0
        for case in CASES:
            if sender not in case.senders or sender not in case.relayed_from:
                continue
            outcome = case.read.get(self.reader, SAME)
            if outcome == REJECTED:
                rejected += 1
            elif outcome == SAME:
                expected += as_read_by(self.reader, as_relayed(case.packet))
            else:
                expected += as_read_by(self.reader, outcome)
        return expected, rejected

    def check_route(self, sender, port, sinks, phase):
        for case in CASES:
            if sender in case.senders:
                SENDERS.send(sender, port, case.packet)
        SENDERS.send(OSCJS, port, sentinel(phase))
        expected, rejected = self.expected(sender)
        for sink in sinks:
            packets, rejections = self.received(sink, phase)
            self.assertEqual(_comparable(packets, expected, self.reader), expected, phase)
            if self.reader in (OSCJS, OSCDUMP):
                self.assertEqual(rejections, rejected, f"{phase}: rejections")
        self.assertTrue(self.relay.alive())

    def check_sender(self, sender):
        self.check_route(sender, self.relay.orvane_listen, [self.device1, self.device2], f"{sender} to devices")
        self.check_route(sender, self.relay.device1_listen, [self.orvane], f"{sender} as device 1")
        self.check_route(sender, self.relay.device2_listen, [self.orvane], f"{sender} as device 2")

    def test_from_oscjs(self):
        self.check_sender(OSCJS)

    def test_from_liblo(self):
        self.check_sender(LIBLO)

    def test_from_oscsend(self):
        self.check_sender(OSCSEND)

    def test_from_relay_style_bytes(self):
        self.check_sender(RAW)


def _same(packet, mark, reader):
    if reader == RAW:
        return packet == mark
    return packet.get("address") == mark["address"] and packet.get("args") == mark["args"]


def _comparable(packets, expected, reader):
    """oscdump prints a time tag for every message, and for a lone message or an immediate bundle
    it is no tag that came over the wire (the time of reading, or the last bundle's): those are
    not compared."""
    if reader != OSCDUMP or len(packets) != len(expected):
        return packets
    return [{**p, "timetag": p["timetag"] if e["timetag"] else None} for p, e in zip(packets, expected)]


class ToOscJs(RelayBetweenPeers, unittest.TestCase):
    reader = OSCJS
    make_sink = staticmethod(OscJsPeer)


class ToLiblo(RelayBetweenPeers, unittest.TestCase):
    reader = LIBLO
    make_sink = staticmethod(LibloPeer)


class ToOscdump(RelayBetweenPeers, unittest.TestCase):
    reader = OSCDUMP
    make_sink = staticmethod(OscdumpPeer)


class ToRawSocket(RelayBetweenPeers, unittest.TestCase):
    """The relay's exact bytes for what each peer sent."""

    reader = RAW
    make_sink = staticmethod(RawPeer)


if __name__ == "__main__":
    unittest.main()
