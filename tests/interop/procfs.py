"""What the kernel tells about a process and its UDP sockets."""

import pathlib


def rss_kib(pid):
    """The resident memory of a process, in KiB."""
    for line in pathlib.Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    raise ValueError(f"no VmRSS for {pid}")


def udp_socket(port):
    """The IPv4 UDP socket bound to a local port: its receive queue (bytes) and the datagrams
    the kernel dropped on it because its buffer was full; None when no socket holds the port."""
    for line in pathlib.Path("/proc/net/udp").read_text().splitlines()[1:]:
        fields = line.split()
        if int(fields[1].split(":")[1], 16) == port:
            return {"rx_queue": int(fields[4].split(":")[1], 16), "drops": int(fields[12])}
    return None


def udp_drops(port):
    socket = udp_socket(port)
    return socket["drops"] if socket else 0
