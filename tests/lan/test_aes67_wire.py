#!/usr/bin/env python3
"""Two cards on a ptp4l grandmaster do on the wire what they announce: DSCP, the
announced timestamp offset, the link offset's lateness budget.

Computer 1 runs ptp4l (grandmaster), computers 2 and 3 a card each (A and B, bufMs=4,
2 inputs, 4 outputs), computer 4 is the controller, a GStreamer sender and the judge
(tshark there and on A; a stall witness beside it all).

- Offsets through SAP alone: A sends its multicast stream with rtpTsOffset 4800, B with
  123456789. Each card is first routed to the other's stream with rtpTsOffset 0 (what a
  controller that knows no better says); only the SAP announcements bring the offsets.
  A plays 1 kHz, B 750 Hz into their ASIO inputs; each records the other. B also takes
  A's channel 0 as a unicast stream. Every recorded channel must carry its tone with no
  silent stretch once the announcements are in (unless the witness saw a host stall).
- DSCP: tshark on A reads DSCP 34 on every RTP datagram of both kinds, 46 on all sent
  after setDscp 46 is answered, and still 46 after setDscp "0", "63", "46abc" and "-1".
- Transmit timestamps: each multicast datagram minus its offset trails the grandmaster's
  media clock at capture by 0 to 2 periods.
- Lateness budget: B's receive descriptor for A's stream is moved on by SAP alone (the
  judge announces it, A's own announcements are dropped at the bridge meanwhile) in
  0.25 ms steps, so A's datagrams reach B that much later in media time. A ring writer
  on A puts a known signal into A's inputs that names every frame; a ring reader on B logs
  the frames of every block it plays. So each captured datagram has its lateness
  (arrival - timestamp in grandmaster time) and whether B played it. B's periods start on
  multiples of P of the media clock; a step that is not a whole period moves A's
  datagrams off that grid, and one that starts phi frames into a period must be in before
  that period runs: its lateness is counted from there (+ phi), by B's clock (its PTP
  offset against the real-time clock ptp4l serves). Every one that came
  within link offset - P - 0.5 ms must play, but near a host stall that the witness or
  the ring tools saw or a block the reader missed (20 ms either side), and some later
  than that must play too.

Figures: transmit lag (median, p1, p99, max), datagrams played and not per 0.25 ms of lateness,
the latest that played. Needs root, ptp4l, tshark and nft.
"""

import json
import math
import os
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import time
import wave

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lanlib  # noqa: E402
from lanlib import check, log  # noqa: E402

from test_aes67_interop import ctl, pctl, ptp4l_identity, read_pcap, s32  # noqa: E402
from test_ptp_interop import GM_CFG, TRACE, true_offset_us  # noqa: E402

RATE, P = 48000, 48
LINK = 240  # the route file's default delayUs 5000
G_A, G_B = "239.69.5.1", "239.69.5.2"
OFF_A, OFF_B = 4800, 123456789
TONE_A, TONE_B = 1000, 750
STEPS_MS = [0.25 * i for i in range(15)]  # added lateness, 0 .. 3.5 ms
STEP_SETTLE_S, STEP_S = 0.6, 1.5
HEAR_S, DSCP_S = 8.0, 3.0
SWEEP_S = len(STEPS_MS) * (STEP_SETTLE_S + STEP_S + 2.5) + 3.0  # sending the announcements takes time too
RUN_S = HEAR_S + DSCP_S + SWEEP_S + 15.0


def sap_packet(src_ip, group, text):
    """An SAP announcement (version 1, IPv4, no authentication) carrying SDP text."""
    hash16 = int(group.split(".")[2]) << 8 | int(group.split(".")[3])
    src = bytes(int(x) for x in src_ip.split("."))
    return struct.pack(">BBH", 0x20, 0, hash16) + src + b"application/sdp\0" + text.encode()


