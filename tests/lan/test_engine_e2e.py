"""End to end through two real engines (velunor-kohost), computers A and B, bufMs=4.

A sends its phy input channels 0 and 1 as a multicast L24 stream (239.69.0.1) and its
channels 2 and 3 as a unicast stream to B; B plays them on its output channels 0..3.
The streams are configured with engine commands only. A writer that follows A's block
counter puts a known signal into A's input ring (area A); a reader that follows B's
counter checks B's output ring (area B): every sample equal to what was written, cut to
24 bits, in order, with no gap, for 30 s. The delay must be the one the link offset
predicts: a sample in frame j of the block that A's period sends shows up in frame j' of
the block of the B period that runs L - 2P + j - j' frames of media time later (P the
period, L B's link offset), measured between the two periods' completions on the shared
monotonic clock (each side adds only its own wake-up lateness). The receive statistics
must show no discontinuity and no late datagram.

A real-time witness (velunor-stallwatch, one thread per CPU above the engines' priority)
notes every stretch in which the machine ran none of our threads. A break in B's ring is
allowed only after such a stall long enough to use up the ring's slack; with no stall,
no break at all. Each sender re-alignment (a stall over 3 periods) breaks each stream
once, and the receive statistics must show nothing else.

Figures are printed (mean and spread of the delay error, sample counts).
"""

import json
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lanlib  # noqa: E402
from lanlib import check, log  # noqa: E402

SECONDS = int(os.environ.get("VELUNOR_ENGINE_E2E_SECONDS", "30"))  # the soak script runs it longer
GROUP = "239.69.0.1"
P, RATE, R, LINK = 48, 48000, 4, 264
PORT = 9990
# A host stall that can break the ring, and how long before the block after the break it
# may end: a sender's stall shows at B a link offset later, and the catch-up takes up to
# four periods more. A stalled virtual CPU also holds back every timer queued on it (an
# engine asleep there wakes only when it runs again, the other CPU idle meanwhile); the
# witness on that CPU sees the stall up to one grid step short: 1 ms seen is enough.
STALL_MS = 1.0
CAUSE_WINDOW_MS = LINK * 1000.0 / RATE + 4 + 10


def req(host, obj):
    data = json.dumps(obj, separators=(",", ":")).encode()
    replies = host.udp_send("127.0.0.1", PORT, data, wait=1.0, max_replies=1)
    if not replies:
        raise lanlib.TestFailure("no reply from kohost in %s to %s" % (host.ns, obj["ops"]))
    return json.loads(replies[0][0].decode())


def ok(host, obj):
    r = req(host, obj)
    if r.get("result") != "succ":
        raise lanlib.TestFailure("%s on %s: %s" % (obj["ops"], host.ip, r))
    return r


def sdp(src, dst, ch, off=0):
    return {"srcIp": src, "dstIp": dst, "dstPort": "5004", "chNum": str(ch), "sampleByteNum": "3",
            "rtpTsOffset": str(off)}


def rst_rtp(host):
    text = ok(host, {"ops": "getLog"})["log"]  # "rstRtp=%d,rstI2s=%d"
    return int(text.split(",")[0].split("=")[1])


def udp_counters(host):
    """The computer's UDP counters (/proc/net/snmp of its namespace), by name."""
    lines = [l.split() for l in host.run(["cat", "/proc/net/snmp"], check=True).stdout.splitlines()
             if l.startswith("Udp:")]
    return dict(zip(lines[0][1:], map(int, lines[1][1:])))


def send_losses(host):
    """Datagrams that never left: the socket's buffer refused them (SndbufErrors) or the
    engine's send call did not take them (its own count)."""
    unsent = int(ok(host, {"ops": "kohost_txStats"})["unsent"])
    return unsent, udp_counters(host).get("SndbufErrors", 0)


def summary(proc):
    lines = [l for l in proc.lines() if l.startswith("{\"mode\"")]
    if not lines:
        raise lanlib.TestFailure("%s gave no summary: %s" % (proc.name, proc.output()[-500:]))
    return json.loads(lines[-1])


def wait_exit(proc, timeout):
    end = time.monotonic() + timeout
    while proc.alive():
        if time.monotonic() > end:
            raise lanlib.TestFailure("%s still running" % proc.name)
        time.sleep(0.2)


