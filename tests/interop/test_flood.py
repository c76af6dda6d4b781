"""A bounded burst of valid and bad datagrams into all three listen ports at once.

The relay must stay up, relay every valid datagram that the kernel delivered to it, in the
order each listener received them, send nothing for the bad ones, and give its memory back
once the burst is over. The burst runs in rounds that each end with a sentinel the test waits
for, so a round never outgrows the relay's receive buffer; any datagram the kernel dropped
all the same is counted from /proc/net/udp and allowed for.
"""

import os
import threading
import unittest

from floodcases import Flood, osc_message
from oscpeers import WAIT_SECONDS, RawPeer, Relay, is_probe
from procfs import rss_kib, udp_drops

TANDREL = os.environ["TANDREL_BINARY"]
SANITIZED = os.environ.get("TANDREL_SANITIZED") == "1"
ROUNDS = int(os.environ.get("TANDREL_FLOOD_ROUNDS", "40"))
# Memory the relay may keep after the burst beyond its idle level: the allocator's caches.
RSS_SLACK_KIB = 4096


def sentinel(route, number):
    return osc_message(f"/flood/{route}/round/{number}", "")


class FloodTest(unittest.TestCase):
    def setUp(self):
        self.orvane, self.device1, self.device2 = RawPeer(), RawPeer(), RawPeer()
        self.relay = Relay(TANDREL, self.orvane.port, self.device1.port, self.device2.port)
        self.addCleanup(self.close)
        self.relay.wait_ready(self.orvane, [self.device1, self.device2], self.orvane)

    def close(self):
        self.relay.close()
        for sink in (self.orvane, self.device1, self.device2):
            sink.close()

    def burst(self, floods):
        """Sends every flood into its port from a thread of its own, round by round."""
        routes = {
            "o": (self.relay.orvane_listen, [self.device1, self.device2]),
            "d1": (self.relay.device1_listen, [self.orvane]),
            "d2": (self.relay.device2_listen, [self.orvane]),
        }
        failures = []

        def send(flood):
            port, sinks = routes[flood.route]
            sender = RawPeer()
            try:
                for number, items in enumerate(flood.rounds):
                    for datagram, _ in items:
                        sender.send_bytes(port, datagram)
                    mark = sentinel(flood.route, number)
                    sender.send_bytes(port, mark)
                    for sink in sinks:
                        if not sink.received.wait_until(lambda r: mark in r.packets, 3 * WAIT_SECONDS):
                            failures.append(f"round {number} of {flood.route} never came through")
                            return
            finally:
                sender.close()

        threads = [threading.Thread(target=send, args=(flood,)) for flood in floods]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(failures, [], self.relay.output()[-2000:])

    def expected(self, flood):
        out = []
        for number, items in enumerate(flood.rounds):
            out += [relayed for _, relayed in items if relayed is not None]
            out.append(sentinel(flood.route, number))
        return out

    def check_relayed(self, received, expected, drops, what):
        """Every expected datagram in order, less at most as many as the kernel dropped."""
        self.assertLessEqual(len(expected) - len(received), drops, f"{what}: lost more than the kernel dropped")
        position = 0
        for datagram in received:
            position = expected.index(datagram, position) + 1 if datagram in expected[position:] else -1
            self.assertNotEqual(position, -1, f"{what}: out of order or not expected: {datagram[:64]!r}")

    def test_relay_survives_a_flood_and_relays_every_valid_datagram_in_order(self):
        floods = [Flood(route, ROUNDS, seed) for seed, route in enumerate(("o", "d1", "d2"))]
        idle = rss_kib(self.relay.process.pid)
        self.burst(floods)
        self.assertTrue(self.relay.alive(), self.relay.output()[-2000:])
        after = rss_kib(self.relay.process.pid)
        listen_drops = {
            route: udp_drops(port)
            for route, port in (
                ("o", self.relay.orvane_listen),
                ("d1", self.relay.device1_listen),
                ("d2", self.relay.device2_listen),
            )
        }
        expected = {flood.route: self.expected(flood) for flood in floods}

        for sink in (self.device1, self.device2):
            packets = [p for p in sink.received.take()[0] if not is_probe(p)]
            self.check_relayed(packets, expected["o"], listen_drops["o"] + udp_drops(sink.port), "Orvane to a device")
        packets = [p for p in self.orvane.received.take()[0] if not is_probe(p)]
        known = {datagram: route for route in ("d1", "d2") for datagram in expected[route]}
        self.assertEqual([p[:64] for p in packets if p not in known], [], "relayed to Orvane but not expected")
        for route in ("d1", "d2"):
            self.check_relayed(
                [p for p in packets if known[p] == route],
                expected[route],
                listen_drops[route] + udp_drops(self.orvane.port),
                f"device {route} to Orvane",
            )

        sent = sum(flood.datagrams() for flood in floods)
        print(f"\nflood: {sent} datagrams into 3 ports, kernel drops {listen_drops}; RSS idle {idle} KiB, after {after} KiB")
        if not SANITIZED:
            self.assertLessEqual(after, idle + RSS_SLACK_KIB, "memory did not return to its idle level")
        self.assertEqual(self.relay.stop(), 0)


if __name__ == "__main__":
    unittest.main()
