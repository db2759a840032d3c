// The control socket end to end: the status document against the field
// list it is built to, its counters moving by exact numbers as commands,
// replies, drops, replays and a replug happen, the log level set through
// it and by signals, and e1ctl's status as a health check.
#include "tests/control/control_lab.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;
using control_lab::Ask;
using control_lab::PortCount;
using control_lab::UartCount;
using e1ctl::JsonValue;
using lab::Ms;

// The types a field may have: s string, i integer, b bool, o object,
// a array; "?" after it: or null.
using Schema = std::vector<std::pair<std::string, std::string>>;

const Schema kTop = {{"version", "s"},    {"pid", "i"},  {"startedMs", "i"}, {"options", "o"},
                     {"controller", "s"}, {"vid", "s"},  {"pid16", "s"},     {"uart", "o"},
                     {"ports", "a"},      {"pairs", "a"}};
const Schema kOptions = {{"keepEthNames", "b"}, {"searchMore", "b"}, {"inNamespace", "b"},
                         {"daemonize", "b"},    {"logLevel", "i"},   {"startLogLevel", "i"}};
const Schema kUart = {{"state", "s"},         {"tty", "s"},       {"sinceMs", "i"},
                      {"losses", "i"},        {"reopens", "i"},   {"lastLossMs", "i?"},
                      {"lastReopenMs", "i?"}, {"lineWaitMs", "i"}};
const Schema kPort = {{"port", "i"},
                      {"socket", "s"},
                      {"client", "b"},
                      {"clientSinceMs", "i?"},
                      {"clientsAccepted", "i"},
                      {"commandsSent", "i"},
                      {"blocksSent", "i"},
                      {"bytesToLine", "i"},
                      {"repliesDelivered", "i"},
                      {"repliesDroppedNoClient", "i"},
                      {"repliesDroppedQueueFull", "i"},
                      {"repliesDroppedAfterEof", "i"},
                      {"replaysSent", "i"},
                      {"commandsTooLong", "i"}};
const Schema kPair = {{"pair", "i"},    {"wanted", "s?"},       {"current", "s?"},   {"up", "b"},
                      {"renames", "i"}, {"renamesFailed", "i"}, {"lastOutcome", "s"}};

bool HasType(const JsonValue& v, const std::string& type) {
  if (type.size() == 2 && type[1] == '?' && v.kind == JsonValue::kNull) return true;
  switch (type[0]) {
    case 's':
      return v.kind == JsonValue::kString;
    case 'i':
      return v.kind == JsonValue::kInteger;
    case 'b':
      return v.kind == JsonValue::kBool;
    case 'o':
      return v.kind == JsonValue::kObject;
    case 'a':
      return v.kind == JsonValue::kArray;
  }
  return false;
}

// The object has exactly these keys, in this order, of these types.
void ExpectSchema(const JsonValue& v, const Schema& schema, const std::string& where) {
  ASSERT_EQ(v.kind, JsonValue::kObject) << where;
  ASSERT_EQ(v.members.size(), schema.size()) << where;
  for (size_t i = 0; i < schema.size(); ++i) {
    EXPECT_EQ(v.members[i].name, schema[i].first) << where << " field " << i;
    EXPECT_TRUE(HasType(v.members[i].value, schema[i].second))
        << where << "." << schema[i].first << " is not of type " << schema[i].second;
  }
}

class ControlLab : public lab::RigTest {
 protected:
  // A two-port controller that answers every command.
  void StartAnswering(const std::vector<std::string>& args) {
    lab::UartSpec uart;
    uart.reply = lab::AckReplyRule();
    AddController(lab::kTwoPortPid, uart);
    std::vector<std::string> all = args;
    all.push_back(Layout().ctlIf);
    StartServing(all);
  }
  JsonValue Doc() { return control_lab::Status(rig); }
  // Waits until the port counter `key` reaches `want`; its last value.
  long long WaitPortCount(int port, const std::string& key, long long want) {
    long long got = -1;
    lab::WaitUntil(
        [&] {
          got = PortCount(Doc(), port, key);
          return got >= want;
        },
        Ms(5000));
    return got;
  }
};

