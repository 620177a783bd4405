// Route queries and settings over real loopback datagrams: paging within one frame,
// the statistics pass-through, the latency grid and the bounds of every setter.
#include "route/routeQuery.h"
#include "route_rig.h"

#include <filesystem>
#include <set>

using namespace rig;

namespace {

std::string result(const std::string& r) {
    return member(r, "result");
}
std::string reason(const std::string& r) {
    return member(r, "reason");
}

std::string page(const char* ops, int start) {
    return cmd(std::string("{\"ops\":\"") + ops + "\",\"idStart\":\"" + std::to_string(start) + "\"}");
}

// The "id" members (or plain strings) of a page's "arr", in order.
std::vector<std::string> ids(const std::string& reply) {
    std::vector<std::string> out;
    const char* cur = nullptr;
    int n = Msg_readArray(reply.c_str(), "arr", &cur);
    for (int i = 0; i < n; i++) {
        char v[256];
        int type = 0;
        if (*cur == '{') {
            if (Msg_getStr(cur, "id", v, sizeof v) == MSG_OK)
                out.push_back(v);
        } else if (Msg_readValue(cur, nullptr, v, sizeof v, &type) == MSG_OK) {
            out.push_back(v);
        }
        if (i + 1 < n)
            Msg_nextElement(&cur);
    }
    return out;
}

void fillUcastRx(int n) {
    for (int i = 0; i < n; i++) {
        SdpRx& e = g_dev.ucastArrRx[i];
        e.sdp = sdpInfo{0xC0A80A00u + uint32_t(i), 0xC0A80AFEu, 5004, 8, 3, 4000000000u};
        for (int k = 0; k < 8; k++)
            e.rtpChId[k] = (i * 8 + k) % 128;
        e.active = uint8_t(i % 2);
    }
}

} // namespace

TEST(RouteQuery, PagesStayWithinOneFrameAndContinueAtIdNext) {
    resetDev();
    g_dev.rtpChId[2] = 7;
    g_dev.rtpChId[5] = 9;
    std::string r = page("getAllRxCh", 0);
    EXPECT_EQ(
        r, "{\"ops\":\"getAllRxCh\",\"idStart\":\"0\",\"result\":\"succ\",\"arr\":[{\"id\":\"2\",\"rtpChId\":"
           "\"7\"},{\"id\":\"5\",\"rtpChId\":\"9\"}],\"idNext\":\"64\"}");
    EXPECT_EQ(ids(page("getAllRxCh", 3)), std::vector<std::string>{"5"});
    EXPECT_EQ(reason(page("getAllRxCh", -1)), "invalid idStart");
    EXPECT_EQ(member(page("getAllRxCh", 1000), "idNext"), "64");
    EXPECT_EQ(cmd("{\"ops\":\"getAllRxCh\"}", 100), ""); // idStart is required

    // 128 full unicast receive entries: every page under 1472 bytes, pages join up.
    fillUcastRx(128);
    std::set<std::string> seen;
    int start = 0, pages = 0;
    while (start < 128 && pages < 200) {
        r = page("getAllUcastRx", start);
        ASSERT_EQ(result(r), "succ");
        EXPECT_LE(r.size(), size_t(ROUTE_PAGE_BUDGET)) << r;
        std::vector<std::string> got = ids(r);
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got.front(), std::to_string(start));
        for (auto& id : got)
            EXPECT_TRUE(seen.insert(id).second) << id;
        int next = std::stoi(member(r, "idNext"));
        EXPECT_EQ(next, start + int(got.size()));
        start = next;
        pages++;
    }
    EXPECT_EQ(seen.size(), 128u);
    EXPECT_GT(pages, 10);
    // A stream item with every member the table lists, in its order.
    r = page("getAllUcastRx", 127);
    EXPECT_NE(
        r.find("{\"id\":\"127\",\"sdp\":{\"srcIp\":\"192.168.10.127\",\"dstIp\":\"192.168.10.254\","
               "\"dstPort\":\"5004\",\"chNum\":\"8\",\"sampleByteNum\":\"3\",\"rtpTsOffset\":\"4000000000\"},"
               "\"rtpChIdArr\":[\"120\",\"121\",\"122\",\"123\",\"124\",\"125\",\"126\",\"127\"],\"active\":"
               "\"1\"}"),
        std::string::npos)
        << r;
    // Only the active ones, as plain ids.
    std::vector<std::string> act = ids(page("getAllActiveUcastId", 0));
    ASSERT_FALSE(act.empty());
    EXPECT_EQ(act[0], "1");
    EXPECT_EQ(act[1], "3");

    // Transmit items with names that double when escaped: still within the frame.
    std::string quotes(63, '"');
    for (int i = 0; i < 16; i++) {
        SdpTx& e = g_dev.mcastArrTx[i];
        e.sdp = sdpInfo{0xFFFFFFFFu, 0xEFFFFF00u + uint32_t(i), 65535, 8, 4, 4294967295u};
        for (int k = 0; k < 8; k++)
            e.srcChId[k] = 100 + k;
        std::memcpy(e.name, quotes.c_str(), 64);
    }
    start = 0;
    seen.clear();
    for (pages = 0; start < 16 && pages < 40; pages++) {
        r = page("getAllMcastTx", start);
        EXPECT_LE(r.size(), size_t(ROUTE_PAGE_BUDGET));
        std::vector<std::string> got = ids(r);
        ASSERT_FALSE(got.empty()) << r;
        for (auto& id : got)
            seen.insert(id);
        start = std::stoi(member(r, "idNext"));
    }
    EXPECT_EQ(seen.size(), 16u);
    r = page("getAllMcastTx", 15);
    const char* cur = nullptr;
    ASSERT_EQ(Msg_readArray(r.c_str(), "arr", &cur), 1);
    char name[80];
    ASSERT_EQ(Msg_getStr(cur, "name", name, sizeof name), MSG_OK);
    EXPECT_EQ(std::string(name), quotes); // escaped on the way out, whole on the way in

    // A request padded close to a whole datagram leaves no room: empty page, idNext = idStart.
    std::string pad(1300, 'p');
    r = cmd("{\"ops\":\"getAllUcastRx\",\"idStart\":\"4\",\"pad\":\"" + pad + "\"}");
    EXPECT_EQ(result(r), "succ");
    EXPECT_TRUE(ids(r).empty());
    EXPECT_EQ(member(r, "idNext"), "4");

    // Levels, gains and mutes, all channels.
    resetDev(4);
    g_dev.phyGainTx[1] = -60.0f;
    g_dev.phyMuteRx[3] = 1;
    EXPECT_EQ(ids(page("getAllPhyGainDbTx", 0)), (std::vector<std::string>{"0", "-60", "0", "0"}));
    EXPECT_EQ(ids(page("getAllPhyMuteRx", 2)), (std::vector<std::string>{"0", "1"}));
    std::strcpy(g_dev.chNameTx[1], "Left \"main\"");
    r = page("getAllChNameTx", 1);
    EXPECT_NE(r.find("{\"id\":\"1\",\"name\":\"Left \\\"main\\\"\"}"), std::string::npos) << r;
}