def delays(wlog, rlog, channel):
    """Per B block with audio at frame 0 on channel: measured minus predicted delay (ms)."""
    written = {}
    with open(wlog) as f:
        for line in f:
            t = line.split()
            if len(t) == 4 and t[0] == "w":
                written[int(t[3])] = int(t[2])
    out = []
    with open(rlog) as f:
        for line in f:
            t = line.split()
            if len(t) != 5 or t[0] != "r" or int(t[3]) != channel:
                continue
            n = int(t[4])
            j = n % P
            tw = written.get(n - j)
            if tw is None:
                continue
            predicted_ns = (LINK - 2 * P + j) * 1e9 / RATE  # j' = 0
            out.append((int(t[2]) - tw - predicted_ns) / 1e6)
    return out


def ring_gaps(rlog, channel):
    """Breaks in B's ring on one channel: (read time before, read time after, blocks
    between) for consecutive logged blocks that are not the next block with the next
    P frames (a lost, silent or displaced block)."""
    recs = []
    with open(rlog) as f:
        for line in f:
            t = line.split()
            if len(t) == 5 and t[0] == "r" and int(t[3]) == channel:
                recs.append((int(t[1]), int(t[2]), int(t[4])))
    gaps = []
    for (m1, ns1, n1), (m2, ns2, n2) in zip(recs, recs[1:]):
        if not (m2 == m1 + 1 and n2 == n1 + P):
            gaps.append((ns1, ns2, m2 - m1 - 1))
    return gaps


def bursts(wlog):
    """(writer observations that saw two or more of A's periods done at once, all
    observations): the writer looks every 150 us, so periods that come one per wake-up
    are seen one at a time."""
    seen = {}
    with open(wlog) as f:
        for line in f:
            t = line.split()
            if len(t) == 4 and t[0] == "w":
                seen[t[2]] = seen.get(t[2], 0) + 1
    return sum(1 for n in seen.values() if n > 1), len(seen)


