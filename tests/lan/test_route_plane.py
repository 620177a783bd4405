#!/usr/bin/env python3
"""The device record on the LAN: SAP announcements and the route file.

A and B run VelunorRoute, C is the controller and watches the wire with tshark.
- C creates a multicast transmit stream on A: A announces it at once and then every
  10 s (judged from the capture), with the SDP lines a receiver needs.
- B takes the stream with setMcastRx. A's stream is re-created with another RTP
  timestamp offset; B's receive entry takes the new offset from the announcement.
- B is killed and started again: the routing (multicast and unicast) comes back from
  its route file, and B joins the stream's group again.
- B is killed (SIGKILL) over and over while a controller keeps renaming channels and
  asking for saves: after every kill the route file is whole and parses as JSON."""

import json
import os
import random
import shutil
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lanlib  # noqa: E402
from lanlib import check, log  # noqa: E402

GROUP = "239.69.2.1"
ROUTE_FILE = "C/ProgramData/VelunorNetSndCard/_route"


def start(host, route, dev_id, ch=2):
    p = host.spawn([route, "sampleRate=48000", "chNumTx=%d" % ch, "chNumRx=%d" % ch, "bindIp=" + host.ip,
                    "devId=" + dev_id], name=dev_id)
    p.wait_line("self: ucastNumRx=", timeout=20)
    return p


def ask(ctl, dst, obj, wait=1.0):
    data = json.dumps(obj, separators=(",", ":")).encode()
    for d, (ip, port) in ctl.udp_send(dst, 9995, data, wait=wait, max_replies=1):
        if ip == dst and port == 9995:
            return json.loads(d.decode())
    return None


def table(ctl, dst, ops):
    return lanlib.page(ctl, dst, ops, ask=ask)


def sdp(src, ts):
    return {"srcIp": src, "dstIp": GROUP, "dstPort": "5004", "chNum": "2", "sampleByteNum": "3",
            "rtpTsOffset": str(ts)}


def route_file(host):
    with open(os.path.join(host.root, ROUTE_FILE), "rb") as f:
        return f.read()


def sap_lines(proc):
    """(time, source, flags.t, msg id hash, group, media attributes) per captured SAP packet."""
    out = []
    for line in proc.lines():
        f = line.split("\t")
        if len(f) >= 6 and f[0][:1].isdigit():
            out.append((float(f[0]), f[1], f[2], f[3], f[4], f[5]))
    return out


SPAMMER = r"""
import json, socket, sys, time
dst, seconds = sys.argv[1], float(sys.argv[2])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
end, i = time.monotonic() + seconds, 0
while time.monotonic() < end:
    for ops in ("setChNameRx", "setChNameTx", "setPhyChNameRx", "setPhyChNameTx"):
        m = {"ops": ops, "id": str(i % 64), "name": ("%s %d " % (ops, i)).ljust(60, "x")}
        s.sendto(json.dumps(m).encode(), (dst, 9995))
    if i % 8 == 0:
        s.sendto(b'{"ops":"saveToFile"}', (dst, 9995))
    i += 1
    time.sleep(0.002)
"""


