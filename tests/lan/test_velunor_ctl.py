#!/usr/bin/env python3
"""velunor-ctl against a running VelunorRoute in a virtual LAN: the key=value form
(quoting, raw JSON objects and arrays), the send form, exit statuses for "succ",
"fail" and no reply, paging a table that spans several pages, and watching the
control group for iAm and updateRoute."""

import json
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lanlib  # noqa: E402
from lanlib import check, log  # noqa: E402


def test():
    lanlib.require_root()
    route = lanlib.binary("route/VelunorRoute")
    ctl = lanlib.binary("tools/velunor-ctl/velunor-ctl")
    with lanlib.Lan(2) as lan:
        a, c = lan.host(1), lan.host(2)
        p = a.spawn([route, "sampleRate=48000", "chNumTx=48", "chNumRx=48", "bindIp=" + a.ip, "devId=ctlA"],
                    name="ctlA")
        p.wait_line("self: ucastNumRx=", timeout=20)
        watch = c.spawn([ctl, "watch", "--iface", c.ip, "--seconds", "11"], name="watch")

        def run(*words):
            r = c.run([ctl] + list(words), timeout=20)
            log("velunor-ctl %s -> %d\n%s%s" % (" ".join(words), r.returncode, r.stdout, r.stderr))
            return r

        text = 'hi "there"\tand \\ more'
        check(run(a.ip, "setCustomStr", "str=" + text).returncode == 0, "setCustomStr succeeds")
        r = run("--json", a.ip, "getCustomStr")
        check(r.returncode == 0, "getCustomStr succeeds")
        reply = json.loads(r.stdout)
        check(reply.get("str") == text and reply.get("result") == "succ", "the custom text comes back unchanged")

        r = run("send", a.ip, "ops=setDscp", "dscp=0")
        check(r.returncode == 1 and "reason: invalid dscp" in r.stdout, "a refused command exits 1 with its reason")
        r = run("send", a.ip, "ops=setDevName name=Stage left")
        check(r.returncode == 0 and "name: Stage left" in r.stdout, "one quoted word of pairs is one command")
        r = run("send", a.ip, '{"ops":"setDscp","dscp":"46"}')
        check(r.returncode == 0 and "result: succ" in r.stdout, "a JSON command is sent as it stands")

        # 48 long names do not fit one page: every one must come back once, in order.
        for i in range(48):
            check(run(a.ip, "setChNameRx", "id=%d" % i, "name=in %02d" % i + " of the stage box, left side").returncode == 0,
                  "name %d" % i)
        r = run("page", a.ip, "getAllChNameRx")
        check(r.returncode == 0, "paging succeeds")
        names = re.findall(r"^id: (\d+), name: in (\d+) of the stage box, left side$", r.stdout, re.M)
        check([int(x) for x, _ in names] == list(range(48)) and all(int(x) == int(y) for x, y in names),
              "all 48 names once and in order")
        r = run("--json", "page", a.ip, "getAllChNameRx")
        pages = [json.loads(line) for line in r.stdout.splitlines()]
        check(len(pages) >= 3 and pages[-1]["arr"] == [], "several pages, ending with an empty one")

        # Raw JSON values: a multicast transmit stream with its descriptor and channel list.
        sdp = ('{"srcIp":"%s","dstIp":"239.69.9.1","dstPort":"5004","chNum":"2","sampleByteNum":"3",'
               '"rtpTsOffset":"0"}' % a.ip)
        r = run(a.ip, "setMcastTx", "sdp=" + sdp, 'srcChIdArr=["0","1"]', "name=ctlTx")
        check(r.returncode == 0, "setMcastTx with raw sdp and srcChIdArr succeeds")
        r = run("page", a.ip, "getAllMcastTx")
        check(r.returncode == 0 and "name: ctlTx" in r.stdout and "dstIp: 239.69.9.1" in r.stdout,
              "the stream is listed")
        check(run(a.ip, "setUcastRx", "srcDevId=peer", "srcChId=0", "dstChId=3").returncode == 0, "setUcastRx")
        r = run("page", a.ip, "getAllRxCh")
        check(re.search(r"^id: 3, rtpChId: \d+$", r.stdout, re.M) is not None, "the routed channel is listed")

        # No reply, usage errors, help.
        nobody = a.ip.rsplit(".", 1)[0] + ".99"
        check(run("--timeout", "0.3", nobody, "getCustomStr").returncode == 2, "no reply exits 2")
        check(run().returncode == 2 and run("send", a.ip, "dscp").returncode == 2, "usage errors exit 2")
        check(run("--help").returncode == 0, "--help exits 0")

        watch.wait(20)
        out = watch.output()
        log("watch:\n" + out)
        check(re.search(r"^%s iAm devId=ctlA name=Stage left ip=%s " % (re.escape(a.ip), re.escape(a.ip)), out, re.M)
              is not None, "watch shows the device's iAm")
        check(re.search(r"^%s updateRoute$" % re.escape(a.ip), out, re.M) is not None, "watch shows updateRoute")
        check(p.alive(), "the device is still running")


if __name__ == "__main__":
    lanlib.main(test)
