#!/usr/bin/env python3
"""Joins the connection qemu hands it on standard input/output to 127.0.0.1:PORT (one guestfwd connection)."""
import os
import select
import socket
import sys


def main():
    peer = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
    guest = socket.socket(fileno=os.dup(0))
    ends = {guest: peer, peer: guest}
    while ends:
        for side in select.select(list(ends), [], [])[0]:
            data = side.recv(65536)
            if data:
                ends[side].sendall(data)
                continue
            # One side is done sending: pass the half-close on, and stop when both are.
            try:
                ends[side].shutdown(socket.SHUT_WR)
            except OSError:
                pass
            del ends[side]


if __name__ == "__main__":
    main()
