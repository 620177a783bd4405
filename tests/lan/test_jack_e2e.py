#!/usr/bin/env python3
"""JACK on the card's endpoints, end to end through the network.

Both computers run the driver path as in test_alsa_e2e (4 channels at 48 kHz, the
engine's 2 kHz test tone on A's render channel 2, B's receive channels 0-2 routed from
A's). On A, jackd's ALSA backend runs playback and capture together on
velunor_hw_out_00 / velunor_hw_in_00 (VELUNOR_JACK_PCM=plug: the plug names
velunor_out_00 / velunor_in_00) at 128 frames x 2 periods, and jack_simple_client plays its tones into
the card (240 Hz on the left, 720 Hz on the right, from one 200-frame float table). On
B, arecord records velunor_in_00 (A's pair 0) and velunor_in_01, whose left channel is
A's engine tone: the reference, carried in the same datagrams but not through JACK.

B must hear the client's tones bit-exact: every frame equal to the one 200 frames
earlier on both channels, and one whole period equal to the client's table (0.2 full
scale as a float, converted to 32 bits by the plugin) in its top 24 bits, which the
wire carries. Where the recording leaves its period (a gap or a break), the reference
must leave its tone at the same time, or the stall witness must have seen a hold-up
over 2 ms just before; else the event is a fault of the JACK/ALSA path. jackd's own
xrun count is printed, and must be 0 when the witness saw no stall over 2 ms meanwhile
and A's engine never fell a period behind (a loaded machine may hold jackd's thread or
the engine up: then the xruns and the unshared breaks are figures), with jackd's CPU
per second of audio.

Then jackd on all the card's pairs as one device (velunor_hw_out_all / velunor_hw_in_all,
4 channels) at 128 x 3: the client's left tone goes to channels 1 and 4, which lie in
different pairs, and B records its own velunor_in_all (B's channel 3 routed from A's
too). Both plugins pause 1.5 ms between their pairs' starts (VELUNOR_ALSA_START_GAP_US),
as a loaded machine may: pair 01 starts a period or more after pair 00, and the plugin
must offset it (3 periods: jackd's start then takes 3 ms more, which 2 would not hold). Channels 1 and 4 of B's recording must be equal frame for frame wherever channel 4
sounds: the pairs of both devices are sample-aligned, whatever periods their starts fell
in (a break of the network hits both channels alike; a client late at a period's end may
have written one pair and not the other, so with jackd's xruns each may split them for
under a period), and the tone is the client's table bit-exact.

Then the bad requests on velunor_hw_out_00 / velunor_hw_in_00: periods of 1 frame,
10000 periods and a third channel are refused with a message, never a hang; asked for
44100 Hz, jackd runs at the card's rate. A jackd killed with SIGKILL in the middle
leaves the endpoints free: aplay plays on velunor_out_00 right after, also when the
driver host was held up at the kill.

VELUNOR_JACK_SETTINGS ("128x2" by default; for example "64x2,64x3,128x3,256x2")
and VELUNOR_JACK_SECS (20) choose the runs; each setting is judged the same way."""

import math
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lanlib  # noqa: E402
from lanlib import check, log  # noqa: E402
import test_alsa_e2e as alsa  # noqa: E402
import test_asio_e2e as asio  # noqa: E402

RATE = alsa.RATE
TABLE = 200  # jack_simple_client's sine table: left steps 1, right 3 per frame
# JACK's server names are the machine's, and its registry holds 8: one name per build
# tree, so that two trees' tests may run at once and a killed server's entry is taken
# back by the next run.
SERVER = "velunor-test-%08x" % zlib.crc32(os.path.abspath(lanlib.build_dir()).encode())
PCM = "" if os.environ.get("VELUNOR_JACK_PCM") == "plug" else "hw_"


def jack_env(env):
    e = dict(env)
    e["JACK_DEFAULT_SERVER"] = SERVER
    e["JACK_NO_AUDIO_RESERVATION"] = "1"  # no D-Bus device reservation in a test namespace
    e["JACK_NO_START_SERVER"] = "1"
    if os.environ.get("VELUNOR_ALSA_TRACE"):
        e["VELUNOR_ALSA_TRACE"] = os.environ["VELUNOR_ALSA_TRACE"]
    return e


