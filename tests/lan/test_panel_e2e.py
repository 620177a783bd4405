#!/usr/bin/env python3
"""The control panel as a person uses it: the real VelunorLinkVSC window under Xvfb
(with a tray host) inside a computer of the virtual LAN, driven by real pointer and key
events from xdotool.

Without VelunorCore (the driver's control library) beside the panel:
- a route service left by a dead panel in the same program directory is ended at start,
  one from another directory is left alone;
- the initialisation reports the start failure (no driver);
- a second panel shows "Program is running!" and exits 0;
- UDP 9997 answers getClkId (zeros before any start), and ignores other datagrams;
- the settings page saves, and the log-on start becomes an autostart entry;
- the language button switches to Chinese and stores it; screenshots of the main window
  and the settings page in both languages are written to VELUNOR_PANEL_SHOTS (default
  build/panel-shots);
- closing with "hide" keeps the panel in the tray, a double click on the tray icon shows
  it again, and the tray menu's Quit ends it.
With VelunorCore (and the driver host) beside the panel, the card is also started with
"ASIO-4ms", 2x2, 48000 and checked end to end: VelunorRoute's argument list, velunor-ctl
on 9995, a tone heard on a second card, Stop, kill -9 of the panel, an address change,
and the clock identity of the veth's MAC. Without it those parts are skipped (exit 77
after the rest has passed)."""

import configparser
import glob
import json
import math
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lanlib  # noqa: E402
from lanlib import check, log  # noqa: E402

SCREEN = (1920, 1080)
TITLE = "Virtual Sound Card"
PROG_FILES = ["VelunorLinkVSC", "VelunorRoute", "schtasks", "winver", "zh.qm", "en.qm", "icon.ico"]
CORE_FILES = ["VelunorCore", "libVelunorCore.so"]
DRIVER_TOOLS = ["VelunorCh", "driver/devcon"]  # the endpoint and driver control of the "WDM" path


def shots_dir():
    d = os.path.abspath(os.environ.get("VELUNOR_PANEL_SHOTS") or os.path.join(lanlib.build_dir(), "panel-shots"))
    os.makedirs(d, exist_ok=True)
    return d


def make_progdir(src, dst, with_core):
    """A program directory like an installed one: the panel and its siblings, copied (the
    panel compares the route service's real path with its own directory)."""
    os.makedirs(dst, exist_ok=True)
    for f in PROG_FILES + (CORE_FILES + DRIVER_TOOLS if with_core else []):
        p = os.path.join(src, f)
        if os.path.exists(p):
            os.makedirs(os.path.dirname(os.path.join(dst, f)), exist_ok=True)
            shutil.copy2(p, os.path.join(dst, f))
    return dst


def route_pids(exe):
    """Pids of live processes whose program is exe (zombies left out)."""
    out = []
    for d in glob.glob("/proc/[0-9]*"):
        try:
            if os.readlink(d + "/exe") != exe:
                continue
            with open(d + "/stat") as f:
                st = f.read()
            if st[st.rindex(")") + 2] in "ZX":
                continue
            out.append(int(os.path.basename(d)))
        except OSError:
            pass
    return out


def cmdline(pid):
    with open("/proc/%d/cmdline" % pid, "rb") as f:
        return [a.decode() for a in f.read().split(b"\0")[:-1]]


class Display:
    """Xvfb, a tray host and xdotool inside one computer."""

    def __init__(self, host, screen=SCREEN, tray=True):
        self.host = host
        # Xvfb picks a free display itself and prints its number.
        self.xvfb = host.spawn(["Xvfb", "-displayfd", "1", "-screen", "0", "%dx%dx24" % screen, "-nolisten", "tcp"],
                               name="xvfb")
        num = int(self.xvfb.wait_line(r"^\d+$", timeout=20, regex=True))
        self.env = {"DISPLAY": ":%d" % num}
        lanlib.wait_until(lambda: self.x(["xdotool", "getdisplaygeometry"]).returncode == 0, 15, "Xvfb")
        # A desktop session as users have one, so the panel loads what a desktop loads
        # beside it: a session bus with the accessibility bridge, the GTK platform theme,
        # Xcursor and GLX (the packages come from scripts/setup.sh).
        self.bus = host.spawn(["dbus-daemon", "--session", "--nofork", "--print-address=1"], name="dbus-session")
        addr = self.bus.wait_line(r"^unix:", timeout=15, regex=True).strip()
        self.env.update({"DBUS_SESSION_BUS_ADDRESS": addr, "XDG_CURRENT_DESKTOP": "GNOME",
                         "QT_ACCESSIBILITY": "1", "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1"})
        if not tray:
            return
        self.tray = host.spawn(["trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width",
                                "120", "--heighttype", "pixel", "--height", "32"], name="trayer", env=self.env)
        time.sleep(1.0)

    def x(self, argv, timeout=20):
        return self.host.run(argv, timeout=timeout, env=self.env)

    def click(self, x, y):
        # xdotool's --sync waits for the pointer to move, about 15 s when it is already
        # there (a second click on the same button): a step aside first makes it move.
        self.x(["xdotool", "mousemove_relative", "--sync", "3", "3", "mousemove", "--sync", str(x), str(y), "click", "1"])
        time.sleep(0.4)

    def key(self, *keys):
        self.x(["xdotool", "key"] + list(keys))
        time.sleep(0.3)

    def windows(self, name):
        r = self.x(["xdotool", "search", "--onlyvisible", "--name", name])
        return [int(w) for w in r.stdout.split()]

    def app_windows(self):
        r = self.x(["xdotool", "search", "--onlyvisible", "--classname", "VelunorLinkVSC"])
        return r.stdout.split()

    def tray_icon(self):
        """Centre of the panel's icon in the tray (the panel's one small window)."""
        r = self.x(["xdotool", "search", "--onlyvisible", "--classname", "VelunorLinkVSC"])
        for w in r.stdout.split():
            g = dict(l.split("=", 1) for l in self.x(["xdotool", "getwindowgeometry", "--shell", w]).stdout.split())
            if int(g["WIDTH"]) < 64 and int(g["HEIGHT"]) < 64:
                return int(g["X"]) + int(g["WIDTH"]) // 2, int(g["Y"]) + int(g["HEIGHT"]) // 2
        raise lanlib.TestFailure("no tray icon of the panel on the screen")

    def shot(self, path):
        r = self.x(["import", "-window", "root", path], timeout=30)
        check(r.returncode == 0 and os.path.getsize(path) > 0, "screenshot written: " + path)


