// velunor-ctl's command builder, reply reading and paging steps.
#include <gtest/gtest.h>

#include "engine/Msg.h"
#include "tools/velunor-ctl/ctl.h"

TEST(VelunorCtl, BuildsCommandsFromKeyValueWords) {
    std::string out, err;
    ASSERT_TRUE(Ctl_buildCommand("setMcastTx",
                                 {"sdp={\"srcIp\":\"10.0.0.2\",\"chNum\":\"2\"}", "srcChIdArr=[\"0\",\"1\"]",
                                  "name=a \"b\"=c", "chNum=8", "bad=[\"unclosed", "obj={} tail", "empty="},
                                 &out, &err));
    EXPECT_EQ(out, "{\"ops\":\"setMcastTx\",\"sdp\":{\"srcIp\":\"10.0.0.2\",\"chNum\":\"2\"},"
                   "\"srcChIdArr\":[\"0\",\"1\"],\"name\":\"a \\\"b\\\"=c\",\"chNum\":\"8\","
                   "\"bad\":\"[\\\"unclosed\",\"obj\":\"{} tail\",\"empty\":\"\"}");
    // What the device reads back is what was typed.
    char v[64];
    ASSERT_EQ(Msg_getStr(out.c_str(), "name", v, sizeof v), MSG_OK);
    EXPECT_STREQ(v, "a \"b\"=c");
    const char* sdp = nullptr;
    ASSERT_EQ(Msg_findKey(out.c_str(), "sdp", &sdp), MSG_OK);
    ASSERT_EQ(Msg_getStr(sdp, "chNum", v, sizeof v), MSG_OK);
    EXPECT_STREQ(v, "2");

    ASSERT_TRUE(Ctl_buildCommand("getCustomStr", {}, &out, &err));
    EXPECT_EQ(out, "{\"ops\":\"getCustomStr\"}");
    EXPECT_FALSE(Ctl_buildCommand("setDscp", {"dscp"}, &out, &err));
    EXPECT_FALSE(Ctl_buildCommand("setDscp", {"=46"}, &out, &err));
    EXPECT_FALSE(Ctl_buildCommand("", {}, &out, &err));

    // The send form: JSON as it stands, or key=value words with ops put first.
    ASSERT_TRUE(Ctl_buildFromArgs({"{\"ops\":\"x\"}"}, &out, &err));
    EXPECT_EQ(out, "{\"ops\":\"x\"}");
    ASSERT_TRUE(Ctl_buildFromArgs({"dscp=46", "ops=setDscp"}, &out, &err));
    EXPECT_EQ(out, "{\"ops\":\"setDscp\",\"dscp\":\"46\"}");
    ASSERT_TRUE(Ctl_buildFromArgs({" ops=setDevName  name=Stage left  x=1"}, &out, &err));
    EXPECT_EQ(out, "{\"ops\":\"setDevName\",\"name\":\"Stage left\",\"x\":\"1\"}");
    EXPECT_FALSE(Ctl_buildFromArgs({"dscp=46"}, &out, &err));
    EXPECT_FALSE(Ctl_buildFromArgs({"setDscp dscp=46"}, &out, &err));
    EXPECT_FALSE(Ctl_buildFromArgs({}, &out, &err));
}

TEST(VelunorCtl, ReadsRepliesAndStatus) {
    const char* r = "{\"ops\":\"getAllUcastRx\",\"result\":\"succ\",\"arr\":[{\"id\":\"0\",\"sdp\":{\"srcIp\":\"10.0.0.2\"},"
                    "\"rtpChIdArr\":[\"3\",\"-1\"],\"active\":\"1\"}],\"idNext\":\"8\"}";
    EXPECT_EQ(Ctl_readable(r), "ops: getAllUcastRx\nresult: succ\narr:\n"
                               "  - id: 0, sdp: {srcIp: 10.0.0.2}, rtpChIdArr: [3, -1], active: 1\nidNext: 8\n");
    EXPECT_EQ(Ctl_readable("{\"n\":\"a\\tb\",\"e\":[]}"), "n: a\tb\ne: []\n");
    EXPECT_EQ(Ctl_readable("save"), "save\n");
    EXPECT_EQ(Ctl_readable("{\"a\":\"1\""), "{\"a\":\"1\"\n");

    EXPECT_EQ(Ctl_exitStatus("{\"ops\":\"x\",\"result\":\"succ\"}", "{\"ops\":\"x\"}"), 0);
    EXPECT_EQ(Ctl_exitStatus("{\"ops\":\"x\",\"result\":\"fail\",\"reason\":\"y\"}", "{\"ops\":\"x\"}"), 1);
    // A result inside a nested member is not the reply's.
    EXPECT_EQ(Ctl_exitStatus("{\"ops\":\"x\",\"o\":{\"result\":\"succ\"}}", "{\"ops\":\"x\"}"), 1);
    EXPECT_EQ(Ctl_exitStatus("{\"x\"MoreChAfterJson", "{\"x\""), 1);
    EXPECT_EQ(Ctl_exitStatus("33305", "33305"), 0); // a remote code's echo
}

TEST(VelunorCtl, PagesUntilAnEmptyPage) {
    std::string out, err;
    ASSERT_TRUE(Ctl_pageRequest("getAllRxCh", 5, {"idStart=99", "x=1"}, &out, &err));
    EXPECT_EQ(out, "{\"ops\":\"getAllRxCh\",\"idStart\":\"5\",\"x\":\"1\"}");

    std::vector<std::string> items;
    long long next = -1;
    EXPECT_EQ(Ctl_pageStep("{\"ops\":\"getAllRxCh\",\"idStart\":\"0\",\"result\":\"succ\",\"arr\":[{\"id\":\"2\",\"rtpChId\":\"0\"},"
                           "{\"id\":\"5\",\"rtpChId\":\"1\"}],\"idNext\":\"0x10\"}",
                           0, &items, &next, &err),
              CTL_PAGE_MORE);
    EXPECT_EQ(next, 16);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[1], "id: 5, rtpChId: 1");
    EXPECT_EQ(Ctl_pageStep("{\"result\":\"succ\",\"arr\":[\"-60\",\"0\"],\"idNext\":\"18\"}", 16, &items, &next, &err),
              CTL_PAGE_MORE);
    EXPECT_EQ(items.back(), "0");
    EXPECT_EQ(Ctl_pageStep("{\"result\":\"succ\",\"arr\":[],\"idNext\":\"18\"}", 18, &items, &next, &err), CTL_PAGE_DONE);
    EXPECT_EQ(items.size(), 4u);
    // A page that does not advance would loop forever; failures and broken replies stop.
    EXPECT_EQ(Ctl_pageStep("{\"result\":\"succ\",\"arr\":[\"1\"],\"idNext\":\"3\"}", 3, &items, &next, &err), CTL_PAGE_FAIL);
    EXPECT_EQ(Ctl_pageStep("{\"result\":\"fail\",\"reason\":\"invalid idStart\"}", 0, &items, &next, &err), CTL_PAGE_FAIL);
    EXPECT_EQ(err, "query failed: invalid idStart");
    EXPECT_EQ(Ctl_pageStep("{\"result\":\"succ\",\"arr\":[\"1\"]}", 0, &items, &next, &err), CTL_PAGE_FAIL);
    EXPECT_EQ(Ctl_pageStep("{\"result\":\"succ\",\"arr\":[\"1\",],\"idNext\":\"4\"}", 0, &items, &next, &err), CTL_PAGE_FAIL);
}
