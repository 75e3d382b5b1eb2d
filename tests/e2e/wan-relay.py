#!/usr/bin/env python3
"""A relay on loopback that behaves like a wide-area line, for the update benchmark.

Every byte that crosses it, in either direction, reaches the other side DELAY milliseconds after it
left, once the line has carried it: one line of RATE Mbit/s per direction, shared by all the
connections through the relay, so that a byte waits for the bytes sent before it. A new connection
costs one round trip more before its first byte goes through, as TCP's handshake does on a real
line (the relay's own connect on loopback costs nothing). TCP's slow start is not emulated.

    wan-relay.py LISTEN_PORT TARGET_PORT [--delay-ms 10] [--rate-mbit 100]

Prints "ready" once it listens; runs until killed. Both ends are on 127.0.0.1.
"""
import argparse
import asyncio
import collections
import sys

READ_SIZE = 64 * 1024
# Bytes held in the relay for one direction of one connection before it stops reading: enough for
# the line to stay busy (100 Mbit/s over 10 ms is 125 KB), as a sender's window would be.
MAX_HELD = 1024 * 1024


class Line:
    """One direction of the line: when it is free again."""

    def __init__(self, rate_bytes_per_s):
        self.rate = rate_bytes_per_s
        self.free_at = 0.0

    def carry(self, size, now, not_before):
        start = max(now, self.free_at, not_before)
        self.free_at = start + size / self.rate
        return self.free_at


class Direction:
    """The bytes of one connection in one direction, from reading to their delivery."""

    def __init__(self, reader, writer, line, delay, ready_at):
        self.reader, self.writer, self.line = reader, writer, line
        self.delay, self.ready_at = delay, ready_at
        self.queue = collections.deque()  # (deliver_at, bytes); None at the end
        self.held = 0
        self.changed = asyncio.Event()

    async def read(self):
        loop = asyncio.get_running_loop()
        try:
            while True:
                while self.held >= MAX_HELD:
                    self.changed.clear()
                    await self.changed.wait()
                data = await self.reader.read(READ_SIZE)
                if not data:
                    break
                sent = self.line.carry(len(data), loop.time(), self.ready_at)
                self.queue.append((sent + self.delay, data))
                self.held += len(data)
                self.changed.set()
        except (ConnectionError, OSError):
            pass
        self.queue.append(None)
        self.changed.set()

    async def deliver(self):
        loop = asyncio.get_running_loop()
        try:
            while True:
                while not self.queue:
                    self.changed.clear()
                    await self.changed.wait()
                item = self.queue.popleft()
                if item is None:
                    if self.writer.can_write_eof():
                        self.writer.write_eof()
                    break
                at, data = item
                wait = at - loop.time()
                if wait > 0:
                    await asyncio.sleep(wait)
                self.writer.write(data)
                await self.writer.drain()
                self.held -= len(data)
                self.changed.set()
        except (ConnectionError, OSError):
            pass


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("listen_port", type=int)
    parser.add_argument("target_port", type=int)
    parser.add_argument("--delay-ms", type=float, default=10.0)
    parser.add_argument("--rate-mbit", type=float, default=100.0)
    args = parser.parse_args()
    delay = args.delay_ms / 1000.0
    rate = args.rate_mbit * 1e6 / 8
    up, down = Line(rate), Line(rate)

    async def relay(client_reader, client_writer):
        loop = asyncio.get_running_loop()
        ready_at = loop.time() + 2 * delay  # the handshake's round trip
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", args.target_port)
        except OSError:
            client_writer.close()
            return
        to_server = Direction(client_reader, server_writer, up, delay, ready_at)
        to_client = Direction(server_reader, client_writer, down, delay, ready_at)
        await asyncio.gather(to_server.read(), to_server.deliver(), to_client.read(), to_client.deliver())
        for writer in (server_writer, client_writer):
            writer.close()

    server = await asyncio.start_server(relay, "127.0.0.1", args.listen_port)
    print("ready", flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(0)
