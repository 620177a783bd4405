"""A virtual LAN of network namespaces for end-to-end tests (python3 stdlib only).

One Lan is a bridge namespace (br0, multicast snooping off so every group is flooded)
plus N "computers". Computer i is a namespace with lo up, a veth link to the bridge,
the address 10.77.<net>.<i>/24 and the route 224.0.0.0/4 on its veth (there is no
default route; without it multicast sends and joins on "any" fail). Every computer
also has its own VELUNOR_ROOT and VELUNOR_RUNDIR temp dirs, so several sound cards
run side by side. Names carry the pid of the test, so parallel runs never collide,
and namespaces left by a killed run are removed by the next one.

Typical use:

    import lanlib
    lanlib.require_root()                       # exit 77 (skipped) without root/netns
    route = lanlib.binary("route/VelunorRoute") # from VELUNOR_BUILD_DIR
    with lanlib.Lan(2) as lan:
        a, b = lan.host(1), lan.host(2)
        p = a.spawn([route, "bindIp=" + a.ip, "devId=cardA"], name="routeA")
        p.wait_line("warning: bindIp=", timeout=10)
        lanlib.wait_until(lambda: "239.0.0.188" in a.groups(), 5, "joined")
        r = b.run(["ping", "-c1", "-W1", a.ip])          # to completion, output captured
        replies = b.udp_send(a.ip, 9995, b'{"ops":"x"}', wait=1.0)
        print(a.ns, a.dev, a.root, a.rundir, p.output())

Everything is torn down on leaving the with-block, at exit, and on SIGINT, SIGTERM
and SIGHUP: processes (each spawned in its own process group) are killed, anything
else still inside a namespace is killed, namespaces are deleted, temp dirs removed.

A test script exits 0 on success, 1 on failure, 77 when skipped; `lanlib.main(fn)`
runs fn() and maps exceptions to those codes (check() raises TestFailure).

Run `python3 lanlib.py udp ...` is the sender/receiver helper that Host.udp_send and
Host.udp_listen start inside a namespace (see _udp_main).
"""

import atexit
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77
PREFIX = "vl"  # namespace names: vl<pid>x<seq>b (bridge), vl<pid>x<seq>h<i> (computers)

_live = []  # Lans not yet torn down
_live_lock = threading.Lock()
_seq = 0


class TestFailure(Exception):
    pass


def check(cond, msg):
    """Raises TestFailure(msg) when cond is false; prints an ok line otherwise."""
    if not cond:
        raise TestFailure(msg)
    print("ok: " + msg, flush=True)


def soak_check(cond, msg):
    """A figure that only a quiet machine meets: judged when scripts/soak.sh runs the test
    (VELUNOR_SOAK=1), printed as a figure in the test gate."""
    if os.environ.get("VELUNOR_SOAK") == "1":
        check(cond, msg)
    else:
        print("figure: %s: %s (judged by the soak script)" % ("met" if cond else "MISSED", msg), flush=True)


def log(msg):
    print(msg, flush=True)


def skip(msg):
    print("SKIP: " + msg, flush=True)
    sys.exit(SKIP)


def wait_until(fn, timeout, what="condition", interval=0.1):
    """Polls fn() until it returns a true value (returned) or timeout s pass (TestFailure)."""
    end = time.monotonic() + timeout
    while True:
        v = fn()
        if v:
            return v
        if time.monotonic() >= end:
            raise TestFailure("timed out after %.1f s waiting for %s" % (timeout, what))
        time.sleep(interval)


def _ip(*args, check=True, timeout=20):
    r = subprocess.run(["ip"] + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       text=True, timeout=timeout)
    if check and r.returncode != 0:
        raise RuntimeError("ip %s: %s" % (" ".join(args), r.stderr.strip()))
    return r


def require_root():
    """Exits 77 with "SKIP: needs root (network namespaces)" without root or netns support."""
    msg = "needs root (network namespaces)"
    if os.geteuid() != 0 or shutil.which("ip") is None:
        skip(msg)
    probe = "%s%dprobe" % (PREFIX, os.getpid())
    try:
        if _ip("netns", "add", probe, check=False).returncode != 0:
            skip(msg)
        _ip("netns", "del", probe, check=False)
    except (OSError, subprocess.SubprocessError):
        skip(msg)


