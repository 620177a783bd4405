#!/usr/bin/env python3
"""A stall costs no more sound than itself: the sweep on the ASIO path.

Card A plays a counter signal (every frame names itself) with asiohost, card B records it
with asiohost, unicast A -> B, ring 4 ms, link offset 5 ms. velunor-stall pauses, in turn,
A's route service (sending), B's route service (receiving), A's asiohost (playing) and B's
asiohost (recording) for S = 2, 4, 8 and 16 ms, 0.7 s apart, all in one recording. Each
break in the recorded sound is put with the stall before it, and the sound lost there is
judged against the stalled side's slack:

- a route service, sending or receiving: the three periods a catch-up replays (a re-aligned
  engine starts two periods back), less the period its wake-up may lie off the stall;
  those periods' datagrams still reach the receiver within its lateness budget, or wait in
  its socket;
- an ASIO host: its ring less the period it waits for a block.

A stall within the slack loses nothing, a longer one at most S - slack + 2 ms, and no
stall makes a host ask for a reset more than once. Breaks near no stall are shown with what
the stall witness saw. A loaded machine adds host stalls of its own: the witness's stalls
inside a window count as that much more stall there, so the test fails only for a loss the
card made. Prints the table of S, side, slack and sound lost.

--rounds N repeats the sweep N times in one recording (the soak run)."""

import os
import re
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lanlib  # noqa: E402
import stallsweep  # noqa: E402
from lanlib import check, log  # noqa: E402
import test_asio_e2e  # noqa: E402
from test_asio_e2e import ask, table  # noqa: E402

RING_MS = 4
LINK_MS = 5.0
BUF = 48
SWEEP_MS = [2, 4, 8, 16]
GAP_S = 0.7
LEAD_S = 2.0  # sound flows before the first stall
# The slack each side has before a stall costs sound (ms).
SLACK = {
    "A route": 2.0,
    "B route": 2.0,
    "A asiohost": RING_MS - 1.0,
    "B asiohost": RING_MS - 1.0,
}


def rounds():
    if "--rounds" in sys.argv:
        return int(sys.argv[sys.argv.index("--rounds") + 1])
    return 1


def reset_times(proc):
    return [int(x) for x in re.findall(r"reset request at frame \d+ mono_ns=(\d+)", proc.output())]


def asio_tools():
    """The route service, the ASIO host and the ASIO driver of the build (and the
    controller the ASIO test's helpers use)."""
    test_asio_e2e.CTL = lanlib.binary("tools/velunor-ctl/velunor-ctl")
    return (lanlib.binary("route/VelunorRoute"), lanlib.binary("tools/asiohost/asiohost"),
            lanlib.binary("asio/Velunor-rEduVuzi.so"))


def start_cards(a, b, route, asiohost, driver):
    """Cards A and B on the ASIO path (ring RING_MS), each with its exchange area and
    the ASIO driver registered. Returns {"cardA": Proc, "cardB": Proc}."""
    cards = {}
    for h, dev in ((a, "cardA"), (b, "cardB")):
        p = h.spawn([route, "sampleRate=48000", "chNumTx=2", "chNumRx=2", "bufMs=%d" % RING_MS,
                     "bindIp=" + h.ip, "devId=" + dev], name=dev)
        cards[dev] = p
        p.wait_line("warning: bindIp=%s " % h.ip, timeout=20)
        area = os.path.join(h.rundir, "objects", "Velunor-vSnd-shareMem")
        lanlib.wait_until(lambda: os.path.exists(area), 10, "exchange area of " + dev)
        r = h.run([asiohost, "--register", "--driver", driver], timeout=20)
        check(r.returncode == 0, "driver registered on %s" % dev)
    return cards


