// Journal priorities: under a journal stream each message carries the
// priority of what it means, so that a clean start, client use, an unplug
// and replug and a stop put nothing at warning or above into the journal,
// while the text of every line stays the one printed without the journal.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "lab/lab.h"
#include "lab/rig_test.h"

namespace {

using namespace std::chrono_literals;
using lab::kSlow;
using lab::Ms;

// The lines of `text` whose "<N>" prefix is 0 to 4 (warning or above), or
// that carry no prefix at all.
std::vector<std::string> LoudOrBareLines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    size_t end = nl == std::string::npos ? text.size() : nl + 1;
    std::string line = text.substr(start, end - start);
    bool prefixed =
        line.size() >= 3 && line[0] == '<' && line[2] == '>' && line[1] >= '0' && line[1] <= '7';
    if (!prefixed || line[1] <= '4') out.push_back(line);
    start = end;
  }
  return out;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string s;
  for (const std::string& l : lines) s += l;
  return s;
}

// A two-port controller with its data interface beside the control one,
// as cdc_acm binds both.
class JournalLab : public lab::RigTest {
 protected:
  void SetUp() override {
    lab::ControllerSpec model;
    model.pid = lab::kTwoPortPid;
    model.pairs = {lab::EthFunction::NoNetDir(), lab::EthFunction::NoNetDir()};
    lab::UartSpec uart;
    uart.reply = lab::AckReplyRule();
    rig.AddController(model, uart);
  }

  std::string RunUnderJournal(const std::vector<std::string>& args, bool replug) {
    lab::DaemonOptions o;
    o.journalStream = true;
    rig.StartDaemon(args, o);
    EXPECT_EQ(rig.WaitSockets(Ms(10000)), "");
    lab::PortClient client;
    EXPECT_TRUE(Attach(0, &client));
    if (replug) {
      // Pulled out as a real controller is: the interface is gone when the
      // serial thread sees the hang-up and looks for its tty again.
      rig.usb.RemoveInterface(Layout().ctlIf);
      Sim().Unplug();
      EXPECT_TRUE(Daemon().WaitForOutput("IsUSBDeviceTTYport: scandir error", 5s * kSlow))
          << Daemon().Output();
      rig.usb.AddInterface(Layout().ctlIf);
      rig.usb.BindDriver(Layout().ctlIf);
      Sim().Plug(1);
      EXPECT_TRUE(client.Send("again\n"));
      EXPECT_TRUE(client.ReadUntil("again\n", 5s * kSlow)) << Daemon().Output();
    }
    client.Close();
    EXPECT_TRUE(Daemon().Signal(SIGTERM));
    EXPECT_EQ(Daemon().WaitExit(Ms(10000)), lab::ExitStatus::Exited(0)) << Daemon().Output();
    return Daemon().Output();
  }
};

TEST_F(JournalLab, StartClientReplugAndStopPutNothingAtWarningOrAbove) {
  // The argument names the control interface; the data interface of the
  // same driver does not match it.
  std::string out = RunUnderJournal({Layout().ctlIf}, /*replug=*/true);
  EXPECT_EQ(Joined(LoudOrBareLines(out)), "") << out;
  EXPECT_NE(out.find("<6>Parameter 1: " + Layout().ctlIf + "\n"), std::string::npos) << out;
  EXPECT_NE(out.find("<6>CheckForE1_QZXcontroller: path " + Layout().dataIf + " doesn't match " +
                     Layout().ctlIf + " \n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("<5>IsUSBDeviceTTYport: scandir error : No such file or directory (2)\n"),
            std::string::npos)
      << out;
}

TEST_F(JournalLab, SearchingPutsTheDataInterfaceAtInfo) {
  std::string out = RunUnderJournal({"-n"}, /*replug=*/false);
  EXPECT_EQ(Joined(LoudOrBareLines(out)), "") << out;
  EXPECT_NE(out.find("<6>TTY control device has no name, device path '"), std::string::npos) << out;
}

TEST_F(JournalLab, WithDebugMessagesNothingAtWarningOrAboveEither) {
  std::string out = RunUnderJournal({Layout().ctlIf, "--debugmsg"}, /*replug=*/true);
  EXPECT_EQ(Joined(LoudOrBareLines(out)), "") << out;
  EXPECT_NE(out.find("<7>"), std::string::npos) << out;
}

// Without the journal the same messages are printed as they always were,
// at the default level, and no line carries a priority.
TEST_F(JournalLab, WithoutTheJournalTheMessagesAreTheBareText) {
  lab::DaemonOptions o;
  o.env = {"JOURNAL_STREAM"};
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{Layout().ctlIf}, std::vector<std::string>{"-n"}}) {
    rig.StartDaemon(args, o);
    lab::PortClient client;
    ASSERT_TRUE(Attach(0, &client));
    client.Close();
    ASSERT_TRUE(Daemon().Signal(SIGTERM));
    EXPECT_EQ(Daemon().WaitExit(Ms(10000)), lab::ExitStatus::Exited(0)) << Daemon().Output();
    std::string out = Daemon().Output();
    if (args[0] == "-n") {
      EXPECT_NE(out.find("TTY control device has no name, device path '"), std::string::npos)
          << out;
    } else {
      EXPECT_EQ(out.rfind("Parameter 1: " + Layout().ctlIf + "\nCheckForE1_QZXcontroller: path " +
                              Layout().dataIf + " doesn't match " + Layout().ctlIf + " \n",
                          0),
                0u)
          << out;
    }
    EXPECT_EQ(out.find('<'), std::string::npos) << out;
  }
}

}  // namespace