def source_dir():
    d = os.environ.get("VELUNOR_SOURCE_DIR")
    if d:
        return d
    return os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def build_dir():
    """VELUNOR_BUILD_DIR, else build-release (then build-asan) beside the sources."""
    d = os.environ.get("VELUNOR_BUILD_DIR")
    if d:
        return d
    for flavour in ("release", "asan"):
        d = os.path.join(source_dir(), "build-" + flavour)
        if os.path.isdir(d):
            return d
    return os.path.join(source_dir(), "build-release")


def binary(rel, required=True):
    """Path of a built program, e.g. binary("route/VelunorRoute"). A missing program
    fails the test (TestFailure) unless required=False (then None)."""
    p = os.path.join(build_dir(), rel)
    if os.path.isfile(p) and os.access(p, os.X_OK):
        return p
    if required:
        raise TestFailure("program not built: %s" % p)
    return None


def _pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def _sweep_stale():
    """Deletes namespaces of earlier runs whose process is gone (killed with -9)."""
    r = _ip("netns", "list", check=False)
    for line in r.stdout.splitlines():
        name = line.split()[0] if line.split() else ""
        m = re.match(r"^%s(\d+)(x\d+[bh]\d*|probe)$" % PREFIX, name)
        if m and not _pid_alive(int(m.group(1))):
            _kill_ns_pids(name)
            _ip("netns", "del", name, check=False)


def _kill_ns_pids(ns):
    r = _ip("netns", "pids", ns, check=False)
    for tok in r.stdout.split():
        try:
            os.kill(int(tok), signal.SIGKILL)
        except (ValueError, ProcessLookupError, PermissionError):
            pass


class Proc:
    """A program running in a computer; stdout and stderr go to a log file."""

    def __init__(self, host, argv, name, env, log_path, popen):
        self.host, self.argv, self.name, self.env = host, argv, name, env
        self.log_path, self.popen = log_path, popen
        self.pid = popen.pid

    def output(self):
        """Everything the program wrote so far (text, undecodable bytes replaced)."""
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def lines(self):
        return self.output().splitlines()

    def wait_line(self, pattern, timeout=10.0, regex=False, count=1):
        """Waits until `count` output lines contain pattern (or match the regex);
        returns the last such line. TestFailure on timeout or when the program ends first."""
        rx = re.compile(pattern) if regex else None
        end = time.monotonic() + timeout
        while True:
            hits = [l for l in self.lines() if (rx.search(l) if rx else pattern in l)]
            if len(hits) >= count:
                return hits[count - 1]
            if not self.alive():
                hits = [l for l in self.lines() if (rx.search(l) if rx else pattern in l)]
                if len(hits) >= count:
                    return hits[count - 1]
                raise TestFailure("%s ended (status %s) before printing %r; output:\n%s"
                                  % (self.name, self.popen.returncode, pattern, self.tail()))
            if time.monotonic() >= end:
                raise TestFailure("%s: no line %r within %.1f s; output:\n%s"
                                  % (self.name, pattern, timeout, self.tail()))
            time.sleep(0.05)

    def tail(self, n=30):
        return "\n".join(self.lines()[-n:])

    def alive(self):
        return self.popen.poll() is None

    def wait(self, timeout):
        """Waits for the end (bounded); returns the exit status or None if still running."""
        try:
            return self.popen.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def signal(self, sig):
        try:
            os.killpg(self.pid, sig)
        except (ProcessLookupError, PermissionError):
            pass

    def stop(self, timeout=3.0):
        """SIGTERM, then SIGKILL after timeout; returns the exit status."""
        if self.alive():
            self.signal(signal.SIGTERM)
            if self.wait(timeout) is None:
                self.signal(signal.SIGKILL)
                self.wait(timeout)
        # Anything left in the group (a child that ignored the signal).
        self.signal(signal.SIGKILL)
        return self.popen.returncode

    def cpu_seconds(self, tid=None):
        """utime + stime of the process (or of thread tid) in seconds, from /proc."""
        path = "/proc/%d/stat" % self.pid if tid is None else "/proc/%d/task/%d/stat" % (self.pid, tid)
        return proc_cpu_seconds(path)

    def main_thread_cpu_seconds(self):
        return self.cpu_seconds(tid=self.pid)


def proc_cpu_seconds(stat_path):
    with open(stat_path) as f:
        s = f.read()
    fields = s[s.rindex(")") + 2:].split()  # after "pid (comm) "
    ticks = int(fields[11]) + int(fields[12])  # utime, stime
    return ticks / os.sysconf("SC_CLK_TCK")


