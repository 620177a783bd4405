#!/usr/bin/env python3
"""The sound card's main job in a virtual LAN (run by scripts/demo.sh, as root).

Two sound cards, cardA and cardB, each a VelunorRoute in its own network namespace
(its own computer), plus a monitor computer that runs the PTP grandmaster (linuxptp's
ptp4l) and listens to the control group. A stall witness (a real-time thread per CPU)
watches the machine meanwhile, so that silence in what cardB heard is shown beside the
host stalls that explain it. Nothing is sent on the machine's real interfaces;
everything is removed at the end.

The demo is a list of steps run in order; add a step with the @step decorator:

    @step("Route a channel from cardA to cardB")
    def route_channel(ctx):
        ctx.host("cardB").run([ctx.tool("tools/ctl/velunor-ctl"), ...], check=True)

ctx.cards maps a card name to (host, proc); ctx.lan is the lanlib.Lan.
"""

import argparse
import json
import math
import os
import re
import shutil
import sys
import time
import wave

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lanlib  # noqa: E402
from test_ptp_interop import GM_CFG, true_offset_us  # noqa: E402

STEPS = []


def step(title):
    def add(fn):
        STEPS.append((title, fn))
        return fn
    return add


class Ctx:
    def __init__(self, lan, args):
        self.lan, self.args = lan, args
        self.cards = {}  # name -> (Host, Proc)
        self.monitor = None

    def host(self, card):
        return self.cards[card][0]

    def proc(self, card):
        return self.cards[card][1]

    def tool(self, rel):
        return lanlib.binary(rel)


def show(title, text):
    print("  --- %s" % title)
    for line in text.rstrip().splitlines():
        print("  | " + line)
    sys.stdout.flush()


CARDS = [("cardA", 1), ("cardB", 2)]
MONITOR = 3
LINK_MS = 5.0  # the cards' link offset (route file default delayUs 5000)

TRACE = re.compile(r"^ptp: median=(-?\d+) spread=(-?\d+) used=([01])$")


@step("Start the PTP grandmaster (ptp4l) on the monitor computer")
def start_grandmaster(ctx):
    m = ctx.lan.host(MONITOR)
    if shutil.which("ptp4l") is None:
        raise lanlib.TestFailure("ptp4l is not installed (scripts/setup.sh installs linuxptp)")
    cfg = os.path.join(m.root, "gm.cfg")
    with open(cfg, "w") as f:
        f.write(GM_CFG)
    ctx.ptp4l = m.spawn(["ptp4l", "-f", cfg, "-i", m.dev, "-S", "-m"], name="ptp4l")
    ctx.ptp4l.wait_line("assuming the grand master role", timeout=20)
    g = re.search(r"selected local clock ([0-9a-f]{6})\.([0-9a-f]{4})\.([0-9a-f]{6}) as best master",
                  ctx.ptp4l.output())
    h = "".join(g.groups()) if g else ""
    ctx.gm_id = "-".join(h[i:i + 2] for i in range(0, 16, 2)) if g else None
    print("  ptp4l on %s (%s) is the grandmaster, clock identity %s" % (m.dev, m.ip, ctx.gm_id))


@step("Start two sound cards")
def start_cards(ctx):
    route = lanlib.binary("route/VelunorRoute")
    for name, i in CARDS:
        h = ctx.lan.host(i)
        argv = [route, "bufMs=4", "sampleRate=48000", "chNumTx=2", "chNumRx=2", "devId=" + name,
                "bindIp=" + h.ip]
        # The PTP slave prints one line per estimate: the offset the card uses.
        p = h.spawn(argv, name=name, env={"VELUNOR_PTP_TRACE": "1"})
        ctx.cards[name] = (h, p)
        print("  %s on %s (%s, namespace %s): %s" % (name, h.dev, h.ip, h.ns, " ".join(map(str, argv[1:]))))
    for name, (h, p) in ctx.cards.items():
        p.wait_line("warning: bindIp=%s " % h.ip, timeout=20)
    print("  both cards are up")


