"""OSC peers of other design, and the relay process, for the interoperability and load tests.

Every peer speaks one comparable form of a packet, the one peer.js prints:
  message: {"address": "/a", "args": [["s", "text"], ["i", 1], ["f", 1.5], ["b", "0a0b"]]}
  bundle:  {"timetag": [seconds, fraction], "elements": [packet, ...]}
Blobs are hex strings, 64-bit integers decimal strings, and "T", "F", "N", "I" carry None.
A receiving peer records what it read, in order, and counts what it rejected; every wait is a
bounded wait on such a count.
"""

import json
import os
import pathlib
import queue
import re
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time

import liblo

HERE = pathlib.Path(__file__).resolve().parent
WAIT_SECONDS = 10.0

SETTING_KEYS = (
    "orvaneSendPort",
    "orvaneListenPort",
    "device1Host",
    "device1SendPort",
    "device1ListenPort",
    "device2Host",
    "device2SendPort",
    "device2ListenPort",
)


def message(address, *args):
    return {"address": address, "args": [list(arg) for arg in args]}


def bundle(timetag, *elements):
    return {"timetag": list(timetag), "elements": list(elements)}


def free_udp_ports(count):
    """Ports that no UDP socket holds right now, on every interface (the relay binds INADDR_ANY)."""
    holders = []
    try:
        for _ in range(count):
            holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            holder.bind(("0.0.0.0", 0))
            holders.append(holder)
        return [holder.getsockname()[1] for holder in holders]
    finally:
        for holder in holders:
            holder.close()


class Recorder:
    """What a receiving peer read, in order, and how many datagrams it rejected."""

    def __init__(self):
        self._condition = threading.Condition()
        self.packets = []
        self.rejected = 0

    def add_packet(self, packet):
        with self._condition:
            self.packets.append(packet)
            self._condition.notify_all()

    def add_rejection(self):
        with self._condition:
            self.rejected += 1
            self._condition.notify_all()

    def wait_until(self, predicate, timeout=WAIT_SECONDS):
        deadline = time.monotonic() + timeout
        with self._condition:
            while not predicate(self):
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    return False
                self._condition.wait(remaining)
            return True

    def take(self):
        """What was read and rejected so far; the recorder starts afresh."""
        with self._condition:
            packets, rejected = self.packets, self.rejected
            self.packets, self.rejected = [], 0
            return packets, rejected


class RawPeer:
    """A plain UDP socket: sends bytes as given and records every datagram's bytes."""

    name = "raw"

    def __init__(self):
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
        self.socket.bind(("127.0.0.1", 0))
        self.port = self.socket.getsockname()[1]
        self.received = Recorder()
        self._thread = threading.Thread(target=self._receive, daemon=True)
        self._thread.start()

    def _receive(self):
        while True:
            try:
                data = self.socket.recv(65536)
            except OSError:
                return
            self.received.add_packet(data)

    def send_bytes(self, port, data):
        self.socket.sendto(data, ("127.0.0.1", port))

    def close(self):
        try:
            # Wakes the blocked receive; Linux does so even for an unconnected socket, and
            # reports ENOTCONN all the same.
            self.socket.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.socket.close()
        self._thread.join(WAIT_SECONDS)


class OscJsPeer:
    """osc.js under Node.js (peer.js), as a sender and as a receiver."""

    name = "osc.js"

    def __init__(self):
        self.process = subprocess.Popen(
            ["node", str(HERE / "peer.js")],
            cwd=HERE,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            bufsize=1,
        )
        self.received = Recorder()
        self.errors = []
        self._sent = queue.Queue()
        ready = json.loads(self.process.stdout.readline())
        self.port = ready["port"]
        self._thread = threading.Thread(target=self._read_events, daemon=True)
        self._thread.start()

    def _read_events(self):
        for line in self.process.stdout:
            event = json.loads(line)
            if event["event"] == "packet":
                self.received.add_packet(event["packet"])
            elif event["event"] == "sent":
                self._sent.put(bytes.fromhex(event["bytes"]))
            elif "raw" in event:
                self.errors.append(event["message"])
                self.received.add_rejection()
            else:
                self._sent.put(RuntimeError(event["message"]))

    def _command(self, command):
        self.process.stdin.write(json.dumps(command) + "\n")
        self.process.stdin.flush()
        outcome = self._sent.get(timeout=WAIT_SECONDS)
        if isinstance(outcome, Exception):
            raise outcome
        return outcome

    def send(self, port, packet):
        """Encodes the packet with osc.js, sends it and returns the bytes sent."""
        return self._command({"port": port, "packet": packet})

    def send_bytes(self, port, data):
        self._command({"port": port, "hex": data.hex()})

    def close(self):
        self.process.stdin.close()
        try:
            self.process.wait(WAIT_SECONDS)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self._thread.join(WAIT_SECONDS)