class Host:
    """One computer of the LAN. Attributes: index, ns (namespace), dev (its veth),
    ip (dotted), root and rundir (its VELUNOR_ROOT / VELUNOR_RUNDIR), env (base env)."""

    def __init__(self, lan, index, ns, ip, tmp):
        self.lan, self.index, self.ns, self.ip = lan, index, ns, ip
        self.dev = "veth%d" % index
        self.root = os.path.join(tmp, "root")
        self.rundir = os.path.join(tmp, "run")
        self.logdir = os.path.join(tmp, "log")
        for d in (self.root, self.rundir, self.logdir):
            os.makedirs(d, exist_ok=True)
        self.env = dict(os.environ)
        self.env["VELUNOR_ROOT"] = self.root
        self.env["VELUNOR_RUNDIR"] = self.rundir
        self.procs = []

    def _argv(self, argv):
        return ["ip", "netns", "exec", self.ns] + [str(a) for a in argv]

    def _env(self, env):
        e = dict(self.env)
        if env:
            e.update(env)
        return e

    def spawn(self, argv, name=None, env=None, cwd=None):
        """Starts argv in this computer (own process group); returns a Proc."""
        name = name or os.path.basename(str(argv[0]))
        log_path = os.path.join(self.logdir, "%s-%d.log" % (name, len(self.procs)))
        out = open(log_path, "wb")
        try:
            popen = subprocess.Popen(self._argv(argv), stdin=subprocess.DEVNULL, stdout=out,
                                     stderr=subprocess.STDOUT, env=self._env(env),
                                     cwd=cwd or self.root, start_new_session=True)
        finally:
            out.close()
        p = Proc(self, argv, name, env, log_path, popen)
        self.procs.append(p)
        return p

    def run(self, argv, timeout=30.0, env=None, check=False, input=None, cwd=None):
        """Runs argv to completion in this computer; returns CompletedProcess (text
        stdout/stderr). Killed after timeout (TestFailure). check=True: non-zero status fails."""
        p = subprocess.Popen(self._argv(argv), stdin=subprocess.PIPE if input is not None else subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=self._env(env),
                             cwd=cwd or self.root, start_new_session=True)
        try:
            out, err = p.communicate(input=input.encode() if isinstance(input, str) else input,
                                     timeout=timeout)
        except subprocess.TimeoutExpired:
            try:
                os.killpg(p.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            p.communicate()
            raise TestFailure("%s: still running after %.1f s" % (argv[0], timeout))
        r = subprocess.CompletedProcess(argv, p.returncode, out.decode("utf-8", "replace"),
                                        err.decode("utf-8", "replace"))
        if check and r.returncode != 0:
            raise TestFailure("%s exited %d: %s" % (" ".join(map(str, argv)), r.returncode,
                                                  (r.stderr or r.stdout).strip()))
        return r

    def groups(self, dev=None):
        """Multicast groups joined in this computer (dotted texts), on dev or on any device,
        from /proc/net/igmp of the namespace."""
        r = self.run(["cat", "/proc/net/igmp"], timeout=10)
        return parse_igmp(r.stdout, dev)

    def udp_send(self, dst, port, data, wait=0.0, src_port=0, bind_ip=None, mcast_if=None,
                 max_replies=16):
        """Sends one datagram (bytes) from this computer and collects the replies that
        arrive within `wait` seconds. Returns a list of (bytes, (ip, port))."""
        req = {"dst": dst, "port": port, "data": data.hex(), "wait": wait, "src_port": src_port,
               "bind": bind_ip or "0.0.0.0", "mcast_if": mcast_if or self.ip, "max": max_replies}
        r = self.run([sys.executable, os.path.abspath(__file__), "udp", json.dumps(req)],
                     timeout=wait + 15)
        if r.returncode != 0:
            raise TestFailure("udp helper failed: " + r.stderr.strip())
        res = json.loads(r.stdout)
        return [(bytes.fromhex(d), (a, p)) for d, a, p in res["replies"]]

    def udp_listen(self, port, seconds, group=None, max_count=1000, name="udp_listen"):
        """Starts a listener in this computer (optionally joined to a group on its veth)
        that prints one JSON line per datagram for `seconds`; returns the Proc. Read it
        with udp_datagrams(proc)."""
        req = {"port": port, "seconds": seconds, "group": group, "iface": self.ip, "max": max_count}
        return self.spawn([sys.executable, os.path.abspath(__file__), "listen", json.dumps(req)], name=name)


def udp_datagrams(proc):
    """The datagrams a udp_listen Proc has printed: list of (bytes, (ip, port))."""
    res = []
    for line in proc.lines():
        if line.startswith("{"):
            try:
                d = json.loads(line)
            except ValueError:
                continue
            if "data" in d:
                res.append((bytes.fromhex(d["data"]), (d["ip"], d["port"])))
    return res


def parse_igmp(text, dev=None):
    """Groups of /proc/net/igmp text: device lines "idx name : count querier", then
    group lines "  hex-le users timer reporter"."""
    groups, cur = [], None
    for line in text.splitlines()[1:]:
        if not line.strip():
            continue
        if not line[0].isspace():
            parts = line.split()
            cur = parts[1].rstrip(":") if len(parts) > 1 else None
            continue
        tok = line.split()[0]
        if dev is not None and cur != dev:
            continue
        try:
            v = int(tok, 16)
        except ValueError:
            continue
        # The kernel prints the network-order word as a little-endian number.
        groups.append("%d.%d.%d.%d" % (v & 255, (v >> 8) & 255, (v >> 16) & 255, (v >> 24) & 255))
    return groups


class StallWatch:
    """velunor-stallwatch run beside a test: a real-time thread per CPU that notes every
    stretch in which the machine ran none of our real-time threads (a stalled virtual
    machine). A test uses it to tell a gap of ours from a gap the host made."""

    def __init__(self, host, seconds, name="stallwatch", threshold_us=None, prio=None):
        """threshold_us: the shortest hold-up logged (the witness's default, 1000 us, when None);
        prio: its SCHED_FIFO priority (default 80, above the cards; lower, it also sees what
        other real-time threads of the machine took from threads at that level; 0, normal
        priority: what the machine took from ordinary programs)."""
        self.path = os.path.join(host.logdir, "stalls-%s.txt" % name)
        extra = ["thresholdUs=%d" % threshold_us] if threshold_us else []
        extra += ["prio=%d" % prio] if prio is not None else []
        self.proc = host.spawn([binary("tools/velunor-stallwatch/velunor-stallwatch"), "seconds=%d" % seconds,
                                "log=" + self.path] + extra, name=name)
        self.proc.wait_line("stallwatch: ready", timeout=10)
        self.summary = None
        self.stalls = []  # (from_ns, to_ns), every CPU, by start
        self.holdups = []  # the same from the test's own tools

    GRID_NS = 500000  # the witness's wake-up step

    def finish(self, timeout, now=False):
        """Waits for the watch to end (now: ends it at once) and reads what it saw."""
        if now and self.proc.alive():
            self.proc.signal(signal.SIGTERM)
        end = time.monotonic() + timeout
        while self.proc.alive():
            if time.monotonic() > end:
                raise TestFailure("stallwatch still running")
            time.sleep(0.2)
        lines = [l for l in self.proc.lines() if l.startswith('{"mode":"stallwatch"')]
        if not lines:
            raise TestFailure("stallwatch gave no summary: %s" % self.proc.output()[-300:])
        self.summary = json.loads(lines[-1])
        with open(self.path) as f:
            for line in f:
                t = line.split()
                if len(t) == 4 and t[0] == "s":
                    self.stalls.append((int(t[2]), int(t[3])))
        self.stalls.sort()
        return self.summary

    def longer_than(self, ms):
        return [s for s in self.stalls if s[1] - s[0] >= ms * 1e6]

    def add_holdups(self, path):
        """Adds the stretches in which one of the test's own real-time tools was held up
        ("g <from ns> <to ns>" lines of its log): it runs below the cards, so a hold-up the
        witness saw only in part (two stalls in a row, a grid step apart) shows there whole."""
        n = 0
        with open(path) as f:
            for line in f:
                t = line.split()
                if len(t) == 3 and t[0] == "g":
                    self.holdups.append((int(t[1]), int(t[2])))
                    n += 1
        self.holdups.sort()
        return n

    def episodes(self):
        """Stalls and hold-ups merged where they overlap or lie within one grid step of
        each other: (from_ns, to_ns)."""
        out = []
        for a, b in sorted(self.stalls + self.holdups):
            if out and a <= out[-1][1] + self.GRID_NS:
                out[-1] = (out[-1][0], max(out[-1][1], b))
            else:
                out.append((a, b))
        return out

    def cause(self, from_ns, to_ns, min_ms, before_ms, after_ms=1.0):
        """The longest stall episode of at least min_ms that ends within
        [from - before, to + after] (ns, CLOCK_MONOTONIC), or None."""
        lo, hi = from_ns - before_ms * 1e6, to_ns + after_ms * 1e6
        best = None
        for a, b in self.episodes():
            if b - a >= min_ms * 1e6 and lo <= b and a <= hi and (best is None or b - a > best[1] - best[0]):
                best = (a, b)
        return best

    def stalled_ms(self, from_ns, to_ns):
        """How long the machine was stalled within [from_ns, to_ns]: the stall episodes'
        overlap with it, in ms (a run of stalls costs their sum, not the longest one)."""
        return sum(max(0, min(b, to_ns) - max(a, from_ns)) for a, b in self.episodes()) / 1e6

    def figure(self):
        s = self.summary
        return ("host stalls seen by a real-time thread per CPU: %d over 1 ms, %d over 2 ms, %d over 4 ms, "
                "longest %.2f ms (%d wake-ups)" % (s["over1ms"], s["over2ms"], s["over4ms"], s["maxUs"] / 1000.0,
                                                   s["wakeups"]))


class Lan:
    """A bridge plus n computers (host(1) .. host(n)), addresses 10.77.<net>.<i>/24."""

    def __init__(self, n, net=0):
        global _seq
        if not 1 <= n <= 250:
            raise ValueError("1 to 250 computers")
        with _live_lock:
            _seq += 1
            seq = _seq
        self.n, self.net = n, net
        self.tag = "%s%dx%d" % (PREFIX, os.getpid(), seq)
        self.bridge_ns = self.tag + "b"
        self.hosts = []
        self.tmp = None
        self._namespaces = []
        self._down = False

    # -- set-up and tear-down --
    def __enter__(self):
        return self.up()

    def __exit__(self, *exc):
        self.down()
        return False

    def up(self):
        _install_handlers()
        _sweep_stale()
        with _live_lock:
            _live.append(self)
        self.tmp = tempfile.mkdtemp(prefix="velunor-lan-%d-" % os.getpid())
        try:
            self._make_ns(self.bridge_ns)
            b = ["ip", "netns", "exec", self.bridge_ns]
            self._sh(b + ["ip", "link", "add", "br0", "type", "bridge"])
            self._sh(b + ["ip", "link", "set", "br0", "type", "bridge", "mcast_snooping", "0"])
            self._sh(b + ["ip", "link", "set", "br0", "up"])
            for i in range(1, self.n + 1):
                ns = "%sh%d" % (self.tag, i)
                self._make_ns(ns)
                ip = "10.77.%d.%d" % (self.net, i)
                h = ["ip", "netns", "exec", ns]
                self._sh(["ip", "link", "add", "veth%d" % i, "netns", ns, "type", "veth", "peer", "name",
                          "brp%d" % i, "netns", self.bridge_ns])
                self._sh(b + ["ip", "link", "set", "brp%d" % i, "master", "br0"])
                self._sh(b + ["ip", "link", "set", "brp%d" % i, "up"])
                self._sh(h + ["ip", "link", "set", "lo", "up"])
                self._sh(h + ["ip", "addr", "add", ip + "/24", "dev", "veth%d" % i])
                self._sh(h + ["ip", "link", "set", "veth%d" % i, "up"])
                self._sh(h + ["ip", "route", "add", "224.0.0.0/4", "dev", "veth%d" % i])
                hostdir = os.path.join(self.tmp, "host%d" % i)
                self.hosts.append(Host(self, i, ns, ip, hostdir))
        except BaseException:
            self.down()
            raise
        return self

    def _make_ns(self, ns):
        _ip("netns", "add", ns)
        self._namespaces.append(ns)

    @staticmethod
    def _sh(argv):
        r = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=20)
        if r.returncode != 0:
            raise RuntimeError("%s: %s" % (" ".join(argv), r.stderr.strip()))

    def down(self):
        """Kills every process, deletes the namespaces and temp dirs. Safe to call twice."""
        if self._down:
            return
        self._down = True
        for h in self.hosts:
            for p in h.procs:
                try:
                    p.stop(timeout=1.0)
                except Exception:
                    pass
        for ns in self._namespaces:
            _kill_ns_pids(ns)
        for ns in reversed(self._namespaces):
            _ip("netns", "del", ns, check=False)
        if self.tmp and os.environ.get("VELUNOR_LAN_KEEP") is None:
            shutil.rmtree(self.tmp, ignore_errors=True)
        with _live_lock:
            if self in _live:
                _live.remove(self)

    # -- access --
    def host(self, i):
        """Computer i, 1-based."""
        return self.hosts[i - 1]

    def bridge(self, argv, timeout=20):
        """Runs argv in the bridge namespace (e.g. nft rules for packet loss)."""
        return subprocess.run(["ip", "netns", "exec", self.bridge_ns] + list(argv), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, timeout=timeout)


