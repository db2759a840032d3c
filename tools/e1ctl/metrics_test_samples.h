// Status documents as the control socket's "status" request answers them
// (one line each), for the metrics tests: two controllers of one host, the
// first served for a while with its line open and a client on port 0, the
// second with its line lost and nothing ever renamed.
#ifndef E1CTLD_TOOLS_E1CTL_METRICS_TEST_SAMPLES_H_
#define E1CTLD_TOOLS_E1CTL_METRICS_TEST_SAMPLES_H_

namespace e1ctl {

inline const char kSampleOpenController[] =
    R"({"version":"0.9_rc4","pid":1234,"startedMs":1700000000123,)"
    R"("options":{"keepEthNames":false,"searchMore":true,"inNamespace":false,"daemonize":false,)"
    R"("logLevel":5,"startLogLevel":4},)"
    R"("controller":"1-1.3:1.0","vid":"C251","pid16":"0005",)"
    R"("uart":{"state":"open","tty":"ttyACM0","sinceMs":1700000000500,)"
    R"("losses":2,"reopens":2,"lastLossMs":1700000100000,"lastReopenMs":1700000101250,)"
    R"("lineWaitMs":1530},)"
    R"("ports":[{"port":0,"socket":"/var/run/E1controllers/G703G704_phy0_at_ttyctrl_1-1.3:1.0",)"
    R"("client":true,"clientSinceMs":1700000200000,"clientsAccepted":7,"commandsSent":120,)"
    R"("blocksSent":40,"bytesToLine":4096,"repliesDelivered":118,"repliesDroppedNoClient":3,)"
    R"("repliesDroppedQueueFull":1,"repliesDroppedAfterEof":0,"replaysSent":4,)"
    R"("commandsTooLong":1},)"
    R"({"port":1,"socket":"/var/run/E1controllers/G703G704_phy1_at_ttyctrl_1-1.3:1.0",)"
    R"("client":false,"clientSinceMs":null,"clientsAccepted":0,"commandsSent":0,)"
    R"("blocksSent":0,"bytesToLine":0,"repliesDelivered":0,"repliesDroppedNoClient":0,)"
    R"("repliesDroppedQueueFull":0,"repliesDroppedAfterEof":0,"replaysSent":0,)"
    R"("commandsTooLong":0}],)"
    R"("pairs":[{"pair":0,"wanted":"eth1","current":"eth1","up":true,"renames":1,)"
    R"("renamesFailed":0,"lastOutcome":"same"},)"
    R"({"pair":1,"wanted":"e1\"b\\x","current":null,"up":false,"renames":0,)"
    R"("renamesFailed":2,"lastOutcome":"failed"}]})"
    "\n";

inline const char kSampleLostController[] =
    R"({"version":"0.9_rc5","pid":99,"startedMs":1700000300000,)"
    R"("options":{"keepEthNames":true,"searchMore":false,"inNamespace":true,"daemonize":true,)"
    R"("logLevel":4,"startLogLevel":4},)"
    R"("controller":"2-1:1.0","vid":"C251","pid16":"FFFB",)"
    R"("uart":{"state":"lost","tty":"ttyACM1","sinceMs":1700000400000,)"
    R"("losses":1,"reopens":0,"lastLossMs":1700000400000,"lastReopenMs":null,"lineWaitMs":0},)"
    R"("ports":[{"port":0,"socket":"/var/run/E1controllers/G703G704_phy0_at_ttyctrl_2-1:1.0",)"
    R"("client":false,"clientSinceMs":null,"clientsAccepted":1,"commandsSent":2,)"
    R"("blocksSent":1,"bytesToLine":20,"repliesDelivered":2,"repliesDroppedNoClient":0,)"
    R"("repliesDroppedQueueFull":0,"repliesDroppedAfterEof":5,"replaysSent":0,)"
    R"("commandsTooLong":0}],)"
    R"("pairs":[{"pair":0,"wanted":null,"current":null,"up":false,"renames":0,)"
    R"("renamesFailed":0,"lastOutcome":"none"}]})"
    "\n";

}  // namespace e1ctl

#endif  // E1CTLD_TOOLS_E1CTL_METRICS_TEST_SAMPLES_H_