TEST(RouteQuery, StatisticsPassThrough) {
    resetDev();
    g_dev.ucastNumRx = 8;
    std::string r = cmd("{\"ops\":\"getUcastStats\",\"sdpId\":\"8\"}");
    EXPECT_EQ(reason(r), "invalid sdpId");
    EXPECT_EQ(reason(cmd("{\"ops\":\"getMcastStats\",\"sdpId\":\"-1\"}")), "invalid sdpId");
    EXPECT_EQ(ko().calls["getUcastStats"], 0); // the engine is not asked
    r = cmd("{\"ops\":\"getUcastStats\",\"sdpId\":\"7\"}");
    EXPECT_EQ(
        r, "{\"ops\":\"getUcastStats\",\"sdpId\":\"7\",\"result\":\"succ\",\"total\":\"7\",\"in125\":\"7\","
           "\"maxUs\":\"125\"}");
    EXPECT_EQ(member(ko().last["getUcastStats"], "sdpId"), "7");
    r = cmd("{\"ops\":\"getMcastStats\",\"sdpId\":\"15\"}");
    EXPECT_EQ(member(r, "total"), "7");
    EXPECT_EQ(result(cmd("{\"ops\":\"clrMcastStats\",\"sdpId\":\"3\"}")), "succ");
    EXPECT_EQ(reason(cmd("{\"ops\":\"clrUcastStats\",\"sdpId\":\"9\"}")), "invalid sdpId");
    ko().down = true;
    EXPECT_EQ(reason(cmd("{\"ops\":\"getUcastStats\",\"sdpId\":\"1\"}")), "get fail");
    r = cmd("{\"ops\":\"clrUcastStats\",\"sdpId\":\"1\"}");
    EXPECT_EQ(result(r), "fail");
}

