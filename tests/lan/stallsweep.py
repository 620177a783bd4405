"""Stalls made on purpose and the sound they cost (shared by tests/lan/test_stall_*.py).

A counter signal names every frame: frame n of the source carries n + 1 in its top 24
bits (under 2^23 frames: 174 s), so each recorded sample says which source frame it is, whatever a link
of 24 bits does to the rest. A recording on the time axis (asiohost writes silence for
what its driver skipped) is cut into runs of consecutive source frames; between two runs
the sound lost is the larger of the silent (or unreadable) stretch and the source frames
skipped, or both together when the source went back.

velunor-stall pauses a process (SIGSTOP, SIGCONT S ms later) and logs the pause; each
loss is put with the stall before it, and judged against the slack of the stalled side:
a stall within the slack loses nothing, a longer one at most S - slack + 2 ms. The stall
witness judges the excess: a host stall of W ms that it saw inside the window counts as
W ms more of stall there (the machine stopped the card as the injector did).
"""

import os
import subprocess
import wave

import lanlib

RATE = 48000
MASK = (1 << 23) - 1
MIN_RUN = 8  # shorter runs of consecutive frames are a torn block, not sound
# Where a stall's loss lands on the recording's time axis: the stalled side's sound reaches
# the recording up to a link offset, a ring and the hosts' buffers later.
WINDOW_BEFORE_MS, WINDOW_AFTER_MS = 50, 250


