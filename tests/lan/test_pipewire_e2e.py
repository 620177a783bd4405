#!/usr/bin/env python3
"""The card from the desktop's sound programs, end to end through the network.

Both computers run the driver path as in test_alsa_e2e (4 channels at 48 kHz: pairs 00
and 01 active, A's engine tone on render channel 2, B's receive channels 0-2 routed
from A's); B records velunor_in_01, whose left channel is A's engine tone, as the
reference for every run.

- speaker-test on A with its defaults (no buffer options) on velunor_out_00: B hears
  its 1 kHz sine.
- A PipeWire daemon with WirePlumber and pipewire-pulse on each computer, in a private
  runtime folder, with the card's PipeWire fragment from the build: the card's nodes
  "Velunor Link output 00" / "Velunor Link input 00" (and 01) are listed, none for the
  pairs the card does not run. The nodes follow the endpoints while PipeWire runs: A's
  endpoints disabled (VelunorCh -veluDisable, as the panel does), A's nodes go; enabled
  again, they come back. pw-play of a WAV into A's "velunor_out_00" is recorded
  on B by pw-record from B's "velunor_in_00": the file is a 1 kHz table of 48 frames
  repeated at 24 bits, so B's recording must repeat it bit-exact at 24 bits (PipeWire
  carries it as floats, which hold 24 bits), and every break of its period must be a
  break the reference shares, or follow a hold-up over 2 ms that the stall witness saw
  (on a machine that held a thread up over 2 ms or an engine past a period meanwhile, the
  unshared breaks are printed as figures).
  paplay through pipewire-pulse plays it too, recorded by arecord.
- PipeWire killed with SIGKILL while it plays: aplay plays on the endpoint right after.
- The driver host killed under aplay: aplay ends with an error, and its xrun notice (if
  any) gives a duration on aplay's own clock."""

import math
import os
import re
import shutil
import signal
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lanlib  # noqa: E402
from lanlib import check, log  # noqa: E402
import test_alsa_e2e as alsa  # noqa: E402
import test_jack_e2e as jackt  # noqa: E402

RATE = alsa.RATE
PERIOD = 48  # the file's table: 1 kHz at 48 kHz
SECS = 6