TEST(RouteQuery, DelayUsGrid) {
    resetDev();
    std::string r = cmd("{\"ops\":\"setDelayUs\",\"us\":\"4000\"}");
    EXPECT_EQ(result(r), "succ");
    EXPECT_EQ(member(ko().last["setLinkOffset"], "frameNum"), "192");
    EXPECT_EQ(g_dev.delayUs, 4000);
    EXPECT_EQ(g_dev.dirty, 1);
    EXPECT_EQ(reason(cmd("{\"ops\":\"setDelayUs\",\"us\":\"4100\"}")), "invalid us");
    EXPECT_EQ(result(cmd("{\"ops\":\"setDelayUs\",\"us\":\"5000\"}")), "succ"); // 240 frames
    EXPECT_EQ(member(ko().last["setLinkOffset"], "frameNum"), "240");
    // Beyond 18 ms of samples the grid folds back to four packets, so the value is off-grid.
    EXPECT_EQ(reason(cmd("{\"ops\":\"setDelayUs\",\"us\":\"1000000\"}")), "invalid us");
    EXPECT_EQ(reason(cmd("{\"ops\":\"setDelayUs\",\"us\":\"-4000\"}")), "invalid us");
    EXPECT_EQ(reason(cmd("{\"ops\":\"setDelayUs\",\"us\":\"9999999999\"}")), "invalid us");
    EXPECT_EQ(g_dev.delayUs, 5000);
    // The engine refuses: failure without a reason, nothing stored.
    ko().refuseLinkOffset = true;
    r = cmd("{\"ops\":\"setDelayUs\",\"us\":\"4000\"}");
    EXPECT_EQ(result(r), "fail");
    EXPECT_EQ(reason(r), "<none>");
    EXPECT_EQ(g_dev.delayUs, 5000);
    g_dev.sampleRate = 0;
    EXPECT_EQ(reason(cmd("{\"ops\":\"setDelayUs\",\"us\":\"4000\"}")), "invalid us");
}

TEST(RouteQuery, SettersKeepTheirBounds) {
    resetDev(8);
    EXPECT_EQ(reason(cmd("{\"ops\":\"setDscp\",\"dscp\":\"0\"}")), "invalid dscp");
    EXPECT_EQ(reason(cmd("{\"ops\":\"setDscp\",\"dscp\":\"63\"}")), "invalid dscp");
    EXPECT_EQ(reason(cmd("{\"ops\":\"setDscp\",\"dscp\":\"46abc\"}")), "invalid dscp");
    EXPECT_EQ(reason(cmd("{\"ops\":\"setDscp\",\"dscp\":\"-1\"}")), "invalid dscp");
    EXPECT_EQ(ko().calls["setDscp"], 0);
    EXPECT_EQ(result(cmd("{\"ops\":\"setDscp\",\"dscp\":\"46\"}")), "succ");
    EXPECT_EQ(g_dev.dscp, 46);
    EXPECT_EQ(member(ko().last["setDscp"], "dscp"), "46");

    EXPECT_EQ(reason(cmd("{\"ops\":\"setDevName\",\"name\":\"" + std::string(64, 'a') + "\"}")),
              "invalid name");
    EXPECT_EQ(reason(cmd("{\"ops\":\"setDevName\",\"name\":\"\"}")), "invalid name");
    EXPECT_EQ(result(cmd("{\"ops\":\"setDevName\",\"name\":\"" + std::string(63, 'a') + "\"}")), "succ");
    EXPECT_EQ(std::string(g_dev.name), std::string(63, 'a'));

    EXPECT_EQ(reason(cmd("{\"ops\":\"setSampleByteNum\",\"sampleByteNum\":\"5\"}")), "invalid sampleByteNum");
    EXPECT_EQ(reason(cmd("{\"ops\":\"setSampleByteNum\",\"sampleByteNum\":\"0\"}")), "invalid sampleByteNum");
    EXPECT_EQ(result(cmd("{\"ops\":\"setSampleByteNum\",\"sampleByteNum\":\"2\"}")), "succ");
    EXPECT_EQ(g_dev.sampleByteNum, 2);

    g_dev.phyChNumRx = 2;
    EXPECT_EQ(result(cmd("{\"ops\":\"setChNameRx\",\"name\":\"in7\",\"id\":\"7\"}")), "succ");
    EXPECT_STREQ(g_dev.chNameRx[7], "in7");
    EXPECT_EQ(reason(cmd("{\"ops\":\"setChNameRx\",\"name\":\"x\",\"id\":\"8\"}")), "invalid id");
    EXPECT_EQ(reason(cmd("{\"ops\":\"setPhyChNameRx\",\"name\":\"x\",\"id\":\"2\"}")), "invalid id");
    EXPECT_EQ(result(cmd("{\"ops\":\"setPhyChNameTx\",\"name\":\"out\",\"id\":\"7\"}")), "succ");
    EXPECT_STREQ(g_dev.phyChNameTx[7], "out");
    EXPECT_EQ(reason(cmd("{\"ops\":\"setChNameTx\",\"name\":\"\",\"id\":\"0\"}")), "invalid name");
    EXPECT_EQ(reason(cmd("{\"ops\":\"setChNameTx\",\"name\":\"" + std::string(64, 'c') + "\",\"id\":\"0\"}")),
              "invalid name");
    EXPECT_STREQ(g_dev.chNameTx[0], "");

    EXPECT_EQ(result(cmd("{\"ops\":\"setPhyGainDbTx\",\"id\":\"3\",\"val\":\"-80\"}")), "succ");
    EXPECT_EQ(ids(page("getAllPhyGainDbTx", 3))[0], "-60");
    EXPECT_EQ(result(cmd("{\"ops\":\"setPhyGainDbTx\",\"id\":\"3\",\"val\":\"30.5\"}")), "succ");
    EXPECT_FLOAT_EQ(g_dev.phyGainTx[3], 24.0f);
    EXPECT_EQ(cmd("{\"ops\":\"setPhyGainDbTx\",\"id\":\"3\",\"val\":\"nan\"}", 100), "");
    EXPECT_EQ(cmd("{\"ops\":\"setPhyGainDbTx\",\"id\":\"3\",\"val\":\"1e999\"}", 100), "");
    EXPECT_FLOAT_EQ(g_dev.phyGainTx[3], 24.0f);
    EXPECT_EQ(reason(cmd("{\"ops\":\"setPhyGainDbRx\",\"id\":\"2\",\"val\":\"1\"}")), "invalid id");
    EXPECT_EQ(result(cmd("{\"ops\":\"setPhyMuteRx\",\"id\":\"1\",\"val\":\"5\"}")), "succ");
    EXPECT_EQ(g_dev.phyMuteRx[1], 1);
    EXPECT_EQ(reason(cmd("{\"ops\":\"setPhyMuteTx\",\"id\":\"-1\",\"val\":\"1\"}")), "invalid id");
}