def jackd(a, env, period, nperiods, name, extra=(), pcm=None):
    """jackd on pair 0: velunor_hw_out_00 / velunor_hw_in_00 (the endpoint as it is, what
    the README gives JACK) or, with pcm="", the plug names velunor_out_00 / velunor_in_00."""
    pcm = PCM if pcm is None else pcm
    return a.spawn(["jackd", "-n", SERVER, "-R", "-P", "80"] + list(extra) +
                   ["-d", "alsa", "-P", "velunor_%sout_00" % pcm, "-C", "velunor_%sin_00" % pcm, "-r", str(RATE),
                    "-p", str(period), "-n", str(nperiods)], name=name, env=jack_env(env))


def own_breaks(name, events, start, t_rec, ref_gaps, watch):
    """The breaks of the tone (events: (from, to) frames of B's recording, which began at
    t_rec; start: its first sound) that are the card's: not shared by the reference, and
    not just after a witnessed stall over 2 ms. Each is logged."""
    mine = []
    for g0, g1 in events:
        t0n, t1n = t_rec + g0 * 1e9 / RATE, t_rec + g1 * 1e9 / RATE
        shared = any(r0 <= t1n + 3e6 and t0n - 3e6 <= r1 for r0, r1 in ref_gaps)
        cause = watch.cause(t0n, t1n, 1.0, 60.0)
        log("%s: the tone leaves its period for %.1f ms at %.3f s: %s, %s" % (
            name, (g1 - g0) * 1000.0 / RATE, (g0 - start) / RATE,
            "the reference has a gap or break too" if shared else "THE REFERENCE HAS NONE",
            "after a stall of %.1f ms" % ((cause[1] - cause[0]) / 1e6) if cause else "no stall seen"))
        if not shared and not (cause and cause[1] - cause[0] >= 2e6):
            mine.append((g0, g1))
    return mine


def run_for(name, jack, client, secs):
    """Lets jackd and the client run secs seconds, then ends both; jackd's CPU seconds
    meanwhile (nan when one of them ended early, which fails)."""
    t0 = time.monotonic()
    cpu0 = jack.cpu_seconds()
    while time.monotonic() - t0 < secs and jack.alive() and client.alive():
        time.sleep(0.5)
    alive = jack.alive() and client.alive()
    cpu = jack.cpu_seconds() - cpu0 if alive else float("nan")
    client.stop()
    time.sleep(0.3)
    jack.signal(signal.SIGINT)
    jack.wait(10)
    jack.stop()
    check(alive, "%s: jackd and jack_simple_client ran %d s: %s%s" % (name, secs, jack.tail(8), client.tail(4)))
    return cpu

def xruns(proc):
    """jackd's own count of xruns (its verbose notices: one per xrun the ALSA backend recovered from
    or a client was late for), and the transfers it could not complete."""
    out = proc.output()
    return len(re.findall(r"xrun of at least|JackEngine::XRun", out)), len(re.findall(r"could not complete", out))


def periodic_events(chans, first, last, period=TABLE):
    """Where a periodic recording leaves its period between first and last (frames):
    (from, to) spans where a frame differs from the one a period before on either
    channel. The sound after an event must settle into the period again."""
    marks = [i for i in range(first + period, last + 1) if any(c[i] != c[i - period] for c in chans)]
    spans = []
    for i in marks:
        if spans and i <= spans[-1][1] + period:
            spans[-1][1] = i
        else:
            spans.append([i, i])
    return [(i - period, j + 1) for i, j in spans]


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def check_table(name, chans, at):
    """One period from frame at is the client's table, left stepping 1 and right 3:
    0.2 * (float) sin(), held as a float, converted to 32 bits (x * 2^31) and carried
    at 24 bits on the wire: every sample equal to the table's in its top 24 bits."""
    table = [int(f32(0.2 * f32(math.sin(2.0 * math.pi * k / TABLE))) * 2.0 ** 31) >> 8 for k in range(TABLE)]
    left, right = [v >> 8 for v in chans[0][at:at + TABLE]], [v >> 8 for v in chans[1][at:at + TABLE]]

    def fits(x, stride):
        return next((ph for ph in range(TABLE) if all(x[j] == table[(ph + stride * j) % TABLE] for j in range(TABLE))),
                    None)

    pl, pr = fits(left, 1), fits(right, 3)
    check(pl is not None and pr is not None,
          "%s: one period of each channel is the client's 0.2 full-scale table, bit-exact at 24 bits (left phase "
          "%s, right %s)" % (name, pl, pr))
    db = 20.0 * math.log10(max(abs(v) for v in left) / 2.0 ** 23)
    want = 20.0 * math.log10(max(abs(v) for v in table) / 2.0 ** 23)
    check(abs(db - want) <= 0.01, "%s: the left tone's peak is %.4f dBFS (%.4f +- 0.01)" % (name, db, want))


