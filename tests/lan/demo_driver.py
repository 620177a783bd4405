#!/usr/bin/env python3
"""The driver path, shown: two cards in a virtual LAN of network namespaces, each a
driver host with VelunorAudio and VelunorRoute (bufMs=0). A WAV is played with aplay into
cardA's first stereo endpoint (velunor_out_00), cardB is routed from cardA with
velunor-ctl, arecord records cardB's velunor_in_00, and what cardB heard is printed
(frequency, level, how much of the file came through bit-exact). Nothing is sent on the
machine's real interfaces; everything is removed at the end.
    python3 tests/lan/demo_driver.py [--build-dir DIR] [--seconds N]"""

import math
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
if "--build-dir" in sys.argv:
    os.environ["VELUNOR_BUILD_DIR"] = os.path.abspath(sys.argv[sys.argv.index("--build-dir") + 1])
import lanlib  # noqa: E402
from lanlib import log  # noqa: E402
import test_alsa_e2e as e2e  # noqa: E402


def main():
    lanlib.require_root()
    secs = int(sys.argv[sys.argv.index("--seconds") + 1]) if "--seconds" in sys.argv else 5
    bins = e2e.binaries()
    env = e2e.alsa_env(bins)
    env.pop("VELUNOR_ALSA_TRACE", None)
    with lanlib.Lan(2) as lan:
        a, b = lan.host(1), lan.host(2)
        log("cardA %s and cardB %s: a driver host each, engines started with VelunorCore" % (a.ip, b.ip))
        e2e.driver_card(a, bins, "cardA")
        e2e.driver_card(b, bins, "cardB")
        log("endpoints of cardA: " + ", ".join(sorted(os.listdir(os.path.join(a.rundir, "endpoints")))))
        e2e.route_pair(a, b, "cardA")
        log("cardB's receive channels 0-2 routed from cardA with velunor-ctl")
        wav = os.path.join(a.root, "song.wav")
        r = a.run(["sox", "-D", "-n", "-r", "48000", "-b", "24", "-c", "2", wav, "synth", str(secs), "sine", "440",
                   "sine", "660", "gain", "-6"], timeout=60)
        log("played: %s, %d s of 440 Hz (left) and 660 Hz (right) at -6 dBFS, 24-bit" % (wav, secs))
        rec_path = os.path.join(b.root, "heard.wav")
        rec = e2e.record_alsa(b, env, rec_path, secs + 2, "arecord")
        play = a.spawn(["aplay", "-D", "velunor_out_00", wav], name="aplay", env=env)
        play.wait(secs + 30)
        rec.wait(secs + 30)
        log("aplay on cardA: " + play.tail(1).strip())
        log("arecord on cardB: " + rec.tail(1).strip())
        _, _, _, heard = e2e.read_wav(rec_path)
        _, _, _, sent = e2e.read_wav(wav)
        for ch, name in ((0, "left"), (1, "right")):
            h = heard[ch]
            nz = [i for i, v in enumerate(h) if v]
            if not nz:
                log("%s: silence" % name)
                continue
            seg = h[nz[0]:nz[0] + 48000]
            crossings = sum(1 for x, y in zip(seg, seg[1:]) if x < 0 <= y)
            peak = max(abs(v) for v in seg) / 2147483648.0
            # Each run of sound is matched to the file where it continues best (a silent gap
            # may have dropped audio or held it back): the share of the file heard
            # bit-exact, and the gaps that split it.
            s0 = next(i for i, v in enumerate(sent[ch]) if v)
            want = sent[ch][s0:]
            exact, gaps, pos, prev = 0, [], 0, 0
            for a0, a1 in sound_runs(h[nz[0]:]):
                if a0 > prev:
                    gaps.append(((a0 - prev) / 48.0, (nz[0] + a0) / 48000.0))
                pos = best_offset(h[nz[0] + a0:nz[0] + a1], want, pos + a0 - prev)
                exact += sum(1 for k in range(a1 - a0)
                             if pos + k < len(want) and h[nz[0] + a0 + k] >> 8 == want[pos + k])
                pos, prev = pos + a1 - a0, a1
            log("%s: about %d Hz, peak %.1f dBFS, %.1f %% of the file heard bit-exact at 24 bits, %s" % (
                name, crossings * 48000 // len(seg), 20 * math.log10(max(peak, 1e-9)), 100.0 * exact / len(want),
                "%d gap(s): %s" % (len(gaps), ", ".join("%.1f ms at %.2f s" % g for g in gaps[:5]))
                if gaps else "no gap"))


def sound_runs(h, min_gap=24):
    """(start, end) of the runs of sound in h, split by silences of min_gap samples or more
    (a sine crosses zero, but never for half a millisecond); the trailing silence ends it."""
    runs, start, zeros = [], None, 0
    for i, v in enumerate(h):
        if v:
            if start is None:
                start = i
            zeros = 0
        elif start is not None:
            zeros += 1
            if zeros == min_gap:
                runs.append((start, i - min_gap + 1))
                start = None
    if start is not None:
        runs.append((start, len(h) - zeros))
    return runs


def best_offset(run, want, expect, reach=4800, probe=96):
    """Where in the file a run of sound starts: the offset within reach of where it was
    expected whose first probe samples match best, the nearest of equals."""
    probe = min(probe, len(run))
    best, best_score = expect, -1
    for d in sorted(range(-reach, reach + 1), key=abs):
        o = expect + d
        if o < 0 or o + probe > len(want):
            continue
        score = sum(1 for k in range(probe) if run[k] >> 8 == want[o + k])
        if score > best_score:
            best, best_score = o, score
            if score == probe:
                break
    return best


if __name__ == "__main__":
    lanlib.main(main)
