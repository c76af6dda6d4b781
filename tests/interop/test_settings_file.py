"""The relay started on hostile settings files: none may crash it or hang it.

Each row writes a file, starts the relay on it and waits (bounded) until the start-up has
written every setting back; the relay must then be running, hold the expected values, relay
on every route where the row lets it, and end at once on SIGTERM with status 0. Rows that end
with valid lines for all eight keys check that nothing before them spoiled the reading of the
rest; the relay then listens only on free ports. No row leaves a listen port to its default,
so no row binds a port that other software on this machine may use.
"""

import os
import random
import unittest

from oscpeers import SETTING_KEYS, RawPeer, Relay

TANDREL = os.environ["TANDREL_BINARY"]
PORT_KEYS = [key for key in SETTING_KEYS if key.endswith("Port")]


def written_settings(relay):
    """The key=value entries of the settings file as the relay wrote it (comments skipped)."""
    try:
        text = relay.settings_path().read_bytes().decode("utf-8", "replace")
    except FileNotFoundError:
        return {}
    entries = {}
    for line in text.splitlines():
        if "=" in line and not line.lstrip().startswith("#"):
            key, value = line.split("=", 1)
            entries[key.strip()] = value.strip()
    return entries


def random_bytes(seed):
    generator = random.Random(seed)
    return generator.randbytes(generator.randrange(1, 1 << 16))


def every_key_many_times():
    lines = []
    for round_number in range(500):
        for key in SETTING_KEYS:
            lines.append(f"{key}={round_number if key.endswith('Port') else 'host' + str(round_number)}")
    return "\n".join(lines).encode()


# Rows that end with valid lines for all eight keys: the bytes before them.
BEFORE_VALID_LINES = [
    *[(f"random bytes {seed}", random_bytes(seed)) for seed in range(6)],
    ("a very long line without =", b"x" * 600_000),
    ("a very long key", b"k" * 300_000 + b"=1"),
    ("a very long port value", b"orvaneListenPort=" + b"9" * 300_000),
    ("a very long host", b"device1Host=" + b"a" * 300_000),
    ("keys without =", "\n".join(f"{key} 5001" for key in SETTING_KEYS).encode()),
    ("every key 500 times", every_key_many_times()),
    ("NUL bytes and CR LF", b"orvaneListenPort=1\0 2\r\n\0\0\0=\0\r\ndevice1Host=\0\r\n"),
    ("bad escapes", b"device1Host=\\x\ndevice2Host=\\q\\\norvaneSendPort=\\x4\n\\=\\\n"),
    ("BOM, non-UTF-8 and control bytes", b"\xef\xbb\xbforvaneListenPort=1\n\xff\xfe=\xff\x80\n\x1b[2J=\x07\n"),
    ("lines of = and blanks", b"=\n==\n = = \n\t\n   \n=5001\n#=\n"),
    ("huge numbers", "\n".join(f"{key}=9{'9' * 40}" for key in PORT_KEYS).encode()),
]

# Rows whose odd send-port values stay in force: what each reads as. A port that is no decimal
# 32-bit integer reads as 0, so the start-up applies its default.
ODD_SEND_PORTS = [
    ("above 32 bits", "99999999999999999999", "-2147483649", "4294967296"),
    ("signs and fractions", "+5000", "5011.5", "1e3"),
    ("hexadecimal, words and nothing", "0x1389", "five", ""),
]


def with_valid_lines(contents_before, keys=SETTING_KEYS, extra=""):
    """A settings file: the bytes given, then valid lines for `keys` and the extra text."""
    return lambda relay: contents_before + b"\n" + relay.settings_text(keys).encode() + extra.encode()


class SettingsFileTest(unittest.TestCase):
    def setUp(self):
        self.sinks = [RawPeer(), RawPeer(), RawPeer()]
        for sink in self.sinks:
            self.addCleanup(sink.close)

    def start(self, contents):
        relay = Relay(TANDREL, *(sink.port for sink in self.sinks), contents=contents)
        self.addCleanup(relay.close)
        return relay

    def wait_written_back(self, relay, expected):
        """Bounded wait until the file holds every key, with the expected values."""

        def done():
            written = written_settings(relay)
            return all(key in written for key in SETTING_KEYS) and all(written[k] == v for k, v in expected.items())

        self.assertTrue(relay.wait_for(done), f"not written back: {written_settings(relay)}\n{relay.output()[-2000:]}")

    def finish(self, relay):
        self.assertTrue(relay.alive(), relay.output()[-2000:])
        self.assertEqual(relay.stop(), 0, relay.output()[-2000:])

    def test_hostile_lines_before_valid_ones_neither_crash_nor_hang_the_relay(self):
        for name, contents in BEFORE_VALID_LINES:
            with self.subTest(name):
                relay = self.start(with_valid_lines(contents))
                self.wait_written_back(relay, {key: str(relay.settings[key]) for key in PORT_KEYS})
                relay.wait_ready(self.sinks[0], self.sinks[1:], self.sinks[0])
                self.finish(relay)

    def test_unreadable_send_ports_fall_back_to_their_defaults(self):
        keys = [key for key in SETTING_KEYS if not key.endswith("SendPort")]
        for name, orvane, device1, device2 in ODD_SEND_PORTS:
            with self.subTest(name):
                odd = f"orvaneSendPort={orvane}\ndevice1SendPort={device1}\ndevice2SendPort={device2}\n"
                relay = self.start(with_valid_lines(b"", keys, odd))
                self.wait_written_back(relay, {"orvaneSendPort": "5000", "device1SendPort": "5011", "device2SendPort": "5021"})
                self.finish(relay)


if __name__ == "__main__":
    unittest.main()
