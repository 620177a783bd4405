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
  instant, so which comes first is the machine's choice);
- relayed 3.5 ms late: a third computer sends A's datagrams on (tests/lan/rtp_relay.py),
  each 3.5 ms after its timestamp, on B's period grid; B takes them from the relay with
  A's own offset. B reads a period 4 ms after its timestamp: every frame must play.

Silence at 3 ms and relayed is accepted only where the stall witness (logging hold-ups
from 0.3 ms) saw the machine hold the cards up, where a host's driver skipped, restarted
or took a block at the edge of its ring, or where the relay sent a datagram more than
0.4 ms after its time (20 ms either side; from 5 ms before to 15 ms after a late relayed
datagram's time to send, around the period it was meant for). Prints the frames lost
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
RELAY_GROUP = "239.69.22.2"
RELAY_LATE_US = 3500
OFF_A = 4800
PHASE_S = 3.0
SHIFTS = [96, 120, "relay"]  # frames: 2 ms, 2.5 ms; relayed 3.5 ms late


def sdp(a_ip, off, group=GROUP):
    return {"srcIp": a_ip, "dstIp": group, "dstPort": "5004", "chNum": "2", "sampleByteNum": "3",
            "rtpTsOffset": str(off)}


def test():
    lanlib.require_root()
    route, asiohost, driver = asio_tools()
    import shutil
    if shutil.which("nft") is None:
        lanlib.skip("nft is not installed")
    run_s = 1.5 + len(SHIFTS) * (PHASE_S + 1.0) + 1.0

    with lanlib.Lan(3) as lan:
        a, b, c = lan.host(1), lan.host(2), lan.host(3)
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
        relay = c.spawn([sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)), "rtp_relay.py"),
                         GROUP, RELAY_GROUP, "5004", c.ip, str(OFF_A), str(RELAY_LATE_US), "%.1f" % (run_s + 5)],
                        name="relay")
        relay.wait_line("relay:", timeout=10)
        phases = []
        for shift in SHIFTS:
            desc = sdp(c.ip, OFF_A, RELAY_GROUP) if shift == "relay" else sdp(a.ip, OFF_A + shift)
            ask(b, b.ip, {"ops": "clrRxCh", "dstChId": "0"})
            r = ask(b, b.ip, {"ops": "setMcastRx", "sdp": desc, "srcChId": "0", "dstChId": "0"})
            check(r is not None and r.get("result") == "succ", "setMcastRx on B, %s: %r" % (shift, r))
            lanlib.wait_until(lambda: any(e["active"] == "1" and e["sdp"]["rtpTsOffset"] == desc["rtpTsOffset"] and
                                          e["sdp"]["dstIp"] == desc["dstIp"]
                                          for e in table(b, b.ip, "getAllMcastRx")), 10, "B's receive entry active")
            time.sleep(0.5)
            m0 = time.monotonic_ns()
            time.sleep(PHASE_S)
            phases.append((shift, m0, time.monotonic_ns()))
        check(play.wait(run_s + 30) == 0, "A's asiohost played to the end: %s" % play.tail(5))
        check(rec.wait(run_s + 30) == 0, "B's asiohost recorded to the end: %s" % rec.tail(5))
        relay.stop()
        log("relay: %s" % relay.tail(1))
        watch.finish(30)
        log("figure: %s" % watch.figure())
        t0 = int(re.search(r"first bufferSwitch at mono_ns=(-?\d+)", rec.output()).group(1))
        rec_s = stallsweep.read_mono32(wav)
        host_events = [int(x) for p in (play, rec) for x in
                       re.findall(r"(?:driver skipped \d+ frames at frame \d+|reset request at frame \d+|"
                                  r"a block taken at the edge of the ring at) mono_ns=(\d+)", p.output())]
        # A late relayed datagram costs its own period, the one it was meant for.
        relay_late = [int(x) for x in re.findall(r"late send at mono_ns=(\d+)", relay.output())]
        # Each silent frame is judged alone: it is excused when it lies within 20 ms of a
        # witnessed host stall or a host's or the relay's event. Excusing a whole silent
        # stretch for an event near its edge let a phase that played nothing pass.
        near = sorted([(x - 20e6, y + 20e6) for x, y in watch.episodes()] +
                      [(x - 20e6, x + 20e6) for x in host_events] +
                      [(x - 5e6, x + 15e6) for x in relay_late])
        faults = []
        for shift, m0, m1 in phases:
            lo, hi = (int((m - t0) * RATE / 1e9) + BUF for m in (m0, m1))
            part = rec_s[lo:hi]
            silent, longest, run, excused, k, reach = 0, 0, 0, 0, 0, -1.0
            allowed = 0
            for i, v in enumerate(part):
                t = t0 + (lo + i - BUF) * 1e9 / RATE
                while k < len(near) and near[k][0] <= t:
                    reach = max(reach, near[k][1])
                    k += 1
                if v >> 8 != 0:
                    run = 0
                    continue
                silent += 1
                if t <= reach:
                    excused += 1
                    run = 0
                else:
                    run += 1
                    longest = max(longest, run)
            how = ("relayed %.2f ms late" % (RELAY_LATE_US / 1000.0) if shift == "relay" else
                   "%.2f ms late (shift %.2f ms)" % (1.0 + shift * 1000.0 / RATE, shift * 1000.0 / RATE))
            log("FIGURES datagrams %s: %d of %d frames silent (%.2f %%), the longest unexplained stretch %d "
                "frames (%d frames near a witnessed host stall or a late relay)"
                % (how, silent, len(part), 100.0 * silent / max(1, len(part)), longest, excused))
            if (shift == "relay" or shift % P == 0) and longest > 0:
                faults.append("%s: %d frames of silence in a row away from any host stall (at most %d)"
                              % (how, longest, allowed))
        check(all(p.alive() for p in cards.values()), "both cards still running")
        check(not faults, "late datagrams played: %s" % faults)


if __name__ == "__main__":
    lanlib.main(test)
