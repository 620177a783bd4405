#!/usr/bin/env python3
"""Two cards on one PTP grandmaster, judged from a third computer: media clocks, the wire
and the stream descriptions.

Computer 1 runs ptp4l as grandmaster (software stamping). Computers 2 and 3 run a card
each and follow it. Computer 4 is the controller and the judge: it captures everything
with tshark from before the cards start, and creates one multicast transmit stream on
each card with velunor-ctl (2 ch, L24, 48 kHz, rtpTsOffset 0) once both cards announce
the grandmaster's identity.

Checks:
- Media clock: the two streams' RTP timestamps of packets sent at the same moment differ
  by at most two periods (96 frames). Packets are paired by arrival time; because a
  late sender's packets arrive late for a while, the figure that is checked in full is
  the least-delayed packet of each card per 0.5 s window (what the card's clock says),
  and the raw pairs are checked in their median and printed. "mediaclk:direct=0" also
  means each stream's timestamps are the grandmaster's time at 48 kHz: checked within
  five periods (the capture clock is the real-time clock ptp4l serves).
- The wire: one capture holds RTP (5004), SAP/SDP (9875), PTP (319/320) and the JSON
  control traffic (9995 commands and replies, 9996 discovery and PTP events); tshark
  decodes it with no malformed packet and no error in its expert information, and each
  protocol is present.
- The SDP text taken out of a captured SAP datagram of each card, parsed by npm
  sdp-transform: connection, port, rtpmap L24/48000/2 with the payload type seen on the
  wire, ptime 1, mediaclk direct=0, ts-refclk ptp IEEE1588-2008:<ptp4l's clock
  identity>:0, no line the parser could not read.

Needs root, ptp4l, tshark, node and sdp-transform (scripts/setup.sh installs it into
/var/cache/velunor-node, or $VELUNOR_NODE_DIR); skipped with a message otherwise.
"""

import json
import os
import re
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lanlib  # noqa: E402
from lanlib import check, log  # noqa: E402

from test_ptp_interop import GM_CFG  # noqa: E402
from test_sdp_interop import sap_sdp  # noqa: E402

RATE = 48000
P = 48  # frames per 1 ms period
GROUPS = ("239.69.3.1", "239.69.3.2")
RTP_SECONDS = 8
NODE_DIR = os.environ.get("VELUNOR_NODE_DIR", "/var/cache/velunor-node")

# Prints the parse of the SDP on standard input as JSON.
NODE_PARSE = ("const t=require('fs').readFileSync(0,'utf8');"
              "process.stdout.write(JSON.stringify(require('sdp-transform').parse(t)));")


def node_env():
    return {"NODE_PATH": os.path.join(NODE_DIR, "node_modules")}


def require_sdp_transform():
    if shutil.which("node") is None:
        lanlib.skip("node is not installed (scripts/setup.sh installs nodejs)")
    env = dict(os.environ)
    env.update(node_env())
    r = subprocess.run(["node", "-e", "require('sdp-transform')"], stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, text=True, timeout=30, env=env)
    if r.returncode != 0:
        lanlib.skip("npm sdp-transform not found in %s/node_modules (scripts/setup.sh installs it)" % NODE_DIR)


def sdp_parse(host, text):
    r = host.run(["node", "-e", NODE_PARSE], input=text, env=node_env(), timeout=30)
    if r.returncode != 0:
        raise lanlib.TestFailure("sdp-transform failed: " + r.stderr.strip())
    return json.loads(r.stdout)


def ctl(host, tool, card_ip, obj):
    r = host.run([tool, "--json", "--timeout", "2", "send", card_ip, json.dumps(obj, separators=(",", ":"))],
                 timeout=20)
    try:
        return json.loads(r.stdout.strip().splitlines()[-1])
    except (ValueError, IndexError):
        raise lanlib.TestFailure("velunor-ctl to %s: status %d %s %s" % (card_ip, r.returncode, r.stdout, r.stderr))


def s32(v):
    v &= 0xFFFFFFFF
    return v - (1 << 32) if v >= (1 << 31) else v


