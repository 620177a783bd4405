#!/usr/bin/env python3
"""The card's SAP/SDP announcement of a multicast transmit stream, judged by third parties.

Computer A runs the card and transmits 2 ch L24 at 48 kHz to 239.69.7.1:5004 with the
timestamp offset 123456789. Computer B captures SAP and RTP with tshark, takes the SDP
text out of a received SAP packet and hands only that file to GStreamer's sdpdemux: if
the description is wrong (address, port, encoding, channels, clock rate) GStreamer cannot
play the stream. The SDP announces the offset, and the datagrams carry it. tshark must decode the
capture without any malformed packet and show the SDP media attributes.

Needs root, gst-launch-1.0 with sdpdemux and tshark; skipped with a message otherwise.
"""

import json
import os
import shutil
import subprocess
import sys
import time
import wave

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lanlib  # noqa: E402
from lanlib import check, log  # noqa: E402

RATE = 48000
GROUP = "239.69.7.1"
OFFSET = 123456789
SAP_GROUP = "239.255.255.255"


def ask(ctl, dst, obj, wait=1.5):
    data = json.dumps(obj, separators=(",", ":")).encode()
    for d, (ip, port) in ctl.udp_send(dst, 9995, data, wait=wait, max_replies=1):
        if ip == dst and port == 9995:
            try:
                return json.loads(d.decode())
            except ValueError:
                return None
    return None


def sap_sdp(pkt):
    """The SDP text of a SAP packet, or None when the packet is too short for its header."""
    if len(pkt) < 8:
        return None
    off = 8 + pkt[1] * 4  # fixed header, IPv4 origin, authentication words
    if pkt[0] & 0x10:  # IPv6 origin: 12 more address bytes
        off += 12
    if off > len(pkt):
        return None
    body = pkt[off:]
    if not body.startswith(b"v=0"):
        nul = body.find(b"\0")
        if nul < 0:
            return None
        body = body[nul + 1:]  # payload type text, e.g. "application/sdp"
    return body.decode("utf-8", "replace")


