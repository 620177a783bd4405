#!/usr/bin/env python3
"""Sends a multicast RTP stream on, each datagram at a set lateness: its timestamp's media
time plus late_us, on the media clock of cards that follow no grandmaster (CLOCK_MONOTONIC,
frames at `rate`). The payload is sent unchanged, from this computer, to another group.

rtp_relay.py IN_GROUP OUT_GROUP PORT IFACE_IP TS_OFFSET LATE_US SECONDS [RATE]

Runs at SCHED_FIFO 65 (above the hosts' audio threads, below the engines). Prints the
datagrams relayed and, for each one it sent more than 400 us after its time (the relay
was held up, or the datagram came in later than that), "late send at mono_ns=<when> by
<us> us", so that a judge can tell the relay's lateness from the receiver's."""

import os
import select
import signal
import socket
import struct
import sys
import time


def main():
    in_group, out_group, port, ip, ts_off, late_us, seconds = sys.argv[1:8]
    rate = int(sys.argv[8]) if len(sys.argv) > 8 else 48000
    port, ts_off, late_ns, seconds = int(port), int(ts_off), int(late_us) * 1000, float(seconds)
    try:
        os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(65))
    except OSError as e:
        print("relay: no real-time priority (%s)" % e, flush=True)
    rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    rx.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    rx.bind((in_group, port))
    rx.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                  socket.inet_aton(in_group) + socket.inet_aton(ip))
    rx.setblocking(False)
    tx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    tx.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(ip))
    tx.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 8)
    tx.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 0)
    tx.bind((ip, 0))
    print("relay: %s -> %s port %d, %d us late" % (in_group, out_group, port, late_ns // 1000), flush=True)

    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    pending = []  # (due ns, datagram), in arrival order (timestamps rise)
    end = time.monotonic_ns() + int(seconds * 1e9)
    try:
        relay(rx, tx, pending, end, out_group, port, ts_off, late_ns, rate)
    finally:
        print("relay: %d datagrams relayed, %d sent late" % (COUNT[0], COUNT[1]), flush=True)


COUNT = [0, 0]  # sent, sent late
# Later than this a datagram may miss the period it was meant for (the relay sends half a
# period before the receiver reads; the way through the bridge takes some of it).
LATE_NS = 400_000


def relay(rx, tx, pending, end, out_group, port, ts_off, late_ns, rate):
    while time.monotonic_ns() < end:
        now = time.monotonic_ns()
        wait = (pending[0][0] - now) / 1e9 if pending else 0.05
        if wait > 0:
            select.select([rx], [], [], min(wait, 0.05))
        while True:
            try:
                d = rx.recv(2048)
            except BlockingIOError:
                break
            if len(d) < 12:
                continue
            now = time.monotonic_ns()
            media = (struct.unpack_from("!I", d, 4)[0] - ts_off) & 0xFFFFFFFF
            nowf = now * rate // 1_000_000_000
            delta = (media - nowf + 2**31) % 2**32 - 2**31  # the media time nearest now
            pending.append(((nowf + delta) * 1_000_000_000 // rate + late_ns, d))
        now = time.monotonic_ns()
        while pending and pending[0][0] <= now:
            due, d = pending.pop(0)
            tx.sendto(d, (out_group, port))
            COUNT[0] += 1
            after = time.monotonic_ns()
            if after - due > LATE_NS:
                COUNT[1] += 1
                if COUNT[1] <= 200:
                    print("late send at mono_ns=%d by %d us" % (due, (after - due) // 1000), flush=True)
            now = after


if __name__ == "__main__":
    main()