TEST_F(ControlLab, StatusDocumentHasTheFieldsInOrderWithTheirTypes) {
  StartAnswering({"-k", "--debugmsg"});
  JsonValue doc = Doc();
  ASSERT_NO_FATAL_FAILURE(ExpectSchema(doc, kTop, "top"));
  ExpectSchema(*doc.Get("options"), kOptions, "options");
  ExpectSchema(*doc.Get("uart"), kUart, "uart");
  ASSERT_EQ(doc.Get("ports")->items.size(), 2u);
  for (const JsonValue& p : doc.Get("ports")->items) ExpectSchema(p, kPort, "port");
  ASSERT_EQ(doc.Get("pairs")->items.size(), 2u);
  for (const JsonValue& p : doc.Get("pairs")->items) ExpectSchema(p, kPair, "pair");

  EXPECT_EQ(doc.Str("version"), "0.9_rc4");
  EXPECT_EQ(doc.Int("pid"), Daemon().Pid());
  EXPECT_EQ(doc.Str("controller"), Layout().ctlIf);
  EXPECT_EQ(doc.Str("vid"), "C251");
  EXPECT_EQ(doc.Str("pid16"), "0005");
  EXPECT_TRUE(doc.Get("options")->Bool("keepEthNames"));
  EXPECT_EQ(doc.Get("options")->Int("logLevel"), 7);
  EXPECT_EQ(doc.Get("options")->Int("startLogLevel"), 7);
  EXPECT_EQ(doc.Get("uart")->Str("state"), "open");
  EXPECT_EQ(doc.Get("uart")->Str("tty"), "ttyACM0");
  EXPECT_EQ(doc.Get("uart")->Get("lastLossMs")->kind, JsonValue::kNull);
  EXPECT_EQ(PortCount(doc, 1, "clientsAccepted"), 0);
  EXPECT_EQ(doc.Get("ports")->items[1].Str("socket"), PortPath(1));
  EXPECT_EQ(doc.Get("pairs")->items[0].Str("lastOutcome"), "none") << "-k: no pass runs";
  long long now = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  EXPECT_LE(doc.Int("startedMs"), now);
  EXPECT_GT(doc.Int("startedMs"), now - 60000);

  // Anything else is refused, and the connection ends.
  EXPECT_EQ(Ask(rig.Controller().ControlPath(), "stats"), "error unknown request\n");
  EXPECT_EQ(Ask(rig.Controller().ControlPath(), "monitor 7"), "error unknown request\n");
}

