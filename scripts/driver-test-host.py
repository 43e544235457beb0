#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The host side of scripts/driver-test.sh.

Listens on CONTROL (a Unix socket that the emulated PC's third UART, ttyS2,
connects to) for one command a line and answers each with OK:
  PLUG    connect to USB, the socket of QEMU's usb-serial adapter: the adapter
          is plugged in; what it sends is echoed back
  STREAM  send a counting pattern (0..250, over and over) instead of echoing
  PULL    close that connection: the adapter is pulled out
Ends when the emulated PC closes the control connection.
"""
import os
import select
import socket
import sys
import threading


class Adapter:
    """One plugged-in spell of the adapter: echoes, or streams the pattern."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(path)
        self.sock.setblocking(False)
        self.stream = False
        self.stop = False
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        pending = b""
        streaming = False
        count = 0
        while not self.stop:
            if self.stream and not streaming:
                streaming, pending, count = True, b"", 0
            writable = [self.sock] if (streaming or pending) else []
            r, w, _ = select.select([self.sock], writable, [], 0.05)
            try:
                if r:
                    data = self.sock.recv(65536)
                    if not data:
                        return
                    if not streaming:
                        pending += data
                if w:
                    if streaming and not pending:
                        pending = bytes((count + i) % 251 for i in range(4096))
                        count = (count + 4096) % 251
                    pending = pending[self.sock.send(pending):]
            except BlockingIOError:
                pass
            except OSError:
                return

    def pull(self):
        self.stop = True
        self.thread.join()
        self.sock.close()


def main():
    control, usb = sys.argv[1], sys.argv[2]
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(control + ".tmp")
    server.listen(1)
    os.rename(control + ".tmp", control)  # appears only once it listens
    conn, _ = server.accept()
    adapter = None
    line = b""
    while True:
        data = conn.recv(256)
        if not data:
            break
        line += data
        while b"\n" in line:
            command, line = line.split(b"\n", 1)
            command = command.strip().decode(errors="replace")
            if command == "PLUG" and adapter is None:
                adapter = Adapter(usb)
            elif command == "STREAM" and adapter is not None:
                adapter.stream = True
            elif command == "PULL" and adapter is not None:
                adapter.pull()
                adapter = None
            print(f"[host] {command}", flush=True)
            conn.sendall(b"OK\n")
    if adapter is not None:
        adapter.pull()


if __name__ == "__main__":
    main()