def run():
    lanlib.require_root()
    kohost = lanlib.binary("tools/velunor-kohost/velunor-kohost")
    ringio = lanlib.binary("tools/velunor-ringio/velunor-ringio")
    with lanlib.Lan(2) as lan:
        a, b = lan.host(1), lan.host(2)
        words = ["chNumRx=4", "chNumTx=4", "bufMs=%d" % R, "sampleRate=%d" % RATE, "kohostSeconds=%d" % (SECONDS + 55)]
        ka = a.spawn([kohost, "bindIp=" + a.ip] + words, name="kohostA")
        kb = b.spawn([kohost, "bindIp=" + b.ip] + words, name="kohostB")
        ka.wait_line("kohost: ready", timeout=10)
        kb.wait_line("kohost: ready", timeout=10)
        check("inProcess=1" in ka.output() and "inProcess=1" in kb.output(), "both engines run over their own section")

        # A: unity gain on its inputs, a multicast and a unicast transmit stream.
        for ch in range(4):
            ok(a, {"ops": "setPhyGainRx", "chId": str(ch), "ppm": "1048576"})
        ok(a, {"ops": "setMcastTx", "sdp": sdp(a.ip, GROUP, 2), "srcChIdArr": ["0", "1"],
               "dstMac": ["1", "0", "94", "69", "0", "1"], "sdpId": "0"})
        ok(a, {"ops": "setUcastTx", "sdp": sdp(a.ip, b.ip, 2, 0), "srcChIdArr": ["2", "3"],
               "dstMac": ["0", "0", "0", "0", "0", "0"], "sdpId": "0"})
        # B: the matching receive streams, routing, unity gain on its outputs, link offset.
        for ch in range(4):
            ok(b, {"ops": "setPhyGainTx", "chId": str(ch), "ppm": "1048576"})
        ok(b, {"ops": "setLinkOffset", "frameNum": str(LINK)})
        ok(b, {"ops": "kohost_join", "group": GROUP, "iface": b.ip})
        ok(b, {"ops": "setMcastRx", "sdp": sdp(a.ip, GROUP, 2), "rtpChIdArr": ["0", "1"], "sdpId": "0"})
        ok(b, {"ops": "setUcastRx", "sdp": sdp(a.ip, b.ip, 2), "rtpChIdArr": ["2", "3"], "sdpId": "0"})
        ok(b, {"ops": "setAllChRx", "rtpChIdArr": ["0", "1", "2", "3"]})
        check(ok(b, {"ops": "getLinkOffset"})["frameNum"] == str(LINK), "link offset %d frames on B" % LINK)
        lanlib.wait_until(lambda: GROUP in b.groups(), 5, "B joined the stream's group")

        wlog = os.path.join(a.logdir, "ringio-write.txt")
        rlog = os.path.join(b.logdir, "ringio-read.txt")
        watch = lanlib.StallWatch(a, SECONDS + 8)
        wr = a.spawn([ringio, "write", "seconds=%d" % (SECONDS + 4), "log=" + wlog], name="ringioW")
        time.sleep(1.0)  # the reader starts with the signal already flowing
        rd = b.spawn([ringio, "read", "seconds=%d" % SECONDS, "log=" + rlog], name="ringioR")
        # Statistics from here on; the since-last-read discontinuity counts are read every
        # 2 s (the receiver clears its statistics once when it has settled).
        ok(b, {"ops": "clrMcastStats", "sdpId": "0"})
        ok(b, {"ops": "clrUcastStats", "sdpId": "0"})
        ok(b, {"ops": "getAllSdpNotCont"})
        rst0, rstb0 = rst_rtp(a), rst_rtp(b)
        unsent0, sndbuf0 = send_losses(a)
        rcvbuf0 = udp_counters(b).get("RcvbufErrors", 0)
        notcont = 0
        t_end = time.monotonic() + SECONDS
        while time.monotonic() < t_end:
            time.sleep(2.0)
            arr = ok(b, {"ops": "getAllSdpNotCont"})["arr"]
            notcont += sum(int(x, 16) for x in arr)
        wait_exit(rd, 15)
        wait_exit(wr, 15)
        watch.finish(15)
        log("figure: " + watch.figure())
        held = watch.add_holdups(wlog) + watch.add_holdups(rlog)
        log("figure: the ring tools were held up over 1 ms %d times" % held)
        realigned, realigned_b = rst_rtp(a) - rst0, rst_rtp(b) - rstb0
        ms = ok(b, {"ops": "getMcastStats", "sdpId": "0"})
        us = ok(b, {"ops": "getUcastStats", "sdpId": "0"})
        log("B multicast stats: %s" % ms)
        log("B unicast stats: %s" % us)

        for k in (ka, kb, wr, rd):
            for line in k.lines():
                if "error" in line or "fall" in line or "===" in line or "ringio:" in line:
                    log("%s: %s" % (k.name, line))
        sw, sr = summary(wr), summary(rd)
        log("writer: %s" % sw)
        log("reader: %s" % sr)
        log("figure: writer periods missed %d, reader blocks passed by %d, ring gaps per channel %s, "
            "discontinuities per channel %s, of %d blocks" % (sw["lapped"], sr["lapped"], sr["stops"], sr["disc"],
                                                              sr["blocks"]))
        # One period per wake-up: only a stall may make the engine run several at once.
        nb, nobs = bursts(wlog)
        log("figure: A's periods seen done in bursts of two or more: %d of %d looks" % (nb, nobs))
        check(nb <= nobs // 50, "A's engine ran one period per wake-up (%d bursts, at most 2 %%)" % nb)
        # Every channel carries audio for the whole run (a second for the start) but what
        # the machine's stalls took: each stall episode costs at most its length and 2 ms.
        eps = watch.episodes()
        stalled = sum(b - a for a, b in eps) / 1e6 + 2.0 * len(eps)
        frames_min = (SECONDS - 1) * RATE - int(stalled * RATE / 1000)
        log("figure: audio per channel %s samples, at least %d due (%.1f ms of stalls and their recovery)"
            % (sr["audio"], frames_min, stalled))
        check(all(n >= frames_min for n in sr["audio"]),
              "every channel carried audio for the whole run but the stalls (%s samples, at least %d)"
              % (sr["audio"], frames_min))
        check(sr["bad"] == 0 and sr["lowByte"] == 0 and sr["wrongCh"] == 0,
              "every sample arrived bit-exact at 24 bits on its own channel (%d samples)" % sr["samples"])
        # The ring is whole unless the machine stopped us: every break in B's ring (a block
        # lost, silent or out of place) must follow a stall that the witness or the ring
        # tools saw, one long enough to use up a 4 ms ring's slack (the writer keeps
        # R - 2 ms ahead), ending at most the link offset plus a few periods before the
        # block after the break. With no such stall, the ring must have no break at all.
        for ch, name in ((0, "multicast"), (2, "unicast")):
            gaps = ring_gaps(rlog, ch)
            unexplained = []
            for g in gaps:
                c = watch.cause(g[0], g[1], STALL_MS, CAUSE_WINDOW_MS)
                if c is None:
                    unexplained.append(g)
                    near = watch.cause(g[0], g[1], 0.0, CAUSE_WINDOW_MS)
                    log("gap %s: %d blocks, %.1f ms between reads, no stall of %.1f ms before it (longest %s)" % (
                        name, g[2], (g[1] - g[0]) / 1e6, STALL_MS,
                        "none" if near is None else "%.2f ms" % ((near[1] - near[0]) / 1e6)))
            check(not unexplained, "%s: every break in B's ring (%d) came after a stall of %.1f ms or more"
                  % (name, len(gaps), STALL_MS))
        # A sender that wakes more than 3 periods late re-aligns its RTP timestamp: one
        # discontinuity per stream, by design. Nothing else may break the streams but a
        # stall beyond the catch-up range (4 periods), once per stream at most.
        # A datagram the sender's socket or B's socket dropped also breaks its stream once;
        # each break needs at least one, so the counts bound the breaks they explain.
        long_stalls = len(watch.longer_than(4.0))
        unsent1, sndbuf1 = send_losses(a)
        dropped = (unsent1 - unsent0) + (sndbuf1 - sndbuf0) + (udp_counters(b).get("RcvbufErrors", 0) - rcvbuf0)
        log("figure: receiver discontinuities %d, re-alignments during the run: sender %d, receiver %d, "
            "stalls over 4 ms %d; datagrams dropped: A's engine could not send %d, A's SndbufErrors %d, "
            "B's RcvbufErrors %d" % (notcont, realigned, realigned_b, long_stalls, unsent1 - unsent0,
                                     sndbuf1 - sndbuf0, dropped - (unsent1 - unsent0) - (sndbuf1 - sndbuf0)))
        check(notcont <= 2 * (realigned + long_stalls) + dropped,
              "the receiver counted no discontinuity but the sender's re-alignments, the long stalls and the "
              "datagrams the sockets dropped")
        for st in (ms, us):
            check(int(st["notContinue"]) <= realigned + long_stalls + dropped, "notContinue %s" % st["notContinue"])
            # A late datagram is one whose delay reaches the link offset less one period. A host
            # stall holds the datagrams up by its own length, so only a delay beyond the limit
            # that no stall as long explains is ours.
            limit_us = (LINK - P) * 1e6 / RATE
            over_us = int(st["maxUs"]) - limit_us
            check(over_us < 0 or watch.summary["maxUs"] >= over_us,
                  "largest delay %s us stays below the link offset (%.0f us), or a host stall (longest %.0f us) "
                  "explains the excess" % (st["maxUs"], limit_us, watch.summary["maxUs"]))

        for ch, name in ((0, "multicast"), (2, "unicast")):
            d = delays(wlog, rlog, ch)
            check(len(d) > (SECONDS - 2) * 1000, "%s: %d blocks matched to their writes" % (name, len(d)))
            mean, sd = statistics.mean(d), statistics.pstdev(d)
            lo, hi = min(d), max(d)
            log("figure: %s delay minus predicted (L-2P+j-j' = %d+j frames): mean %.3f ms, "
                "sd %.3f ms, min %.3f ms, max %.3f ms over %d blocks"
                % (name, LINK - 2 * P, mean, sd, lo, hi, len(d)))
            check(-1.5 < mean < 1.5, "%s: the delay is the one the link offset predicts (%.3f ms off)" % (name, mean))


if __name__ == "__main__":
    lanlib.main(run)