TEST_F(ControlLab, CountersMoveByExactlyWhatHappened) {
  StartAnswering({"-k"});
  lab::PortClient client;
  ASSERT_TRUE(Attach(0, &client));
  // The reply to the command that proved the client served is in (and
  // counted: a counter moves just after the bytes go out).
  ASSERT_TRUE(client.ReadUntil(rig.LastSync(), Ms(3000)));
  ASSERT_EQ(WaitPortCount(0, "repliesDelivered", 1), 1);
  JsonValue before = Doc();
  EXPECT_EQ(PortCount(before, 0, "clientsAccepted"), 1);
  EXPECT_EQ(PortCount(before, 0, "commandsSent"), 1);
  EXPECT_TRUE(before.Get("ports")->items[0].Bool("client"));

  // One command, one reply.
  ASSERT_TRUE(client.Send("one\n"));
  ASSERT_TRUE(client.ReadUntil("one\n", Ms(3000)));
  ASSERT_EQ(WaitPortCount(0, "repliesDelivered", 2), 2);
  JsonValue doc = Doc();
  for (const char* key : {"commandsSent", "blocksSent"}) {
    EXPECT_EQ(PortCount(doc, 0, key), PortCount(before, 0, key) + 1) << key;
  }
  EXPECT_EQ(
      PortCount(doc, 0, "bytesToLine"),
      PortCount(before, 0, "bytesToLine") + static_cast<long long>(strlen("CMD:port E1.0 one\n")));

  // A command too long for a line is dropped and counted.
  ASSERT_TRUE(client.Send(std::string(200, 'x') + "\nafter\n"));
  ASSERT_TRUE(client.ReadUntil("after\n", Ms(3000)));
  ASSERT_EQ(WaitPortCount(0, "repliesDelivered", 3), 3);
  doc = Doc();
  EXPECT_EQ(PortCount(doc, 0, "commandsTooLong"), 1);
  EXPECT_EQ(PortCount(doc, 0, "commandsSent"), PortCount(before, 0, "commandsSent") + 2);

  // A reply for port 1, which has no client.
  ASSERT_TRUE(Sim().Send("ACK:E1.1:nobody\n"));
  EXPECT_EQ(WaitPortCount(1, "repliesDroppedNoClient", 1), 1);

  // The end-of-file reply, and a line behind it. The port thread is held
  // in a command block that the controller does not read, so that it
  // cannot close the client in between: the line meets the ended client.
  lab::ReplyRule ack = lab::AckReplyRule();
  Sim().SetReplyRule([ack](const std::string& line) -> std::optional<std::string> {
    if (line.find("stuck") != std::string::npos) return std::nullopt;
    return ack(line);
  });
  long long waitedBefore = UartCount(Doc(), "lineWaitMs");
  auto stalled = std::chrono::steady_clock::now();
  Sim().StopReading();
  std::this_thread::sleep_for(Ms(50));  // in effect
  std::string many;
  for (int i = 0; i < 2000; ++i) many += "stuck" + std::string(80, 's') + "\n";
  ASSERT_TRUE(client.Send(many));
  std::this_thread::sleep_for(Ms(300));
  ASSERT_TRUE(Sim().Send("ACK:E1.0:EOF\nACK:E1.0:late\n"));
  EXPECT_EQ(WaitPortCount(0, "repliesDroppedAfterEof", 1), 1);
  Sim().ResumeReading();
  ASSERT_TRUE(client.WaitForEof(Ms(3000)));
  EXPECT_EQ(client.Buffer().find("late"), std::string::npos);
  ASSERT_TRUE(Sim().WaitForSubstring("CMD:port E1.0 stuck" + std::string(80, 's'), Ms(5000)));
  EXPECT_EQ(PortCount(Doc(), 0, "repliesDroppedAfterEof"), 1);
  // The port waited for the line from shortly after the stall (the
  // controller's buffer filled) until the controller read again; each wait
  // is counted once the write after it is done, the last with the last
  // command.
  ASSERT_TRUE(lab::WaitUntil(
      [&] { return lab::CountOf(Sim().Received(), "CMD:port E1.0 stuck") == 2000; }, Ms(5000)));
  long long waited = UartCount(Doc(), "lineWaitMs") - waitedBefore;
  auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - stalled)
                     .count();
  EXPECT_GE(waited, 250) << "the stall lasted over 350 ms";
  EXPECT_LE(waited, elapsed);

  // Unplugged and back: one loss, one reopen, port 0 replays its block.
  lab::WaitUntil([&] { return !Doc().Get("ports")->items[0].Bool("client"); }, Ms(3000));
  Replug(1);
  EXPECT_EQ(WaitPortCount(0, "replaysSent", 1), 1);
  // The serial thread publishes the reopen just after it opened the line,
  // and the port thread may replay before that: wait for both.
  lab::WaitUntil(
      [&] {
        doc = Doc();
        return UartCount(doc, "reopens") >= 1 && doc.Get("uart")->Str("state") == "open";
      },
      Ms(3000));
  EXPECT_EQ(UartCount(doc, "losses"), 1);
  EXPECT_EQ(UartCount(doc, "reopens"), 1);
  EXPECT_EQ(doc.Get("uart")->Str("state"), "open");
  EXPECT_EQ(doc.Get("uart")->Str("tty"), "ttyACM1");
  EXPECT_EQ(doc.Get("uart")->Get("lastLossMs")->kind, JsonValue::kInteger);
  EXPECT_LE(UartCount(doc, "lastLossMs"), UartCount(doc, "lastReopenMs"));
  EXPECT_EQ(PortCount(doc, 1, "replaysSent"), 0) << "port 1 never sent a block";
  EXPECT_GT(PortCount(doc, 0, "blocksSent"), PortCount(before, 0, "blocksSent") + 2);
  EXPECT_EQ(PortCount(doc, 0, "clientsAccepted"), 1);
  EXPECT_EQ(doc.Get("ports")->items[0].Get("clientSinceMs")->kind, JsonValue::kNull);
}