@step("Listen on the control group from the monitor computer")
def start_monitor(ctx):
    m = ctx.lan.host(MONITOR)
    ctx.monitor = m.udp_listen(9996, ctx.args.seconds + 30, group="239.0.0.188", name="monitor")
    ctx.monitor.wait_line("listening", timeout=10)
    print("  monitor %s listens on 239.0.0.188:9996" % m.ip)


def offset_text(m, n=None):
    """A slave's offset (grandmaster time - local monotonic clock) as a newcomer reads it:
    ptp4l serves this machine's real-time clock, so the offset should be the real-time
    clock's lead over the monotonic one, less the path delay."""
    us = int(m.group(1))
    return "offset %.6f s, %+d us from the real-time clock ptp4l serves (window spread %s us%s)" % (
        us / 1e6, us - true_offset_us(), m.group(2), "" if n is None else ", %d estimates" % n)


@step("Both cards follow the grandmaster")
def show_clock(ctx):
    def gm_ids():
        ids = {}
        for data, _src in lanlib.udp_datagrams(ctx.monitor):
            try:
                o = json.loads(data.decode("utf-8"))
            except ValueError:
                continue
            if isinstance(o, dict) and o.get("ops") == "iAmVelunor":
                ids[o.get("devId")] = o.get("gmClkId")
        return ids
    # A card tells its grandmaster in every iAm (every 5 s).
    lanlib.wait_until(lambda: all(gm_ids().get(n) == ctx.gm_id for n in ctx.cards), 20,
                      "both cards telling gmClkId %s" % ctx.gm_id)
    ids = gm_ids()
    print("  ptp4l's clock identity:  %s" % ctx.gm_id)
    for name, (h, p) in ctx.cards.items():
        est = [TRACE.match(l.strip()) for l in p.lines()]
        est = [m for m in est if m and m.group(3) == "1"]
        off = offset_text(est[-1], len(est)) if est else "no offset yet"
        print("  %s gmClkId:          %s  %s" % (name, ids.get(name), off))


@step("Their sockets")
def show_sockets(ctx):
    for name, (h, p) in ctx.cards.items():
        r = h.run(["ss", "-uanp"], timeout=10)
        lines = [l for l in r.stdout.splitlines() if l.startswith("State") or "VelunorRoute" in l]
        show("%s: ss -uanp" % name, "\n".join(lines))


@step("Their multicast groups")
def show_groups(ctx):
    for name, (h, p) in ctx.cards.items():
        lanlib.wait_until(lambda: "239.255.255.255" in h.groups(h.dev), 10, name + " joins")
        # The PTP thread joins its group once it sees the card's address (checked each second).
        end = time.monotonic() + 3.0
        while "224.0.1.129" not in h.groups(h.dev) and time.monotonic() < end:
            time.sleep(0.2)
        show("%s: groups on %s" % (name, h.dev), "\n".join(sorted(set(h.groups(h.dev)))))


@step("Install the ASIO driver on both cards")
def register_drivers(ctx):
    ctx.asiohost = lanlib.binary("tools/asiohost/asiohost")
    driver = lanlib.binary("asio/Velunor-rEduVuzi.so")
    for name, (h, p) in ctx.cards.items():
        area = os.path.join(h.rundir, "objects", "Velunor-vSnd-shareMem")
        lanlib.wait_until(lambda: os.path.exists(area), 10, "exchange area of " + name)
        r = h.run([ctx.asiohost, "--register", "--driver", driver], timeout=20)
        if r.returncode != 0:
            raise lanlib.TestFailure("%s: driver registration: %s %s" % (name, r.stdout, r.stderr))
    show("cardB: asiohost --list", ctx.host("cardB").run([ctx.asiohost, "--list"], timeout=20).stdout)


def ctl(ctx, card, *words):
    """velunor-ctl run on the monitor computer (the controller) against a card."""
    m = ctx.lan.host(MONITOR)
    r = m.run([lanlib.binary("tools/velunor-ctl/velunor-ctl")] + list(words), timeout=20)
    show("velunor-ctl " + " ".join(words), r.stdout + r.stderr)
    return r