def ptp4l_identity(ptp):
    """ptp4l's own clock identity as the card writes it ("xx-xx-...", 8 bytes)."""
    m = re.search(r"selected local clock ([0-9a-f]{6})\.([0-9a-f]{4})\.([0-9a-f]{6}) as best master",
                  ptp.output())
    if not m:
        return None
    h = "".join(m.groups())
    return "-".join(h[i:i + 2] for i in range(0, 16, 2))


def iam_ids(proc, dev_id):
    ids = []
    for data, _src in lanlib.udp_datagrams(proc):
        try:
            o = json.loads(data.decode("utf-8"))
        except ValueError:
            continue
        if isinstance(o, dict) and o.get("ops") == "iAmVelunor" and o.get("devId") == dev_id:
            ids.append(o.get("gmClkId"))
    return ids


def pctl(values, q):
    s = sorted(values)
    return s[min(len(s) - 1, int(q * len(s)))]


def read_pcap(path):
    """(epoch s, src ip, dst ip, src port, dst port, UDP payload) of each IPv4/UDP frame of
    a libpcap file with Ethernet link type."""
    out = []
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 24:
        return out
    magic = struct.unpack("<I", data[:4])[0]
    end = "<" if magic in (0xA1B2C3D4, 0xA1B23C4D) else ">"
    nano = magic in (0xA1B23C4D, 0x4D3CB2A1)
    if struct.unpack(end + "I", data[20:24])[0] != 1:
        raise lanlib.TestFailure("capture is not Ethernet")
    off = 24
    while off + 16 <= len(data):
        sec, frac, incl, _orig = struct.unpack(end + "IIII", data[off:off + 16])
        pkt = data[off + 16:off + 16 + incl]
        off += 16 + incl
        if len(pkt) < 14 + 20 + 8 or pkt[12:14] != b"\x08\x00":
            continue
        ihl = (pkt[14] & 0x0F) * 4
        if pkt[14 + 9] != 17 or len(pkt) < 14 + ihl + 8:
            continue
        ip = pkt[14:]
        src, dst = ".".join(map(str, ip[12:16])), ".".join(map(str, ip[16:20]))
        sport, dport, ulen = struct.unpack(">HHH", ip[ihl:ihl + 6])
        payload = ip[ihl + 8:ihl + ulen]
        out.append((sec + frac / (1e9 if nano else 1e6), src, dst, sport, dport, payload))
    return out


