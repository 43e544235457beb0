#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# A scripted RFC 2217 server on 127.0.0.1 for what ser2net does not do.
# Prints its port, then serves connections one after the other until killed.
# Modes:
#   masks  answers every setting with what was asked and acknowledges the
#          state masks (codes 110/111); never answers DTR/RTS
#   half   grants half of every rate above 9600; never answers DTR/RTS
#   raw    no Telnet at all: records every byte it gets to the file argv[2]
import socket
import sys

IAC, SB, SE, WILL, DO = 255, 250, 240, 251, 253
mode = sys.argv[1]
record = sys.argv[2] if len(sys.argv) > 2 else None
server = socket.socket()
server.bind(("127.0.0.1", 0))
server.listen(4)
print(server.getsockname()[1], flush=True)


def answer(conn, code, value):
    body = bytes([44, code + 100]) + value
    conn.sendall(bytes([IAC, SB]) + body.replace(b"\xff", b"\xff\xff") + bytes([IAC, SE]))


def serve(conn):
    buf = b""
    while True:
        chunk = conn.recv(4096)
        if not chunk:
            return
        if mode == "raw":
            with open(record, "ab") as f:
                f.write(chunk)
            continue
        buf += chunk
        while True:
            i = buf.find(bytes([IAC]))
            buf = buf[i:] if i >= 0 else b""  # serial data are not looked at
            i = 0
            if len(buf) < 3:
                break
            verb = buf[i + 1]
            if verb == WILL and buf[i + 2] == 44:
                conn.sendall(bytes([IAC, DO, 44]))
            if verb == SB:
                end = buf.find(bytes([IAC, SE]), i)
                if end < 0:
                    break
                body = buf[i + 2:end].replace(b"\xff\xff", b"\xff")
                code, value = body[1], body[2:]
                if code == 1 and mode == "half":
                    rate = int.from_bytes(value, "big")
                    value = (rate // 2 if rate > 9600 else rate).to_bytes(4, "big")
                if code == 5 and value[0] >= 4:
                    pass  # break, DTR and RTS: left unanswered
                elif code in (10, 11):
                    if mode == "masks":
                        answer(conn, code, value)
                else:
                    answer(conn, code, value)
                buf = buf[end + 2:]
            elif verb == IAC:
                buf = buf[i + 2:]
            else:
                buf = buf[i + 3:]


while True:
    c, _ = server.accept()
    try:
        serve(c)
    except OSError:
        pass
    c.close()
