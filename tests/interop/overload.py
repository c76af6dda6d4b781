#!/usr/bin/python3
"""Overload measurement: datagrams sent into the relay faster than its main thread relays them.

    tests/interop/overload.py BUILD/tandrel [--seconds 5] [--size 60000] [--routes o,d1,d2]

Sender processes send stamped datagrams as fast as they can (bounded in time and count) into
the chosen listen ports; sink processes read what the relay sends on. Reported: what was sent
and relayed, the kernel's drops on the relay's and the sinks' sockets, the relay's resident
memory while loaded and after, the latency of what came through, and how long the relay took
to drain its backlog once the senders stopped. Everything runs on this machine, on loopback.
"""

import argparse
import multiprocessing
import os
import queue
import socket
import statistics
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from oscpeers import Relay  # noqa: E402
from procfs import rss_kib, udp_drops  # noqa: E402

ADDRESS = b"/load\0\0\0,iib\0\0\0\0"
MAX_DATAGRAMS_PER_SENDER = 5_000_000


def stamped(route, sequence, size):
    """A message /load with the route, a sequence number and a blob whose first 8 bytes are the
    sending time (CLOCK_MONOTONIC, shared by every process on the machine)."""
    payload = struct.pack(">q", time.monotonic_ns()) + bytes(max(0, size - 8))
    return ADDRESS + struct.pack(">iii", sequence, route, len(payload)) + payload


def send(port, route, copy, size, seconds, rate, counts):
    out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    out.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4 << 20)
    end = time.monotonic() + seconds
    sequence = 0
    interval = 1.0 / rate if rate else 0.0
    next_send = time.monotonic()
    while sequence < MAX_DATAGRAMS_PER_SENDER:
        now = time.monotonic()
        if now >= end:
            break
        if interval:
            if now < next_send:
                continue
            next_send += interval
        sequence += 1
        try:
            out.sendto(stamped(route, sequence, size), ("127.0.0.1", port))
        except OSError:
            sequence -= 1
    counts[(route, copy)] = sequence


def sink(sock, first_timeout, quiet_seconds, results, ready):
    """Reads until nothing came for `quiet_seconds` after the first datagram; reports the count,
    the latencies (ms) and the arrival time of the last datagram."""
    latencies = []
    per_route = {}
    last = None
    ready.set()
    sock.settimeout(first_timeout)
    try:
        first = sock.recv(65536)
    except socket.timeout:
        results.put({"port": sock.getsockname()[1], "per_route": {}, "latencies": [], "last": None})
        return
    sock.settimeout(quiet_seconds)
    data = first
    while True:
        arrived = time.monotonic_ns()
        if len(data) < 36:
            data = sock.recv(65536)
            continue
        sequence, route, _ = struct.unpack(">iii", data[16:28])
        sent = struct.unpack(">q", data[28:36])[0]
        latencies.append((arrived - sent) / 1e6)
        per_route[route] = per_route.get(route, 0) + 1
        last = arrived
        try:
            data = sock.recv(65536)
        except socket.timeout:
            break
    results.put({"port": sock.getsockname()[1], "per_route": per_route, "latencies": latencies, "last": last})