def stream_sdp(src_ip, group, gm_id, offset):
    return ("v=0\r\no=- 1 1 IN IP4 %s\r\ns=aTx\r\nc=IN IP4 %s/32\r\nt=0 0\r\nm=audio 5004 RTP/AVP 97\r\n"
            "a=rtpmap:97 L24/48000/2\r\na=recvonly\r\na=ptime:1\r\na=mediaclk:direct=%d\r\n"
            "a=ts-refclk:ptp=IEEE1588-2008:%s:0\r\n" % (src_ip, group, offset, gm_id))


def sdp(src, group, off):
    return {"srcIp": src, "dstIp": group, "dstPort": "5004", "chNum": "2", "sampleByteNum": "3",
            "rtpTsOffset": str(off)}


def ok(host, tool, ip, obj):
    r = ctl(host, tool, ip, obj)
    check(r.get("result") == "succ", "%s on %s: %s" % (obj["ops"], ip, r.get("reason", "succ")))
    return r


def read_wav(path):
    """Channels of a WAV file as lists of ints."""
    with wave.open(path, "rb") as w:
        nch, width, n = w.getnchannels(), w.getsampwidth(), w.getnframes()
        raw = w.readframes(n)
    frame = nch * width
    chans = [[] for _ in range(nch)]
    for i in range(0, len(raw) - frame + 1, frame):
        for c in range(nch):
            chans[c].append(int.from_bytes(raw[i + c * width:i + (c + 1) * width], "little", signed=True))
    return chans


def silences(samples, lo, hi, run=24):
    """Stretches of `run` or more zero samples within [lo, hi): (start, length) each. A
    tone never holds zero for half a millisecond."""
    out, start = [], None
    for i in range(max(0, lo), min(hi, len(samples))):
        if samples[i] == 0:
            if start is None:
                start = i
        else:
            if start is not None and i - start >= run:
                out.append((start, i - start))
            start = None
    if start is not None and min(hi, len(samples)) - start >= run:
        out.append((start, min(hi, len(samples)) - start))
    return out


def freq(samples, lo, hi):
    """Tone frequency over the samples that are not part of a silent stretch."""
    body = samples[max(0, lo):min(hi, len(samples))]
    up = sum(1 for x, y in zip(body, body[1:]) if x < 0 <= y)
    quiet = sum(n for _s, n in silences(samples, lo, hi))
    return up * RATE / float(max(1, len(body) - quiet))