def _teardown_all():
    with _live_lock:
        lans = list(_live)
    for lan in lans:
        try:
            lan.down()
        except Exception:
            pass


_handlers_installed = False


def _on_signal(signum, _frame):
    _teardown_all()
    sys.exit(128 + signum)


def _install_handlers():
    global _handlers_installed
    if _handlers_installed:
        return
    _handlers_installed = True
    atexit.register(_teardown_all)
    if threading.current_thread() is threading.main_thread():
        for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(s, _on_signal)


def main(fn):
    """Runs a test function: 0 when it returns, 1 on TestFailure or any error, 77 on skip."""
    try:
        fn()
    except TestFailure as e:
        print("FAIL: %s" % e, flush=True)
        _teardown_all()
        sys.exit(1)
    except SystemExit:
        _teardown_all()
        raise
    except BaseException:
        import traceback
        traceback.print_exc()
        print("FAIL: error", flush=True)
        _teardown_all()
        sys.exit(1)
    _teardown_all()
    print("PASS", flush=True)
    sys.exit(0)


# ---- helper programs started inside a namespace ----
def _udp_main(req):
    import select
    import socket
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((req["bind"], req["src_port"]))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(req["mcast_if"]))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 4)
    s.sendto(bytes.fromhex(req["data"]), (req["dst"], req["port"]))
    replies = []
    end = time.monotonic() + float(req["wait"])
    while len(replies) < req["max"]:
        left = end - time.monotonic()
        if left <= 0:
            break
        r, _, _ = select.select([s], [], [], left)
        if r:
            d, a = s.recvfrom(65535)
            replies.append([d.hex(), a[0], a[1]])
    print(json.dumps({"replies": replies}))