def run_setting(a, b, bins, env, period, nperiods, secs):
    name = "jackd -p %d -n %d" % (period, nperiods)
    tag = "jack-%dx%d" % (period, nperiods)
    watch = lanlib.StallWatch(a, secs + 14, name="stallwatch-" + tag)
    main_path, ref_path = os.path.join(b.root, tag + ".wav"), os.path.join(b.root, tag + "-ref.wav")
    rec = alsa.record_alsa(b, env, main_path, secs + 6, "arecord-" + tag)
    rrec = alsa.record_alsa(b, env, ref_path, secs + 6, "arecord-ref-" + tag, pcm="velunor_in_01")
    t_rec, t_ref = alsa.state_time(rec, "in_stereo-00"), alsa.state_time(rrec, "in_stereo-01")
    time.sleep(0.5)
    jack = jackd(a, env, period, nperiods, "jackd-" + tag, extra=["-v"])
    jack.wait_line("velunor: out_stereo-00 state 3", timeout=20)
    client = a.spawn(["jack_simple_client"], name="simple-" + tag, env=jack_env(env))
    cpu = run_for(name, jack, client, secs)
    for r in (rec, rrec):
        check(r.wait(secs + 20) == 0, "%s: arecord recorded on B: %s" % (name, r.tail(6)))
    watch.finish(30)
    n_xrun, n_incomplete = xruns(jack)

    _, rate, bits, allch = alsa.read_wav(main_path)
    check(bits == 32 and rate == RATE, "%s: the recording is 32-bit at %d Hz" % (name, rate))
    chans = allch[:2]
    sound = [i for i in range(len(chans[0])) if chans[0][i] or chans[1][i]]
    check(len(sound) > (secs - 2) * RATE, "%s: B heard the client for %.1f s" % (name, len(sound) / RATE))
    # The client's first and last periods are whole only by chance: judge what lies between.
    first, last = sound[0] + 2 * TABLE, sound[-1] - 2 * TABLE
    events = periodic_events(chans, first, last)
    bounds = [first] + [x for e in events for x in e] + [last]
    runs = [(bounds[q], bounds[q + 1]) for q in range(0, len(bounds) - 1, 2)]
    check_table(name, chans, max(runs, key=lambda r: r[1] - r[0])[0] + TABLE)
    ref_gaps = alsa.reference_gaps(name, alsa.read_wav(ref_path)[3][0], t_ref)
    mine = own_breaks(name, events, sound[0], t_rec, ref_gaps, watch)
    stalls = watch.longer_than(2.0)
    held = engine_held_up(a, bins)
    log("FIGURES %s: jackd counted %d xrun(s) (%d incomplete transfer(s)) in %d s; %d event(s) in B's recording, "
        "%d the reference does not share; %d gap(s) in the reference; jackd's CPU %.1f ms per second of audio "
        "(engine, client and plugin); A's engine at worst %.1f periods behind; %s"
        % (name, n_xrun, n_incomplete, secs, len(events), len(mine), len(ref_gaps), cpu * 1000.0 / secs, held,
           watch.figure()))
    # On a quiet machine every break is the reference's and jackd counts no xrun. A
    # machine that held a real-time thread up over 2 ms, or A's engine past a period (it
    # then catches up several periods at once, a step of the position that a 2-period ring
    # may not hold although the reference plays on unbroken), makes both figures only.
    if not stalls and held <= 1.25:
        check(not mine, "%s: the client's tones heard bit-exact; every break one the reference shares or a stall "
              "explains (%d not)" % (name, len(mine)))
        check(n_xrun == 0 and n_incomplete == 0, "%s: jackd counted no xrun on a machine that stalled no thread "
              "over 2 ms" % name)
    else:
        log("%s: the machine stalled %d time(s) over 2 ms and held A's engine up to %.1f periods: the breaks the "
            "reference does not share (%d) and jackd's xruns (%d) are figures only"
            % (name, len(stalls), held, len(mine), n_xrun))
    return n_xrun


