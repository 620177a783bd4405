#!/usr/bin/env python3
"""The virtual-LAN harness itself: unicast and multicast between computers, each
computer's own dirs, and that nothing is left behind (also from a killed run)."""

import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lanlib  # noqa: E402
from lanlib import check  # noqa: E402


def namespaces():
    r = subprocess.run(["ip", "netns", "list"], stdout=subprocess.PIPE, text=True, timeout=10)
    return {l.split()[0] for l in r.stdout.splitlines() if l.split()}


def test():
    lanlib.require_root()
    # A namespace of a run that was killed with -9 (its pid is beyond pid_max, so gone).
    with open("/proc/sys/kernel/pid_max") as f:
        dead = int(f.read()) + 1
    stale = "%s%dx1b" % (lanlib.PREFIX, dead)
    subprocess.run(["ip", "netns", "add", stale], check=True, timeout=10)

    with lanlib.Lan(2, net=5) as lan:
        check(stale not in namespaces(), "a dead run's namespace is swept")
        a, b = lan.host(1), lan.host(2)
        check((a.ip, b.ip) == ("10.77.5.1", "10.77.5.2"), "addresses 10.77.<net>.<i>")
        uni = b.udp_listen(9101, 10, name="unicast")
        uni.wait_line("listening", timeout=10)
        a.udp_send(b.ip, 9101, b"hello b")
        got = lanlib.wait_until(lambda: lanlib.udp_datagrams(uni), 5, "the unicast datagram")
        check(got[0][0] == b"hello b" and got[0][1][0] == a.ip, "unicast between computers")
        r = a.run(["ip", "route", "show", "default"], timeout=10)
        check(r.stdout.strip() == "", "no default route: nothing can leave the LAN")

        listener = b.udp_listen(9100, 10, group="239.9.9.9")
        listener.wait_line("listening", timeout=10)
        check("239.9.9.9" in b.groups(b.dev), "the listener's join shows in groups()")
        a.udp_send("239.9.9.9", 9100, b"hello group")
        got = lanlib.wait_until(lambda: lanlib.udp_datagrams(listener), 5, "the multicast datagram")
        check(got[0] == (b"hello group", (a.ip, got[0][1][1])), "multicast through the bridge")

        pa = a.spawn(["sh", "-c", 'echo "$VELUNOR_ROOT $VELUNOR_RUNDIR"; exec sleep 60'], name="env")
        pb = b.spawn(["sh", "-c", 'echo "$VELUNOR_ROOT $VELUNOR_RUNDIR"; exec sleep 60'], name="env")
        la = pa.wait_line("/", timeout=5).split()
        lb = pb.wait_line("/", timeout=5).split()
        check(la == [a.root, a.rundir] and lb == [b.root, b.rundir] and la != lb,
              "each computer has its own VELUNOR_ROOT and VELUNOR_RUNDIR")
        check(all(os.path.isdir(d) for d in la + lb), "their dirs exist")
        mine = {lan.bridge_ns, a.ns, b.ns}
        check(mine <= namespaces(), "namespaces exist while the LAN is up")
        tmp, pids = lan.tmp, [pa.pid, pb.pid]

    check(not (mine & namespaces()), "namespaces removed at the end")
    check(not os.path.exists(tmp), "temp dirs removed at the end")
    check(not any(os.path.exists("/proc/%d" % p) for p in pids), "processes killed at the end")


if __name__ == "__main__":
    lanlib.main(test)