def test():
    lanlib.require_root()
    for prog in ("ptp4l", "tshark", "nft"):
        if shutil.which(prog) is None:
            lanlib.skip("%s is not installed" % prog)
    route = lanlib.binary("route/VelunorRoute")
    tool = lanlib.binary("tools/velunor-ctl/velunor-ctl")
    asiohost = lanlib.binary("tools/asiohost/asiohost")
    driver = lanlib.binary("asio/Velunor-rEduVuzi.so")
    ringio = lanlib.binary("tools/velunor-ringio/velunor-ringio")
    with lanlib.Lan(4) as lan:
        gm, a, b, obs = (lan.host(i) for i in range(1, 5))
        total = int(RUN_S + 35)
        watch = lanlib.StallWatch(obs, total)
        obs_pcap, a_pcap = os.path.join(obs.root, "obs.pcap"), os.path.join(a.root, "a.pcap")
        caps = [obs.spawn(["tshark", "-n", "-i", obs.dev, "-F", "pcap", "-a", "duration:%d" % total, "-f",
                           "udp port 5004 or udp port 9875", "-w", obs_pcap], name="tshark-obs"),
                a.spawn(["tshark", "-n", "-i", a.dev, "-F", "pcap", "-a", "duration:%d" % total, "-f",
                         "udp port 5004 and src host %s" % a.ip, "-w", a_pcap], name="tshark-a")]
        for c in caps:
            c.wait_line("Capturing on", timeout=15)

        cfg = os.path.join(gm.root, "gm.cfg")
        with open(cfg, "w") as f:
            f.write(GM_CFG)
        ptp = gm.spawn(["ptp4l", "-f", cfg, "-i", gm.dev, "-S", "-m"], name="ptp4l")
        cards = {}
        for h, dev_id in ((a, "aesA"), (b, "aesB")):
            cards[dev_id] = h.spawn([route, "bufMs=4", "sampleRate=48000", "chNumTx=4", "chNumRx=2",
                                     "devId=" + dev_id, "bindIp=" + h.ip], name=dev_id,
                                    env={"VELUNOR_PTP_TRACE": "1"})
        ptp.wait_line("assuming the grand master role", timeout=20)
        gm_id = ptp4l_identity(ptp)
        check(gm_id is not None, "ptp4l's clock identity: %s" % gm_id)
        for p in cards.values():
            p.wait_line("used=1", timeout=15)
        for h in (a, b):
            area = os.path.join(h.rundir, "objects", "Velunor-vSnd-shareMem")
            lanlib.wait_until(lambda: os.path.exists(area), 10, "exchange area of " + h.ip)
            h.run([asiohost, "--register", "--driver", driver], timeout=20, check=True)

        # Receive routes first, with the offset a controller would not know.
        ok(obs, tool, b.ip, {"ops": "setMcastRx", "sdp": sdp(a.ip, G_A, 0), "srcChId": "0", "dstChId": "0"})
        ok(obs, tool, a.ip, {"ops": "setMcastRx", "sdp": sdp(b.ip, G_B, 0), "srcChId": "0", "dstChId": "0"})
        ok(obs, tool, b.ip, {"ops": "setUcastRx", "srcDevId": "aesA", "srcChId": "0", "dstChId": "1"})
        rec, lags = {}, {}
        for h, name, hz, ins in ((a, "a", TONE_A, "0"), (b, "b", TONE_B, "0,1")):
            rec[name] = h.spawn([asiohost, "--tone", str(hz), "--out", "0", "--record",
                                 os.path.join(h.root, name + ".wav"), "--in", ins, "--seconds", "%.1f" % HEAR_S,
                                 "--wait", "10"], name="asiohost-" + name)
        for r in rec.values():
            r.wait_line("buffer size", timeout=20)
        t_tx = time.monotonic_ns()
        mono2real = time.time() - t_tx / 1e9
        ok(obs, tool, a.ip, {"ops": "setMcastTx", "sdp": sdp(a.ip, G_A, OFF_A), "srcChIdArr": ["0", "1"],
                             "name": "aTx"})
        ok(obs, tool, b.ip, {"ops": "setMcastTx", "sdp": sdp(b.ip, G_B, OFF_B), "srcChIdArr": ["0", "1"],
                             "name": "bTx"})
        for r in rec.values():
            r.wait(HEAR_S + 30)
        hear = (t_tx + int(2.5e9), time.monotonic_ns())

        # DSCP: 46, then four requests that must change nothing.
        t_dscp0 = time.time()
        ok(obs, tool, a.ip, {"ops": "setDscp", "dscp": "46"})
        t_dscp1 = time.time()
        bad = {}
        for v in ("0", "63", "46abc", "-1"):
            r = obs.run([tool, "--json", "--timeout", "1", "send", a.ip,
                         json.dumps({"ops": "setDscp", "dscp": v}, separators=(",", ":"))], timeout=20)
            bad[v] = (r.stdout.strip().splitlines() or ["(no reply)"])[-1]
        time.sleep(DSCP_S)

        # Lateness budget: A's announcements stop at the bridge, the judge's take over.
        lan.bridge(["nft", "add", "table", "bridge", "nosap"])
        lan.bridge(["nft", "add", "chain", "bridge", "nosap", "fw",
                    "{ type filter hook forward priority 0; policy accept; }"])
        lan.bridge(["nft", "add", "rule", "bridge", "nosap", "fw", "ip", "saddr", a.ip, "udp", "dport", "9875",
                    "drop"])
        wlog, rlog = os.path.join(a.logdir, "ringio-write.txt"), os.path.join(b.logdir, "ringio-read.txt")
        wr = a.spawn([ringio, "write", "seconds=%d" % (SWEEP_S + 3), "log=" + wlog], name="ringioW")
        time.sleep(0.5)
        rd = b.spawn([ringio, "read", "seconds=%d" % SWEEP_S, "log=" + rlog, "src=0,0,0,0"], name="ringioR")
        time.sleep(1.0)
        steps = []
        # Each card's clock against the grandmaster's over the steps: its PTP offsets
        # against the real-time clock's lead over the monotonic one, which ptp4l serves.
        truth0, marks = true_offset_us(), {k: len(p.lines()) for k, p in cards.items()}
        for add_ms in STEPS_MS:
            off = (OFF_A + int(round(add_ms * RATE / 1000.0))) & 0xFFFFFFFF
            pkt = sap_packet(a.ip, G_A, stream_sdp(a.ip, G_A, gm_id, off))
            obs.udp_send("239.255.255.255", 9875, pkt)
            time.sleep(STEP_SETTLE_S)
            m0 = time.monotonic_ns()
            time.sleep(STEP_S)
            steps.append((add_ms, off, m0, time.monotonic_ns()))
        truth = (truth0 + true_offset_us()) / 2.0
        clock_err = {}
        for k, p in cards.items():
            est = [TRACE.match(l.strip()) for l in p.lines()[marks[k]:]]
            est = [int(m.group(1)) for m in est if m and m.group(3) == "1"]
            # ptp4l may serve TAI: the error is taken modulo whole seconds.
            clock_err[k] = ((statistics.median(est) - truth + 500000) % 1000000 - 500000) / 1000.0 if est else 0.0
        log("FIGURES clock of each card against the grandmaster's over the steps (ms, + = ahead): %s" % clock_err)
        for p, t in ((rd, SWEEP_S + 20), (wr, 20)):
            p.wait(t)
        for c in caps:
            c.signal(signal.SIGINT)
            c.wait(30)
        watch.finish(total + 30)
        log("figure: " + watch.figure())
        for name, p in cards.items():
            check(p.alive(), "%s still running" % name)

        # ---- what each card recorded ----
        # The players are ordinary processes: on a loaded host they miss a block now and
        # then, and the sender sends it silent. Hearing is the tone over the window.
        heard = []  # checked with the other rules at the end, after every figure
        for name, ch, hz, what in (("b", 0, TONE_A, "B hears A through SAP (offset %d)" % OFF_A),
                                   ("b", 1, TONE_A, "B hears A's unicast stream"),
                                   ("a", 0, TONE_B, "A hears B through SAP (offset %d)" % OFF_B)):
            lines = [l for l in rec[name].lines() if "first bufferSwitch at mono_ns=" in l]
            check(lines, "asiohost %s finished: %s" % (name, rec[name].tail(3)))
            first = int(lines[-1].rsplit("=", 1)[1])
            lo, hi = (int((m - first) * RATE / 1e9) for m in hear)
            s = read_wav(os.path.join((a if name == "a" else b).root, name + ".wav"))[ch]
            f, quiet = freq(s, lo, hi), sum(n for _s, n in silences(s, lo, hi)) / float(max(1, hi - lo))
            log("%s: %.0f Hz, silent %.1f %% of the time" % (what, f, 100 * quiet))
            heard.append((abs(f - hz) < 20 and quiet < 0.1, "%s: %.0f Hz tone, silent %.1f %% of the time"
                          % (what, f, 100 * quiet)))

        # ---- transmit timestamps against the grandmaster's clock ----
        wire = [(t, src, dst, int.from_bytes(pl[4:8], "big"), pl[12:15])
                for t, src, dst, _s, dport, pl in read_pcap(obs_pcap) if dport == 5004 and len(pl) >= 15]
        t_sweep = steps[0][2] / 1e9 + mono2real
        # ptp4l may serve TAI (37 s ahead) or UTC: A's stream says which, to the second.
        d_a = [s32(int(round(t * RATE)) - ts + OFF_A) for t, s_ip, dst, ts, _f in wire
               if dst == G_A and s_ip == a.ip and t < t_sweep]
        check(len(d_a) > 1000, "%d of A's datagrams captured before the lateness steps" % len(d_a))
        shift = -int(round(statistics.median(d_a) / float(RATE))) * RATE
        log("grandmaster time = capture time x 48 kHz %+d frames" % shift)
        for src, group, off, name in ((a.ip, G_A, OFF_A, "A"), (b.ip, G_B, OFF_B, "B")):
            lag = [s32(int(round(t * RATE)) + shift - ts + off) for t, s_ip, dst, ts, _f in wire
                   if dst == group and s_ip == src and t < t_sweep]
            log("FIGURES %s's transmit lag (grandmaster media clock at capture - timestamp + offset), frames: "
                "median %d, p1 %d, p99 %d, max %d of %d" % (name, statistics.median_low(lag), pctl(lag, 0.01),
                                                            pctl(lag, 0.99), max(lag), len(lag)))
            lags[name] = lag

        # ---- lateness steps ----
        held = watch.add_holdups(wlog) + watch.add_holdups(rlog)
        summary = [l for l in rd.lines() if l.startswith('{"mode"')]
        log("ring reader: %s; ring tools held up over 1 ms %d times" % (summary[-1] if summary else rd.tail(3), held))
        blocks, missed = {}, []
        with open(rlog) as f:
            for line in f:
                t = line.split()
                if len(t) == 5 and t[0] == "r":
                    blocks.setdefault(int(t[3]), []).append((int(t[1]), int(t[2]), int(t[4])))
                elif len(t) == 3 and t[0] == "m":
                    missed.append(int(t[2]) / 1e9 + mono2real)  # a block the reader itself did not see
        limit = LINK * 1000.0 / RATE - 1.0 - 0.5
        # Each datagram of A's stream during the steps: its lateness at B, and whether B
        # played it. The ring writer's signal names every frame (n), so the datagram
        # carrying frames n .. n+47 played if B's reader logged a block that starts inside
        # it (that block's first frame came from this datagram, or it would be silent).
        played_n = {n & 0x3FFFFF for _m, _ns, n in blocks.get(0, [])}
        # Only what the reader was there to see: its last block, less the link offset.
        seen_until = max(ns for _m, ns, _n in blocks.get(0, [(0, 0, 0)])) / 1e9 + mono2real - 0.02
        per, by_step = [], []
        for add_ms, off, m0, m1 in steps:
            by_step.append([add_ms, 0, 0, set()])
            w0, w1 = (m0 - 5000000) / 1e9 + mono2real, (m1 - 5000000) / 1e9 + mono2real
            for t, s_ip, dst, ts, first in wire:
                if dst == G_A and s_ip == a.ip and w0 <= t < min(w1, seen_until):
                    v = int.from_bytes(first, "big")
                    if v & 3 != 1:
                        continue  # not the writer's channel 0 (silence, or before the writer)
                    n = (v - 1) >> 2
                    late = s32(int(round(t * RATE)) + shift - ts + off)
                    # B's periods start on multiples of P of the media clock: a datagram that
                    # starts phi frames into one must be in before that period runs.
                    phi = (int(round(t * RATE)) + shift - late + LINK) % P
                    # B plays by its own clock: lateness as B sees it.
                    per.append(((late + phi) * 1000.0 / RATE + clock_err["aesB"], any(((n + j) & 0x3FFFFF) in played_n
                                                                    for j in range(P)), late * 1000.0 / RATE, t))
                    by_step[-1][1 if per[-1][1] else 2] += 1
                    by_step[-1][3].add(phi)
        log("per step (added ms, played, not, phase in frames): %s"
            % "; ".join("%.2f %d/%d %s" % (a_, p_, n_, sorted(f_)) for a_, p_, n_, f_ in by_step))
        raw = {}
        for _lat, ok_, lr, _t in per:
            raw.setdefault(math.floor(lr * 4) / 4.0, [0, 0])[0 if ok_ else 1] += 1
        log("FIGURES A's datagrams at B by plain lateness (arrival - timestamp in grandmaster time), played / not: "
            + ", ".join("%.2f: %d/%d" % (k, v[0], v[1]) for k, v in sorted(raw.items())))
        bins = {}
        for lat, ok_, _lr, _t in per:
            k = math.floor(lat * 4) / 4.0
            bins.setdefault(k, [0, 0])[0 if ok_ else 1] += 1
        log("FIGURES A's datagrams at B by lateness as B sees it (arrival - timestamp + phase in B's period "
            "+ B's clock error; link offset %.2f ms, P 1 ms, rule: up to %.2f ms plays):" % (LINK * 1000.0 / RATE, limit))
        for k in sorted(bins):
            n_ok, n_lost = bins[k]
            log("  %5.2f .. %5.2f ms: %5d played, %5d not" % (k, k + 0.25, n_ok, n_lost))
        in_rule = [ok_ for lat, ok_, _lr, _t in per if lat <= limit]
        # A datagram lost within the rule near a host stall (the witness, or the ring tools
        # held up) is the machine's; any other is ours.
        ours = [t for lat, ok_, _lr, t in per if lat <= limit and not ok_ and
                watch.cause(int((t - mono2real) * 1e9), int((t - mono2real) * 1e9), 1.0, 20.0, 20.0) is None
                and not any(abs(t - m) < 0.02 for m in missed)]
        played_max = max((lat for lat, ok_, _lr, _t in per if ok_), default=None)
        lost_min = min((lat for lat, ok_, _lr, _t in per if not ok_ and lat > limit), default=None)
        log("FIGURES within %.2f ms: %d of %d played, %d of the others lost away from any host stall; latest "
            "datagram that played %s ms; earliest one beyond the rule that did not %s ms"
            % (limit, sum(in_rule), len(in_rule), len(ours), played_max, lost_min))

        # ---- DSCP of every datagram A sent ----
        r = a.run(["tshark", "-n", "-r", a_pcap, "-T", "fields", "-e", "frame.time_epoch", "-e", "ip.dst",
                   "-e", "ip.dsfield.dscp"], timeout=120)
        seen = {}
        for line in r.stdout.splitlines():
            t = line.split()
            if len(t) != 3:
                continue
            kind = "multicast" if t[1] == G_A else "unicast" if t[1] == b.ip else None
            when = 0 if float(t[0]) < t_dscp0 else 2 if float(t[0]) > t_dscp1 + 0.002 else 1
            if kind:
                seen.setdefault((kind, when), {}).setdefault(int(t[2]), 0)
                seen[(kind, when)][int(t[2])] += 1
        log("FIGURES DSCP of A's RTP datagrams (kind, 0 before setDscp 46, 1 during, 2 after): %s" % seen)
        log("setDscp replies to bad values: %s" % bad)
        for kind in ("multicast", "unicast"):
            check(list(seen.get((kind, 0), {})) == [34], "%s: DSCP 34 on every datagram before" % kind)
            check(list(seen.get((kind, 2), {})) == [46], "%s: DSCP 46 on every datagram after setDscp 46, "
                  "and setDscp 0, 63, 46abc, -1 changed nothing" % kind)
        for v in ("0", "63", "46abc", "-1"):
            check('"invalid dscp"' in bad[v], "setDscp %s refused: %s" % (v, bad[v]))




        # ---- the rules ----
        for cond, what in heard:
            check(cond, what)
        for name, lag in lags.items():
            # A late wake-up sends late: the upper end is judged at the 95th percentile.
            check(0 <= pctl(lag, 0.01) and pctl(lag, 0.95) <= 2 * P,
                  "%s: from the 1st to the 95th percentile its datagrams trail the media clock by 0 to 2 periods "
                  "(%d to %d frames)" % (name, pctl(lag, 0.01), pctl(lag, 0.95)))
        check(len(in_rule) > 5000 and not ours, "every datagram that came within %.2f ms of its timestamp "
              "played (%d of %d), but near a host stall (%d lost elsewhere)"
              % (limit, sum(in_rule), len(in_rule), len(ours)))
        check(played_max is not None and played_max >= limit, "datagrams up to %s ms late played" % played_max)


if __name__ == "__main__":
    lanlib.main(test)