def _from_liblo(path, args, types):
    converted = []
    for type_tag, value in zip(types, args):
        if type_tag == "b":
            converted.append([type_tag, bytes(value).hex()])
        elif type_tag == "h":
            converted.append([type_tag, str(value)])
        elif type_tag in "TFNI":
            converted.append([type_tag, None])
        else:
            converted.append([type_tag, value])
    return {"address": path, "args": converted}


def _to_liblo_message(packet):
    args = []
    for type_tag, value in packet["args"]:
        if type_tag == "b":
            args.append((type_tag, bytes.fromhex(value)))
        elif type_tag == "h":
            args.append((type_tag, int(value)))
        elif type_tag in "TFNI":
            args.append((type_tag,))
        else:
            args.append((type_tag, value))
    return liblo.Message(packet["address"], *args)


class LibloPeer:
    """liblo through its Python binding (python3-liblo): the peer that sends blobs.

    liblo hands the messages of a bundle to its handler one by one, so bundles read as their
    messages in order; a bundle dated in the future is held until its time. liblo prints a
    datagram it rejects on standard error and calls no handler: rejections are not counted
    here, a later message shows that the earlier one was dropped.
    """

    name = "python3-liblo"

    def __init__(self):
        self.server = liblo.Server()
        self.port = self.server.port
        self.received = Recorder()
        self.server.add_method(None, None, self._handle)
        self._running = True
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _handle(self, path, args, types, source):
        self.received.add_packet(_from_liblo(path, args, types))

    def _serve(self):
        while self._running:
            self.server.recv(20)

    def send(self, port, packet):
        if "elements" in packet:
            outgoing = liblo.Bundle(tuple(packet["timetag"]))
            for element in packet["elements"]:
                outgoing.add(_to_liblo_message(element))
        else:
            outgoing = _to_liblo_message(packet)
        self.server.send(("127.0.0.1", port), outgoing)

    def close(self):
        self._running = False
        self._thread.join(WAIT_SECONDS)
        self.server.free()


def oscsend_arguments(packet):
    """The command-line form of a message for oscsend, which writes no blobs and no bundles."""
    types = "".join(type_tag for type_tag, _ in packet["args"])
    values = [str(value) for type_tag, value in packet["args"] if type_tag not in "TFNI"]
    return [packet["address"], types, *values]


def oscsend(port, packet):
    subprocess.run(
        ["oscsend", "127.0.0.1", str(port), *oscsend_arguments(packet)],
        check=True,
        timeout=WAIT_SECONDS,
    )


_OSCDUMP_LINE = re.compile(r"^(?P<sec>[0-9a-f]{8})\.(?P<frac>[0-9a-f]{8}) (?P<path>\S+) (?P<types>\S*) ?(?P<rest>.*)$")
_OSCDUMP_VALUE = {
    "s": r'"(?P<v>[^"]*)"',
    "i": r"(?P<v>-?\d+)",
    "h": r"(?P<v>-?\d+)",
    "f": r"(?P<v>-?(?:\d+\.\d+|nan|inf))",
    "d": r"(?P<v>-?(?:\d+\.\d+|nan|inf))",
    "b": r"\[(?P<v>\d+b(?: 0x[0-9a-f]{1,2})*)\]",
    "T": r"(?P<v>#T)",
    "F": r"(?P<v>#F)",
    "N": r"(?P<v>Nil)",
    "I": r"(?P<v>Infinitum)",
}


def _oscdump_value(type_tag, text):
    if type_tag == "s":
        return text
    if type_tag == "i":
        return int(text)
    if type_tag == "h":
        return text
    if type_tag in "fd":
        return float(text)
    if type_tag == "b":
        return bytes(int(byte, 16) for byte in text.split()[1:]).hex()
    return None


def parse_oscdump_line(line):
    """One line of oscdump as a message in the comparable form, with the time tag it printed."""
    match = _OSCDUMP_LINE.match(line)
    if not match:
        return None
    rest = match["rest"]
    args = []
    for type_tag in match["types"]:
        value = re.match(_OSCDUMP_VALUE[type_tag] + r"(?: |$)", rest)
        if not value:
            return None
        args.append([type_tag, _oscdump_value(type_tag, value["v"])])
        rest = rest[value.end():]
    packet = message(match["path"], *args)
    packet["timetag"] = [int(match["sec"], 16), int(match["frac"], 16)]
    return packet


