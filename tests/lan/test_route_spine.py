#!/usr/bin/env python3
"""VelunorRoute's spine in a virtual LAN: the groups it joins for each control-group
setting, an idle loop that does not spin, the waiting state without an address, and
the command socket's datagram rules (length limit, embedded NUL, "MoreChAfterJson")."""

import json
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lanlib  # noqa: E402
from lanlib import check, log  # noqa: E402

CTRL = "239.0.0.188"
SAP = "239.255.255.255"
MORE = b"MoreChAfterJson"


def start(host, route, *words, name):
    p = host.spawn([route, "sampleRate=48000", "chNumTx=2", "chNumRx=2", "devId=" + name] + list(words),
                   name=name)
    return p


def ask(sender, dst, data, wait=1.5):
    """Sends data to dst:9995 and returns the replies that came from there."""
    return [d for d, (ip, port) in sender.udp_send(dst, 9995, data, wait=wait) if ip == dst and port == 9995]


def test():
    lanlib.require_root()
    route = lanlib.binary("route/VelunorRoute")
    with lanlib.Lan(5) as lan:
        a, peer, two, uni, noip = (lan.host(i) for i in range(1, 6))
        pa = start(a, route, "bindIp=" + a.ip, name="spineA")
        p2 = start(two, route, "bindIp=" + two.ip, "mcastIp=239.1.2.3/239.1.2.4", "noMcastRx", "noMcastTx",
                   name="spine2")
        # The second control group gets a copy of the periodic iAm (every 5 s).
        copies = peer.udp_listen(9996, 20, group="239.1.2.4", name="group2")
        pu = start(uni, route, "bindIp=" + uni.ip, "mcastIp=10.0.0.5", name="spineU")
        pn = start(noip, route, "bindIp=0.0.0.0", name="spineN")

        pa.wait_line("warning: bindIp=%s " % a.ip, timeout=20)
        lanlib.wait_until(lambda: {CTRL, SAP} <= set(a.groups(a.dev)), 15,
                          "control and announcement groups on " + a.dev)
        log("ok: default: %s and %s joined on %s" % (CTRL, SAP, a.dev))

        # The idle loop wakes every 10 ms but must not spin: main thread under 2 % of a core.
        lanlib.wait_until(lambda: SAP in two.groups() and SAP in uni.groups(), 15,
                          "the other cards' announcement group")
        c0 = pa.main_thread_cpu_seconds()
        t0 = time.monotonic()
        time.sleep(5.0)
        used = pa.main_thread_cpu_seconds() - c0
        span = time.monotonic() - t0
        log("main thread cpu: %.3f s over %.2f s (%.2f %%)" % (used, span, 100.0 * used / span))
        check(used < 0.02 * span, "idle main thread uses under 2 % of a core")
        check(pa.alive(), "card still running after idling")

        iam = json.loads(lanlib.wait_until(lambda: next((d for d, (ip, _) in lanlib.udp_datagrams(copies)
                                                          if ip == two.ip and b"iAmVelunor" in d), None),
                                           12, "an iAm copy on the second group").decode())
        check(iam.get("devId") == "spine2" and iam.get("ip") == two.ip,
              "the second control group receives the card's iAm")
        check(iam.get("mcastNumRx") == "0" and iam.get("mcastNumTx") == "0",
              "noMcastRx and noMcastTx force both multicast stream counts to 0")
        r = [d for d, (ip, port) in peer.udp_send(a.ip, 9996, b'{"ops":"whoIsVelunor","devId":""}', wait=1.5)
             if ip == a.ip and port == 9996]
        check(len(r) == 1 and json.loads(r[0].decode()).get("devId") == "spineA",
              "a whoIs to the discovery socket is answered with an iAm")
        ia = json.loads(r[0].decode())
        check(ia.get("mcastNumRx") not in (None, "0") and ia.get("mcastNumTx") not in (None, "0"),
              "without the flags the multicast stream counts stay (%s rx, %s tx)"
              % (ia.get("mcastNumRx"), ia.get("mcastNumTx")))

        g2 = set(two.groups(two.dev))
        check("239.1.2.3" in g2, "mcastIp=A/B joins the control group A")
        check("239.1.2.4" not in g2 and CTRL not in g2,
              "the second group only receives copies (not joined), the default group is replaced")

        gu = set(uni.groups(uni.dev))
        check(SAP in gu and "10.0.0.5" not in gu and CTRL not in gu,
              "mcastIp=10.0.0.5 (not multicast) joins no control group")

        pn.wait_line("warning: bindIp=0.0.0.0 ", timeout=10)
        pn.wait_line("waiting ip ... ", timeout=5, count=2)
        check(SAP not in noip.groups(), "without an address: waiting ip ... once a second, no joins yet")

        # Command socket rules, sent from another computer.
        r = ask(peer, a.ip, b"{abc")
        check(r == [b"{abc" + MORE], "open object comes back with MoreChAfterJson")
        big = b"{" + b"a" * 1498
        r = ask(peer, a.ip, big)
        check(len(big) == 1499 and r == [big + MORE], "a 1499-byte datagram is handled")
        r = ask(peer, a.ip, b"{" + b"b" * 1499, wait=1.0)
        check(r == [], "a 1500-byte datagram is dropped")
        r = ask(peer, a.ip, b"{" + b"c" * 3999, wait=1.0)
        check(r == [], "a 4000-byte datagram is dropped")
        r = ask(peer, a.ip, b"{ab\x00cd", wait=1.0)
        check(r == [], "a datagram with an embedded NUL is ignored")
        r = ask(peer, a.ip, b"{}", wait=1.0)
        check(not any(d.endswith(MORE) for d in r), "a closed object goes to the handlers")
        r = ask(a, a.ip, b"{self")
        check(r == [b"{self" + MORE], "answered from the same computer too, after the dropped ones")
        check(pa.alive() and p2.alive() and pu.alive() and pn.alive(), "all cards still running")


if __name__ == "__main__":
    lanlib.main(test)