TEST_F(ControlLab, RepliesForAClientThatDoesNotReadAreDroppedAsQueueFull) {
  StartAnswering({"-k"});
  lab::PortClient client;
  ASSERT_TRUE(Attach(1, &client));
  ASSERT_TRUE(client.ReadUntil(rig.LastSync(), Ms(3000)));
  ASSERT_EQ(WaitPortCount(1, "repliesDelivered", 1), 1);
  long long delivered = PortCount(Doc(), 1, "repliesDelivered");
  // Far more than the client's socket and the port's queue hold.
  const int kLines = 6000;
  std::string burst;
  for (int i = 0; i < 100; ++i) burst += "ACK:E1.1:" + std::string(90, 'r') + "\n";
  for (int i = 0; i < kLines / 100; ++i) ASSERT_TRUE(Sim().Send(burst));
  long long total = 0;
  JsonValue doc;
  lab::WaitUntil(
      [&] {
        doc = Doc();
        total = PortCount(doc, 1, "repliesDelivered") - delivered +
                PortCount(doc, 1, "repliesDroppedQueueFull");
        return total >= kLines;
      },
      Ms(10000));
  EXPECT_EQ(total, kLines);
  EXPECT_GT(PortCount(doc, 1, "repliesDroppedQueueFull"), 0);
  EXPECT_EQ(PortCount(doc, 1, "repliesDroppedNoClient"), 0);
}

TEST_F(ControlLab, LogLevelSetThroughTheSocketAndBySignals) {
  StartAnswering({"-k"});
  const std::string ctl = rig.Controller().ControlPath();
  lab::PortClient client;
  ASSERT_TRUE(Attach(0, &client));
  EXPECT_EQ(Ask(ctl, "log-level"), "level 4\n");

  // Raised to 7 by e1ctl: the command lines of level 7 appear.
  lab::ToolRun r = lab::RunE1ctl({"log-level", Layout().ctlIf, "7"});
  EXPECT_EQ(r.status, lab::ExitStatus::Exited(0)) << r.err;
  EXPECT_EQ(r.out, "4 -> 7\n");
  EXPECT_TRUE(Daemon().WaitForOutput("Log level changed from 4 to 7", Ms(3000)));
  ASSERT_TRUE(client.Send("seven\n"));
  ASSERT_TRUE(client.ReadUntil("seven\n", Ms(3000)));
  EXPECT_TRUE(Daemon().WaitForOutput("cmd0(len=16): port E1.0 seven", Ms(3000)))
      << Daemon().Output();
  r = lab::RunE1ctl({"log-level"});
  EXPECT_EQ(r.out, "7\n") << r.err;

  // Put back by SIGUSR2: level-7 lines are gone again.
  ASSERT_TRUE(Daemon().Signal(SIGUSR2));
  EXPECT_TRUE(Daemon().WaitForOutput("Log level changed from 7 to 4", Ms(3000)));
  ASSERT_TRUE(client.Send("four\n"));
  ASSERT_TRUE(client.ReadUntil("four\n", Ms(3000)));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(Daemon().Output().find("port E1.0 four"), std::string::npos) << Daemon().Output();
  EXPECT_EQ(Ask(ctl, "log-level"), "level 4\n");

  // Raised by SIGUSR1, and the daemon goes on serving.
  ASSERT_TRUE(Daemon().Signal(SIGUSR1));
  EXPECT_TRUE(lab::WaitUntil([&] { return Ask(ctl, "log-level") == "level 7\n"; }, Ms(3000)));
  const std::string raised = "Log level changed from 4 to 7\n";
  EXPECT_TRUE(lab::WaitUntil(
      [&] {
        std::string out = Daemon().Output();
        size_t first = out.find(raised);
        return first != std::string::npos && out.find(raised, first + 1) != std::string::npos;
      },
      Ms(3000)))
      << Daemon().Output();
  ASSERT_TRUE(client.Send("again\n"));
  ASSERT_TRUE(client.ReadUntil("again\n", Ms(3000)));
  EXPECT_TRUE(Daemon().WaitForOutput("port E1.0 again", Ms(3000)));
  EXPECT_EQ(Ask(ctl, "log-level 3"), "ok 7 3\n");
  EXPECT_EQ(Ask(ctl, "log-level 8"), "error unknown request\n");
  EXPECT_EQ(Daemon().WaitExit(0ms).kind, lab::ExitStatus::Kind::kTimeout);
}

