#!/usr/bin/env python3
"""How late a datagram may come and still play, link offset 5 ms (the ASIO path; A plays
a counter signal with asiohost, B records it, both cards on the machine's one clock).

Late datagrams are made as the wire test makes them: B's receive descriptor for A's
multicast stream names a timestamp offset larger than A's by `shift`, so every datagram
reaches B that much later in B's media time (A's own announcements are dropped at the
bridge, or they would put the offset right again). A sends a period's datagram about one
period after its timestamp, so:

- shift 2 ms: datagrams 3 ms late, on B's period grid: every frame must play;
- shift 2.5 ms: datagrams 3.5 ms late, which from a card on the same period grid means
  half a period off B's grid: their first half is due in the period that runs the instant
  A sends them, their second half a period later. The frames still ahead of B's read
  position play; the figure is printed, not judged (both wake-ups fall on the same
  instant, so which comes first is the machine's choice).

Silence at 3 ms is accepted only where the stall witness (logging hold-ups from 0.3 ms: a
period of budget is left) saw the machine hold the cards up, or where a host's driver
skipped, restarted or took a block at the edge of its ring (20 ms either side). Prints the frames lost
at each shift."""

import os
import re
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lanlib  # noqa: E402
import stallsweep  # noqa: E402
from lanlib import check, log  # noqa: E402
from test_asio_e2e import ask, table  # noqa: E402
from test_stall_asio import BUF, asio_tools, play_and_record, start_cards  # noqa: E402

RATE, P = 48000, 48
GROUP = "239.69.22.1"
OFF_A = 4800
PHASE_S = 3.0
SHIFTS = [96, 120]  # frames: 2 ms, 2.5 ms


def sdp(a_ip, off):
    return {"srcIp": a_ip, "dstIp": GROUP, "dstPort": "5004", "chNum": "2", "sampleByteNum": "3",
            "rtpTsOffset": str(off)}


def test():
    lanlib.require_root()
    route, asiohost, driver = asio_tools()
    import shutil
    if shutil.which("nft") is None:
        lanlib.skip("nft is not installed")
    run_s = 1.5 + len(SHIFTS) * (PHASE_S + 1.0) + 1.0

    with lanlib.Lan(2) as lan:
        a, b = lan.host(1), lan.host(2)
        cards = start_cards(a, b, route, asiohost, driver)
        lan.bridge(["nft", "add", "table", "bridge", "nosap"])
        lan.bridge(["nft", "add", "chain", "bridge", "nosap", "fw",
                    "{ type filter hook forward priority 0; policy accept; }"])
        lan.bridge(["nft", "add", "rule", "bridge", "nosap", "fw", "ip", "saddr", a.ip, "udp", "dport", "9875",
                    "drop"])
        r = ask(a, a.ip, {"ops": "setMcastTx", "sdp": sdp(a.ip, OFF_A), "srcChIdArr": ["0", "1"], "name": "late"})
        check(r is not None and r.get("result") == "succ", "setMcastTx on A: %r" % (r,))

        # A datagram 3 ms late has a period of the budget left: a hold-up of the sender's
        # or the receiver's engine shorter than the witness's usual millisecond spends it.
        watch, rec, play, wav = play_and_record(a, b, asiohost, run_s, 10, threshold_us=300)
        phases = []
        for shift in SHIFTS:
            ask(b, b.ip, {"ops": "clrRxCh", "dstChId": "0"})
            r = ask(b, b.ip, {"ops": "setMcastRx", "sdp": sdp(a.ip, OFF_A + shift), "srcChId": "0", "dstChId": "0"})
            check(r is not None and r.get("result") == "succ", "setMcastRx on B, %d frames later: %r" % (shift, r))
            lanlib.wait_until(lambda: any(e["active"] == "1" and e["sdp"]["rtpTsOffset"] == str(OFF_A + shift)
                                          for e in table(b, b.ip, "getAllMcastRx")), 10, "B's receive entry active")
            time.sleep(0.5)
            m0 = time.monotonic_ns()
            time.sleep(PHASE_S)
            phases.append((shift, m0, time.monotonic_ns()))
        check(play.wait(run_s + 30) == 0, "A's asiohost played to the end: %s" % play.tail(5))
        check(rec.wait(run_s + 30) == 0, "B's asiohost recorded to the end: %s" % rec.tail(5))
        watch.finish(30)
        log("figure: %s" % watch.figure())
        t0 = int(re.search(r"first bufferSwitch at mono_ns=(-?\d+)", rec.output()).group(1))
        rec_s = stallsweep.read_mono32(wav)
        host_events = [int(x) for p in (play, rec) for x in
                       re.findall(r"(?:driver skipped \d+ frames at frame \d+|reset request at frame \d+|"
                                  r"a block taken at the edge of the ring at) mono_ns=(\d+)", p.output())]
        faults = []
        for shift, m0, m1 in phases:
            lo, hi = (int((m - t0) * RATE / 1e9) + BUF for m in (m0, m1))
            part = rec_s[lo:hi]
            silent, longest, run, excused = 0, 0, 0, 0
            allowed = 0
            for i, v in enumerate(part + [1]):
                if v >> 8 == 0 and i < len(part):
                    run += 1
                    continue
                if run:
                    silent += run
                    t = t0 + (lo + i - BUF) * 1e9 / RATE
                    if run > allowed:
                        t1 = t - run * 1e9 / RATE
                        if (stallsweep.witnessed_ms(watch, t1 - 20e6, t + 20e6) > 0 or
                                any(t1 - 20e6 <= x <= t + 20e6 for x in host_events)):
                            excused += run
                        else:
                            longest = max(longest, run)
                    run = 0
            log("FIGURES datagrams %.2f ms late (shift %.2f ms): %d of %d frames silent (%.2f %%), the longest "
                "unexplained stretch %d frames (%d frames near a witnessed host stall)"
                % (1.0 + shift * 1000.0 / RATE, shift * 1000.0 / RATE, silent, len(part),
                   100.0 * silent / max(1, len(part)), longest, excused))
            if shift % P == 0 and longest > 0:
                faults.append("shift %d frames: %d frames of silence in a row away from any host stall (at most %d)"
                              % (shift, longest, allowed))
        check(all(p.alive() for p in cards.values()), "both cards still running")
        check(not faults, "late datagrams played: %s" % faults)


if __name__ == "__main__":
    lanlib.main(test)