TEST(RouteQuery, CustomTextAndSave) {
    resetDev();
    std::string r = cmd("{\"ops\":\"setCustomStr\",\"str\":\"a \\\"b\\\"\\tc\"}");
    EXPECT_EQ(result(r), "succ");
    EXPECT_STREQ(g_dev.customStr, "a \"b\"\tc");
    r = cmd("{\"ops\":\"getCustomStr\"}");
    EXPECT_EQ(r, "{\"ops\":\"getCustomStr\",\"result\":\"succ\",\"str\":\"a \\\"b\\\"\\tc\"}");
    // Text that would not come back in one frame is refused; the old text stays.
    std::string q(800, 'q');
    std::string longQuoted;
    for (int i = 0; i < 720; i++)
        longQuoted += "\\\"";
    EXPECT_EQ(result(cmd("{\"ops\":\"setCustomStr\",\"str\":\"" + q + "\"}")), "succ");
    EXPECT_EQ(reason(cmd("{\"ops\":\"setCustomStr\",\"str\":\"" + longQuoted + "\"}")), "invalid str");
    EXPECT_EQ(std::string(g_dev.customStr), q);
    EXPECT_LE(cmd("{\"ops\":\"getCustomStr\"}").size(), size_t(ROUTE_PAGE_BUDGET));
    EXPECT_EQ(cmd("{\"ops\":\"setCustomStr\"}", 100), "");
    // The longest text a route file can bring, all quotes, asked by the longest request: the
    // reply is whole (it is built in the receive buffer, which has room for it).
    std::memset(g_dev.customStr, '"', DEV_CUSTOM_STR_SIZE - 1);
    g_dev.customStr[DEV_CUSTOM_STR_SIZE - 1] = '\0';
    std::string padded = "{\"ops\":\"getCustomStr\",\"pad\":\"" + std::string(1499 - 31, 'p') + "\"}";
    ASSERT_EQ(padded.size(), 1499u);
    r = cmd(padded);
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r.back(), '}');
    EXPECT_EQ(member(r, "str"), std::string(DEV_CUSTOM_STR_SIZE - 1, '"'));

    // saveToFile: nothing changed is success; a path that cannot be written is "file_write()".
    g_dev.dirty = 0;
    std::strcpy(g_dev.filePath, "/proc/no/such/_route");
    EXPECT_EQ(result(cmd("{\"ops\":\"saveToFile\"}")), "succ");
    g_dev.dirty = 1;
    EXPECT_EQ(reason(cmd("{\"ops\":\"saveToFile\"}")), "file_write()");
    EXPECT_EQ(g_dev.dirty, 1);
    char tmpl[] = "/tmp/routeQueryXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::snprintf(g_dev.filePath, sizeof g_dev.filePath, "%s/_route", tmpl);
    EXPECT_EQ(result(cmd("{\"ops\":\"saveToFile\"}")), "succ");
    EXPECT_EQ(g_dev.dirty, 0);
    std::filesystem::remove_all(tmpl);
}