TEST_F(ControlLab, E1ctlStatusExitStatusTellsTheHealth) {
  StartAnswering({"-k"});
  lab::PortClient client;
  ASSERT_TRUE(Attach(1, &client));
  // Served: the table, status 0.
  lab::ToolRun r = lab::RunE1ctl({"status"});
  EXPECT_EQ(r.status, lab::ExitStatus::Exited(0)) << r.err;
  EXPECT_NE(r.out.find(Layout().ctlIf + "\n  daemon: pid " + std::to_string(Daemon().Pid())),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("uart:   open ttyACM0"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  1     yes"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  0     no"), std::string::npos) << r.out;

  // --json: an array of the documents.
  r = lab::RunE1ctl({"status", "--json"});
  EXPECT_EQ(r.status, lab::ExitStatus::Exited(0)) << r.err;
  JsonValue all;
  std::string error;
  ASSERT_TRUE(e1ctl::ReadJson(r.out, &all, &error)) << error << r.out;
  ASSERT_EQ(all.kind, JsonValue::kArray);
  ASSERT_EQ(all.items.size(), 1u);
  EXPECT_EQ(all.items[0].Str("controller"), Layout().ctlIf);

  // Unknown controller.
  r = lab::RunE1ctl({"status", "9-9.9:1.0"});
  EXPECT_EQ(r.status, lab::ExitStatus::Exited(10)) << r.out << r.err;

  // UART lost after an unplug.
  Sim().Unplug();
  lab::WaitUntil([&] { return Doc().Get("uart")->Str("state") == "lost"; }, Ms(5000));
  r = lab::RunE1ctl({"status", Layout().ctlIf});
  EXPECT_EQ(r.status, lab::ExitStatus::Exited(8)) << r.out << r.err;
  EXPECT_NE(r.out.find("uart:   lost"), std::string::npos) << r.out;

  // No daemon: what the file system shows, status 9.
  rig.StopDaemon();
  r = lab::RunE1ctl({"status", Layout().ctlIf});
  EXPECT_EQ(r.status, lab::ExitStatus::Exited(9)) << r.out << r.err;
  EXPECT_NE(r.out.find("  lock:"), std::string::npos) << r.out;
  r = lab::RunE1ctl({"log-level", Layout().ctlIf});
  EXPECT_EQ(r.status, lab::ExitStatus::Exited(9)) << r.out << r.err;
}

// A tty not there at start-up is waited for: the port listens meanwhile,
// and the controller is reported as waiting, not healthy.
TEST_F(ControlLab, AControllerWithoutUartAtStartWaitsForItsTty) {
  lab::UartSpec none;
  none.simulated = false;
  AddController(lab::kOnePortPid, none);
  rig.StartDaemon({"-k", Layout().ctlIf});
  lab::PortClient probe;
  ASSERT_TRUE(probe.ConnectWithin(rig.Controller().ControlPath(), Ms(5000))) << Daemon().Output();
  lab::PortClient client;
  EXPECT_TRUE(client.ConnectWithin(rig.Controller().PortPath(0), Ms(5000))) << Daemon().Output();
  JsonValue doc = Doc();
  EXPECT_EQ(doc.Get("uart")->Str("state"), "waiting");
  EXPECT_EQ(doc.Get("uart")->Str("tty"), "ttyACM0");
  EXPECT_EQ(doc.Get("uart")->Int("reopens"), 0);
  lab::ToolRun r = lab::RunE1ctl({"status", Layout().ctlIf});
  EXPECT_EQ(r.status, lab::ExitStatus::Exited(8)) << r.out << r.err;
  EXPECT_NE(r.out.find("uart:   waiting for its tty (ttyACM0)"), std::string::npos) << r.out;
}

}  // namespace