def play_and_record(a, b, asiohost, run_s, wait_s, threshold_us=None):
    """A plays a counter signal of run_s seconds with asiohost, B records it, with the
    witnesses beside them from before the start. Returns (witnesses, rec, play, wav)."""
    src = os.path.join(a.root, "counter.wav")
    stallsweep.write_counter_wav(src, run_s + 5)
    wav = os.path.join(b.root, "rec.wav")
    watch = (stallsweep.Witnesses(a, run_s + 8) if threshold_us is None
             else stallsweep.Witnesses(a, run_s + 8, threshold_us=threshold_us))
    rec = b.spawn([asiohost, "--record", wav, "--in", "0", "--seconds", "%.3f" % (run_s + 1.0),
                   "--buffer", str(BUF), "--wait", str(wait_s)], name="rec")
    rec.wait_line("buffer size %d" % BUF, timeout=20)
    play = a.spawn([asiohost, "--play", src, "--out", "0", "--seconds", "%.3f" % run_s, "--buffer", str(BUF),
                    "--wait", str(wait_s)], name="play")
    play.wait_line("buffer size %d" % BUF, timeout=20)
    return watch, rec, play, wav


def asio_pair(a, b, route, asiohost, driver):
    """Cards A and B on the ASIO path (start_cards), B's channel 0 from A's by unicast.
    Returns {"cardA": Proc, "cardB": Proc}."""
    cards = start_cards(a, b, route, asiohost, driver)
    for h, dev in ((a, "cardA"), (b, "cardB")):
        lanlib.wait_until(lambda h=h: "239.0.0.188" in h.groups(h.dev), 15, "control group on " + dev)
    r = ask(b, b.ip, {"ops": "setUcastRx", "srcDevId": "cardA", "srcChId": "0", "dstChId": "0"})
    check(r is not None and r.get("result") == "succ", "B takes A's channel 0 by unicast: %r" % (r,))

    def b_rx_active():
        rx = [e for e in table(b, b.ip, "getAllUcastRx") if e["sdp"]["srcIp"] == a.ip]
        return bool(rx) and rx[0]["active"] == "1"

    lanlib.wait_until(b_rx_active, 20, "B's unicast receive entry from A active")
    return cards


def test():
    lanlib.require_root()
    route, asiohost, driver = asio_tools()
    n_rounds = rounds()
    sweep_s = n_rounds * len(SLACK) * len(SWEEP_MS) * GAP_S
    run_s = LEAD_S + sweep_s + 1.5

    with lanlib.Lan(2) as lan:
        a, b = lan.host(1), lan.host(2)
        cards = asio_pair(a, b, route, asiohost, driver)
        watch, rec, play, wav = play_and_record(a, b, asiohost, run_s, 10)
        time.sleep(LEAD_S)
        stalls = stallsweep.Stalls(a.logdir)
        pids = {"A route": cards["cardA"].pid, "B route": cards["cardB"].pid, "A asiohost": play.pid,
                "B asiohost": rec.pid}
        for _ in range(n_rounds):
            for label in SLACK:
                for ms in SWEEP_MS:
                    stalls.stall(label, [pids[label]], ms)
                    time.sleep(GAP_S)
        check(play.wait(run_s + 30) == 0, "A's asiohost played to the end: %s" % play.tail(5))
        check(rec.wait(run_s + 30) == 0, "B's asiohost recorded to the end: %s" % rec.tail(5))
        watch.finish(30)
        log("figure: %s" % watch.figure())
        t0 = int(re.search(r"first bufferSwitch at mono_ns=(-?\d+)", rec.output()).group(1))
        resets = {"A": reset_times(play), "B": reset_times(rec)}
        rows, faults, outside = stallsweep.judge(stallsweep.read_mono32(wav), t0, stalls.made, SLACK, watch,
                                                 resets, bs=BUF, marks=stallsweep.timeline(rec))
        log("FIGURES sound lost at B per stall (ASIO path, ring %d ms, link offset %.0f ms, unicast):\n%s"
            % (RING_MS, LINK_MS, stallsweep.table(rows)))
        for p, ms, w, what in outside:
            log("a break near no stall at recording frame %d: %.1f ms lost, %s (the witness saw %.1f ms of host "
                "stall in the 300 ms before)" % (p, ms, what, w))
        for who, proc in (("A", play), ("B", rec)):
            for line in proc.lines():
                if "Velunor-rEduVuzi:" in line:
                    log("%s's driver: %s" % (who, line))
        check(all(p.alive() for p in cards.values()), "both route services still running")
        check(not faults, "every stall cost no more than its bound:\n  " + "\n  ".join(faults))


if __name__ == "__main__":
    lanlib.main(test)