@step("Route cardB's receive channel 0 from cardA's transmit channel 0 (unicast)")
def route_channel(ctx):
    b = ctx.host("cardB")
    r = ctl(ctx, "cardB", b.ip, "setUcastRx", "srcDevId=cardA", "srcChId=0", "dstChId=0")
    if r.returncode != 0:
        raise lanlib.TestFailure("setUcastRx failed")

    def active():
        r = ctx.lan.host(MONITOR).run([lanlib.binary("tools/velunor-ctl/velunor-ctl"), "--json", "page", b.ip,
                                      "getAllUcastRx"], timeout=20)
        return '"active":"1"' in r.stdout
    lanlib.wait_until(active, 20, "cardB's unicast stream from cardA active")
    ctl(ctx, "cardB", "page", b.ip, "getAllUcastRx")
    ctl(ctx, "cardA", "page", ctx.host("cardA").ip, "getAllUcastTx")


@step("Play a 1 kHz tone into cardA, record cardB")
def play_and_record(ctx):
    a, b = ctx.host("cardA"), ctx.host("cardB")
    secs = max(3.0, min(10.0, ctx.args.seconds / 2))
    ctx.wav = os.path.join(b.root, "heard-on-cardB.wav")
    # The witness watches the machine while the tone plays: every stretch in which it ran
    # none of our real-time threads is noted, so silence can be told from a stopped host.
    ctx.watch_s = int(secs) + 8
    ctx.watch = lanlib.StallWatch(ctx.lan.host(MONITOR), ctx.watch_s)
    print("  stall witness: velunor-stallwatch, one real-time thread per CPU, for %d s" % ctx.watch_s)
    rec = b.spawn([ctx.asiohost, "--record", ctx.wav, "--in", "0", "--seconds", "%.1f" % (secs + 2),
                   "--wait", "10"], name="recorder")
    rec.wait_line("buffer size", timeout=20)
    play = a.spawn([ctx.asiohost, "--tone", "1000", "--out", "0", "--seconds", "%.1f" % secs, "--wait", "10"],
                   name="player")
    print("  cardA: asiohost plays 1 kHz at -6 dBFS on output 0 for %.0f s; cardB: asiohost records input 0" % secs)
    time.sleep(secs / 2)
    ctl(ctx, "cardB", "page", b.ip, "getAllVolumeDbRx")
    play.wait(secs + 30)
    rec.wait(secs + 30)
    show("player", "\n".join(play.lines()[-3:]))
    show("recorder", "\n".join(rec.lines()[-3:]))
    m = [l for l in rec.lines() if "first bufferSwitch at mono_ns=" in l]
    ctx.rec_first_ns = int(m[-1].rsplit("=", 1)[1]) if m else None
    ctx.rec_resets = [l for l in rec.lines() if "reset request:" in l or "skipped" in l]


@step("What cardB heard")
def analyse(ctx):
    with wave.open(ctx.wav, "rb") as w:
        width, rate, n = w.getsampwidth(), w.getframerate(), w.getnframes()
        raw = w.readframes(n)
    s = [int.from_bytes(raw[i:i + width], "little", signed=True) for i in range(0, len(raw), width)]
    nz = [i for i, v in enumerate(s) if v]
    if not nz:
        raise lanlib.TestFailure("cardB recorded silence")
    body = s[nz[0]:nz[-1] + 1]
    full = float(1 << (8 * width - 1))
    rms = math.sqrt(sum(float(v) * v for v in body) / len(body)) / full
    crossings = sum(1 for x, y in zip(body, body[1:]) if x < 0 <= y)
    silent = [k for k in range(0, len(body) - 48, 48) if not any(body[k:k + 48])]
    print("  recording %s: %d Hz, %d-bit, %.2f s" % (ctx.wav, rate, 8 * width, n / float(rate)))
    print("  tone heard on cardB: %.0f Hz, level %.1f dBFS RMS (a -6 dBFS sine is -9.0 dBFS RMS), "
          "%d silent 1 ms blocks" % (crossings * rate / float(len(body)), 20 * math.log10(max(rms, 1e-12)),
                                     len(silent)))
    explain_silence(ctx, [nz[0] + k for k in silent], rate)