def test():
    lanlib.require_root()
    for prog in ("ptp4l", "tshark"):
        if shutil.which(prog) is None:
            lanlib.skip("%s is not installed" % prog)
    require_sdp_transform()
    route = lanlib.binary("route/VelunorRoute")
    tool = lanlib.binary("tools/velunor-ctl/velunor-ctl")
    with lanlib.Lan(4) as lan:
        gm, ca, cb, obs = (lan.host(i) for i in range(1, 5))
        cards = ((ca, "aesA", GROUPS[0]), (cb, "aesB", GROUPS[1]))
        pcap = os.path.join(obs.root, "cap.pcap")
        cap = obs.spawn(["tshark", "-n", "-i", obs.dev, "-F", "pcap", "-a", "duration:80", "-f",
                         "udp port 5004 or udp port 9875 or udp port 319 or udp port 320 or udp port 9995 "
                         "or udp port 9996", "-w", pcap], name="tshark")
        cap.wait_line("Capturing on", timeout=15)
        iam = obs.udp_listen(9996, 70, group="239.0.0.188", name="iam")
        iam.wait_line('"listening"', timeout=10)

        cfg = os.path.join(gm.root, "gm.cfg")
        with open(cfg, "w") as f:
            f.write(GM_CFG)
        ptp = gm.spawn(["ptp4l", "-f", cfg, "-i", gm.dev, "-S", "-m"], name="ptp4l")
        procs = []
        for h, dev_id, _g in cards:
            procs.append(h.spawn([route, "sampleRate=48000", "chNumTx=2", "chNumRx=2", "devId=" + dev_id,
                                  "bindIp=" + h.ip], name=dev_id, env={"VELUNOR_PTP_TRACE": "1"}))
        ptp.wait_line("assuming the grand master role", timeout=20)
        gm_id = ptp4l_identity(ptp)
        check(gm_id is not None, "ptp4l's clock identity: %s" % gm_id)
        for p in procs:
            p.wait_line("used=1", timeout=15)
        check(True, "both cards follow the grandmaster")
        # The cards refresh their grandmaster text every 5 s and tell it in every iAm;
        # a stream created after that is announced with it at once.
        for _h, dev_id, _g in cards:
            lanlib.wait_until(lambda: gm_id in iam_ids(iam, dev_id), 20, "%s announcing gmClkId %s" % (dev_id, gm_id))
        check(True, "both cards tell gmClkId %s in their iAm" % gm_id)

        for h, dev_id, group in cards:
            tx = {"ops": "setMcastTx", "sdp": {"srcIp": h.ip, "dstIp": group, "dstPort": "5004", "chNum": "2",
                                              "sampleByteNum": "3", "rtpTsOffset": "0"},
                  "srcChIdArr": ["0", "1"], "name": dev_id + "Tx"}
            r = ctl(obs, tool, h.ip, tx)
            check(r.get("result") == "succ", "setMcastTx on %s to %s: %s" % (dev_id, group, r.get("reason", "succ")))
        time.sleep(RTP_SECONDS)
        cap.signal(signal.SIGINT)
        check(cap.wait(20) is not None and os.path.getsize(pcap) > 0, "capture finished")
        for p, (_h, dev_id, _g) in zip(procs, cards):
            check(p.alive(), "%s still running" % dev_id)
            check(not [l for l in p.lines() if "file=myPtp" in l], "%s: no error line of the PTP slave" % dev_id)

        # ---- the wire, as tshark decodes it ----
        # SAP leaves from the discovery socket (source port 9996), and tshark's Decode As
        # of port 9996 wins over SAP's own port: one pass judges the JSON, a second one
        # (RTP and 9995 only) lets SAP/SDP decode by themselves. Both must be clean.
        counts, json_ports, nframes, announced = {}, [0, 0], 0, set()
        for judge_json, decode in ((True, ("udp.port==5004,rtp", "udp.port==9995,json", "udp.port==9996,json")),
                                   (False, ("udp.port==5004,rtp", "udp.port==9995,json"))):
            argv = ["tshark", "-n", "-r", pcap]
            for d in decode:
                argv += ["-d", d]
            r = obs.run(argv + ["-T", "fields", "-E", "separator=|", "-e", "frame.number", "-e", "frame.protocols",
                                "-e", "udp.srcport", "-e", "udp.dstport", "-e", "_ws.expert.severity",
                                "-e", "_ws.malformed", "-e", "ptp.v2.an.grandmasterclockidentity"], timeout=80)
            check(r.returncode == 0, "tshark reads the capture with %s%s"
                  % (" ".join(decode), "" if r.returncode == 0 else ": " + r.stderr.strip()[-500:]))
            rows = [l.split("|") for l in r.stdout.splitlines() if l.count("|") == 6]
            # Expert severity: error is 8388608 (notes, chats and warnings are below).
            bad = [f for f in rows if f[5] or any(v and int(v, 0) >= 8388608 for v in f[4].split(","))]
            check(rows and not bad, "tshark (%s) decodes %d frames with no malformed packet or expert error%s"
                  % (" ".join(decode), len(rows), "" if not bad else " (first: %s)" % bad[:5]))
            nframes = max(nframes, len(rows))
            for f in rows:
                protos = set(f[1].split(":"))
                if judge_json:
                    for proto in ("rtp", "ptp"):
                        counts[proto] = counts.get(proto, 0) + (proto in protos)
                    if f[6]:
                        announced.add(f[6])
                    if "json" in protos and f[3] != "9875":
                        counts["json"] = counts.get("json", 0) + 1
                        json_ports["9995" not in (f[2], f[3])] += 1
                else:
                    for proto in ("sap", "sdp"):
                        counts[proto] = counts.get(proto, 0) + (proto in protos)
        log("protocols in the capture of %d frames: %s; JSON on 9995 %d, on 9996 %d"
            % (nframes, counts, json_ports[0], json_ports[1]))
        check(counts.get("rtp", 0) >= 2 * 1000 * (RTP_SECONDS - 2), "%d RTP packets" % counts.get("rtp", 0))
        check(counts.get("sap", 0) >= 2 and counts.get("sdp", 0) >= 2, "%d SAP packets with SDP" % counts.get("sdp", 0))
        check(counts.get("ptp", 0) >= 50, "%d PTP messages" % counts.get("ptp", 0))
        want = "0x" + gm_id.replace("-", "")
        check(announced == {want}, "the captured Announce messages name grandmaster %s (%s)"
              % (want, sorted(announced)))
        check(json_ports[0] >= 4 and json_ports[1] >= 4, "JSON control traffic decoded: %d datagrams on 9995 "
              "(commands and replies), %d on 9996 (discovery, PTP events)" % tuple(json_ports))

        # ---- media clocks ----
        frames = read_pcap(pcap)
        rtp = {}
        for t, src, dst, _sp, dport, pl in frames:
            if dport == 5004 and dst in GROUPS and len(pl) >= 12:
                rtp.setdefault(src, []).append((t, int.from_bytes(pl[4:8], "big"), pl[1] & 0x7F,
                                                int.from_bytes(pl[2:4], "big"), len(pl)))
        sa, sb = rtp.get(ca.ip, []), rtp.get(cb.ip, [])
        check(len(sa) >= 1000 * (RTP_SECONDS - 2) and len(sb) >= 1000 * (RTP_SECONDS - 2),
              "both streams captured (%d and %d packets)" % (len(sa), len(sb)))
        for name, s in (("aesA", sa), ("aesB", sb)):
            check(all(ln == 12 + P * 2 * 3 for _t, _ts, _pt, _q, ln in s),
                  "%s: 48 frames of 2 x 24 bits per packet" % name)
            seq_ok = sum(1 for a, b in zip(s, s[1:]) if (b[3] - a[3]) & 0xFFFF == 1)
            steps = [s32(b[1] - a[1]) for a, b in zip(s, s[1:])]
            ts_ok = steps.count(P)
            jumps = sum(1 for d in steps if d > P and d % P == 0)
            check(seq_ok == len(s) - 1, "%s: sequence numbers rise by one (%d of %d)" % (name, seq_ok, len(s) - 1))
            # A sender that stalls over three periods re-aligns its timestamps to its clock,
            # forward by whole periods: a few such steps on a shared machine (the
            # stalls come in bursts), never a stream of them, and no other step; the media
            # clock check below judges where the steps lead.
            check(ts_ok + jumps == len(s) - 1 and jumps <= 2 * RTP_SECONDS,
                  "%s: timestamps 48 frames apart (%d of %d), the rest forward by whole periods (%d)"
                  % (name, ts_ok, len(s) - 1, jumps))
            res = [s32(ts - int(round(t * RATE))) for t, ts, _pt, _q, _ln in s]
            med = statistics.median(res)
            # ptp4l may serve TAI (37 s ahead of UTC) or UTC.
            off = min(abs(med), abs(med - 37 * RATE))
            log("FIGURES %s: RTP timestamp - grandmaster clock x 48 kHz: median %d frames, p1 %d, max %d"
                % (name, med, pctl(res, 0.01), max(res)))
            check(off <= 5 * P, "%s: RTP timestamps are the grandmaster's time at 48 kHz (mediaclk direct=0), "
                  "%.2f ms off" % (name, off / 48.0))

        # Raw pairs: B's packet that arrived nearest to each of A's. Their timestamps differ
        # by the two cards' clocks, by the phase of their periods (up to half a period,
        # the arrivals are paired within 0.5 ms) and by each sender's lateness.
        pairs, j = [], 0
        for t, ts, _pt, _q, _ln in sa:
            while j + 1 < len(sb) and abs(sb[j + 1][0] - t) <= abs(sb[j][0] - t):
                j += 1
            if abs(sb[j][0] - t) <= 0.0005:
                pairs.append(s32(ts - sb[j][1]))
        check(len(pairs) >= len(sa) // 2, "%d packets of A paired with one of B arriving within 0.5 ms" % len(pairs))
        absd = [abs(d) for d in pairs]
        within = sum(1 for d in absd if d <= 2 * P)
        # Lateness only ever delays a packet: per half-second window, each card's least-
        # delayed packet (the largest timestamp minus arrival x 48 kHz) tells what its
        # clock says. (A card that wakes at the edge of its period sends every packet one
        # period late for a while, so shorter windows would measure its timer, not its clock.)
        win = {}
        for key, s in ((0, sa), (1, sb)):
            for t, ts, _pt, _q, _ln in s:
                r_ = s32(ts - int(round(t * RATE)))
                cur = win.setdefault(int(t * 2), [None, None])
                if cur[key] is None or r_ > cur[key]:
                    cur[key] = r_
        wd = [a - b for a, b in win.values() if a is not None and b is not None]
        wmax = max(abs(d) for d in wd)
        log("FIGURES spread of the two cards' RTP timestamps (frames, 48 per ms): least-delayed packet per "
            "0.5 s window: median %d, max |d| %d over %d windows; raw pairs by arrival: median %d, median |d| "
            "%d, p99 |d| %d, max |d| %d, %.2f %% within 96, of %d pairs"
            % (statistics.median(wd), wmax, len(wd), statistics.median(pairs), statistics.median(absd),
               pctl(absd, 0.99), max(absd), 100.0 * within / len(pairs), len(pairs)))
        check(len(wd) >= 2 * (RTP_SECONDS - 2) and wmax <= 2 * P,
              "the two cards' media clocks differ by at most two periods in every 0.5 s window (max %d frames)"
              % wmax)
        check(statistics.median(absd) <= 2 * P, "raw pairs: median |difference| %d frames, at most two periods"
              % statistics.median(absd))

        # ---- the stream descriptions ----
        pts = {src: statistics.mode(pt for _t, _ts, pt, _q, _ln in s) for src, s in rtp.items()}
        for h, dev_id, group in cards:
            saps = [pl for _t, src, _dst, _sp, dport, pl in frames if dport == 9875 and src == h.ip
                    and len(pl) > 24 and not pl[0] & 0x04]
            check(saps, "%s: %d SAP announcements captured" % (dev_id, len(saps)))
            text = sap_sdp(saps[-1])
            check(text is not None, "%s: SDP text in the SAP datagram" % dev_id)
            log("%s SDP:\n%s" % (dev_id, text.rstrip()))
            o = sdp_parse(obs, text)
            log("%s sdp-transform: %s" % (dev_id, json.dumps(o)))
            m = (o.get("media") or [{}])[0]
            check("invalid" not in o and "invalid" not in m, "%s: sdp-transform read every line" % dev_id)
            check(o.get("version") == 0 and o.get("origin", {}).get("address") == h.ip
                  and o.get("connection", {}).get("ip") == group + "/32",
                  "%s: origin %s, connection %s/32" % (dev_id, h.ip, group))
            check(m.get("type") == "audio" and m.get("port") == 5004 and m.get("protocol") == "RTP/AVP",
                  "%s: m=audio 5004 RTP/AVP" % dev_id)
            check(m.get("rtp") == [{"payload": pts.get(h.ip), "codec": "L24", "rate": RATE, "encoding": 2}],
                  "%s: rtpmap %s L24/48000/2, the payload type on the wire" % (dev_id, pts.get(h.ip)))
            check(m.get("ptime") == 1, "%s: ptime 1" % dev_id)
            check(m.get("mediaClk") == {"mediaClockName": "direct", "mediaClockValue": 0},
                  "%s: mediaclk direct=0" % dev_id)
            refs = m.get("tsRefClocks") or [{}]
            ext = refs[0].get("clksrcExt", "")
            check(len(refs) == 1 and refs[0].get("clksrc") == "ptp" and ext.lower() == "ieee1588-2008:%s:0" % gm_id,
                  "%s: ts-refclk ptp=%s, the grandmaster's identity and domain 0" % (dev_id, ext))


if __name__ == "__main__":
    lanlib.main(test)