def engine_held_up(a, bins):
    """How far behind its time A's driver engine has been at worst (in periods), from the
    timer's own statistics. Up to 1 it runs two periods at once now and then (its timer is 1 %
    slow by design); well beyond, it was held up and caught up three or more."""
    rc, out = alsa.core(a, bins, "req", '{"ops":"getPerformStats"}')
    m = re.search(r'"i2s_poll":\{"cur":"\d+","max":"(\d+)"', out)
    check(rc == 0 and m is not None, "A's engine statistics: " + out)
    return int(m.group(1)) / (RATE / 1000.0)


def all_pairs(a, b, env, secs):
    """jackd on velunor_hw_out_all / velunor_hw_in_all; the client's left output also on
    playback_4 (pair 01's right channel); B records velunor_in_all."""
    name = "jackd on all pairs"
    gap = dict(env, VELUNOR_ALSA_START_GAP_US="1500")
    je = jack_env(gap)
    r = asio.ask(b, b.ip, {"ops": "setUcastRx", "srcDevId": "cardA", "srcChId": "3", "dstChId": "3"})
    check(r is not None and r.get("result") == "succ", "B routed from A's channel 3: %r" % (r,))
    path = os.path.join(b.root, "jack-all.wav")
    rec = b.spawn(["arecord", "-D", "velunor_in_all", "-f", "S32_LE", "-r", str(RATE), "-c", "4", "-d",
                   str(secs + 5), "-t", "wav", path], name="arecord-all", env=gap)
    rec.wait_line("velunor: in_stereo-01 state 3", timeout=20)
    jack = a.spawn(["jackd", "-n", SERVER, "-R", "-P", "80", "-v", "-d", "alsa", "-P", "velunor_hw_out_all", "-C",
                    "velunor_hw_in_all", "-r", str(RATE), "-p", "128", "-n", "3"], name="jackd-all", env=je)
    jack.wait_line("velunor: out_stereo-01 state 3", timeout=20)
    ports = a.run(["jack_lsp"], env=je, timeout=20).stdout.split()
    check("system:playback_4" in ports and "system:capture_4" in ports and "system:playback_5" not in ports,
          "%s: jackd has the card's 4 channels each way: %s" % (name, " ".join(ports)))
    client = a.spawn(["jack_simple_client"], name="simple-all", env=je)

    def left():
        return next((p for p in a.run(["jack_lsp"], env=je, timeout=20).stdout.split()
                     if p.endswith(":output1")), None)

    lanlib.wait_until(left, 20, "jack_simple_client's ports")
    r = a.run(["jack_connect", left(), "system:playback_4"], env=je, timeout=20)
    check(r.returncode == 0, "%s: the client's left output connected to playback_4 too: %s" % (name, r.stderr))
    run_for(name, jack, client, secs)
    check(rec.wait(secs + 20) == 0, "%s: arecord recorded velunor_in_all on B: %s" % (name, rec.tail(6)))
    lags = re.findall(r"(\S+) started (\d+) frames after", jack.output() + rec.output())
    late = set(e for e, n in lags if int(n) >= 48)
    check(late >= {"out_stereo-01", "in_stereo-01"}, "%s: pair 01 started a period or more after pair 00 in "
          "both plugins (each offset it): %s" % (name, lags[:8]))
    _, rate, bits, ch = alsa.read_wav(path)
    check(len(ch) == 4 and rate == RATE, "%s: B's recording has 4 channels at %d Hz" % (name, rate))
    loud = [i for i in range(len(ch[3])) if ch[3][i]]
    check(len(loud) > (secs - 3) * RATE, "%s: B heard channel 4 for %.1f s" % (name, len(loud) / RATE))
    # The client's ports are disconnected one by one when it closes: judge while both sound.
    both = [i for i in loud if ch[0][i]]
    first, last = both[0], both[-1]
    # Where both sound they must be equal. A pair started a period after another on a
    # loaded machine (its stream's first request answered late) has nothing for the
    # periods before it started: one channel silent there, a figure.
    differ = [i for i in range(first, last + 1) if ch[3][i] != ch[0][i] and ch[3][i] and ch[0][i]]
    lone = [i for i in range(first, last + 1) if (ch[3][i] == 0) != (ch[0][i] == 0)]
    alone = len(lone)

    def spans_of(frames):
        spans = []
        for i in frames:
            if spans and i <= spans[-1][1] + 48:
                spans[-1][1] = i
            else:
                spans.append([i, i])
        return spans
    spans = spans_of(differ)
    log("FIGURES %s: jackd counted %d xrun(s); channel 4 sounded for %.1f s; %d frame(s) where channels 1 and 4 "
        "both sound and differ%s; %d frame(s) where one of them alone is silent; pairs that started late (then "
        "offset by the plugin, the first 8): %s" % (
            name, xruns(jack)[0], (last - first) / RATE, len(differ),
            "".join(" (%d-%d at %.3f s, ch1 %s ch4 %s)" % (i, j, (i - first) / RATE, ch[0][i:i + 3], ch[3][i:i + 3])
                    for i, j in spans[:5]), alone, ", ".join("%s by %s" % x for x in lags[:8]) or "none"))
    log("%s: one channel alone silent at %s" % (name, ", ".join(
        "%.3f-%.3f s (%s)" % ((i - first) / RATE, (j - first) / RATE, "channel 1" if ch[0][i] == 0 else "channel 4")
        for i, j in spans_of(lone)[:8]) or "no frame"))
    # A client late at a period's end (an xrun) may have written one pair's ring and not yet
    # the other's when the engine read them: the pairs then differ for less than a period,
    # once per xrun. Pairs out of line differ for good.
    n_x = xruns(jack)[0]
    split = n_x > 0 and len(spans) <= n_x and all(j - i < 128 for i, j in spans)
    if differ and split:
        log("%s: the pairs differ in %d span(s) under a period, with %d xrun(s): a figure" % (name, len(spans), n_x))
    check(not differ or split, "%s: channels 1 and 4 of B's recording (pairs 00 and 01 of both cards) are equal "
          "frame for frame where both sound, but at an xrun for under a period (first difference at %s, "
          "%d span(s), %d xrun(s))" % (name, differ[0] if differ else None, len(spans), n_x))
    check(alone < RATE // 2, "%s: one of channels 1 and 4 alone silent for %d frames in all (under 0.5 s)"
          % (name, alone))
    events = periodic_events(ch[:2], first + 2 * TABLE, last - 2 * TABLE)
    bounds = [first + 2 * TABLE] + [x for e in events for x in e] + [last - 2 * TABLE]
    runs = [(bounds[q], bounds[q + 1]) for q in range(0, len(bounds) - 1, 2)]
    check_table(name, ch[:2], max(runs, key=lambda r: r[1] - r[0])[0] + TABLE)


