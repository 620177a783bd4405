#!/usr/bin/env python3
"""The driver path end to end, against a card on the ASIO path.

Computer A runs the driver host velunor-kernel with VelunorAudio and VelunorRoute with
bufMs=0; VelunorCore sets A's address, channels and rate, starts its engine (status 2)
and turns on the engine's test tone on render channel 0. Computer B runs VelunorRoute on
the ASIO path and records with asiohost. B is routed from A's channel 0 with velunor-ctl,
by unicast and then by a multicast stream that A adds; B must hear the 2 kHz tone at one
tenth of full scale, bit-exact at 24 bits apart from gaps. A third computer reads A's
multicast RTP with tshark (UDP port 5004, payload type 96, DSCP 34), and A's ICMP
counters show no port-unreachable. B's 1 kHz tone routed to A shows in A's receive
meters. Then the faults: kill -9 of A's VelunorRoute, the host stopped and started, the
driver unloaded and loaded."""

import os
import re
import shutil
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lanlib  # noqa: E402
from lanlib import check, log  # noqa: E402
import test_asio_e2e as asio  # noqa: E402

GROUP = "239.69.4.2"
# The kernel build's tone table, as B's 24-bit path carries it.
TONE = [0, 55580966, 107374181, 151850024, 185977538, 207430990, 214748364, 207430990, 185977538, 151850024,
        107374181, 55580966, 0, -55580966, -107374181, -151850024, -185977538, -207430990, -214748364, -207430990,
        -185977538, -151850024, -107374182, -55580966]
TONE24 = [(v >> 8) for v in TONE]


def tone_share(samples):
    """Share of the recording's samples from the first sound on that continue the tone
    table bit-exact at 24 bits (a run may pick up at another phase after a silent gap)."""
    nz = [i for i, v in enumerate(samples) if v]
    if not nz:
        return 0.0, 0
    s = samples[nz[0]:]
    good, phase = 0, None
    for i, v in enumerate(s):
        if v == 0 and (phase is None or TONE24[phase % 24] != 0):
            phase = None  # a gap: the next sound may start anywhere in the table
            continue
        if phase is None:
            cands = [k for k in range(24) if TONE24[k] == v >> 8]
            if not cands:
                continue
            phase = cands[0]
            if len(cands) > 1 and i + 1 < len(s):
                phase = next((k for k in cands if TONE24[(k + 1) % 24] == s[i + 1] >> 8), cands[0])
        if TONE24[phase % 24] == v >> 8:
            good += 1
        phase = (phase + 1) % 24
    return good / float(len(s)), max(abs(v) for v in s)


def record(b, asiohost, path, secs):
    rec = b.spawn([asiohost, "--record", path, "--in", "0", "--seconds", "%.1f" % secs, "--buffer", "48",
                   "--wait", "10"], name="rec-" + os.path.basename(path))
    check(rec.wait(secs + 40) == 0, "B recorded %s: %s" % (path, rec.tail(5)))
    return asio.read_wav(path)


