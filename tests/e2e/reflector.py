"""A scripted stand-in for the server: it answers the client's datagrams on a range of loopback ports, and can
answer wrongly, late, twice or out of order, which the real server never does."""

import heapq
import selectors
import socket
import struct
import threading
import time

from harness import PACKET, TIMEOUT, free_udp_ports

PORTS = struct.Struct(">HH")


def echo(data, port_range):
    """The server's answer: the first 24 bytes unchanged, then the port range; None for what it drops."""
    if len(data) != PACKET.size:
        return None
    return data[:24] + PORTS.pack(*port_range)


class Reflector:
    """Listens on `count` consecutive ports of 127.0.0.1. For every datagram, `respond(data, port)` returns the
    answers as a list of (delay in seconds, bytes); the default is the server's echo. Everything received is kept
    in `received` as (port, client address, bytes)."""

    def __init__(self, count=1, respond=None, port_range=None):
        self.base = free_udp_ports(count)
        self.port_range = port_range or (self.base, self.base + count - 1)
        self.respond = respond or self.echo_now
        self.received = []
        self._socks = {}
        self._changed = threading.Condition()
        self._pending = []  # heap of (due, order, sock, address, bytes)
        self._order = 0
        self._selector = selectors.DefaultSelector()
        for port in range(self.base, self.base + count):
            sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            sock.bind(("127.0.0.1", port))
            sock.setblocking(False)
            self._socks[port] = sock
            self._selector.register(sock, selectors.EVENT_READ, port)
        self._stopping = False
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def echo_now(self, data, port):
        answer = echo(data, self.port_range)
        return [] if answer is None else [(0.0, answer)]

    def _run(self):
        while not self._stopping:
            timeout = 0.05
            if self._pending:
                timeout = max(0.0, min(timeout, self._pending[0][0] - time.monotonic()))
            for key, _ in self._selector.select(timeout):
                sock, port = key.fileobj, key.data
                while True:
                    try:
                        data, address = sock.recvfrom(2048)
                    except (BlockingIOError, ConnectionRefusedError):
                        break
                    with self._changed:
                        self.received.append((port, address, data))
                        self._changed.notify_all()
                    for delay, answer in self.respond(data, port):
                        heapq.heappush(self._pending, (time.monotonic() + delay, self._order, sock, address, answer))
                        self._order += 1
            while self._pending and self._pending[0][0] <= time.monotonic():
                _, _, sock, address, answer = heapq.heappop(self._pending)
                try:
                    sock.sendto(answer, address)
                except OSError:
                    pass

    def wait_received(self, predicate, timeout=TIMEOUT):
        """Waits until `predicate(received)` holds; returns a copy of what was received."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while not predicate(self.received):
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"reflector: condition not met after {len(self.received)} datagrams")
                self._changed.wait(left)
            return list(self.received)

    def close(self):
        self._stopping = True
        self._thread.join(timeout=TIMEOUT)
        for sock in self._socks.values():
            sock.close()
        self._selector.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
