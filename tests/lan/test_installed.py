#!/usr/bin/env python3
"""The card as installed, used by a normal user.

`cmake --install` lays the build out in a staging folder (DESTDIR, prefix /usr) as the
package does; VelunorRoute gets the file capabilities that the package's postinst gives
it, and computer A's run-time and data folders are made from the installed tmpfiles.d
entry (root, group audio, 2770). On A the driver host runs as its installed unit runs it
(its ExecStart and UMask, as root, with no environment but A's folders). A user the test
creates in group audio opens the panel with the installed command velunor-link under
Xvfb, starts "WDM" 2x2, and plays a 1 kHz WAV with aplay into velunor_out_00 (the
installed ALSA file and plugin); B, a second card on the ASIO path, records it. Stop
switches the endpoints off and restarts the driver through the host's socket (the user
cannot signal a root process). Then "ASIO-4ms": the member's route service makes the
exchange area (rw for group audio) and the member's ASIO host plays a tone into it,
heard on B. A panel killed outright takes the route service with it, although that
service runs with file capabilities.

A second user, outside group audio, is refused with a clear message by aplay,
VelunorCore and the panel. Timing is judged against the stall witness."""

import glob
import grp
import os
import pwd
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lanlib  # noqa: E402
from lanlib import check, log  # noqa: E402
import test_alsa_e2e as alsa  # noqa: E402
import test_asio_e2e as asio  # noqa: E402
import test_panel_e2e as pe  # noqa: E402

PROG = "usr/lib/velunor-link"
SECS = 3  # the played tone