def test():
    lanlib.require_root()
    for prog in ("gst-launch-1.0", "gst-inspect-1.0", "tshark"):
        if shutil.which(prog) is None:
            lanlib.skip("%s is not installed" % prog)
    if subprocess.run(["gst-inspect-1.0", "sdpdemux"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                      timeout=30).returncode != 0:
        lanlib.skip("GStreamer's sdpdemux is not installed")
    route = lanlib.binary("route/VelunorRoute")
    with lanlib.Lan(2) as lan:
        a, b = lan.host(1), lan.host(2)
        pcap = os.path.join(b.root, "cap.pcap")
        cap = b.spawn(["tshark", "-n", "-i", b.dev, "-f", "udp port 9875 or udp port 5004", "-a", "duration:16",
                       "-w", pcap], name="tshark")
        cap.wait_line("Capturing on", timeout=15)
        sap = b.udp_listen(9875, 16, group=SAP_GROUP, max_count=50, name="sap")
        sap.wait_line("listening", timeout=10)
        p = a.spawn([route, "sampleRate=48000", "chNumTx=2", "chNumRx=2", "bufMs=4", "devId=cardA",
                     "bindIp=" + a.ip], name="cardA")
        p.wait_line("self: ucastNumRx=", timeout=20)

        tx = {"ops": "setMcastTx", "sdp": {"srcIp": a.ip, "dstIp": GROUP, "dstPort": "5004", "chNum": "2",
                                          "sampleByteNum": "3", "rtpTsOffset": str(OFFSET)},
              "srcChIdArr": ["0", "1"], "name": "sdpTx"}
        r = ask(b, a.ip, tx)
        check(r is not None and r.get("result") == "succ",
              "setMcastTx to %s: %s" % (GROUP, None if r is None else r.get("reason", "succ")))

        # The announcement of a new stream goes out at once.
        def first_sdp():
            for d, (ip, _port) in lanlib.udp_datagrams(sap):
                if ip == a.ip and len(d) >= 4 and not d[0] & 0x04:  # an announcement, not a deletion
                    return sap_sdp(d)
            return None
        text = lanlib.wait_until(first_sdp, 5, "a SAP announcement from A")
        log("SDP:\n" + text)
        check("c=IN IP4 %s" % GROUP in text and "m=audio 5004 RTP/AVP" in text
              and "a=mediaclk:direct=%d\r\n" % OFFSET in text, "the SDP names the group, port and offset")
        sdp_file = os.path.join(b.root, "s.sdp")
        with open(sdp_file, "w") as f:
            f.write(text)

        wav = os.path.join(b.root, "rx.wav")
        g = b.run(["timeout", "-s", "INT", "8", "gst-launch-1.0", "-e", "filesrc", "location=" + sdp_file, "!",
                   "sdpdemux", "latency=20", "!", "rtpL24depay", "!", "audioconvert", "!",
                   "audio/x-raw,format=S24LE", "!", "wavenc", "!", "filesink", "location=" + wav], timeout=20)
        log("gst-launch-1.0 status %d, output:\n%s%s" % (g.returncode, g.stdout[-1500:], g.stderr[-1500:]))
        check(os.path.exists(wav) and os.path.getsize(wav) > 44, "GStreamer wrote %s from the SDP alone" % wav)
        # sdpdemux does not pass the forced EOS on, so wavenc leaves its placeholder sizes:
        # the format comes from the header, the length from the file.
        with open(wav, "rb") as f:
            head = f.read(4096)
        data_at = head.find(b"data")
        with wave.open(wav, "rb") as w:
            fmt = (w.getnchannels(), w.getframerate(), w.getsampwidth())
        n = (os.path.getsize(wav) - data_at - 8) // 6 if data_at > 0 else 0
        check(fmt == (2, RATE, 3) and RATE * 2 <= n <= RATE * 9,
              "GStreamer received %d frames (%.1f s) of %r (ch, Hz, bytes)" % (n, n / RATE, fmt))

        cap.wait(25)
        check(not cap.alive() and os.path.exists(pcap), "capture finished")
        r = b.run(["tshark", "-n", "-r", pcap, "-d", "udp.port==5004,rtp", "-Y", "_ws.malformed"], timeout=60)
        check(r.returncode == 0 and not r.stdout.strip(), "tshark finds no malformed packet%s"
              % ("" if not r.stdout.strip() else ":\n" + r.stdout[:2000]))
        r = b.run(["tshark", "-n", "-r", pcap, "-d", "udp.port==5004,rtp", "-Y", "rtp", "-T", "fields",
                   "-e", "rtp.p_type"], timeout=60)
        n_rtp = len(r.stdout.split())
        check(n_rtp >= 1000, "%d RTP packets of the stream captured" % n_rtp)
        # No grandmaster here: the card's media clock is its monotonic clock at 48 kHz, the
        # same in every namespace. The datagrams carry it plus the announced offset.
        r = b.run(["tshark", "-n", "-r", pcap, "-d", "udp.port==5004,rtp", "-Y", "rtp", "-T", "fields",
                   "-e", "rtp.timestamp"], timeout=60)
        ts = [int(x) for x in r.stdout.split()]
        mono = time.clock_gettime_ns(time.CLOCK_MONOTONIC) * RATE // 1000000000
        d = [((mono - t + OFFSET) & 0xFFFFFFFF) for t in ts[-50:]]
        d = [x - (1 << 32) if x >= 1 << 31 else x for x in d]
        check(d and all(0 <= x <= 60 * RATE for x in d), "the datagrams carry media clock + %d (last ones %.1f s "
              "behind now, after the offset)" % (OFFSET, min(d) / float(RATE) if d else -1))
        r = b.run(["tshark", "-n", "-r", pcap, "-Y", "sap", "-T", "fields", "-E", "separator=|", "-e",
                   "sap.flags.t", "-e", "sdp.media_attr"], timeout=60)
        rows = [l.split("|") for l in r.stdout.splitlines() if l.strip()]
        log("SAP rows:\n" + r.stdout[:2000])
        ann = [f for f in rows if len(f) == 2 and f[0] in ("0", "False")]
        check(len(ann) >= 2, "%d SAP announcements decoded (one at once, then every 10 s)" % len(ann))
        for _t, attrs in ann:
            for want in ("rtpmap:", "L24/48000/2", "ptime:", "ts-refclk:", "mediaclk:"):
                check(want in attrs, "announced media attributes carry %r" % want)
        check(p.alive(), "card still running")


if __name__ == "__main__":
    lanlib.main(test)
