#!/usr/bin/env python3
"""Stalls no card should be thrown by (the ASIO path, as tests/lan/test_stall_asio.py sets
it up: A plays a counter signal with asiohost, B records it, unicast, ring 4 ms, link
offset 5 ms):

- a stall of 0 ms (stopped and continued at once) of A's route service: nothing lost;
- 1 s of A's route service (sending), and of B's route service (receiving): each host's
  driver asks for a reset after 100 ms without a block and the host restarts;
- 1 s of both cards' route services at once;
- 300 ms of B's route service while a route change waits in its command socket (B's
  channel 1 from A's channel 1): the change is made after it and the stream goes on;
- with --long, 10 s of A's route service.

After every one both cards still run and the sound flows again within the link offset
plus the ring (the host's output waits a ring in the exchange area after its restart) and
2 ms of the stall's end, more only by what the stall witness saw there."""

import os
import re
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lanlib  # noqa: E402
import stallsweep  # noqa: E402
from lanlib import check, log  # noqa: E402
from test_asio_e2e import ask, table  # noqa: E402
from test_stall_asio import BUF, LINK_MS, RING_MS, asio_pair, asio_tools, play_and_record  # noqa: E402

GAP_S = 1.0


def test():
    lanlib.require_root()
    route, asiohost, driver = asio_tools()
    long_run = "--long" in sys.argv
    plan = [("A route", ("cardA",), 0), ("A route", ("cardA",), 1000), ("B route", ("cardB",), 1000),
            ("both routes", ("cardA", "cardB"), 1000), ("B route, route change", ("cardB",), 300)]
    if long_run:
        plan.append(("A route", ("cardA",), 10000))
    run_s = 2.0 + sum(ms / 1000.0 + GAP_S for _l, _p, ms in plan) + 1.5

    with lanlib.Lan(2) as lan:
        a, b = lan.host(1), lan.host(2)
        cards = asio_pair(a, b, route, asiohost, driver)
        watch, rec, play, wav = play_and_record(a, b, asiohost, run_s, 30)
        time.sleep(2.0)
        stalls = stallsweep.Stalls(a.logdir)
        for label, who, ms in plan:
            if "route change" in label:
                # The change goes to B's command socket while B is stopped.
                import threading
                t = threading.Thread(target=stalls.stall, args=(label, [cards[w].pid for w in who], ms))
                t.start()
                time.sleep(0.1)
                r = ask(a, b.ip, {"ops": "setUcastRx", "srcDevId": "cardA", "srcChId": "1", "dstChId": "1"},
                        wait=3.0)
                t.join()
                check(r is not None and r.get("result") == "succ", "the route change made during the stall: %r" % (r,))
            else:
                stalls.stall(label, [cards[w].pid for w in who], ms)
            time.sleep(GAP_S)
            check(all(p.alive() for p in cards.values()), "both cards run after: %s %d ms" % (label, ms))
        check(play.wait(run_s + 60) == 0, "A's asiohost played to the end: %s" % play.tail(5))
        check(rec.wait(run_s + 60) == 0, "B's asiohost recorded to the end: %s" % rec.tail(5))
        watch.finish(30)
        log("figure: %s" % watch.figure())
        rx = [e for e in table(b, b.ip, "getAllUcastRx") if e["sdp"]["srcIp"] == a.ip]
        check(rx and all(e["active"] == "1" for e in rx), "B's unicast receive from A active after it all: %r" % rx)
        t0 = int(re.search(r"first bufferSwitch at mono_ns=(-?\d+)", rec.output()).group(1))
        samples = stallsweep.read_mono32(wav)
        marks = stallsweep.timeline(rec)
        bound = LINK_MS + RING_MS + 2.0
        faults, never = [], []
        restarts = [int(x) for p in (play, rec) for x in re.findall(r"restarted in [\d.]+ ms, at mono_ns=(\d+)",
                                                                      p.output())]
        for label, ms, f, t in stalls.made:
            back = stallsweep.resume_ms(samples, t0, f, t, bs=BUF, marks=marks)
            w = stallsweep.witnessed_ms(watch, f - 50e6, t + 300e6)
            # A host that restarted after a reset request did so from its own main thread, an
            # ordinary one: what it took beyond the driver's 2 ms after the stall is the
            # machine's, not the card's.
            host = max([0.0] + [(x - t) / 1e6 - 2.0 for x in restarts if t <= x <= t + 300e6])
            log("FIGURES %s stalled %.1f ms: sound back %s after its end (bound %.1f ms; the witness saw %.1f ms of "
                "host stall there; a host restarted %.1f ms later than 2 ms after it)"
                % (label, (t - f) / 1e6, "never" if back is None else "%.1f ms" % back, bound, w, host))
            if back is None:
                never.append("%s %d ms" % (label, ms))
            elif back > bound + w + host:
                faults.append("%s %d ms: the sound came back %.1f ms after" % (label, ms, back))
        for who, proc in (("A", play), ("B", rec)):
            n = len(re.findall(r"reset request at frame", proc.output()))
            log("%s's asiohost: %d reset request(s), %d skip(s)" % (who, n, len(re.findall("driver skipped",
                                                                                           proc.output()))))
        check(not never, "the sound came back after every stall (never after: %s)" % never)
        # How soon is a figure of the machine too: once, on a loaded CI machine, a 1 s stall
        # of A's route service took 127 ms with 22 ms of witnessed stall near it.
        lanlib.soak_check(not faults, "the sound came back within the bound after every stall: %s" % faults)


if __name__ == "__main__":
    lanlib.main(test)