def write_counter_wav(path, seconds, rate=RATE, channels=1):
    """32-bit PCM, every channel the counter."""
    n = int(seconds * rate)
    data = bytearray(4 * n * channels)
    for i in range(n):
        v = (((i + 1) & MASK) << 8).to_bytes(4, "little", signed=True)
        for c in range(channels):
            o = 4 * (i * channels + c)
            data[o:o + 4] = v
    with wave.open(path, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(4)
        w.setframerate(rate)
        w.writeframes(bytes(data))


def read_mono32(path, channel=0):
    """Channel `channel` of a 32-bit WAV."""
    with wave.open(path, "rb") as w:
        if w.getsampwidth() != 4:
            raise lanlib.TestFailure("%s: not 32-bit" % path)
        nch = w.getnchannels()
        raw = w.readframes(w.getnframes())
    step = 4 * nch
    return [int.from_bytes(raw[i:i + 4], "little", signed=True) for i in range(4 * channel, len(raw), step)]


def runs(rec):
    """Runs of consecutive source frames: (position, source frame, length)."""
    out = []
    i, n = 0, len(rec)
    while i < n:
        v = rec[i] >> 8
        if v == 0:
            i += 1
            continue
        j = i + 1
        while j < n and (rec[j] >> 8) == v + (j - i):
            j += 1
        if j - i >= MIN_RUN:
            out.append((i, v, j - i))
        i = j
    return out


def events(rec):
    """Where the sound broke: (position after the last good frame, frames lost)."""
    rs = runs(rec)
    ev = []
    for (p0, s0, n0), (p1, s1, _) in zip(rs, rs[1:]):
        gap = p1 - (p0 + n0)
        jump = s1 - (s0 + n0)
        lost = max(gap, jump) if jump >= 0 else gap - jump
        if lost > 0:
            ev.append((p0 + n0, lost, gap, jump))
    return rs, ev


class Stalls:
    """velunor-stall runs and their logged pauses: (label, S ms, from ns, to ns)."""

    def __init__(self, logdir):
        self.tool = lanlib.binary("tools/velunor-stall/velunor-stall")
        self.logdir = logdir
        self.made = []

    def stall(self, label, pids, ms):
        path = os.path.join(self.logdir, "stall-%d.log" % len(self.made))
        r = subprocess.run([self.tool, "pid=" + ",".join(str(p) for p in pids), "ms=%g" % ms, "log=" + path],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=ms / 1000.0 + 20)
        if r.returncode != 0:
            raise lanlib.TestFailure("velunor-stall %s: %s" % (label, r.stderr.strip()))
        with open(path) as f:
            t = f.read().split()
        self.made.append((label, ms, int(t[1]), int(t[2])))
        return self.made[-1]


class Witnesses:
    """The stall witness at its usual priority (above the cards) and a second one below
    the cards' real-time threads (SCHED_FIFO 50: hosts' audio threads run at 60, engines
    at 70). On a machine shared with other real-time work the first sees only what held
    up the whole machine; the second also what other real-time threads took from ours.
    Used as one witness: episodes(), figure()."""

    def __init__(self, host, seconds, threshold_us=None):
        self.high = lanlib.StallWatch(host, seconds, name="stallwatch", threshold_us=threshold_us)
        self.low = lanlib.StallWatch(host, seconds, name="stallwatch-low", threshold_us=threshold_us, prio=50)
        self.stalls, self.holdups = [], []

    def finish(self, timeout):
        self.high.finish(timeout)
        self.low.finish(timeout)
        self.stalls = sorted(self.high.stalls + self.low.stalls)

    def episodes(self):
        return lanlib.StallWatch.episodes(self)

    GRID_NS = lanlib.StallWatch.GRID_NS

    def figure(self):
        return "%s; below the cards' threads: %s" % (self.high.figure(), self.low.figure())


def witnessed_ms(watch, a_ns, b_ns):
    """Milliseconds of host stall (witness episodes) overlapping [a, b]."""
    total = 0
    for x, y in watch.episodes():
        lo, hi = max(x, a_ns), min(y, b_ns)
        if hi > lo:
            total += (y - x) / 1e6
    return total


def bound_ms(stall_ms, slack_ms):
    """The most a stall may cost: nothing within the slack, S - slack + 2 ms beyond it."""
    return 0.0 if stall_ms <= slack_ms else stall_ms - slack_ms + 2.0


def timeline(proc):
    """asiohost's "timeline:" lines: (frame, ns) pairs, the frames recorded up to then."""
    import re
    return [(int(f), int(t)) for f, t in re.findall(r"timeline: frame (\d+) at mono_ns=(\d+)", proc.output())]


def mapper(t0_ns, bs, marks=None):
    """Recording frame -> CLOCK_MONOTONIC ns: from the nearest timeline mark at or before it
    (the file may hold less time than passed), else from the first switch."""
    import bisect
    frames = [f for f, _t in marks or []]

    def at(p):
        k = bisect.bisect_right(frames, p) - 1
        if k >= 0:
            return marks[k][1] + (p - marks[k][0]) * 1e9 / RATE
        return t0_ns + (p - bs) * 1e9 / RATE
    return at


def judge(rec, t0_ns, made, slack, watch, resets=None, bs=48, marks=None):
    """Puts every break of the sound with its stall and judges it. rec: samples on the
    time axis, position p recorded at t0 + (p - bs) / RATE; made: Stalls.made; slack:
    label -> ms; resets: label -> list of reset times (ns) per host. Returns (rows, faults,
    outside): rows (label, S, slack, lost ms, bound ms, witnessed ms, resets), faults the
    texts of what broke a bound, outside the breaks near no stall (position, ms, witnessed,
    what the break was)."""
    rs, ev = events(rec)
    if not rs:
        raise lanlib.TestFailure("the recording holds no counter signal")
    first, last = rs[0][0] + RATE // 2, rs[-1][0] + rs[-1][2]

    at = mapper(t0_ns, bs, marks)
    rows, faults, used = [], [], set()
    for k, (label, ms, f, t) in enumerate(made):
        lo, hi = f - WINDOW_BEFORE_MS * 1e6, t + WINDOW_AFTER_MS * 1e6
        if k + 1 < len(made):
            hi = min(hi, made[k + 1][2] - WINDOW_BEFORE_MS * 1e6)
        lost = 0
        for i, (p, n, _g, _j) in enumerate(ev):
            if first <= p <= last and lo <= at(p) <= hi:
                lost += n
                used.add(i)
        lost_ms = lost * 1000.0 / RATE
        w = witnessed_ms(watch, lo, hi)
        stall = (t - f) / 1e6
        b = bound_ms(stall, slack[label])
        allowed = bound_ms(stall + w, slack[label])
        n_resets = {who: sum(1 for x in times if lo <= x <= hi) for who, times in (resets or {}).items()}
        rows.append((label, ms, slack[label], lost_ms, b, w, n_resets))
        if lost_ms > allowed + 1e-9:
            faults.append("%s stalled %.1f ms (slack %.1f): %.1f ms of sound lost, more than %.1f ms%s"
                          % (label, stall, slack[label], lost_ms, allowed,
                             " (the witness saw %.1f ms of host stall there)" % w if w else ""))
        for who, n in n_resets.items():
            if n > 1:
                faults.append("%s stalled %.1f ms: %d resets on %s" % (label, stall, n, who))
    outside = []
    for i, (p, n, g, j) in enumerate(ev):
        if i not in used and first <= p <= last:
            t = at(p)
            outside.append((p, n * 1000.0 / RATE, witnessed_ms(watch, t - 300e6, t + 50e6),
                            "%d frames of silence, the source %+d frames on" % (g, j)))
    return rows, faults, outside


def table(rows):
    lines = ["%-14s %6s %8s %9s %9s %10s  %s" % ("side", "S ms", "slack", "lost ms", "bound", "witness ms", "resets")]
    for label, ms, slack, lost, b, w, n_resets in rows:
        lines.append("%-14s %6g %8.1f %9.1f %9.1f %10.1f  %s" % (label, ms, slack, lost, b, w,
                                                                " ".join("%s=%d" % kv for kv in n_resets.items())))
    return "\n".join(lines)



def resume_ms(rec, t0_ns, from_ns, to_ns, bs=48, settle_s=0.1, marks=None):
    """How long after a stall's end the sound flowed again (ms; 0 when it never broke):
    the start of the first run of at least settle_s that starts after the stall began."""
    at = mapper(t0_ns, bs, marks)
    for p, _s, n in runs(rec):
        if at(p) <= from_ns and at(p + n) >= to_ns + 50e6:
            return 0.0
        if at(p) > from_ns - 5e6 and n >= settle_s * RATE:
            return (at(p) - to_ns) / 1e6
    return None
