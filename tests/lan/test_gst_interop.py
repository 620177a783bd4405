#!/usr/bin/env python3
"""VelunorRoute against GStreamer RTP peers in a virtual LAN, timed by a ptp4l grandmaster.

Computer 1: ptp4l (grandmaster, software stamping) and a GStreamer sender of L24, 2 ch,
48 kHz, 1 ms packets (a 1 kHz sine at half scale) to 239.69.1.1:5004. Computer 2: the
card. Computer 3: the controller, tshark as the judge and a GStreamer receiver.

Receive: the stream's RTP timestamps have a random origin, so the test measures it on
the wire against the real-time clock (the grandmaster's time scale) and hands it to the
card as the descriptor's rtpTsOffset with "setMcastRx". The card places packets by media
time (PTP time less the link offset); packets outside its 8 ms window are dropped. So
"getMcastStats" counting the packets and "getAllVolumeDbRx" showing the sine's level
(-6 dB on the card's sine-corrected scale) prove the PTP offset, the media clock and the receive path together.
The card's output ring (the shared memory an ASIO host reads) must then hold the sine
itself on both channels: snapshots of the finished blocks, each checked for its frequency
(zero crossings), its level, and how much of its energy lies at 1 kHz (a silent block
or a break of phase inside a snapshot shows there; a block moved by whole periods does
not, 1 kHz being one cycle per 1 ms block).

Transmit: "setMcastTx" to 239.69.2.2; the card's RTP timestamps must follow the
grandmaster's clock at 48 kHz (within a few ms), and GStreamer must receive the stream
as 2-channel 48 kHz L24.

Needs root, ptp4l, gst-launch-1.0 and tshark; skipped with a message otherwise, or when
the card does not answer the route commands yet.
"""

import json
import math
import mmap
import os
import struct
import shutil
import statistics
import sys
import time
import wave

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lanlib  # noqa: E402
from lanlib import check, log  # noqa: E402

from test_ptp_interop import GM_CFG  # noqa: E402

RATE = 48000
RX_GROUP = "239.69.1.1"
TX_GROUP = "239.69.2.2"
# Half-scale sine: RMS -9.03 dBFS; the card's levels add the sine's 3.01 dB crest correction.
SINE_DB = -6.02


def command(ctl, card_ip, obj, wait=1.5):
    """Sends a route command; returns the parsed reply or None."""
    data = json.dumps(obj, separators=(",", ":")).encode()
    for d, (ip, port) in ctl.udp_send(card_ip, 9995, data, wait=wait, max_replies=1):
        if ip == card_ip and port == 9995:
            try:
                return json.loads(d.decode("utf-8"))
            except ValueError:
                return None
    return None


def capture_rtp(host, dst, seconds, count=400):
    """(epoch s, RTP timestamp, payload type, UDP length) of RTP datagrams to dst:5004."""
    r = host.run(["tshark", "-i", host.dev, "-f", "udp and dst host %s and dst port 5004" % dst,
                  "-a", "duration:%d" % seconds, "-c", str(count), "-d", "udp.port==5004,rtp",
                  "-T", "fields", "-e", "frame.time_epoch", "-e", "rtp.timestamp", "-e", "rtp.p_type",
                  "-e", "udp.length"], timeout=seconds + 20)
    rows = []
    for line in r.stdout.splitlines():
        f = line.split("\t")
        if len(f) == 4 and all(f):
            rows.append((float(f[0]), int(f[1]), int(f[2]), int(f[3])))
    return rows


def ts_minus_clock(rows):
    """RTP timestamp minus real-time clock × 48 kHz per packet, as signed 32-bit frames."""
    res = []
    for epoch, ts, _pt, _len in rows:
        d = (ts - int(round(epoch * RATE))) & 0xFFFFFFFF
        res.append(d - (1 << 32) if d >= (1 << 31) else d)
    return res


def ring_snapshots(rundir, count, seconds=5.0):
    """Up to `count` snapshots of the card's output ring: each a list per channel of the
    samples of the R - 1 finished blocks, oldest first (slot k mod R holds block k; block
    c may be in progress while the counter reads c). Returns (F, snapshots)."""
    path = os.path.join(rundir, "objects", "Velunor-vSnd-shareMem")
    with open(path, "r+b") as f:
        m = mmap.mmap(f.fileno(), 0)
    try:
        magic, rate, ch_a, ch_b, r = struct.unpack_from("<5I", m, 0)
        if magic != 0x87654321 or rate % 1000 or not 2 <= r <= 64 or not 1 <= ch_b <= 128:
            raise lanlib.TestFailure("the exchange area header is not usable: %r" % ((magic, rate, ch_a, ch_b, r),))
        fr = rate // 1000
        base_b = 64 + r * fr * ch_a * 4
        snaps, end = [], time.monotonic() + seconds
        while len(snaps) < count and time.monotonic() < end:
            c = struct.unpack_from("<Q", m, 24)[0]
            raw = [bytes(m[base_b + (k % r) * fr * ch_b * 4:base_b + (k % r + 1) * fr * ch_b * 4])
                   for k in range(c - r + 1, c)]
            if struct.unpack_from("<Q", m, 24)[0] == c and c >= r:
                vals = struct.unpack("<%di" % ((r - 1) * fr * ch_b), b"".join(raw))
                snaps.append([list(vals[ch::ch_b]) for ch in range(ch_b)])
            time.sleep(0.037)  # snapshots from blocks far apart
        return fr, snaps
    finally:
        m.close()


