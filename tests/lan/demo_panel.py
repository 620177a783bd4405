#!/usr/bin/env python3
"""The control panel demo: VelunorLinkVSC in a computer of a virtual LAN, on a virtual
screen (Xvfb, with a tray host), clicked with xdotool like a person would. It picks
"ASIO-4ms", 2x2 and 48000 and presses Start when the driver's control library
(VelunorCore) and the driver host are built, shows the route service the panel started
and its command line, then does the same with "WDM" and 8x8 and lists the driver's
endpoints as they come up, and writes screenshots. Without them it shows the panel as it
opens on a computer with no driver (the start-failure message, the tips, in English and
in Chinese) and the settings page; --no-driver shows that even when the driver is built.
Nothing is sent on the machine's real interfaces; everything is removed at the end."""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lanlib  # noqa: E402
import test_panel_e2e as pe  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build-dir", help="build directory with panel/VelunorLinkVSC")
    ap.add_argument("--shots", help="folder for the screenshots (default <build>/panel-shots)")
    ap.add_argument("--no-driver", action="store_true", help="show the panel on a computer without the driver")
    args = ap.parse_args()
    if args.build_dir:
        os.environ["VELUNOR_BUILD_DIR"] = args.build_dir
    if args.shots:
        os.environ["VELUNOR_PANEL_SHOTS"] = args.shots
    lanlib.require_root()
    src = os.path.join(lanlib.build_dir(), "panel")
    with_core = not args.no_driver and all(os.path.exists(os.path.join(src, f)) for f in pe.CORE_FILES)
    shots = pe.shots_dir()
    with lanlib.Lan(1) as lan:
        a = lan.host(1)
        prog = pe.make_progdir(src, os.path.join(a.root, "prog"), with_core)
        env = {"TMPDIR": os.path.join(a.root, "tmp"), "HOME": os.path.join(a.root, "home"), "LANG": "C.UTF-8"}
        for d in (env["TMPDIR"], env["HOME"]):
            os.makedirs(d, exist_ok=True)
        print("== a computer %s with %s (%s), a virtual screen and a tray" % (a.ns, a.dev, a.ip), flush=True)
        disp = pe.Display(a)
        if with_core and pe.start_driver(a) is None:
            with_core = False
        panel = pe.Panel(a, disp, prog, env)
        panel.proc.wait_line("threadFinished step 1", timeout=60)
        wid = lanlib.wait_until(lambda: disp.windows(pe.TITLE), 15, "the main window")[0]
        route = os.path.join(prog, "VelunorRoute")
        if with_core and "message box:" not in panel.proc.output():
            print("== choosing ASIO-4ms, 2x2, 48000 and pressing Start", flush=True)
            pe.choose(panel, "cb_audioType", 3)
            pe.choose(panel, "cb_samplerate", 0)
            pe.choose(panel, "cb_chnum", 0)
            panel.click("pb_start")
            pid = lanlib.wait_until(lambda: pe.route_pids(route), 40, "VelunorRoute")[0]
            print("   VelunorRoute pid %d: %s" % (pid, " ".join(pe.cmdline(pid))), flush=True)
            time.sleep(2.0)
            disp.shot(os.path.join(shots, "demo-panel-started.png"))
            panel.click("pb_start")
            lanlib.wait_until(lambda: not pe.route_pids(route), 20, "VelunorRoute ended by Stop")
            print("== Stop; now \"WDM\", 8x8 and Start: the driver's endpoints come up", flush=True)
            pe.choose(panel, "cb_audioType", 0)
            pe.choose(panel, "cb_chnum", 2)
            panel.click("pb_start")
            pid = lanlib.wait_until(lambda: pe.route_pids(route), 40, "VelunorRoute")[0]
            print("   VelunorRoute pid %d: %s" % (pid, " ".join(pe.cmdline(pid))), flush=True)
            panel.proc.wait_line("thread AudioEnableEndpointWorker quit", timeout=90)
            time.sleep(1.5)
            disp.shot(os.path.join(shots, "demo-panel-wdm.png"))
            ep = os.path.join(a.rundir, "endpoints")
            for name in sorted(os.listdir(ep)):
                with open(os.path.join(ep, name)) as f:
                    rec = dict(l.split("=", 1) for l in f.read().splitlines() if "=" in l)
                print("   endpoint %-40s %-8s %s" % (name, rec.get("flow"), rec.get("state")), flush=True)
            print("== Stop: the endpoints are switched off and the driver restarts", flush=True)
            n = panel.proc.output().count("audioEnableDriver use time")
            panel.click("pb_start")
            panel.proc.wait_line("audioEnableDriver use time", timeout=90, count=n + 1)
        else:
            print("== no driver here (VelunorCore or the driver host not built): the panel says so", flush=True)
            for lang, failed in (("en", "Start failed"), ("zh", "启动失败")):
                m = 0  # English: the box the initialisation shows by itself
                if lang == "zh":
                    m = panel.mark()
                    panel.click("language_bt")
                    panel.proc.wait_line("language true", timeout=20)
                    pe.choose(panel, "cb_audioType", 0)
                    panel.click("pb_start")
                panel.message(failed, after=m)
                disp.shot(os.path.join(shots, "demo-panel-no-driver-%s.png" % lang))
                print("   " + [l for l in panel.proc.lines()[m:] if l.startswith("message box:")][-1], flush=True)
                panel.press_ok(wid)
                panel.click("tip_bt")
                tips = lanlib.wait_until(lambda: [w for w in disp.windows("Notice") + disp.windows("提示")
                                                  if w != wid], 10, "the tips window")
                time.sleep(0.5)
                disp.shot(os.path.join(shots, "demo-panel-tips-%s.png" % lang))
                # Escape closes it (Return would press its system-version button).
                disp.x(["xdotool", "windowfocus", "--sync", str(tips[-1])])
                disp.key("Escape")
                lanlib.wait_until(lambda: tips[-1] not in disp.windows("Notice") + disp.windows("提示"), 10,
                                  "the tips window closed")
            m = panel.mark()
            panel.click("pb_setting")
            panel.wait_geometry("pb_save", after=m)
            disp.shot(os.path.join(shots, "demo-panel-settings.png"))
        print("== the panel's log", flush=True)
        for line in panel.proc.lines():
            if not line.startswith("geometry "):
                print("  | " + line)
        print("== screenshots in " + shots, flush=True)
    print("demo finished: namespaces and temp dirs removed", flush=True)


if __name__ == "__main__":
    try:
        main()
    except lanlib.TestFailure as e:
        print("demo failed: %s" % e, flush=True)
        sys.exit(1)