def stage_install(base):
    """cmake --install of the build into base/stage with prefix /usr; returns the stage."""
    stage = os.path.join(base, "stage")
    r = subprocess.run(["cmake", "--install", lanlib.build_dir(), "--prefix", "/usr"], stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, text=True, env=dict(os.environ, DESTDIR=stage), timeout=300)
    check(r.returncode == 0, "cmake --install into a staging folder: " + r.stdout[-500:])
    for rel in ("usr/bin/velunor-link", "usr/bin/velunor-ctl", "usr/bin/VelunorCore", "usr/bin/velunor-kernel",
                "lib/systemd/system/velunor-kernel.service", "usr/lib/tmpfiles.d/velunor-link.conf",
                "etc/alsa/conf.d/50-velunor-link.conf", "usr/share/man/man1/velunor-link.1.gz"):
        check(os.path.lexists(os.path.join(stage, rel)), "installed: /" + rel)
    # The package's postinst gives VelunorRoute its privileges; the same words here.
    with open(os.path.join(lanlib.source_dir(), "packaging", "postinst")) as f:
        caps = re.search(r'setcap (\S+) "\$PROG/VelunorRoute"', f.read()).group(1)
    route = os.path.join(stage, PROG, "VelunorRoute")
    r = subprocess.run(["setcap", caps, route], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    check(r.returncode == 0, "setcap %s on the installed VelunorRoute: %s" % (caps, r.stdout.strip()))
    return stage


def unit_start(stage):
    """The installed unit's ExecStart (inside the stage), Environment words and UMask."""
    with open(os.path.join(stage, "lib/systemd/system/velunor-kernel.service")) as f:
        text = f.read()
    exe = re.search(r"^ExecStart=(\S+)", text, re.M).group(1)
    envs = " ".join(re.findall(r"^Environment=(.*)$", text, re.M)).split()
    umask = (re.findall(r"^UMask=(\d+)", text, re.M) or ["0022"])[0]
    check(re.search(r"^Restart=on-failure", text, re.M) and re.search(r"^WantedBy=multi-user.target", text, re.M),
          "the unit restarts the host on failure and is wanted at boot")
    return os.path.join(stage, exe.lstrip("/")), envs, umask


def make_folders(stage, run, root):
    """The folders of the installed tmpfiles.d entry, with A's folders for /run/velunor and
    /var/lib/velunor."""
    made = []
    with open(os.path.join(stage, "usr/lib/tmpfiles.d/velunor-link.conf")) as f:
        for line in f:
            t = line.split()
            if len(t) < 5 or t[0] != "d":
                continue
            path = t[1].replace("/run/velunor", run).replace("/var/lib/velunor", root)
            os.makedirs(path, exist_ok=True)
            os.chown(path, pwd.getpwnam(t[3]).pw_uid, grp.getgrnam(t[4]).gr_gid)
            os.chmod(path, int(t[2], 8))
            made.append("%s %s %s:%s" % (t[1], t[2], t[3], t[4]))
    check(any(m.startswith("/run/velunor 2770 root:audio") for m in made), "tmpfiles.d makes: %s" % "; ".join(made))


class User:
    """A normal user made for the test (removed at the end), with a home of its own."""

    def __init__(self, name, base, audio):
        self.name = name
        self.home = os.path.join(base, "home-" + name)
        argv = ["useradd", "-M", "-N", "-d", self.home, "-s", "/usr/sbin/nologin"] + (["-G", "audio"] if audio else [])
        r = subprocess.run(argv + [name], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        check(r.returncode == 0, "user %s made: %s" % (name, r.stdout.strip()))
        pw = pwd.getpwnam(name)
        self.uid, self.gid = pw.pw_uid, pw.pw_gid
        for d in (self.home, os.path.join(self.home, "tmp")):
            os.makedirs(d, exist_ok=True)
            os.chown(d, self.uid, self.gid)
        self.env = {"HOME": self.home, "TMPDIR": os.path.join(self.home, "tmp"), "USER": name, "LOGNAME": name,
                    "XDG_CONFIG_HOME": os.path.join(self.home, ".config"), "LANG": "C.UTF-8"}

    def argv(self, argv):
        return ["setpriv", "--reuid=%d" % self.uid, "--regid=%d" % self.gid, "--init-groups", "--"] + list(argv)

    def remove(self):
        subprocess.run(["userdel", self.name], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class UserPanel(pe.Panel):
    """The panel run by a user from the installed command."""

    def __init__(self, host, disp, exe, user, name):
        self.host, self.disp = host, disp
        self.exe = os.path.realpath(exe)
        self.progdir = os.path.dirname(self.exe)
        e = dict(disp.env)
        e.update(user.env)
        e["VELUNOR_PANEL_GEOMETRY"] = "1"
        e["LSAN_OPTIONS"] = "suppressions=" + os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                           "panel-lsan.supp")
        self.proc = host.spawn(user.argv([exe]), name=name, env=e, cwd=user.home)


def status_of(pid):
    with open("/proc/%d/status" % pid) as f:
        return dict(l.split(":", 1) for l in f.read().splitlines() if ":" in l)


def heard(got, witness, t0, t1, what):
    """B heard the 1 kHz -6 dBFS tone for 90 % of its length, or a host stall explains less."""
    check(got is not None, "B heard %s" % what)
    hz, peak, _, ms, silent = got
    log("figure: %s on B: %.2f Hz, peak %.2f dBFS, %d ms of tone, %d silent 1 ms block(s) within it"
        % (what, hz, peak, ms, silent))
    check(abs(hz - 1000) < 1 and abs(peak + 6) < 0.5, "%s heard on B at 1 kHz -6 dBFS: %.2f Hz, %.2f dBFS"
          % (what, hz, peak))
    if ms < SECS * 1000 * 0.9:
        cause = witness.cause(t0, t1, 4, 0)
        check(cause is not None, "only %d of %d ms of %s came through, with no host stall of 4 ms or more in that "
              "time to explain it" % (ms, SECS * 1000, what))
        log("only %d ms came through: the host stalled %.1f ms meanwhile" % (ms, (cause[1] - cause[0]) / 1e6))


def test():
    lanlib.require_root()
    for tool in ("Xvfb", "xdotool", "trayer", "import", "aplay", "sox", "setcap", "setpriv", "useradd", "cmake"):
        if not shutil.which(tool):
            lanlib.skip("%s not installed (scripts/setup.sh installs it)" % tool)
    bins = {k: lanlib.binary(v, required=False) for k, v in (
        ("panel", "panel/VelunorLinkVSC"), ("kernel", "driver/velunor-kernel"), ("route", "route/VelunorRoute"),
        ("asiohost", "tools/asiohost/asiohost"), ("asio", "asio/Velunor-rEduVuzi.so"),
        ("ctl", "tools/velunor-ctl/velunor-ctl"))}
    missing = [k for k, v in bins.items() if not v]
    if missing or not glob.glob(os.path.join(lanlib.build_dir(), "tools/alsa-velunor/libasound_module_pcm_*.so")):
        lanlib.skip("not built: " + ", ".join(missing or ["the ALSA plugin"]))
    asio.CTL = bins["ctl"]
    try:
        grp.getgrnam("audio")
    except KeyError:
        subprocess.run(["groupadd", "--system", "audio"], check=True)

    # Users left by a run that was killed before it could remove them.
    for pw in pwd.getpwall():
        m = re.match(r"^vl(mem|out)(\d+)$", pw.pw_name)
        if m and not os.path.exists("/proc/" + m.group(2)):
            subprocess.run(["userdel", pw.pw_name], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    base = tempfile.mkdtemp(prefix="velunor-installed-")
    os.chmod(base, 0o755)
    tag = os.getpid()
    users = []
    try:
        stage = stage_install(base)
        exe, unit_env, umask = unit_start(stage)
        member = User("vlmem%d" % tag, base, audio=True)
        users.append(member)
        outsider = User("vlout%d" % tag, base, audio=False)
        users.append(outsider)
        run(base, stage, exe, unit_env, umask, member, outsider, bins)
    finally:
        for u in users:
            u.remove()
        shutil.rmtree(base, ignore_errors=True)


def run(base, stage, exe, unit_env, umask, member, outsider, bins):
    prog = os.path.join(stage, PROG)
    route = os.path.join(prog, "VelunorRoute")
    plugin_dir = os.path.dirname(glob.glob(os.path.join(stage, "usr/lib/*/alsa-lib/libasound_module_pcm_velunor.so"))[0])
    with lanlib.Lan(2) as lan:
        a, b = lan.host(1), lan.host(2)
        run_dir, root_dir = os.path.join(base, "a-run"), os.path.join(base, "a-root")
        make_folders(stage, run_dir, root_dir)
        a.env["VELUNOR_RUNDIR"], a.env["VELUNOR_ROOT"] = run_dir, root_dir
        witness = lanlib.StallWatch(b, 240)

        # The driver host as the unit starts it: root, the unit's umask and environment.
        keep = " ".join("%s=%s" % (k, os.environ[k]) for k in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")
                        if k in os.environ)
        host = a.spawn(["sh", "-c", "umask %s; exec env -i PATH=/usr/bin:/bin VELUNOR_RUNDIR=%s VELUNOR_ROOT=%s %s %s %s"
                        % (umask, run_dir, root_dir, keep, " ".join(unit_env), exe)], name="velunor-kernel")
        host.wait_line("loaded, status 0x00000000", timeout=30)
        modes = {os.path.relpath(p, run_dir): "%o %s" % (os.stat(p).st_mode & 0o7777, grp.getgrgid(os.stat(p).st_gid).gr_name)
                 for p in [os.path.join(run_dir, "velunor-kernel.sock")] + glob.glob(os.path.join(run_dir, "devif/*/*"))
                 if not p.endswith(".lock")}
        check(modes and all(v in ("660 audio", "2770 audio") for v in modes.values()),
              "the host's sockets and folders are for group audio only: %r" % modes)
        r = a.run(member.argv([exe]), env=member.env, timeout=20)
        check(r.returncode != 0 and "another host serves " + run_dir in r.stdout,
              "a second host, of a member of group audio, says another host serves: %r" % r.stdout.strip())

        # The panel of the member, from the installed command.
        disp = pe.Display(a)
        panel = UserPanel(a, disp, os.path.join(stage, "usr/bin/velunor-link"), member, "panel-member")
        panel.proc.wait_line("threadFinished step 1", timeout=90)
        check("message box:" not in panel.proc.output(), "the member's panel reads the driver's engine at start: %s"
              % "\n".join(l for l in panel.proc.lines() if l.startswith("message box:")))
        lanlib.wait_until(lambda: disp.windows(pe.TITLE), 15, "the main window")
        pe.choose(panel, "cb_audioType", 0)  # "WDM" (logged only when it changes)
        pe.choose(panel, "cb_samplerate", 0)
        pe.choose(panel, "cb_chnum", 0)
        quits = panel.proc.output().count("thread AudioEnableEndpointWorker quit")
        panel.click("pb_start")
        pid = lanlib.wait_until(lambda: pe.route_pids(route), 60, "VelunorRoute started by the member's panel")[0]
        args = pe.cmdline(pid)
        check("bufMs=0" in args and "chNumTx=2" in args and "bindIp=" + a.ip in args,
              "the panel started the route service on \"WDM\" 2x2: %s" % " ".join(args[1:]))
        st = status_of(pid)
        eff = int(st["CapEff"].strip(), 16)
        check(int(st["Uid"].split()[0]) == member.uid and eff & (1 << 10) and eff & (1 << 23),
              "the route service runs as the member with CAP_NET_BIND_SERVICE and CAP_SYS_NICE (CapEff %s)"
              % st["CapEff"].strip())
        lanlib.wait_until(lambda: all(":%d " % p in a.run(["ss", "-ulnH"]).stdout for p in (319, 320)), 20,
                          "the PTP ports 319 and 320 bound by the member's route service")
        panel.proc.wait_line("thread AudioEnableEndpointWorker quit", timeout=120, count=quits + 1)
        ep = {}
        for f in glob.glob(os.path.join(run_dir, "endpoints", "*_stereo-*")):
            with open(f) as fh:
                ep[os.path.basename(f).split("#")[-1]] = re.search(r"state=(\w+)", fh.read()).group(1)
        check(ep.get("out_stereo-00") == "ACTIVE" and ep.get("in_stereo-00") == "ACTIVE",
              "the member's Start brought the first pair up: %r" % ep)
        time.sleep(1.0)
        disp.shot(os.path.join(pe.shots_dir(), "installed-member-wdm.png"))

        # B: a second card on the ASIO path, routed from the panel's card.
        devid = [w.split("=", 1)[1] for w in args if w.startswith("devId=")][0]
        pb = b.spawn([bins["route"], "sampleRate=48000", "chNumTx=2", "chNumRx=2", "bufMs=4", "bindIp=" + b.ip,
                      "devId=cardB"], name="cardB")
        pb.wait_line("warning: bindIp=", timeout=20)
        lanlib.wait_until(lambda: os.path.exists(os.path.join(b.rundir, "objects", "Velunor-vSnd-shareMem")), 10,
                          "B's exchange area")
        check(b.run([bins["asiohost"], "--register", "--driver", bins["asio"]], timeout=20).returncode == 0,
              "B's ASIO driver registered")
        r = asio.ask(b, b.ip, {"ops": "setUcastRx", "srcDevId": devid, "srcChId": "0", "dstChId": "0"})
        check(r is not None and r.get("result") == "succ", "B routes its channel 0 from the panel's card: %r" % (r,))
        lanlib.wait_until(lambda: any(e["sdp"]["srcIp"] == a.ip and e["active"] == "1"
                                      for e in asio.table(b, b.ip, "getAllUcastRx")), 30, "B's stream from A active")

        # The member's aplay into velunor_out_00, with the installed ALSA file and plugin.
        wav = os.path.join(member.home, "tone.wav")
        r = a.run(["sox", "-D", "-n", "-r", "48000", "-b", "24", "-c", "2", wav, "synth", str(SECS), "sine", "1000",
                   "gain", "-6"], timeout=60)
        check(r.returncode == 0, "sox made a %d s 1 kHz WAV: %s" % (SECS, r.stderr))
        os.chmod(wav, 0o644)
        aenv = dict(member.env, ALSA_CONFIG_PATH="/usr/share/alsa/alsa.conf:" +
                    os.path.join(stage, "etc/alsa/conf.d/50-velunor-link.conf"), ALSA_PLUGIN_DIR=plugin_dir)
        pre = alsa.alsa_env({"plugin": os.path.join(plugin_dir, "libasound_module_pcm_velunor.so"),
                             "asoundrc": ""})
        for k in ("LD_PRELOAD", "ASAN_OPTIONS"):
            if k in pre:
                aenv[k] = pre[k]
        rec_path = os.path.join(b.root, "installed.wav")
        rec = b.spawn([bins["asiohost"], "--record", rec_path, "--in", "0,1", "--seconds", str(SECS + 3), "--buffer",
                       "48", "--wait", "10"], name="asio-rec")
        rec.wait_line("buffer size 48", timeout=20)
        t0 = time.monotonic_ns()
        play = a.spawn(member.argv(["aplay", "-D", "velunor_out_00", wav]), name="aplay-member", env=aenv)
        check(play.wait(30) == 0, "the member's aplay played into velunor_out_00: %s" % play.tail(4))
        check(rec.wait(40) == 0, "asiohost recorded on B: %s" % rec.tail(4))
        t1 = time.monotonic_ns()
        heard(pe.tone_stats(rec_path), witness, t0, t1, "the member's aplay")

        # The outsider: refused by aplay, told why by VelunorCore and by the panel.
        oenv = dict(aenv, HOME=outsider.home, TMPDIR=outsider.env["TMPDIR"], USER=outsider.name)
        r = a.run(outsider.argv(["aplay", "-D", "velunor_out_00", wav]), env=oenv, timeout=30)
        check(r.returncode != 0 and "group audio" in r.stderr and "usermod -aG audio %s)" % outsider.name in r.stderr,
              "the outsider's aplay is refused and told to join group audio: %s"
              % r.stderr.strip().replace("\n", " | "))
        log("the outsider's aplay: " + r.stderr.strip().replace("\n", " | "))
        r = a.run(outsider.argv([os.path.join(stage, "usr/bin/VelunorCore"), "11p"]), env=outsider.env, timeout=20)
        check(r.returncode == 2 and "add this user to group audio" in r.stdout,
              "VelunorCore tells the outsider to join group audio: %s" % r.stdout.strip())
        r = a.run(outsider.argv([exe]), env=outsider.env, timeout=20)
        check(r.returncode == 1 and "no write permission for the folder " + run_dir in r.stdout,
              "the outsider's driver host names the folder and the permission: %s" % r.stdout.strip())
        other = UserPanel(a, disp, os.path.join(stage, "usr/bin/velunor-link"), outsider, "panel-outsider")
        other.message("No permission to use the sound card: add this user to group audio (sudo usermod -aG audio %s)"
                      % outsider.name, timeout=90)
        disp.shot(os.path.join(pe.shots_dir(), "installed-outsider.png"))
        other.proc.stop()

        # Stop: the endpoints off, the driver restarted through the host's socket.
        enabled = host.output().count("device enabled, status 0x00000000")
        restarts = panel.proc.output().count("audioEnableDriver use time")
        panel.click("pb_start")
        panel.proc.wait_line("audioEnableDriver use time", timeout=120, count=restarts + 1)
        lanlib.wait_until(lambda: not pe.route_pids(route), 20, "the route service ended by Stop")
        check(host.output().count("device enabled, status 0x00000000") == enabled + 1
              and "device disabled, driver unloaded" in host.output(),
              "the member's Stop restarted the root's driver host through its socket (devcon disable, enable)")

        # The ASIO path: the member's route service makes the exchange area, the member's
        # ASIO host (the driver registered as the package's postinst registers it) plays
        # a tone into it, heard on B.
        with open(os.path.join(lanlib.source_dir(), "packaging", "postinst")) as f:
            check('"$PROG/asiohost" --register --driver "$PROG/Velunor-rEduVuzi.so"' in f.read(),
                  "the package registers the ASIO driver")
        asiohost = os.path.join(prog, "asiohost")
        r = a.run([asiohost, "--register", "--driver", os.path.join(prog, "Velunor-rEduVuzi.so")], timeout=20)
        check(r.returncode == 0, "the installed ASIO driver registered: %s" % (r.stdout + r.stderr).strip())
        time.sleep(2.5)  # the next start of a 2x2 WDM stop waits 1 s
        pe.choose(panel, "cb_audioType", 3)
        panel.proc.wait_line("audio interface selection changed index: 3", timeout=10)
        panel.click("pb_start")
        pid = lanlib.wait_until(lambda: pe.route_pids(route), 60, "VelunorRoute started on ASIO-4ms")[0]
        check("bufMs=4" in pe.cmdline(pid), "the panel started the route service on ASIO-4ms")
        area = os.path.join(run_dir, "objects", "Velunor-vSnd-shareMem")
        lanlib.wait_until(lambda: os.path.exists(area), 20, "the member's exchange area")
        st = os.stat(area)
        check(st.st_uid == member.uid and st.st_mode & 0o777 == 0o660 and grp.getgrgid(st.st_gid).gr_name == "audio",
              "the exchange area is the member's, rw for group audio only (%o)" % (st.st_mode & 0o777))
        lanlib.wait_until(lambda: any(e["sdp"]["srcIp"] == a.ip and e["active"] == "1"
                                      for e in asio.table(b, b.ip, "getAllUcastRx")), 30, "B's stream from A again")
        rec_path = os.path.join(b.root, "installed-asio.wav")
        rec = b.spawn([bins["asiohost"], "--record", rec_path, "--in", "0,1", "--seconds", str(SECS + 3), "--buffer",
                       "48", "--wait", "10"], name="asio-rec2")
        rec.wait_line("buffer size 48", timeout=20)
        t0 = time.monotonic_ns()
        play = a.spawn(member.argv([asiohost, "--tone", "1000", "--out", "0", "--seconds", str(SECS), "--buffer", "48",
                                    "--wait", "10"]), name="asio-member", env=member.env)
        check(play.wait(40) == 0, "the member's ASIO host played into the card: %s" % play.tail(4))
        check(rec.wait(40) == 0, "asiohost recorded on B: %s" % rec.tail(4))
        heard(pe.tone_stats(rec_path), witness, t0, time.monotonic_ns(), "the member's ASIO tone")

        # Then the panel alone killed outright (not its process group, which holds the
        # service too): the service goes with it by its own death signal.
        os.kill(panel.proc.popen.pid, signal.SIGKILL)
        t0 = time.monotonic()
        lanlib.wait_until(lambda: not pe.route_pids(route), 5, "the route service (with file capabilities) ended with "
                          "the killed panel", interval=0.02)
        log("ok: kill -9 of the member's panel ended the route service within %.2f s" % (time.monotonic() - t0))

        # Without its capabilities (a copy loses them) the route service names both.
        bare = os.path.join(member.home, "VelunorRoute")
        shutil.copy(route, bare)
        os.chown(bare, member.uid, member.gid)
        p = a.spawn(member.argv([bare, "bindIp=" + a.ip, "devId=bare", "bufMs=4"]), env=member.env, name="route-bare")
        for cap in ("CAP_SYS_NICE", "CAP_NET_BIND_SERVICE"):
            line = p.wait_line("needs the privilege " + cap, timeout=30)
            check("setcap" in line, "without its capabilities the route service says: " + line.strip())
        p.stop()
        witness.proc.stop()
        host.stop()
        check(host.wait(10) is not None and "velunor-kernel: stopped" in host.output(), "the driver host stops on SIGTERM")


if __name__ == "__main__":
    lanlib.main(test)