def test():
    lanlib.require_root()
    bins = {k: lanlib.binary(v, required=False) for k, v in (
        ("route", "route/VelunorRoute"), ("kernel", "driver/velunor-kernel"), ("core", "tools/VelunorCore/VelunorCore"),
        ("asiohost", "tools/asiohost/asiohost"), ("asio", "asio/Velunor-rEduVuzi.so"),
        ("ctl", "tools/velunor-ctl/velunor-ctl"), ("ch", "tools/VelunorCh/VelunorCh"), ("devcon", "tools/devcon/devcon"))}
    missing = [k for k, v in bins.items() if not v]
    if missing:
        lanlib.skip("not built: " + ", ".join(missing))
    asio.CTL = bins["ctl"]

    with lanlib.Lan(3) as lan:
        a, b, c = lan.host(1), lan.host(2), lan.host(3)

        def core(*args):
            r = a.run([bins["core"]] + [str(x) for x in args], timeout=20)
            return r.returncode, r.stdout.strip()

        host = a.spawn([bins["kernel"]], name="velunor-kernel")
        host.wait_line("loaded, status 0x00000000", timeout=20)
        for cmd in (("9",), ("5", a.ip), ("52", 2, 2, 0, 0), ("54", 48000), ("56", 48), ("12",), ("12",)):
            rc, out = core(*cmd)
            check(rc == 0 and '"result":"succ"' in out, "VelunorCore %s: %s" % (" ".join(map(str, cmd)), out))
        check('"status":"2"' in core("11p")[1], "A's driver engine is running (status 2)")
        rc, out = core("req", '{"ops":"debug_setPhyGenSin","isTx":"0","phyChId":"0"}')
        check(rc == 0, "A's test tone on render channel 0: " + out)
        # As the panel does: the driver's engine first, then the route service.
        ra = a.spawn([bins["route"], "sampleRate=48000", "chNumTx=2", "chNumRx=2", "bufMs=0", "bindIp=" + a.ip,
                      "devId=cardA"], name="cardA")
        ra.wait_line("warning: bindIp=%s " % a.ip, timeout=20)

        rb = b.spawn([bins["route"], "sampleRate=48000", "chNumTx=2", "chNumRx=2", "bufMs=4", "bindIp=" + b.ip,
                      "devId=cardB"], name="cardB")
        rb.wait_line("warning: bindIp=%s " % b.ip, timeout=20)
        r = b.run([bins["asiohost"], "--register", "--driver", bins["asio"]], timeout=20)
        check(r.returncode == 0, "B's ASIO driver registered")
        for h in (a, b):
            lanlib.wait_until(lambda h=h: "239.0.0.188" in h.groups(h.dev), 15, "control group on " + h.ns)

        # --- unicast, A -> B ---
        r = asio.ask(b, b.ip, {"ops": "setUcastRx", "srcDevId": "cardA", "srcChId": "0", "dstChId": "0"})
        check(r is not None and r.get("result") == "succ", "B routed from A's channel 0 by unicast: %r" % (r,))
        try:
            lanlib.wait_until(lambda: any(e["sdp"]["srcIp"] == a.ip and e["active"] == "1"
                                          for e in asio.table(b, b.ip, "getAllUcastRx")), 20, "B's unicast entry active")
        except lanlib.TestFailure:
            log("A: " + ra.tail(10))
            log("B: " + rb.tail(30))
            log("B rx: %r" % asio.table(b, b.ip, "getAllUcastRx"))
            log("A tx: " + core("req", '{"ops":"getUcastTx","sdpId":"0"}')[1])
            log("A num: " + core("req", '{"ops":"getUcastNumTx"}')[1])
            raise
        share, peak = tone_share(record(b, bins["asiohost"], os.path.join(b.root, "ucast.wav"), 4.0))
        log("unicast: %.1f %% of B's recording is A's tone bit-exact, peak %d" % (100 * share, peak))
        check(share > 0.9 and abs(peak - 214748160) <= 256, "B hears A's 2 kHz tone at one tenth of full scale")

        # --- multicast, A -> B, with a third computer on the wire ---
        check(asio.ask(b, b.ip, {"ops": "clrRxCh", "dstChId": "0"})["result"] == "succ", "unicast route cleared")
        sdp = {"srcIp": a.ip, "dstIp": GROUP, "dstPort": "5004", "chNum": "2", "sampleByteNum": "3",
               "rtpTsOffset": "0"}
        r = asio.ask(a, a.ip, {"ops": "setMcastTx", "sdp": sdp, "srcChIdArr": ["0", "1"], "name": "toneA"})
        check(r is not None and r["result"] == "succ", "A adds a multicast stream: %r" % (r,))
        r = asio.ask(b, b.ip, {"ops": "setMcastRx", "sdp": sdp, "srcChId": "0", "dstChId": "0"})
        check(r is not None and r["result"] == "succ", "B routed from A's multicast stream: %r" % (r,))
        lanlib.wait_until(lambda: [e["active"] for e in asio.table(b, b.ip, "getAllMcastRx")] == ["1"], 20,
                          "B's multicast entry active")
        wire = None
        if shutil.which("tshark"):
            # tshark's own messages (stderr) stay out of the field lines.
            wire = c.spawn(["sh", "-c", "tshark -i %s -a duration:3 -f 'udp port 5004 and src host %s' "
                            "-d udp.port==5004,rtp -T fields -e ip.dst -e ip.dsfield.dscp -e udp.dstport "
                            "-e rtp.p_type 2>/dev/null" % (c.dev, a.ip)], name="tshark")
        share, peak = tone_share(record(b, bins["asiohost"], os.path.join(b.root, "mcast.wav"), 4.0))
        log("multicast: %.1f %% of B's recording is A's tone bit-exact, peak %d" % (100 * share, peak))
        check(share > 0.9 and abs(peak - 214748160) <= 256, "B hears A's tone through the multicast stream")
        if wire:
            wire.wait(30)
            rows = [ln.split("\t") for ln in wire.output().splitlines() if ln.count("\t") == 3]
            mc = [x for x in rows if x[0] == GROUP]
            log("tshark: %d RTP datagrams from A, %d to the group" % (len(rows), len(mc)))
            check(len(mc) > 1000, "the third computer sees A's multicast RTP")
            check(all(x[1] == "34" and x[2] == "5004" for x in rows), "every datagram: DSCP 34, UDP port 5004")
            pts = {}
            for x in mc:
                pts[x[3]] = pts.get(x[3], 0) + 1
            log("payload types on the group: %r" % pts)
            check(pts.get("96", 0) == len(mc), "multicast datagrams carry payload type 96")
        else:
            log("tshark not installed: the wire is not judged")

        # --- B's 1 kHz tone into A's receive meters ---
        r = asio.ask(a, a.ip, {"ops": "setUcastRx", "srcDevId": "cardB", "srcChId": "0", "dstChId": "0"})
        check(r is not None and r.get("result") == "succ", "A routed from B's channel 0: %r" % (r,))
        icmp = None
        if shutil.which("tshark"):
            icmp = a.spawn(["sh", "-c", "tshark -i %s -a duration:6 -f icmp -T fields -e icmp.type -e udp.dstport "
                            "2>&1 >%s/icmp.txt" % (a.dev, a.root)], name="tshark-icmp")
            icmp.wait_line("Capturing on", timeout=10)
        play = b.spawn([bins["asiohost"], "--tone", "1000", "--out", "0", "--seconds", "6", "--buffer", "48",
                        "--wait", "10"], name="playB")

        def a_level():
            v = asio.table(a, a.ip, "getAllVolumeDbRx")
            return float(v[0]) if v else -999.0

        lanlib.wait_until(lambda: a_level() > -20.0, 15, "B's tone in A's receive meter")
        log("A's receive meter on channel 0: %.1f dB" % a_level())
        play.wait(30)
        if icmp:
            icmp.wait(30)
            with open(os.path.join(a.root, "icmp.txt")) as f:
                rows = [ln for ln in f.read().splitlines() if ln.strip()]
            check(not rows, "A answered none of B's RTP datagrams with ICMP (%d seen: %s)" % (len(rows), rows[:3]))
        log("A's engine figures: " + core("req", '{"ops":"getPerformStats"}')[1])

        # --- faults ---
        ra.signal(signal.SIGKILL)
        ra.wait(5)
        check('"status":"2"' in core("11p")[1], "the driver host serves after VelunorRoute was killed")
        ra = a.spawn([bins["route"], "sampleRate=48000", "chNumTx=2", "chNumRx=2", "bufMs=0", "bindIp=" + a.ip,
                      "devId=cardA"], name="cardA2")
        ra.wait_line("warning: bindIp=%s " % a.ip, timeout=20)
        time.sleep(2)
        check("No active device interfaces" not in ra.output(), "a new VelunorRoute finds the driver again")
        host.signal(signal.SIGTERM)
        check(host.wait(10) == 0, "the driver host stops on SIGTERM")
        ra.wait_line("Error: No active device interfaces found", timeout=10, count=2)
        check(ra.alive(), "VelunorRoute keeps running without the driver")
        host = a.spawn([bins["kernel"]], name="velunor-kernel2")
        host.wait_line("loaded, status 0x00000000", timeout=20)
        # A new host publishes the endpoints again at the engine's first start; then they
        # go off and on with VelunorCh, and the device with devcon.
        for cmd in (("5", a.ip), ("12",), ("12",)):
            check(core(*cmd)[0] == 0, "VelunorCore %s on the new host" % (cmd,))
        r = a.run([bins["ch"], "-veluDisable"], timeout=20)
        check(r.returncode == 0 and "Change Velu Device Count 2" in r.stdout, "VelunorCh disables 2 endpoints: " + r.stdout)
        r = a.run([bins["ch"], "-veluEnable48"], timeout=20)
        check(r.returncode == 0 and "=== SetSampleRate res=0" in r.stdout and "Change Velu Device Count 2" in r.stdout,
              "VelunorCh enables them at 48 kHz")
        r = a.run([bins["devcon"], "disable", "Root\\VelunorAudio"], timeout=20)
        check(r.returncode == 0 and "Disabled" in r.stdout, "devcon disables the device: " + r.stdout)
        check(core("11p")[0] == 2, "an unloaded driver serves nothing")
        with open(os.path.join(a.rundir, "endpoints", "ROOT#VelunorAudio#0000#out_stereo-00")) as f:
            check("state=NOT_PRESENT" in f.read(), "its endpoints are gone")
        r = a.run([bins["devcon"], "enable", "Root\\VelunorAudio"], timeout=20)
        check(r.returncode == 0 and "Enabled" in r.stdout, "devcon enables it again")
        check('"status":"0"' in core("11p")[1], "the driver loaded again serves again (an idle engine)")
        n = len(re.findall("No active device interfaces", ra.output()))
        time.sleep(1.5)
        check(len(re.findall("No active device interfaces", ra.output())) == n, "VelunorRoute found it again")


if __name__ == "__main__":
    lanlib.main(test)
