#!/usr/bin/env python3
"""A stall costs no more sound than itself: the sweep on the driver path.

Both computers run the driver host velunor-kernel and VelunorRoute with bufMs=0 (as the
ALSA end-to-end test sets them up); B's channels 0 to 2 come from A's by unicast, link
offset 5 ms. aplay plays a counter signal (every frame names itself) to velunor_out_00 on
A, arecord records velunor_in_00 on B. velunor-stall pauses A's driver host (the sending
engine) and B's driver host (the receiving engine) for S = 2, 4, 8 and 16 ms, 0.7 s
apart, in one recording. Each break in the recorded sound is put with the stall before
it and judged against the side's slack (see SLACK). aplay's and arecord's buffers hold
far more than that: they are not what runs short. A stall within the slack loses nothing, a longer one
at most S - slack + 2 ms; the stall witness's host stalls inside a window count as that
much more stall there. Prints the table of S, side, slack and sound lost.

--rounds N repeats the sweep N times in one recording (the soak run)."""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lanlib  # noqa: E402
import stallsweep  # noqa: E402
from lanlib import check, log  # noqa: E402
import test_alsa_e2e as alsa  # noqa: E402

SWEEP_MS = [2, 4, 8, 16]
GAP_S = 0.7
LEAD_S = 2.0
# Either engine catches up three periods (a re-aligned one starts two periods back), less
# the period its wake-up may lie off the stall: those periods' datagrams still reach the
# receiver within its lateness budget, or wait in its socket, as on the user engine.
SLACK = {"A driver host": 2.0, "B driver host": 2.0}


def rounds():
    if "--rounds" in sys.argv:
        return int(sys.argv[sys.argv.index("--rounds") + 1])
    return 1


def test():
    lanlib.require_root()
    bins = alsa.binaries()
    env = alsa.alsa_env(bins)
    n_rounds = rounds()
    run_s = LEAD_S + n_rounds * len(SLACK) * len(SWEEP_MS) * GAP_S + 1.5

    with lanlib.Lan(2) as lan:
        a, b = lan.host(1), lan.host(2)
        host_a, _route_a = alsa.driver_card(a, bins, "cardA")
        host_b, _route_b = alsa.driver_card(b, bins, "cardB")
        alsa.route_pair(a, b, "cardA")
        src = os.path.join(a.root, "counter.wav")
        stallsweep.write_counter_wav(src, run_s, channels=2)
        wav = os.path.join(b.root, "rec.wav")
        watch = stallsweep.Witnesses(a, run_s + 10)
        rec = alsa.record_alsa(b, env, wav, int(run_s + 3), "arecord")
        t0 = alsa.state_time(rec, "in_stereo-00")
        time.sleep(0.5)
        play = alsa.play_alsa(a, env, src, "aplay")
        time.sleep(LEAD_S)
        stalls = stallsweep.Stalls(a.logdir)
        pids = {"A driver host": host_a.pid, "B driver host": host_b.pid}
        for _ in range(n_rounds):
            for label in SLACK:
                for ms in SWEEP_MS:
                    stalls.stall(label, [pids[label]], ms)
                    time.sleep(GAP_S)
        check(play.wait(run_s + 30) == 0, "aplay played to the end: %s" % play.tail(5))
        buf, per = alsa.buffer_figures(play)
        log("aplay: buffer %s frames, period %s frames" % (buf, per))
        check(rec.wait(run_s + 30) == 0, "arecord recorded to the end: %s" % rec.tail(5))
        watch.finish(30)
        log("figure: %s" % watch.figure())
        rows, faults, outside = stallsweep.judge(stallsweep.read_mono32(wav, 0), t0, stalls.made, SLACK, watch,
                                                 bs=0)
        log("FIGURES sound lost at B per stall (driver path, aplay -> arecord, link offset 5 ms, unicast):\n%s"
            % stallsweep.table(rows))
        for p, ms, w, what in outside:
            log("a break near no stall at recording frame %d: %.1f ms lost, %s (the witness saw %.1f ms of host "
                "stall in the 300 ms before)" % (p, ms, what, w))
        check(host_a.alive() and host_b.alive(), "both driver hosts still running")
        check(not faults, "every stall cost no more than its bound:\n  " + "\n  ".join(faults))


if __name__ == "__main__":
    lanlib.main(test)