class Panel:
    """One running VelunorLinkVSC: its log, and its widgets' places on the screen."""

    def __init__(self, host, disp, progdir, env, name="panel"):
        self.host, self.disp, self.progdir = host, disp, progdir
        self.exe = os.path.join(progdir, "VelunorLinkVSC")
        e = dict(disp.env)
        e.update(env)
        e["VELUNOR_PANEL_GEOMETRY"] = "1"
        # Leaks are judged in the panel's unit tests, where the code is ours alone: here a
        # desktop's plugins (Xcursor, GLX, the theme) are unloaded before the leak check and
        # their leaks have no module left to name. Every other sanitizer error still aborts.
        e["ASAN_OPTIONS"] = "detect_leaks=0:abort_on_error=1"
        self.proc = host.spawn([self.exe], name=name, env=e, cwd=progdir)

    def geometry(self, name, after=0):
        """(x, y, w, h) on the screen of a visible widget, from the latest log line
        with an index beyond `after` (lines logged after a page change)."""
        lines = self.proc.lines()[after:]
        hits = [l for l in lines if l.startswith("geometry %s " % name)]
        if not hits:
            return None
        x, y, w, h = map(int, hits[-1].split()[2:6])
        return x, y, w, h

    def wait_geometry(self, name, after=0, timeout=10):
        return lanlib.wait_until(lambda: self.geometry(name, after), timeout, "widget %s on screen" % name)

    # What the panel logs when a click on a widget has been taken: a click is repeated
    # when it is not (on a loaded machine a sanitizer build can miss one).
    TAKEN = {"pb_setting": "geometry pb_save ", "home_bt": "geometry pb_start ", "pb_save": "pb save clicked",
             "cb_bootToStart": "bootToStart statechanged", "rb_hide": "rb hid clicked", "rb_exit": "rb exit clicked",
             "pb_fixName": "pb fixName clicked", "language_bt": "language ", "close_bt": "close startSstate"}

    def click(self, name, after=0, tries=3):
        x, y, w, h = self.wait_geometry(name, after)
        # Check and radio buttons take clicks on their box and text only: aim at the box.
        at = (x + (10 if name.startswith(("cb_boot", "cb_start", "rb_")) else w // 2), y + h // 2)
        taken = self.TAKEN.get(name)
        if not taken:
            self.disp.click(*at)
            return
        seen = sum(taken in l for l in self.proc.lines())
        for _ in range(tries):
            self.disp.click(*at)
            try:
                lanlib.wait_until(lambda: sum(taken in l for l in self.proc.lines()) > seen, 8, "click taken")
                return
            except lanlib.TestFailure:
                log("a click on %s was not taken: again" % name)
        raise lanlib.TestFailure("%d clicks on %s not taken" % (tries, name))

    def mark(self):
        return len(self.proc.lines())

    def message(self, text, after=0, timeout=40):
        """Waits for the message box that shows text, and presses its OK button with the
        keyboard (the box takes the focus)."""
        end = time.monotonic() + timeout
        while True:
            lines = [l for l in self.proc.lines()[after:] if l.startswith("message box:")]
            if any(text in l for l in lines):
                break
            if time.monotonic() > end or not self.proc.alive():
                rest = [l for l in self.proc.lines() if not l.startswith("geometry ")]
                raise lanlib.TestFailure("no message box %r; shown: %r; log:\n%s" % (text, lines, "\n".join(rest[-20:])))
            time.sleep(0.1)
        time.sleep(0.8)
        return True

    def press_ok(self, main_wid=None):
        def boxes():
            return [w for w in self.disp.windows(TITLE) + self.disp.windows("Tips") + self.disp.windows("Notice") +
                    self.disp.windows("提示") if w != main_wid]
        # The box is logged before it is mapped; a slow (sanitizer) build maps it later.
        wids = lanlib.wait_until(boxes, 10, "a message box on the screen")
        self.disp.x(["xdotool", "windowfocus", "--sync", str(wids[-1])])
        self.disp.key("Return")
        time.sleep(0.5)


def scale_check(host, src, env):
    """The panel's scale on a wide screen and on a screen scaled by 1.5."""
    for screen, extra, want in (((3440, 1440), {}, ("1.3", "1.3", "1")),
                                ((1920, 1080), {"QT_SCALE_FACTOR": "1.5"}, ("1", "0.7", "1.5"))):
        disp = Display(host, screen, tray=False)
        tag = "%dx%d" % screen
        prog = make_progdir(src, os.path.join(host.root, "scale-" + tag), False)
        e = dict(env, TMPDIR=os.path.join(host.root, "tmp-" + tag), **extra)
        os.makedirs(e["TMPDIR"], exist_ok=True)
        p = Panel(host, disp, prog, e, name="panel-" + tag)
        p.proc.wait_line("adjFontScale:", timeout=30)
        m = re.search(r"adjScale: ([\d.]+)\s+adjFontScale: ([\d.]+) winScal: ([\d.]+)", p.proc.output())
        check(m and m.groups() == want, "a %s screen%s gives adjScale %s, adjFontScale %s, winScal %s: %s"
              % (tag, " at 150 %" if extra else "", want[0], want[1], want[2], m.groups() if m else None))
        p.proc.stop()
        disp.xvfb.stop()


def settings(progdir, name="UserSettings.ini"):
    cp = configparser.ConfigParser(interpolation=None)
    cp.optionxform = str
    p = os.path.join(progdir, name)
    if os.path.exists(p):
        cp.read(p)
    return cp["General"] if cp.has_section("General") else {}


def test():
    lanlib.require_root()
    for tool in ("Xvfb", "xdotool", "trayer", "import"):
        if not shutil.which(tool):
            lanlib.skip("%s not installed (scripts/setup.sh installs it)" % tool)
    src = os.path.join(lanlib.build_dir(), "panel")
    if not os.path.exists(os.path.join(src, "VelunorLinkVSC")):
        lanlib.skip("the panel is not built (Qt 5 missing?)")
    with_core = all(os.path.exists(os.path.join(src, f)) for f in CORE_FILES)
    r = subprocess.run(["fc-list", ":lang=zh"], stdout=subprocess.PIPE, text=True)
    check(r.stdout.strip() != "", "a font with Chinese glyphs is installed")
    shots = shots_dir()

    with lanlib.Lan(2) as lan:
        a = lan.host(1)
        prog = make_progdir(src, os.path.join(a.root, "prog"), with_core)
        other = make_progdir(src, os.path.join(a.root, "other"), False)
        env = {"TMPDIR": os.path.join(a.root, "tmp"), "HOME": os.path.join(a.root, "home"),
               "XDG_CONFIG_HOME": os.path.join(a.root, "home", ".config"), "QT_QPA_PLATFORM": "xcb",
               "LANG": "C.UTF-8"}
        for d in (env["TMPDIR"], env["HOME"]):
            os.makedirs(d, exist_ok=True)
        scale_check(a, src, env)
        disp = Display(a)
        if with_core and start_driver(a) is None:
            lanlib.skip("VelunorCore is built but the driver host (driver/velunor-kernel) is not")

        # Route services left behind: one of this installation, one of another.
        stale = a.spawn([os.path.join(prog, "VelunorRoute"), "bindIp=" + a.ip, "devId=stale", "bufMs=0"],
                        name="stale-here")
        foreign = a.spawn([os.path.join(other, "VelunorRoute"), "bindIp=" + a.ip, "devId=foreign", "bufMs=0"],
                          name="stale-other")
        for p in (stale, foreign):
            p.wait_line("warning: bindIp=", timeout=20)

        panel = Panel(a, disp, prog, env)
        panel.proc.wait_line("Main thread ID:", timeout=30)
        check(stale.wait(5) is not None, "the stale route service of this program directory was ended")
        check(foreign.alive(), "the route service of another program directory was left alone")
        foreign.stop()
        check(re.search(r"adjScale: 1\b", panel.proc.output()) is not None, "a 1920x1080 screen gives adjScale 1")

        wid = lanlib.wait_until(lambda: disp.windows(TITLE), 15, "the main window")[0]
        if not with_core:
            # No driver: the initialisation cannot read the engine.
            panel.message("Start failed")
            panel.press_ok(wid)
            log("VelunorCore is not beside the panel: the initialisation reports the start failure")

        if not with_core:
            # The lists are opened with a click and chosen with the keyboard; without a
            # channel count from the driver, Start is refused and nothing is started.
            choose(panel, "cb_audioType", 3)
            panel.proc.wait_line("audio interface selection changed index: 3", timeout=5)
            m = panel.mark()
            panel.click("pb_start")
            panel.message("Start failed", after=m)
            panel.press_ok(wid)
            time.sleep(1.0)
            check(not route_pids(os.path.join(prog, "VelunorRoute")) and "threadFinished step 2" not in
                  panel.proc.output(), "Start without a channel count from the driver starts nothing")

        # A second panel: the message, and exit 0.
        second = Panel(a, disp, prog, env, name="panel2")
        second.message("Program is running!")
        second.press_ok(wid)
        check(second.proc.wait(10) == 0, "a second panel shows \"Program is running!\" and exits 0")
        check(panel.proc.alive(), "the first panel is untouched")

        # The clock-identity service, before any start.
        rep = a.udp_send("127.0.0.1", 9997, b"xx getClkId yy", wait=1.0)
        check([d for d, _ in rep] == [b"gmClkId=00-00-00-00-00-00-00-00 myClkId=00-00-00-00-00-00-00-00"],
              "getClkId before a start is answered with zero identities: %r" % rep)
        check(a.udp_send("127.0.0.1", 9997, b"GETCLKID", wait=0.5) == [], "the word in other letters is ignored")
        check(a.udp_send("127.0.0.1", 9997, os.urandom(60000) + b"getClkId", wait=1.0) != [],
              "a 60 kB datagram with the word is answered")

        # English first (no language stored): the main window and the settings page.
        lanlib.wait_until(lambda: panel.geometry("pb_start"), 10, "the main window's widgets")
        panel.proc.wait_line("threadFinished step 1", timeout=30)
        time.sleep(0.5)
        disp.shot(os.path.join(shots, "panel-en-main.png"))
        m = panel.mark()
        panel.click("pb_setting")
        panel.wait_geometry("pb_save", after=m)
        disp.shot(os.path.join(shots, "panel-en-settings.png"))

        # Start at log-on and the close choice, saved.
        panel.click("cb_bootToStart", after=m)
        panel.click("rb_hide", after=m)
        m2 = panel.mark()
        panel.click("pb_save", after=m)
        panel.message("Saved", after=m2)
        panel.press_ok(wid)
        s = settings(prog)
        check(s.get("autoStart") == "1" and s.get("closeFunction") == "hide", "settings saved: %r" % dict(s))
        entry = os.path.join(env["XDG_CONFIG_HOME"], "autostart", "VelunorLinkVSC_AutoStart.desktop")
        check(os.path.exists(entry) and 'Exec="%s"' % os.path.join(prog, "VelunorLinkVSC") in open(entry).read(),
              "the log-on start is an autostart entry running the panel")

        # The PTP domain is written as it is typed; the device name is repaired in the
        # route file, every other member kept.
        panel.click("sb_domain", after=m)
        disp.key("ctrl+a")
        disp.x(["xdotool", "type", "5"])
        lanlib.wait_until(lambda: settings(prog).get("domain") == "5", 15, "domain=5 stored at once")
        route_file = os.path.join(a.root, "C", "ProgramData", "VelunorNetSndCard", "_route")
        with open(route_file) as f:
            before = json.load(f)
        before["name"] = "\u00ef\u00bf\u00bd garbled"
        with open(route_file, "w") as f:
            json.dump(before, f)
        m2 = panel.mark()
        panel.click("pb_fixName", after=m)
        panel.message("Repaired", after=m2)
        panel.press_ok(wid)
        with open(route_file) as f:
            after = json.load(f)
        check(after == dict(before, name="vsc-" + socket.gethostname()),
              "the name repair sets \"vsc-<host>\" and keeps the %d other members" % (len(before) - 1))

        # The system's version, from the button of the main page.
        m = panel.mark()
        panel.click("home_bt")
        panel.click("bt_showWinVer", after=m)
        ver = lanlib.wait_until(lambda: disp.windows("About this system"), 10, "the winver window")
        disp.x(["xdotool", "windowfocus", "--sync", str(ver[0])])
        disp.key("Return")
        lanlib.wait_until(lambda: not disp.windows("About this system"), 5, "the winver window closed")
        log("ok: the system version button shows the winver window")

        # Chinese.
        m = panel.mark()
        panel.click("language_bt")
        lanlib.wait_until(lambda: settings(prog, "UserConfig.ini").get("Langue") == "chs", 20, "Langue=chs stored")
        panel.proc.wait_line("language true", timeout=20)
        # The settings page again: the switch leaves the window on its home page.
        m = panel.mark()
        panel.click("pb_setting")
        panel.wait_geometry("pb_save", after=m)
        time.sleep(0.5)
        disp.shot(os.path.join(shots, "panel-zh-settings.png"))
        m = panel.mark()
        panel.click("home_bt")
        panel.wait_geometry("pb_start", after=m)
        time.sleep(0.5)
        disp.shot(os.path.join(shots, "panel-zh-main.png"))
        log("screenshots in " + shots)

        if with_core:
            panel, wid = run_card(lan, disp, panel, prog, env, wid)

        # Closing with "hide" only hides the window; a double click on the tray icon brings it
        # back. Then "exit" is saved, and the tray menu's Quit ends the panel.
        panel.click("close_bt")
        lanlib.wait_until(lambda: wid not in disp.windows(TITLE), 5, "the window hidden")
        check(panel.proc.alive(), "the close button with \"hide\" leaves the panel running (in the tray)")
        tx, ty = disp.tray_icon()
        disp.x(["xdotool", "mousemove", "--sync", str(tx), str(ty), "click", "--repeat", "2", "--delay", "80", "1"])
        lanlib.wait_until(lambda: wid in disp.windows(TITLE), 5, "the window back after a double click on the tray")
        log("ok: a double click on the tray icon shows the window again")
        m = panel.mark()
        panel.click("pb_setting")
        panel.click("rb_exit", after=m)
        panel.click("cb_bootToStart", after=m)
        m2 = panel.mark()
        panel.click("pb_save", after=m)
        panel.message("保存成功", after=m2)
        panel.press_ok(wid)
        check(not os.path.exists(entry), "the autostart entry is removed when the log-on start is off")
        for _ in range(3):
            before = set(disp.app_windows())
            disp.x(["xdotool", "mousemove", "--sync", str(tx), str(ty), "click", "3"])
            lanlib.wait_until(lambda: set(disp.app_windows()) - before, 10, "the tray menu open")
            time.sleep(0.5)
            disp.key("Up", "Return")  # the menu's last entry: 退出 (Quit)
            if panel.proc.wait(15) is not None:
                break
            log("the tray menu did not take the keys: again")
        rc = panel.proc.wait(1)
        check(rc == 0, "the tray menu's Quit ends the panel (exit %s)%s"
              % (rc, "" if rc == 0 else ": " + "\n".join(panel.proc.lines()[-30:])))
        check(not route_pids(os.path.join(prog, "VelunorRoute")), "no route service is left")
        if not with_core:
            lanlib.skip("VelunorCore (the driver's control library) is not beside the panel in %s: the start, "
                        "stop, tone, kill -9 and address-change parts need it; everything else passed" % src)


def choose(panel, name, index):
    """Opens a choice list with a click and picks an entry with the keyboard."""
    panel.click(name)
    panel.disp.key(*(["Up"] * 8 + ["Down"] * index + ["Return"]))


_driver_hosts = {}


def start_driver(host):
    """The driver host of this computer, which VelunorCore talks to (started once); None
    when it is not built."""
    p = _driver_hosts.get(host.ns)
    if p and p.alive():
        return p
    kernel = lanlib.binary("driver/velunor-kernel", required=False)
    if not kernel:
        return None
    p = host.spawn([kernel], name="velunor-kernel")
    p.wait_line("loaded, status 0x00000000", timeout=20)
    _driver_hosts[host.ns] = p
    return p


def expected_args(route, ip, devid, chmax, bufms, domain, ch=2):
    args = [route, "sampleRate=48000", "chNumRx=%d" % ch, "chNumTx=%d" % ch, "bindIp=" + ip, "domain=" + domain,
            "payloadType=96",
            "model=rEduVuzi", "devId=" + devid, "filePath=C:/ProgramData/VelunorNetSndCard/_route"]
    if chmax < 3:
        args += ["noMcastTx", "noMcastRx"]
    elif bufms < 2:
        args += ["noMcastRx"]
    return args + ["bufMs=%d" % bufms]


def tone_stats(rec_path):
    """A tone recorded on channel 0 of a WAV: (Hz, peak dBFS, seconds from its first to
    its last sound, 1 ms blocks with the tone, silent 1 ms blocks within), or None when
    nothing was heard. The pitch comes from the spacing of rising zero crossings (a gap of
    a stalled host adds one long spacing, which is left out)."""
    import test_alsa_e2e as alsa
    _, rate, bits, chans = alsa.read_wav(rec_path)
    x = [v / float(1 << (bits - 1)) for v in chans[0]]
    loud = [i for i, v in enumerate(x) if abs(v) > 0.25]
    if not loud:
        return None
    seg = x[loud[0]:loud[-1]]
    ups = [i for i in range(1, len(seg)) if seg[i - 1] < 0 <= seg[i]]
    gaps = sorted(q - p for p, q in zip(ups, ups[1:]))
    med = gaps[len(gaps) // 2]
    even = [g for g in gaps if abs(g - med) <= 1]
    hz = rate * len(even) / float(sum(even))
    peak = 20 * math.log10(max(abs(v) for v in seg))
    blocks = [max(abs(v) for v in seg[k:k + 48]) > 0.25 for k in range(0, len(seg) - 47, 48)]
    return hz, peak, len(seg) / float(rate), blocks.count(True), blocks.count(False)


def wdm_cycle(a, disp, panel, route, lang, expect_waits, between=None):
    """One start and stop of the card with the "WDM" interface and 8x8 from the window:
    the endpoints come up with the waiting and channel texts on the start button, every
    one of the eight is ACTIVE, then Stop switches them off and restarts the driver, and a
    Start pressed at once is asked to wait. `between` runs while the card is up."""
    shots = shots_dir()
    ep_dir = os.path.join(a.rundir, "endpoints")

    def ep_states():
        out = {}
        for f in glob.glob(os.path.join(ep_dir, "ROOT#VelunorAudio#0000#*_stereo-*")):
            with open(f) as fh:
                out[os.path.basename(f).split("#")[-1]] = re.search(r"state=(\w+)", fh.read()).group(1)
        return out

    seen = panel.proc.output().count("start selected channel")
    waits = panel.proc.output().count("audio endpoint enable attempt 1 ")
    results = panel.proc.output().count("audio endpoint enable attempt result 1 ")
    quits = panel.proc.output().count("thread AudioEnableEndpointWorker quit")
    panel.click("pb_start")
    panel.proc.wait_line("start selected channel", timeout=10, count=seen + 1)
    pids = lanlib.wait_until(lambda: route_pids(route), 40, "VelunorRoute started by the panel")
    # A driver whose endpoints are already ACTIVE (the first start after it was loaded)
    # has no waits to show; after a WDM stop they are DISABLED and the worker enables them.
    ended = lambda: panel.proc.output().count("thread AudioEnableEndpointWorker quit") > quits
    waited = lambda: panel.proc.output().count("audio endpoint enable attempt 1 ") > waits
    lanlib.wait_until(lambda: waited() or ended(), 60, "the endpoint worker waiting or done")
    check(waited() or not expect_waits, "the endpoint worker waits for DISABLED endpoints")
    if waited():
        time.sleep(1.5)
        disp.shot(os.path.join(shots, "panel-%s-wdm-waiting.png" % lang))
        panel.proc.wait_line("audio endpoint enable attempt result 1 ", timeout=60, count=results + 1)
        disp.shot(os.path.join(shots, "panel-%s-wdm-channels.png" % lang))
    panel.proc.wait_line("thread AudioEnableEndpointWorker quit", timeout=90, count=quits + 1)
    up = ep_states()
    active = sorted(k for k, v in up.items() if v == "ACTIVE")
    want = sorted("%s_stereo-%02d" % (f, i) for f in ("out", "in") for i in range(4))
    check(active == want, "a WDM start with 8x8 brings exactly the eight endpoints of four pairs up: %r" % up)
    if between:
        between(pids[0])

    kernel_host = _driver_hosts[a.ns]
    restarts = panel.proc.output().count("audioEnableDriver use time")
    enabled = kernel_host.output().count("device enabled, status 0x00000000")
    panel.click("pb_start")
    panel.proc.wait_line("audioEnableDriver use time", timeout=90, count=restarts + 1)
    lanlib.wait_until(lambda: not route_pids(route), 15, "the route service ended by the WDM stop")
    down = ep_states()
    check(all(down.get(k) == "DISABLED" for k in want), "Stop switches the eight endpoints off: %r" % down)
    check(kernel_host.output().count("device enabled, status 0x00000000") == enabled + 1,
          "Stop restarts the driver (devcon disable, enable)")
    log("ok: the WDM stop took: " + re.findall(r"audioDisableEndpoint use time\s+\S+", panel.proc.output())[-1])
    # Start again at once: the card asks for channels / 2 seconds first.
    m = panel.mark()
    panel.click("pb_start")
    text = "请在 " if lang == "zh" else "Please start again in "
    panel.message(text, after=m, timeout=10)
    line = [l for l in panel.proc.lines()[m:] if l.startswith("message box:") and text in l][-1]
    wait = int(re.search(r"(\d+)", line.split(text, 1)[1]).group(1))
    check(1 <= wait <= 4, "a Start right after the WDM stop waits the rest of 8 / 2 s: %r" % line)
    disp.shot(os.path.join(shots, "panel-%s-wdm-next-start.png" % lang))
    panel.press_ok()
    check(not route_pids(route), "the early Start started nothing")
    time.sleep(wait + 0.5)


def wdm_card(a, b, disp, panel, prog, route, devid, b_rx_active):
    """The driver path from the window, in both languages: 8x8 with "WDM", a WAV played
    with aplay into velunor_out_00 and heard on the second card, the endpoints and the
    driver, and a Start while the driver host is down."""
    import test_alsa_e2e as alsa
    bins = alsa.binaries()
    env = alsa.alsa_env(bins)
    choose(panel, "cb_audioType", 0)
    panel.proc.wait_line("audio interface selection changed index: 0", timeout=5)
    choose(panel, "cb_chnum", 2)
    panel.proc.wait_line(r"channel selection changed index: 2 text: \S*8x8", timeout=5, regex=True)

    wav = os.path.join(a.root, "tone.wav")
    r = a.run(["sox", "-D", "-n", "-r", "48000", "-b", "24", "-c", "2", wav, "synth", "3", "sine", "1000", "gain",
               "-6"], timeout=60)
    check(r.returncode == 0, "sox made a 3 s 1 kHz WAV: " + r.stderr)

    def heard(pid):
        s = settings(prog)
        want = expected_args(route, a.ip, s.get("devId"), 64, 0, s.get("domain", "0"), ch=8)
        check(cmdline(pid) == want, "VelunorRoute runs with exactly %r (got %r)" % (want, cmdline(pid)))
        lanlib.wait_until(b_rx_active, 20, "B's stream from the panel's card active again")
        rec_path = os.path.join(b.root, "wdm.wav")
        rec = b.spawn([bins["asiohost"], "--record", rec_path, "--in", "0,1", "--seconds", "6", "--buffer", "48",
                       "--wait", "10"], name="asio-rec-wdm")
        rec.wait_line("buffer size 48", timeout=20)
        play = a.spawn(["aplay", "-D", "velunor_out_00", wav], name="aplay-wdm", env=env)
        check(play.wait(20) == 0, "aplay played into the panel's card: %s" % play.tail(4))
        check(rec.wait(30) == 0, "asiohost recorded on B: %s" % rec.tail(4))
        got = tone_stats(rec_path)
        check(got, "B heard something on channel 0")
        hz, peak, secs, tone_ms, silent = got
        log("figure: the tone on B: %.3f s from first to last sound, %d silent 1 ms block(s) within it"
            % (secs, silent))
        check(abs(hz - 1000) < 1 and abs(peak + 6) < 0.1 and tone_ms >= 2700,
              "aplay's 1 kHz -6 dBFS tone heard on B through the panel's card: %.2f Hz, peak %.2f dBFS, "
              "%d ms of tone" % (hz, peak, tone_ms))

    wdm_cycle(a, disp, panel, route, "zh", False, between=heard)
    # The same texts in English.
    def language(chinese):
        panel.click("language_bt")  # taken once the panel logs the switch
        last = [l for l in panel.proc.lines() if l.startswith("language ")][-1]
        check(last == "language %s" % ("true" if chinese else "false"), "the language switched: %r" % last)

    language(False)
    wdm_cycle(a, disp, panel, route, "en", True)
    language(True)
    wdm_cycle(a, disp, panel, route, "zh", True)

    # The driver host gone at Start: the start-failure message, nothing left running.
    _driver_hosts[a.ns].stop()
    m = panel.mark()
    t0 = time.monotonic()
    panel.click("pb_start")
    panel.message("启动失败", after=m, timeout=60)
    panel.press_ok()
    # The stop that follows runs the endpoint shutdown against the missing driver too.
    lanlib.wait_until(lambda: any(l.startswith("threadFinished step 3") for l in panel.proc.lines()[m:]), 90,
                      "the card stopped again")
    log("figure: from the Start without a driver host to the card stopped again: %.1f s" % (time.monotonic() - t0))
    shown = [l for l in panel.proc.lines()[m:] if l.startswith("message box:")]
    for _ in shown[1:]:
        panel.press_ok()
    check(not any("Worker thread emitting signal_route_start" in l for l in panel.proc.lines()[m:])
          and not route_pids(route), "no route service is started without the driver's engine: %r" % shown)
    check(panel.proc.alive(), "the panel survives a start without its driver host")
    start_driver(a)
    log("ok: a WDM start without the driver host gives the start-failure message")
    time.sleep(8 // 2 + 0.5)  # that stop's next-start time


def run_card(lan, disp, panel, prog, env, wid):
    """Starts the card from the window and checks it end to end (needs VelunorCore and
    the driver host)."""
    import test_asio_e2e as asio
    a, b = lan.host(1), lan.host(2)
    route = os.path.join(prog, "VelunorRoute")
    ctl = lanlib.binary("tools/velunor-ctl/velunor-ctl")
    asiohost = lanlib.binary("tools/asiohost/asiohost")
    driver = lanlib.binary("asio/Velunor-rEduVuzi.so")
    if start_driver(a) is None:
        lanlib.skip("VelunorCore is built but the driver host (driver/velunor-kernel) is not")
    # The initialisation ran before the driver host: run it again in a new panel.
    panel.proc.stop()
    panel = Panel(a, disp, prog, env, name="panel-card")
    panel.proc.wait_line("threadFinished step 1", timeout=60)
    check("message box: " not in panel.proc.output(), "the initialisation read the driver's engine")
    wid = lanlib.wait_until(lambda: disp.windows(TITLE), 15, "the main window")[0]
    m = panel.mark()
    panel.click("home_bt")
    panel.wait_geometry("cb_audioType", after=m)
    choose(panel, "cb_audioType", 3)
    choose(panel, "cb_samplerate", 0)
    choose(panel, "cb_chnum", 0)

    def start():
        seen = panel.proc.output().count("start selected channel")
        panel.click("pb_start")
        line = panel.proc.wait_line("start selected channel", timeout=10, count=seen + 1)
        lanlib.wait_until(lambda: route_pids(route), 40, "VelunorRoute started by the panel")
        return line

    line = start()
    s = settings(prog)
    devid = s.get("devId")
    chmax = max(2, int(re.search(r"koChNum: (-?\d+)", line).group(1)))
    pid = route_pids(route)[0]
    want = expected_args(route, a.ip, devid, chmax, 4, s.get("domain", "0"))
    check(cmdline(pid) == want, "VelunorRoute runs with exactly %r (got %r)" % (want, cmdline(pid)))
    check(s.get("audioType") == "3" and s.get("samplerate") == "48000", "the choices are stored: %r" % dict(s))
    r = a.run([ctl, "--json", a.ip, "getCustomStr"], timeout=20)
    check(r.returncode == 0 and json.loads(r.stdout).get("result") == "succ", "the card answers velunor-ctl on 9995")

    mac = a.run(["cat", "/sys/class/net/%s/address" % a.dev]).stdout.strip().lower().split(":")
    want_id = "-".join(mac[:3] + ["ff", "fe"] + mac[3:])
    rep = a.udp_send(a.ip, 9997, b"getClkId", wait=1.0)
    check([d for d, _ in rep] == [("gmClkId=00-00-00-00-00-00-00-00 myClkId=" + want_id).encode()],
          "getClkId gives the veth's MAC as EUI-64: %r" % rep)

    # A tone from asiohost on this computer, heard on a second card.
    asio.CTL = ctl
    pb = b.spawn([lanlib.binary("route/VelunorRoute"), "sampleRate=48000", "chNumTx=2", "chNumRx=2", "bufMs=4",
                  "bindIp=" + b.ip, "devId=cardB"], name="cardB")
    pb.wait_line("warning: bindIp=", timeout=20)
    for h in (a, b):
        lanlib.wait_until(lambda h=h: os.path.exists(os.path.join(h.rundir, "objects", "Velunor-vSnd-shareMem")),
                          10, "exchange area")
        check(h.run([asiohost, "--register", "--driver", driver], timeout=20).returncode == 0, "ASIO driver registered")
    r = asio.ask(b, b.ip, {"ops": "setUcastRx", "srcDevId": devid, "srcChId": "0", "dstChId": "0"})
    check(r is not None and r.get("result") == "succ", "B routes its channel 0 from the panel's card: %r" % (r,))

    def b_rx_active():
        rx = [e for e in asio.table(b, b.ip, "getAllUcastRx") if e["sdp"]["srcIp"] == a.ip]
        return bool(rx) and rx[0]["active"] == "1"

    lanlib.wait_until(b_rx_active, 20, "B's stream from the panel's card active")
    uid = [e for e in asio.table(b, b.ip, "getAllUcastRx") if e["sdp"]["srcIp"] == a.ip][0]["id"]
    _, err = asio.run_route("panel", asiohost, a, b, pb, 4.0, os.path.join(b.root, "panel.wav"),
                            ("getUcastStats", uid))
    check(err is None, "the tone played into the panel's card is heard on the second card: %s" % err)

    # Stop.
    panel.click("pb_start")
    lanlib.wait_until(lambda: not route_pids(route), 15, "the route service ended by Stop")
    panel.proc.wait_line("threadFinished step 3", timeout=20)
    log("ok: Stop ends the route service")

    wdm_card(a, b, disp, panel, prog, route, devid, b_rx_active)
    choose(panel, "cb_audioType", 3)
    panel.proc.wait_line("audio interface selection changed index: 3", timeout=5)

    # The panel killed outright takes the service with it.
    start()
    panel.proc.signal(signal.SIGKILL)
    t0 = time.monotonic()
    lanlib.wait_until(lambda: not route_pids(route), 1.0, "the route service ended with the killed panel",
                      interval=0.02)
    log("ok: kill -9 of the panel ended the route service within %.2f s" % (time.monotonic() - t0))

    # A new address on the veth while running: the service restarts on it.
    panel = Panel(a, disp, prog, env, name="panel-addr")
    panel.proc.wait_line("threadFinished step 1", timeout=60)
    wid = lanlib.wait_until(lambda: disp.windows(TITLE), 15, "the main window")[0]
    start()
    new_ip = "10.77.%d.%d" % (lan.net, 100 + a.index)
    # Without promotion, deleting the first address of a subnet takes the others with it.
    a.run(["sysctl", "-qw", "net.ipv4.conf.%s.promote_secondaries=1" % a.dev], check=True)
    a.run(["ip", "addr", "add", new_ip + "/24", "dev", a.dev], check=True)
    a.run(["ip", "addr", "del", a.ip + "/24", "dev", a.dev], check=True)

    def on_new():
        p = route_pids(route)
        return p and "bindIp=" + new_ip in cmdline(p[0])

    lanlib.wait_until(on_new, 30, "the route service restarted on " + new_ip)
    check(settings(prog).get("netAdapterIpAddr") == new_ip, "the new address is stored")
    a.run(["ip", "addr", "add", a.ip + "/24", "dev", a.dev], check=True)
    a.run(["ip", "addr", "del", new_ip + "/24", "dev", a.dev], check=True)
    lanlib.wait_until(lambda: (lambda p: p and "bindIp=" + a.ip in cmdline(p[0]))(route_pids(route)), 30,
                      "the route service back on " + a.ip)
    panel.click("pb_start")
    lanlib.wait_until(lambda: not route_pids(route), 15, "the route service ended by Stop")
    panel.proc.wait_line("threadFinished step 3", timeout=20)
    return panel, wid


if __name__ == "__main__":
    lanlib.main(test)