def wait_ready(relay, sockets):
    """Probes each listen port until the probe comes out at its destination (bounded)."""
    prober = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    routes = [(relay.orvane_listen, sockets[1:]), (relay.device1_listen, sockets[:1]), (relay.device2_listen, sockets[:1])]
    deadline = time.monotonic() + 10
    for port, destinations in routes:
        for destination in destinations:
            destination.settimeout(0.05)
            while True:
                if time.monotonic() > deadline:
                    raise TimeoutError(relay.output())
                prober.sendto(b"/ready\0\0,\0\0\0", ("127.0.0.1", port))
                try:
                    destination.recv(65536)
                    break
                except socket.timeout:
                    pass
    # Late probes would read as load: drop whatever came.
    for destination in sockets:
        destination.setblocking(False)
        try:
            while True:
                destination.recv(65536)
        except BlockingIOError:
            destination.setblocking(True)
    prober.close()


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))] if ordered else float("nan")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("binary")
    parser.add_argument("--seconds", type=float, default=5.0, help="how long the senders send")
    parser.add_argument("--size", type=int, default=60000, help="blob bytes per datagram")
    parser.add_argument("--routes", default="o,d1,d2", help="listen ports to load: o, d1, d2")
    parser.add_argument("--rate", type=float, default=0, help="datagrams/s per sender; 0: as fast as possible")
    parser.add_argument("--senders", type=int, default=1, help="sender processes per route")
    parser.add_argument("--drain-limit", type=float, default=120.0, help="longest wait for the backlog")
    args = parser.parse_args()

    context = multiprocessing.get_context("fork")
    sockets = []
    for _ in range(3):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
        s.bind(("127.0.0.1", 0))
        sockets.append(s)
    relay = Relay(args.binary, *(s.getsockname()[1] for s in sockets))
    try:
        wait_ready(relay, sockets)
        results = context.Queue()
        quiet = 3.0
        sinks = []
        for s in sockets:
            ready = context.Event()
            process = context.Process(target=sink, args=(s, args.seconds + args.drain_limit, quiet, results, ready), daemon=True)
            process.start()
            ready.wait(10)
            sinks.append(process)

        idle = rss_kib(relay.process.pid)
        ports = {"o": (0, relay.orvane_listen), "d1": (1, relay.device1_listen), "d2": (2, relay.device2_listen)}
        counts = context.Manager().dict()
        senders = []
        for name in args.routes.split(","):
            route, port = ports[name]
            for copy in range(args.senders):
                process = context.Process(target=send, args=(port, route, copy, args.size, args.seconds, args.rate, counts), daemon=True)
                senders.append(process)
        started = time.monotonic()
        for process in senders:
            process.start()
        peak = idle
        samples = []
        while any(p.is_alive() for p in senders):
            rss = rss_kib(relay.process.pid)
            peak = max(peak, rss)
            samples.append((round(time.monotonic() - started, 1), rss))
            time.sleep(0.25)
        stopped = time.monotonic()
        at_stop = rss_kib(relay.process.pid)
        # The backlog drains while the sinks still read; they stop after `quiet` seconds of silence.
        reports = []
        while len(reports) < len(sinks) and time.monotonic() - stopped < args.drain_limit:
            peak = max(peak, rss_kib(relay.process.pid))
            try:
                reports.append(results.get(timeout=0.25))
            except queue.Empty:
                pass
        after = rss_kib(relay.process.pid)
        listen_drops = {name: udp_drops(port) for name, (_, port) in ports.items()}
        sink_drops = [udp_drops(s.getsockname()[1]) for s in sockets]
        alive = relay.alive()
    finally:
        relay.close()

    sent = {}
    for (route, _), count in dict(counts).items():
        sent[route] = sent.get(route, 0) + count
    latencies = [value for report in reports for value in report["latencies"]]
    last = max((r["last"] for r in reports if r["last"]), default=None)
    drain = (last / 1e9 - stopped) if last else float("nan")
    received = {}
    for report in reports:
        for route, count in report["per_route"].items():
            received.setdefault(route, []).append(count)
    print(f"load: {args.routes}, {args.senders} sender(s) each, for {args.seconds} s, {args.size}-byte blobs, rate {'max' if not args.rate else args.rate}")
    print(f"sent per route: {sent}")
    print(f"received per route and sink: {received}")
    print(f"kernel drops: relay listen sockets {listen_drops}, sinks {sink_drops}")
    print(f"relay RSS KiB: idle {idle}, at stop {at_stop}, peak {peak}, after drain {after}; alive {alive}")
    print(f"RSS while loaded (s, KiB): {samples[:: max(1, len(samples) // 10)]}")
    if latencies:
        print(
            "latency ms: median %.2f, p99 %.2f, max %.2f; drain after senders stopped %.2f s"
            % (statistics.median(latencies), percentile(latencies, 0.99), max(latencies), drain)
        )


if __name__ == "__main__":
    main()