def _listen_main(req):
    import select
    import socket
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("0.0.0.0", req["port"]))
    if req.get("group"):
        m = socket.inet_aton(req["group"]) + socket.inet_aton(req["iface"])
        s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, m)
    print(json.dumps({"listening": req["port"]}), flush=True)
    end = time.monotonic() + float(req["seconds"])
    n = 0
    while n < req["max"]:
        left = end - time.monotonic()
        if left <= 0:
            break
        r, _, _ = select.select([s], [], [], left)
        if r:
            d, a = s.recvfrom(65535)
            print(json.dumps({"data": d.hex(), "ip": a[0], "port": a[1]}), flush=True)
            n += 1


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "udp":
        _udp_main(json.loads(sys.argv[2]))
    elif len(sys.argv) == 3 and sys.argv[1] == "listen":
        _listen_main(json.loads(sys.argv[2]))
    else:
        print(__doc__)


def page(host, dst, ops, ctl_bin=None, ask=None):
    """Every item of a paged route query from host to dst, following idNext: with
    velunor-ctl (ctl_bin) when it is built, else asking with ask(host, dst, message)."""
    if ctl_bin:
        r = host.run([ctl_bin, "--json", "page", dst, ops], timeout=30)
        if r.returncode != 0:
            raise TestFailure("velunor-ctl page %s %s: status %d %s" % (dst, ops, r.returncode, r.stderr))
        return [it for line in r.stdout.splitlines() if line.startswith("{") for it in json.loads(line)["arr"]]
    items, start = [], 0
    for _ in range(64):
        r = ask(host, dst, {"ops": ops, "idStart": str(start)})
        if r is None or r.get("result") != "succ":
            raise TestFailure("%s answered: %r" % (ops, r))
        items += r["arr"]
        nxt = int(r["idNext"])
        if not r["arr"] or nxt <= start:
            break
        start = nxt
    return items