def bad_requests(a, env):
    """Requests the card cannot serve: refused with a message, quickly."""
    cases = (("a period of 1 frame", ["-p", "1", "-n", "2"]),
             ("10000 periods", ["-p", "128", "-n", "10000"]),
             ("three channels", ["-p", "128", "-n", "2", "-o", "3", "-i", "3"]))
    for what, args in cases:
        argv = ["jackd", "-n", SERVER, "-d", "alsa", "-P", "velunor_hw_out_00", "-C", "velunor_hw_in_00", "-r", str(RATE)]
        argv += args
        t0 = time.monotonic()
        p = a.spawn(argv, name="jackd-bad", env=jack_env(env))
        rc = p.wait(20)
        took = time.monotonic() - t0
        if rc is None:
            p.stop()
        check(rc is not None, "jackd asking for %s ends by itself (%.1f s): %s" % (what, took, p.tail(4)))
        check(rc != 0, "jackd asking for %s is refused: %s" % (what, p.tail(4)))
        log("jackd asking for %s: refused in %.1f s: %s" % (what, took, " | ".join(p.lines()[-3:])))
    # Another rate: JACK's backend takes the nearest rate the device offers, the card's
    # own; it must run at that rate rather than hang or be converted behind its back.
    p = a.spawn(["jackd", "-n", SERVER, "-d", "alsa", "-P", "velunor_hw_out_00", "-C", "velunor_hw_in_00",
                 "-r", "44100", "-p", "128", "-n", "2"], name="jackd-rate", env=jack_env(env))
    try:
        p.wait_line("velunor: out_stereo-00 state 3", timeout=20)
        r = a.run(["jack_samplerate"], env=jack_env(env), timeout=20)
        check(r.stdout.strip() == str(RATE), "jackd asked for 44100 Hz runs at the card's %d Hz: %s"
              % (RATE, (r.stdout + r.stderr).strip()))
    finally:
        p.stop()