def explain_silence(ctx, starts, rate):
    """Prints, for each run of silent blocks, the host stall that explains it, if any."""
    watch = ctx.watch
    watch.finish(ctx.watch_s + 30)
    print("  stall witness: " + watch.figure())
    if not starts:
        print("  no silent block: nothing to explain")
        return
    if ctx.rec_first_ns is None:
        print("  the recorder gave no start time: silent blocks cannot be placed in time")
        return
    runs = []
    for k in starts:
        if runs and k - runs[-1][1] <= 48:
            runs[-1][1] = k
        else:
            runs.append([k, k])
    explained = 0
    for a, b in runs:
        t0 = ctx.rec_first_ns + int(a * 1e9 / rate)
        t1 = ctx.rec_first_ns + int((b + 48) * 1e9 / rate)
        # A stall at the sender shows at the receiver a link offset later; a few periods
        # of catch-up and the recorder's own ring add to that.
        cause = watch.cause(t0, t1, 1.0, LINK_MS + 14)
        blocks = (b - a) // 48 + 1
        if cause:
            explained += blocks
            ago = (t0 - cause[1]) / 1e6
            print("  %3d silent ms at %6.3f s: host stall of %.1f ms, ending %s" % (
                blocks, a / float(rate), (cause[1] - cause[0]) / 1e6,
                "%.1f ms before it" % ago if ago >= 0 else "%.1f ms into it" % -ago))
        else:
            print("  %3d silent ms at %6.3f s: no host stall over 1 ms in the %.0f ms before it" % (
                blocks, a / float(rate), LINK_MS + 14))
    for line in ctx.rec_resets:
        print("  recorder: " + line.strip())
    print("  %d of %d silent blocks follow a host stall%s" % (
        explained, len(starts), "" if explained == len(starts) else
        "; the others are not explained by a stall of the host (the players are ordinary processes: "
        "a late block is sent silent)"))


@step("Run")
def run(ctx):
    end = time.monotonic() + ctx.args.seconds
    shown = {name: 0 for name in ctx.cards}
    while True:
        left = end - time.monotonic()
        for name, (h, p) in ctx.cards.items():
            lines = p.lines()
            new, shown[name] = lines[shown[name]:], len(lines)
            state = "running" if p.alive() else "ENDED (%s)" % p.popen.returncode
            print("  %s: %s, cpu %.2f s" % (name, state, p.cpu_seconds() if p.alive() else 0.0))
            # Repeated lines (a PTP slave without a grandmaster, say) are shown once, counted.
            counts = {}
            for l in new:
                if TRACE.match(l.strip()):
                    continue  # the PTP slave's estimates: the last one is shown below
                counts[l] = counts.get(l, 0) + 1
            for l, c in list(counts.items())[-10:]:
                print("  | " + l + ("   (x%d)" % c if c > 1 else ""))
            est = [TRACE.match(l.strip()) for l in lines]
            est = [m for m in est if m]
            if est:
                print("  | PTP " + offset_text(est[-1]))
            if not p.alive():
                raise lanlib.TestFailure(name + " ended")
        heard = {}
        for data, (ip, _port) in lanlib.udp_datagrams(ctx.monitor):
            heard[ip] = heard.get(ip, 0) + 1
        print("  control group heard: %s" % (", ".join("%s x%d" % kv for kv in sorted(heard.items())) or "nothing yet"))
        sys.stdout.flush()
        if left <= 0:
            break
        time.sleep(min(5.0, left))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=20.0, help="how long the cards run (default 20)")
    ap.add_argument("--build-dir", help="build directory with route/VelunorRoute")
    args = ap.parse_args()
    if args.build_dir:
        os.environ["VELUNOR_BUILD_DIR"] = args.build_dir
    if os.geteuid() != 0:
        print("demo: needs root (it builds a virtual LAN of network namespaces)")
        sys.exit(1)
    lanlib.require_root()
    with lanlib.Lan(3) as lan:
        ctx = Ctx(lan, args)
        for n, (title, fn) in enumerate(STEPS, 1):
            print("== %d. %s" % (n, title), flush=True)
            fn(ctx)
        print("== tearing down", flush=True)
    print("demo finished: namespaces and temp dirs removed", flush=True)


if __name__ == "__main__":
    try:
        main()
    except lanlib.TestFailure as e:
        print("demo failed: %s" % e, flush=True)
        sys.exit(1)
