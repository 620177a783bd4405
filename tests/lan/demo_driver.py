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
            # The first sound heard is the file's first non-zero sample.
            s0 = next(i for i, v in enumerate(sent[ch]) if v)
            want = sent[ch][s0:]
            exact = sum(1 for k in range(min(len(want), len(h) - nz[0])) if h[nz[0] + k] >> 8 == want[k])
            log("%s: about %d Hz, peak %.1f dBFS, %.1f %% of the file bit-exact at 24 bits" % (
                name, crossings * 48000 // len(seg), 20 * math.log10(max(peak, 1e-9)), 100.0 * exact / len(want)))


if __name__ == "__main__":
    lanlib.main(main)