class OscdumpPeer:
    """liblo's oscdump: a receiver only. It prints each message of a bundle on a line of its
    own with the bundle's time tag (a lone message gets the time it was read), and prints
    "liblo server error" for a datagram it rejects."""

    name = "oscdump"

    def __init__(self):
        self.port = free_udp_ports(1)[0]
        self.process = subprocess.Popen(
            ["oscdump", "-L", str(self.port)],
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
            bufsize=1,
        )
        self.received = Recorder()
        self.lines = []
        self._thread = threading.Thread(target=self._read_lines, daemon=True)
        self._thread.start()
        self._wait_until_bound()

    def _read_lines(self):
        for line in self.process.stdout:
            line = line.rstrip("\n")
            self.lines.append(line)
            if line.startswith("liblo server error"):
                self.received.add_rejection()
                continue
            packet = parse_oscdump_line(line)
            if packet is not None:
                self.received.add_packet(packet)

    def _wait_until_bound(self):
        probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        deadline = time.monotonic() + WAIT_SECONDS
        try:
            while time.monotonic() < deadline:
                probe.sendto(b"/oscdump/ready\0\0,\0\0\0", ("127.0.0.1", self.port))
                if self.received.wait_until(lambda r: r.packets, timeout=0.05):
                    self.received.take()
                    return
            raise TimeoutError(f"oscdump did not bind port {self.port}: {self.lines}")
        finally:
            probe.close()

    def close(self):
        self.process.terminate()
        self.process.wait(WAIT_SECONDS)
        self._thread.join(WAIT_SECONDS)


class Relay:
    """The relay binary with its eight settings in a private settings folder.

    Its listen ports are free ports; it sends to the given destination ports on 127.0.0.1.
    `wait_ready` tells when it relays on every route."""

    def __init__(self, binary, orvane_send, device1_send, device2_send, contents=None):
        """Starts the relay on a settings file of the valid settings, or of `contents`."""
        self.binary = binary
        self.config_home = tempfile.mkdtemp(prefix="tandrel-interop-")
        self.orvane_listen, self.device1_listen, self.device2_listen = free_udp_ports(3)
        self.settings = {
            "orvaneSendPort": orvane_send,
            "orvaneListenPort": self.orvane_listen,
            "device1Host": "127.0.0.1",
            "device1SendPort": device1_send,
            "device1ListenPort": self.device1_listen,
            "device2Host": "127.0.0.1",
            "device2SendPort": device2_send,
            "device2ListenPort": self.device2_listen,
        }
        path = self.settings_path()
        path.parent.mkdir(parents=True)
        path.write_bytes(self.settings_text().encode() if contents is None else contents(self))
        self.log = open(os.path.join(self.config_home, "relay.log"), "w+b")
        self.process = subprocess.Popen(
            [binary],
            env={**os.environ, "XDG_CONFIG_HOME": self.config_home},
            stdin=subprocess.DEVNULL,
            stdout=self.log,
            stderr=subprocess.STDOUT,
        )

    def settings_text(self, keys=SETTING_KEYS):
        return "".join(f"{key}={self.settings[key]}\n" for key in keys)

    def settings_path(self):
        return pathlib.Path(self.config_home, "tandrel", "tandrel.conf")

    def wait_for(self, predicate, timeout=WAIT_SECONDS):
        """Polls the predicate until it holds or the time is up, as long as the relay runs."""
        deadline = time.monotonic() + timeout
        while not predicate():
            if self.process.poll() is not None or time.monotonic() > deadline:
                return predicate()
            time.sleep(0.01)
        return True

    def wait_ready(self, orvane_sink, device_sinks, prober):
        """Probes each listen port until its probe has reached its destinations (bounded), then
        drops what the sinks read so far. A probe relayed late still comes before anything
        sent afterwards; `is_probe` tells it apart."""
        routes = [
            (self.orvane_listen, device_sinks),
            (self.device1_listen, [orvane_sink]),
            (self.device2_listen, [orvane_sink]),
        ]
        deadline = time.monotonic() + WAIT_SECONDS
        for port, sinks in routes:
            while not all(any(map(is_probe, sink.received.packets)) for sink in sinks):
                if self.process.poll() is not None:
                    raise RuntimeError(f"relay exited with {self.process.returncode}: {self.output()}")
                if time.monotonic() > deadline:
                    raise TimeoutError(f"relay not ready on port {port}: {self.output()}")
                prober.send_bytes(port, PROBE)
                for sink in sinks:
                    sink.received.wait_until(lambda r: any(map(is_probe, r.packets)), 0.05)
            for sink in sinks:
                sink.received.take()

    def output(self):
        self.log.flush()
        self.log.seek(0)
        return self.log.read().decode(errors="replace")

    def alive(self):
        return self.process.poll() is None

    def stop(self):
        """Ends the relay with SIGTERM and returns its exit status."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            status = self.process.wait(WAIT_SECONDS)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise
        return status

    def close(self):
        self.stop()
        self.log.close()
        shutil.rmtree(self.config_home, ignore_errors=True)


PROBE = b"/relay/ready\0\0\0\0,\0\0\0"


def is_probe(packet):
    """Whether a packet, in the comparable form or as bytes, is a readiness probe."""
    if isinstance(packet, bytes):
        return packet == PROBE
    return packet.get("address") == "/relay/ready"


def pad(data):
    """Zero bytes after the data up to the next multiple of 4, at least one (OSC strings)."""
    return data + b"\0" * (4 - len(data) % 4)


def osc_string(text):
    return pad(text.encode("ascii"))


def relay_blob(payload):
    """A blob as the relay writes it: always one to four zero bytes after the payload."""
    return struct.pack(">i", len(payload)) + pad(payload)