def table_wav(path, secs, amp=0.5):
    """A 24-bit stereo WAV of one 48-frame sine table repeated (left sine, right the
    sine inverted): exactly periodic, so any break shows."""
    tab = [int(round(amp * math.sin(2.0 * math.pi * k / PERIOD) * (2 ** 23 - 1))) for k in range(PERIOD)]
    one = b"".join(struct.pack("<i", v)[:3] + struct.pack("<i", -v)[:3] for v in tab)
    frames = one * (secs * RATE // PERIOD)
    hdr = struct.pack("<4sI4s4sIHHIIHH4sI", b"RIFF", 36 + len(frames), b"WAVE", b"fmt ", 16, 1, 2, RATE, RATE * 6, 6, 24,
                      b"data", len(frames))
    with open(path, "wb") as f:
        f.write(hdr + frames)
    return tab


def pw_env(h, env, build):
    """A private PipeWire of computer h: its runtime folder, and the card's fragment."""
    cfg = os.path.join(h.root, "config", "pipewire", "pipewire.conf.d")
    os.makedirs(cfg, exist_ok=True)
    shutil.copy(os.path.join(build, "tools/alsa-velunor/50-velunor-link-pipewire.conf"),
                os.path.join(cfg, "50-velunor-link.conf"))
    rt = os.path.join(h.root, "xdg-run")
    os.makedirs(rt, mode=0o700, exist_ok=True)
    e = dict(env)
    e.update({"XDG_RUNTIME_DIR": rt, "XDG_CONFIG_HOME": os.path.join(h.root, "config"),
              "PULSE_SERVER": "unix:" + os.path.join(rt, "pulse", "native")})
    if os.environ.get("VELUNOR_PW_DEBUG"):
        e["PIPEWIRE_DEBUG"] = os.environ["VELUNOR_PW_DEBUG"]
    return e


def client_env(e):
    """The environment of PipeWire's clients and helpers: a sanitizer build's plugin is
    loaded by the daemon alone, so only the daemon gets its runtime preloaded."""
    c = dict(e)
    for k in ("LD_PRELOAD", "ASAN_OPTIONS"):
        c.pop(k, None)
    return c


def start_pipewire(h, e, tag):
    pw = h.spawn(["pipewire"], name="pipewire-" + tag, env=e)
    e = client_env(e)
    lanlib.wait_until(lambda: os.path.exists(os.path.join(e["XDG_RUNTIME_DIR"], "pipewire-0")), 15,
                      "PipeWire's socket on " + tag)
    # WirePlumber asks for a session bus; a private one stands in for the desktop's.
    wp = h.spawn(["dbus-run-session", "--", "wireplumber"], name="wireplumber-" + tag, env=e)
    pulse = h.spawn(["pipewire-pulse"], name="pipewire-pulse-" + tag, env=e)
    lanlib.wait_until(lambda: "*" in h.run(["wpctl", "status"], env=e, timeout=10).stdout, 20,
                      "WirePlumber chose default nodes on " + tag)
    return pw, wp, pulse


def judge_periodic(name, path, tab, t_rec, ref_gaps, watch, secs, held):
    _, rate, bits, ch = alsa.read_wav(path)
    check(rate == RATE, "%s: the recording is at %d Hz" % (name, rate))
    shift = bits - 24
    rec = [[v >> shift if shift >= 0 else v << -shift for v in c] for c in ch[:2]]
    sound = [i for i in range(len(rec[0])) if rec[0][i] or rec[1][i]]
    check(len(sound) > (secs - 1.5) * RATE, "%s: B heard the file for %.1f s (of %d)" % (name, len(sound) / RATE, secs))
    first, last = sound[0] + 2 * PERIOD, sound[-1] - 2 * PERIOD
    events = jackt.periodic_events(rec, first, last, PERIOD)
    mine = jackt.own_breaks(name, events, sound[0], t_rec, ref_gaps, watch)
    bounds = [first] + [x for e in events for x in e] + [last]
    runs = [(bounds[q], bounds[q + 1]) for q in range(0, len(bounds) - 1, 2)]
    at = max(runs, key=lambda r: r[1] - r[0])[0] + PERIOD
    ph = next((p for p in range(PERIOD) if all(rec[0][at + j] == tab[(p + j) % PERIOD] and
                                                rec[1][at + j] == -tab[(p + j) % PERIOD] for j in range(PERIOD))), None)
    check(ph is not None, "%s: a period of the recording is the file's table, bit-exact at 24 bits" % name)
    peak = max(abs(v) for v in rec[0][at:at + PERIOD])
    db = 20.0 * math.log10(peak / 2.0 ** 23)
    want = 20.0 * math.log10(max(abs(v) for v in tab) / 2.0 ** 23)
    log("FIGURES %s: %d break(s) in B's recording, %d the reference does not share; %d gap(s) in the reference; "
        "peak %.4f dBFS; %s" % (name, len(events), len(mine), len(ref_gaps), db, watch.figure()))
    check(abs(db - want) <= 0.01, "%s: the peak is %.4f dBFS (%.4f +- 0.01)" % (name, db, want))
    # On a machine that held a real-time thread up over 2 ms, or an engine past a period,
    # the breaks the reference does not share are figures (PipeWire's own resyncs follow
    # hold-ups that the witness, above PipeWire's threads, need not see).
    if not watch.longer_than(2.0) and held <= 1.25:
        check(not mine, "%s: every break of the tone is one the reference shares or a stall explains (%d not)"
              % (name, len(mine)))
    elif mine:
        log("%s: the machine was held up (engines up to %.1f periods behind): %d unshared break(s) are figures"
            % (name, held, len(mine)))


def started_in(proc, endpoint):
    """For a program whose plugin runs in proc (a PipeWire daemon): a function that waits
    for the next start of endpoint there and returns its time."""
    mark = "velunor: %s state 3 at mono_ns=" % endpoint
    n = sum(1 for l in proc.lines() if mark in l)

    def when(_rec):
        line = proc.wait_line(mark, timeout=10, count=n + 1)
        return int(re.search(r"mono_ns=(\d+)", line).group(1))
    return when


def played_on_b(name, a, b, bins, env, player, tab, secs, recorder=None, rec_started=None):
    """player() starts A's program; B records pair 00 (recorder(path) or arecord) and the
    reference; the recording is judged. rec_started(rec): when B's recording stream
    started (default: the plugin's trace in rec's own output)."""
    tag = re.sub(r"\W+", "-", name)
    watch = lanlib.StallWatch(a, secs + 12, name="stallwatch-" + tag)
    path, ref_path = os.path.join(b.root, tag + ".wav"), os.path.join(b.root, tag + "-ref.wav")
    rrec = alsa.record_alsa(b, env, ref_path, secs + 5, "arecord-ref-" + tag, pcm="velunor_in_01")
    t_ref = alsa.state_time(rrec, "in_stereo-01")
    rec = recorder(path) if recorder else alsa.record_alsa(b, env, path, secs + 4, "arecord-" + tag)
    t_rec = rec_started(rec) if rec_started else alsa.state_time(rec, "in_stereo-00")
    time.sleep(0.5)
    play = player()
    rc = play.wait(secs + 20)
    check(rc == 0, "%s: the player ended well on A: %s" % (name, play.tail(6)))
    if recorder:
        time.sleep(1.0)
        rec.signal(signal.SIGINT)
    check(rec.wait(secs + 20) is not None, "%s: the recording ended on B: %s" % (name, rec.tail(6)))
    check(rrec.wait(secs + 20) == 0, "%s: the reference was recorded on B: %s" % (name, rrec.tail(6)))
    watch.finish(30)
    ref_gaps = alsa.reference_gaps(name, alsa.read_wav(ref_path)[3][0], t_ref)
    held = max(jackt.engine_held_up(a, bins), jackt.engine_held_up(b, bins))
    judge_periodic(name, path, tab, t_rec, ref_gaps, watch, secs, held)


def follow_endpoints(a, e, bins):
    """A's endpoints disabled and enabled again while PipeWire runs: the nodes follow."""
    ch = lanlib.binary("tools/VelunorCh/VelunorCh")
    nodes = ("Velunor Link output 00", "Velunor Link input 00", "Velunor Link output 01", "Velunor Link input 01")

    def listed():
        st = a.run(["wpctl", "status"], env=e, timeout=10).stdout
        return [n for n in nodes if n in st]

    for arg, want in (("-veluDisable", []), ("-veluEnable48", list(nodes))):
        r = a.run([ch, arg], timeout=20)
        check(r.returncode == 0, "VelunorCh %s on A: %s" % (arg, r.stdout[-300:]))
        t0 = time.monotonic()
        lanlib.wait_until(lambda: listed() == want, 10, "A's nodes after VelunorCh %s" % arg)
        log("FIGURES VelunorCh %s: A's PipeWire nodes followed in %.1f s (%s)"
            % (arg, time.monotonic() - t0, ", ".join(want) or "none left"))


def test():
    lanlib.require_root()
    bins = alsa.binaries()
    missing = [t for t in ("pipewire", "wireplumber", "pipewire-pulse", "pw-play", "pw-record", "paplay", "wpctl",
                           "dbus-run-session", "speaker-test") if not shutil.which(t)]
    if missing:
        lanlib.skip("not installed: " + ", ".join(missing))
    env = alsa.alsa_env(bins)
    build = lanlib.build_dir()
    with lanlib.Lan(2) as lan:
        a, b = lan.host(1), lan.host(2)
        host_a, _ = alsa.driver_card(a, bins, "cardA")
        alsa.driver_card(b, bins, "cardB")
        alsa.route_pair(a, b, "cardA")

        # speaker-test as a user types it: no buffer options.
        tag = "speaker-test"
        path = os.path.join(b.root, tag + ".wav")
        rec = alsa.record_alsa(b, env, path, 8, "arecord-" + tag)
        alsa.state_time(rec, "in_stereo-00")
        r = a.run(["speaker-test", "-D", "velunor_out_00", "-c", "2", "-t", "sine", "-f", "1000", "-l", "1"],
                  env=env, timeout=60)
        check(r.returncode == 0, "speaker-test played on A: " + r.stdout[-300:] + r.stderr[-300:])
        bufsz = re.search(r"Buffer size range from (\d+) to (\d+)", r.stdout)
        log("speaker-test: %s" % " | ".join(l for l in r.stdout.splitlines() if "size" in l or "Time per" in l))
        check(rec.wait(20) == 0, "B recorded speaker-test: " + rec.tail(4))
        x = alsa.read_wav(path)[3][0]
        loud = [i for i, v in enumerate(x) if abs(v) > 2 ** 24]
        check(len(loud) > RATE // 2, "B heard speaker-test's sine for %.2f s" % (len(loud) / RATE))
        mid = loud[len(loud) // 2]
        seg = x[mid - RATE // 8:mid + RATE // 8]
        ups = [i for i in range(1, len(seg)) if seg[i - 1] < 0 <= seg[i]]
        hz = (len(ups) - 1) * RATE / (ups[-1] - ups[0]) if len(ups) > 2 else 0.0
        check(abs(hz - 1000.0) < 5.0, "speaker-test's tone on B is at %.1f Hz" % hz)
        if bufsz:
            log("FIGURES speaker-test: buffer size range %s-%s frames offered; heard on B for %.2f s"
                % (bufsz.group(1), bufsz.group(2), len(loud) / RATE))

        # PipeWire on both computers.
        da, db = pw_env(a, env, build), pw_env(b, env, build)
        pw_a, _, _ = start_pipewire(a, da, "A")
        pw_b, _, _ = start_pipewire(b, db, "B")
        ea, eb = client_env(da), client_env(db)
        st = a.run(["wpctl", "status"], env=ea, timeout=10).stdout
        for node in ("Velunor Link output 00", "Velunor Link input 00", "Velunor Link output 01",
                     "Velunor Link input 01"):
            check(node in st, "A's PipeWire lists %s" % node)
        check("Velunor Link output 02" not in st, "no node for pair 02, which the card does not run")
        follow_endpoints(a, ea, bins)

        wav = os.path.join(a.root, "table.wav")
        tab = table_wav(wav, SECS)
        played_on_b("pw-play to pw-record", a, b, bins, env,
                    lambda: a.spawn(["pw-play", "--target", "velunor_out_00", wav], name="pw-play", env=ea), tab, SECS,
                    recorder=lambda p: b.spawn(["pw-record", "--target", "velunor_in_00", "--format", "s32", "--rate",
                                                str(RATE), "--channels", "2", p], name="pw-record", env=eb),
                    rec_started=started_in(pw_b, "in_stereo-00"))
        played_on_b("paplay through pipewire-pulse", a, b, bins, env,
                    lambda: a.spawn(["paplay", "--device=velunor_out_00", wav], name="paplay", env=ea), tab, SECS)

        # PipeWire killed while it plays: the endpoint is free for the next program.
        p = a.spawn(["pw-play", "--target", "velunor_out_00", wav], name="pw-play-kill", env=ea)
        time.sleep(2.0)
        pw_a.signal(signal.SIGKILL)
        p.stop()
        time.sleep(0.5)
        short = os.path.join(a.root, "short.wav")
        a.run(["sox", "-n", "-r", str(RATE), "-b", "16", "-c", "2", short, "synth", "1", "sine", "440"], check=True)
        r = a.run(["aplay", "-D", "velunor_out_00", short], env=env, timeout=30)
        check(r.returncode == 0, "after PipeWire was killed, aplay plays on velunor_out_00: " + r.stderr[-300:])

        # The driver host goes away under aplay: an error that says how long ago the
        # stream last ran, on aplay's own clock (seconds, not the age of the epoch).
        p = a.spawn(["aplay", "-D", "velunor_out_00", wav], name="aplay-gone", env=env)
        p.wait_line("velunor: out_stereo-00 state 3", timeout=10)
        time.sleep(1.5)
        host_a.signal(signal.SIGKILL)
        rc = p.wait(20)
        if rc is None:
            p.stop()
        out = p.output()
        check(rc not in (None, 0), "aplay ends with an error when the driver host goes away: " + p.tail(4))
        m = re.search(r"at least ([0-9.]+) ms long", out)
        log("aplay when the host went away: %s" % " | ".join(l for l in p.lines()[-4:]))
        check(m is None or float(m.group(1)) < 60000.0,
              "aplay's xrun notice gives a duration on its own clock: %s ms" % (m.group(1) if m else "-"))


if __name__ == "__main__":
    lanlib.main(test)