def killed_mid_run(a, host, env, wav):
    """jackd killed while its driver host is held up (as a loaded machine may), and aplay
    started at once: the host learns of the end and of the new open together when it
    goes on, and the open must not be told the endpoint is busy."""
    jack = jackd(a, env, 256, 2, "jackd-kill")
    jack.wait_line("velunor: out_stereo-00 state 3", timeout=20)
    time.sleep(1.0)
    hold = subprocess.Popen([lanlib.binary("tools/velunor-stall/velunor-stall"), "pid=%d" % host.pid, "ms=300"],
                            stdout=subprocess.DEVNULL)
    time.sleep(0.05)
    jack.signal(signal.SIGKILL)
    jack.wait(5)
    r = a.run(["aplay", "-D", "velunor_out_00", "-d", "1", wav], env=env, timeout=30)
    check(hold.wait(20) == 0, "the driver host was held up 300 ms around the kill")
    check(r.returncode == 0, "after jackd was killed, aplay plays on velunor_out_00: " + r.stderr.strip()[-300:])
    # A killed server keeps its place in JACK's registry (8 places for the whole machine):
    # a server of the same name that starts and ends cleanly gives it back.
    d = a.spawn(["jackd", "-n", SERVER, "-d", "dummy"], name="jackd-reclaim", env=jack_env(env))
    time.sleep(1.0)
    d.signal(signal.SIGINT)
    check(d.wait(10) is not None, "the killed server's name was started and ended again: %s" % d.tail(3))


def test():
    lanlib.require_root()
    bins = alsa.binaries()
    missing = [t for t in ("jackd", "jack_simple_client") if not shutil.which(t)]
    if missing:
        lanlib.skip("not installed: " + ", ".join(missing) + " (jackd2)")
    env = alsa.alsa_env(bins)
    settings = [tuple(int(x) for x in s.split("x"))
                for s in os.environ.get("VELUNOR_JACK_SETTINGS", "128x2").split(",") if s.strip()]
    secs = int(os.environ.get("VELUNOR_JACK_SECS", "20"))
    with lanlib.Lan(2) as lan:
        a, b = lan.host(1), lan.host(2)
        host_a, _ = alsa.driver_card(a, bins, "cardA")
        alsa.driver_card(b, bins, "cardB")
        alsa.route_pair(a, b, "cardA")
        figures = [(p, n, run_setting(a, b, bins, env, p, n, secs)) for p, n in settings]
        all_pairs(a, b, env, int(os.environ.get("VELUNOR_JACK_ALL_SECS", "8")))
        bad_requests(a, env)
        wav = os.path.join(a.root, "short.wav")
        a.run(["sox", "-n", "-r", str(RATE), "-b", "16", "-c", "2", wav, "synth", "1", "sine", "440"], check=True)
        killed_mid_run(a, host_a, env, wav)
        for p, n, x in figures:
            log("FIGURES jackd -p %d -n %d, playback and capture: %d xrun(s) in %d s" % (p, n, x, secs))


if __name__ == "__main__":
    lanlib.main(test)