def test():
    lanlib.require_root()
    route = lanlib.binary("route/VelunorRoute")
    with lanlib.Lan(3) as lan:
        a, b, c = lan.host(1), lan.host(2), lan.host(3)
        cap = None
        if shutil.which("tshark"):
            cap = c.spawn(["tshark", "-l", "-n", "-i", c.dev, "-f", "udp port 9875", "-T", "fields",
                           "-E", "separator=/t", "-e", "frame.time_epoch", "-e", "ip.src", "-e", "sap.flags.t",
                           "-e", "sap.message_identifier_hash", "-e", "sdp.connection_info.address",
                           "-e", "sdp.media_attr"], name="tshark")
            time.sleep(2.0)  # capture running before the first announcement
        pa = start(a, route, "planeA")
        pb = start(b, route, "planeB")
        watch = lanlib.StallWatch(a, 60, name="stallwatch-normal", threshold_us=20000, prio=0) if cap else None

        # ---- SAP ----
        r = ask(c, a.ip, {"ops": "setMcastTx", "sdp": sdp(a.ip, 100), "srcChIdArr": ["0", "1"], "name": "planeA"})
        check(r and r.get("result") == "succ", "setMcastTx on A")
        r = ask(c, b.ip, {"ops": "setMcastRx", "sdp": sdp(a.ip, 100), "srcChId": "0", "dstChId": "0"})
        check(r and r.get("result") == "succ", "setMcastRx on B")
        # Re-created with a new offset: the deletion and the new announcement go out at once.
        r = ask(c, a.ip, {"ops": "clrMcastTx", "name": "planeA"})
        check(r and r.get("result") == "succ", "clrMcastTx on A")
        t_new = time.time()
        r = ask(c, a.ip, {"ops": "setMcastTx", "sdp": sdp(a.ip, 777), "srcChIdArr": ["0", "1"], "name": "planeA"})
        check(r and r.get("result") == "succ", "setMcastTx on A again, rtpTsOffset 777")

        def offset_on_b():
            rows = table(c, b.ip, "getAllMcastRx")
            return rows and rows[0]["sdp"]["rtpTsOffset"] == "777" and rows[0]["sdp"]["srcIp"] == a.ip
        lanlib.wait_until(offset_on_b, 5, "B's receive entry takes rtpTsOffset 777 from the announcement")
        log("ok: B's receive entry now has rtpTsOffset 777")

        # A unicast route on B too (from A's transmit channel 1 into B's receive channel 1).
        r = ask(c, b.ip, {"ops": "setUcastRx", "srcDevId": "planeA", "srcChId": "1", "dstChId": "1"})
        check(r and r.get("result") == "succ", "setUcastRx on B")

        if cap is not None:
            # Two periodic announcements after the new one: about 21 s.
            lanlib.wait_until(lambda: len([s for s in sap_lines(cap) if s[0] > t_new + 1 and s[1] == a.ip]) >= 2,
                              30, "two periodic SAP announcements from A")
            rows = [s for s in sap_lines(cap) if s[1] == a.ip and s[0] >= t_new - 0.5]
            log("SAP from A since the new stream: %s" % [("%.2f" % (s[0] - t_new), s[2]) for s in rows])
            ann = [s for s in rows if s[2] in ("0", "False") and "direct=777" in s[5]]
            check(len(ann) >= 3, "announcement at creation plus periodic ones")
            gaps = [ann[i + 1][0] - ann[i][0] for i in range(len(ann) - 1)]
            # The announcer runs at normal priority: what the machine held such programs up
            # (the witness at normal priority) may lengthen a gap by as much.
            held = 0.0
            if watch is not None:
                watch.finish(10, now=True)
                held = sum(b - a for a, b in watch.episodes()) / 1e9
                log("figure: SAP gaps %s s; ordinary programs held up %.2f s meanwhile (longest %.1f ms)"
                    % (["%.2f" % g for g in gaps], held, watch.summary["maxUs"] / 1000.0))
            check(all(9.7 - held <= g <= 10.6 + held for g in gaps), "announcements every 10 s (gaps %s, %.2f s held up)"
                  % (["%.2f" % g for g in gaps], held))
            check(all(s[4] == GROUP and s[3] in ("0x0201", "513") for s in ann),
                  "connection address %s, message id hash = low 16 bits of the group" % GROUP)
            check(all("mediaclk:direct=777" in s[5] and "ptime:1" in s[5] and "rtpmap:97 L24/48000/2" in s[5]
                      for s in ann), "rtpmap L24/48000/2, ptime 1, mediaclk direct=777")
            check(ann[0][0] - t_new < 1.0, "the new stream is announced at once")
            dels = [s for s in sap_lines(cap) if s[1] == a.ip and s[2] in ("1", "True")]
            check(len(dels) == 1 and "direct=100" in dels[0][5], "one deletion for the removed stream")
        else:
            log("tshark not installed: the wire checks are skipped")

        # ---- restart from the route file ----
        lanlib.wait_until(lambda: b"777" in route_file(b) and b'"rxChArr":[{"id":"0"' in route_file(b), 8,
                          "B saved its routing")
        pb.signal(9)
        pb.wait(5)
        check(GROUP not in b.groups(), "B's group membership went with the process")
        pb = start(b, route, "planeB")
        rows = table(c, b.ip, "getAllMcastRx")
        check(len(rows) == 1 and rows[0]["sdp"]["dstIp"] == GROUP and rows[0]["sdp"]["rtpTsOffset"] == "777"
              and rows[0]["rtpChIdArr"][0] != "-1", "multicast receive entry back after the restart")
        rx = {it["id"]: it["rtpChId"] for it in table(c, b.ip, "getAllRxCh")}
        rtp = {it["id"]: (it["srcDevId"], it["srcChId"]) for it in table(c, b.ip, "getAllRtpCh")}
        check(set(rx) == {"0", "1"}, "both receive channels routed again (%r)" % rx)
        check(rtp.get(rx["1"]) == ("planeA", "1"), "receive channel 1 from planeA channel 1 (%r)" % rtp)
        lanlib.wait_until(lambda: GROUP in b.groups(b.dev), 5, "B joins %s again" % GROUP)
        log("ok: B joined %s again" % GROUP)
        pb.stop()

        # ---- SIGKILL while saving ----
        pb = start(b, route, "planeB64", ch=64)
        spam = c.spawn([sys.executable, "-c", SPAMMER, b.ip, "30"], name="spammer")
        rng = random.Random(7)
        kills, sizes = 0, set()
        end = time.monotonic() + 25
        while time.monotonic() < end and kills < 12:
            time.sleep(0.4 + rng.random() * 1.2)
            pb.signal(9)
            pb.wait(5)
            kills += 1
            raw = route_file(b)
            try:
                doc = json.loads(raw.decode("utf-8"))
            except ValueError as e:
                raise lanlib.TestFailure("route file damaged after kill %d (%d bytes): %s" % (kills, len(raw), e))
            if doc.get("name") != "planeB" or "customStr" not in doc:  # the name survives the id change
                raise lanlib.TestFailure("route file incomplete after kill %d" % kills)
            sizes.add(len(raw))
            pb = start(b, route, "planeB64", ch=64)
        spam.stop()
        check(kills >= 6, "route file parsed after each of %d kills during saves (sizes %s)" %
              (kills, sorted(sizes)[:3] + ["..."]))
        names = json.loads(route_file(b).decode())["chNameArrRx"]
        check(len(names) == 64 and any(n.startswith("setChNameRx") for n in names),
              "the renamed channels were saved")
        check(pa.alive() and pb.alive(), "both cards still running")
        if cap is not None:
            cap.stop()


if __name__ == "__main__":
    lanlib.main(test)