def tone(samples, rate, freq):
    """(frequency by zero crossings in Hz, RMS in dBFS of 32-bit samples, share of the
    energy at freq) of one channel's samples."""
    x = [v / 2147483648.0 for v in samples]
    n = len(x)
    energy = sum(v * v for v in x)
    if energy == 0:
        return 0.0, float("-inf"), 0.0
    crossings = [i + x[i] / (x[i] - x[i + 1]) for i in range(n - 1)
                 if (x[i] <= 0 < x[i + 1]) or (x[i] >= 0 > x[i + 1])]
    f = (len(crossings) - 1) / 2.0 * rate / (crossings[-1] - crossings[0]) if len(crossings) >= 3 else 0.0
    w = 2 * math.pi * freq / rate
    a = sum(v * math.cos(w * i) for i, v in enumerate(x))
    b = sum(v * math.sin(w * i) for i, v in enumerate(x))
    return f, 10 * math.log10(energy / n), min(1.0, 2 * (a * a + b * b) / n / energy)


def test():
    lanlib.require_root()
    for prog in ("ptp4l", "gst-launch-1.0", "tshark"):
        if shutil.which(prog) is None:
            lanlib.skip("%s is not installed" % prog)
    route = lanlib.binary("route/VelunorRoute")
    with lanlib.Lan(3) as lan:
        gm, card, ctl = (lan.host(i) for i in range(1, 4))
        cfg = os.path.join(gm.root, "gm.cfg")
        with open(cfg, "w") as f:
            f.write(GM_CFG)
        ptp = gm.spawn(["ptp4l", "-f", cfg, "-i", gm.dev, "-S", "-m"], name="ptp4l")
        p = card.spawn([route, "bindIp=" + card.ip, "devId=gstCard", "sampleRate=48000"], name="card",
                       env={"VELUNOR_PTP_TRACE": "1"})
        ptp.wait_line("assuming the grand master role", timeout=20)
        p.wait_line("used=1", timeout=15)
        check(True, "the card follows the grandmaster")

        if command(ctl, card.ip, {"ops": "getAllMcastRx", "idStart": "0"}) is None:
            lanlib.skip("the card does not answer route queries yet")

        # ---- receive ----
        sender = gm.spawn(["gst-launch-1.0", "-q", "audiotestsrc", "wave=sine", "freq=1000", "volume=0.5",
                           "is-live=true", "samplesperbuffer=48", "!", "audioconvert", "!",
                           "audio/x-raw,format=S24BE,rate=48000,channels=2", "!", "rtpL24pay", "pt=97",
                           "min-ptime=1000000", "max-ptime=1000000", "!", "udpsink", "host=" + RX_GROUP,
                           "port=5004", "multicast-iface=" + gm.dev, "ttl-mc=4"], name="gst-tx")
        rows = capture_rtp(ctl, RX_GROUP, 3, count=300)
        check(len(rows) >= 100 and sender.alive(), "GStreamer sends (%d packets seen)" % len(rows))
        diffs = ts_minus_clock(rows)
        # The media time of a packet's first frame is about one packet before it leaves.
        off = int(statistics.median(diffs)) & 0xFFFFFFFF
        log("GStreamer timestamp origin against the grandmaster's clock: %u frames (jitter p-p %d)"
            % (off, max(diffs) - min(diffs)))
        sdp = {"srcIp": gm.ip, "dstIp": RX_GROUP, "dstPort": "5004", "chNum": "2", "sampleByteNum": "3",
               "rtpTsOffset": "%u" % off}
        for ch in (0, 1):
            r = command(ctl, card.ip, {"ops": "setMcastRx", "sdp": sdp, "srcChId": str(ch), "dstChId": str(ch)})
            if r is None:
                lanlib.skip("the card does not answer setMcastRx yet")
            check(r.get("result") == "succ", "setMcastRx stream channel %d -> receive channel %d: %s"
                  % (ch, ch, r.get("reason", "succ")))
        time.sleep(3.0)  # the next synchronisation plus some audio
        st0 = command(ctl, card.ip, {"ops": "getMcastStats", "sdpId": "0"})
        time.sleep(2.0)
        st1 = command(ctl, card.ip, {"ops": "getMcastStats", "sdpId": "0"})
        check(st0 is not None and st1 is not None and st1.get("result") == "succ",
              "getMcastStats answers: %s" % json.dumps(st1))
        got = int(st1.get("total", "0")) - int(st0.get("total", "0"))
        check(1500 <= got <= 2500, "%d packets placed by media time in 2 s (1000 per second)" % got)
        log("FIGURES receive: stats %s" % json.dumps({k: st1.get(k) for k in (
            "total", "in125", "in250", "in500", "in1ms", "in2ms", "in4ms", "out4ms", "avgUs", "maxUs",
            "notContinue")}))
        lv = command(ctl, card.ip, {"ops": "getAllVolumeDbRx", "idStart": "0"})
        check(lv is not None and lv.get("result") == "succ", "getAllVolumeDbRx answers")
        levels = [float(v) for v in lv["arr"][:2]]
        check(all(abs(v - SINE_DB) <= 2.0 for v in levels),
              "received level of both channels %s dB, the sine's %.1f dB" % (levels, SINE_DB))
        act = command(ctl, card.ip, {"ops": "getAllActiveMcastId", "idStart": "0"})
        check(act is not None and "0" in act.get("arr", []), "the stream is reported active")

        # The sine itself, in the output ring an ASIO host would read.
        fr, snaps = ring_snapshots(card.rundir, 60)
        check(len(snaps) >= 30, "%d snapshots of %d frames of the card's output ring"
              % (len(snaps), len(snaps[0][0]) if snaps else 0))
        for ch in (0, 1):
            res = [tone(sn[ch], fr * 1000, 1000.0) for sn in snaps]
            good = [(f, db, q) for f, db, q in res if abs(f - 1000.0) <= 10.0 and abs(db - (SINE_DB - 3.01)) <= 1.0
                    and q >= 0.99]
            fs = sorted(f for f, _db, _q in res)
            dbs = sorted(db for _f, db, _q in res)
            log("FIGURES output ring channel %d: %d of %d snapshots a clean 1 kHz sine; median %.2f Hz, "
                "%.2f dBFS RMS, min energy share at 1 kHz %.4f" % (ch, len(good), len(res), fs[len(fs) // 2],
                                                                   dbs[len(dbs) // 2], min(q for _f, _db, q in res)))
            # The receiving card is known to play a silent period now and then: most
            # snapshots, not all, must be clean.
            check(len(good) >= 0.8 * len(res), "output ring channel %d carries the 1 kHz sine at %.1f dBFS RMS "
                  "(%d of %d snapshots)" % (ch, SINE_DB - 3.01, len(good), len(res)))

        # ---- transmit ----
        tx = {"ops": "setMcastTx", "sdp": {"srcIp": card.ip, "dstIp": TX_GROUP, "dstPort": "5004", "chNum": "2",
                                          "sampleByteNum": "3", "rtpTsOffset": "0"},
              "srcChIdArr": ["0", "1"], "name": "gstTx"}
        r = command(ctl, card.ip, tx)
        check(r is not None and r.get("result") == "succ", "setMcastTx to %s: %s"
              % (TX_GROUP, None if r is None else r.get("reason", "succ")))
        wav = os.path.join(ctl.root, "rx.wav")
        receiver = ctl.spawn(["timeout", "-s", "INT", "6", "gst-launch-1.0", "-e", "udpsrc",
                              "address=" + TX_GROUP, "port=5004", "multicast-iface=" + ctl.dev,
                              "caps=application/x-rtp,media=audio,clock-rate=48000,encoding-name=L24,"
                              "channels=2,payload=97", "!", "rtpjitterbuffer", "latency=20", "!",
                              "rtpL24depay", "!", "audioconvert", "!", "audio/x-raw,format=S24LE", "!",
                              "wavenc", "!", "filesink", "location=" + wav], name="gst-rx")
        rows = capture_rtp(ctl, TX_GROUP, 3, count=300)
        check(len(rows) >= 100, "the card sends its stream (%d packets seen)" % len(rows))
        check(all(pt == 97 and ln == 8 + 12 + 48 * 2 * 3 for _e, _t, pt, ln in rows),
              "payload type 97, 48 frames of 2 x 24 bits per packet")
        d = ts_minus_clock(rows)
        log("FIGURES transmit: RTP timestamp - grandmaster clock x 48 kHz: median %d frames, min %d, max %d"
            % (statistics.median(d), min(d), max(d)))
        check(abs(statistics.median(d)) <= 240, "the card's RTP timestamps follow the grandmaster (median %d "
              "frames = %.2f ms)" % (statistics.median(d), statistics.median(d) / 48.0))
        steps = [b[1] - a[1] for a, b in zip(rows, rows[1:])]
        check(statistics.median(steps) == 48, "consecutive packets 48 frames apart")
        receiver.wait(15)
        with wave.open(wav, "rb") as w:
            check(w.getnchannels() == 2 and w.getframerate() == RATE and w.getsampwidth() == 3
                  and w.getnframes() >= RATE,
                  "GStreamer received %d frames of 2 ch, 48 kHz, 24 bit" % w.getnframes())
        check(p.alive(), "card still running")
        check(not [l for l in p.lines() if "file=myPtp" in l], "no error line of the PTP slave")


if __name__ == "__main__":
    lanlib.main(test)
