// e1ctl metrics against a running daemon: the exposition carries the
// daemon's counters by controller and port, and Prometheus' own parser
// (with the project's lint, tests/metrics/check_exposition.py) takes it.
#include <gtest/gtest.h>

#include <string>

#include "lab/lab.h"
#include "lab/rig_test.h"

namespace {

using lab::Ms;
using MetricsLab = lab::RigTest;

TEST_F(MetricsLab, ExpositionOfARunningDaemonCountsItsTrafficAndParses) {
  lab::UartSpec uart;
  uart.reply = lab::AckReplyRule();
  AddController(lab::kTwoPortPid, uart);
  StartServing({"-n", "-k"});

  lab::PortClient c;
  ASSERT_TRUE(Attach(1, &c));  // one command on port 1
  ASSERT_TRUE(c.Send("hello\n"));
  ASSERT_TRUE(c.ReadUntil("hello\n", Ms(3000)));

  lab::ToolRun run = lab::RunE1ctl({"metrics"});
  ASSERT_EQ(run.status, lab::ExitStatus::Exited(0)) << run.err;
  const std::string ctl = "controller=\"" + Layout().ctlIf + "\"";
  EXPECT_NE(run.out.find("e1ctld_port_commands_sent_total{" + ctl + ",port=\"1\"} 2\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("e1ctld_port_commands_sent_total{" + ctl + ",port=\"0\"} 0\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("e1ctld_build_info{"), std::string::npos) << run.out;

  const std::string file = "/tmp/e1ctld-metrics-lab.prom";
  lab::WriteFile(file, run.out);
  lab::ToolRun check = lab::RunTool({"/usr/bin/python3", E1_CHECK_EXPOSITION, file});
  EXPECT_EQ(check.status, lab::ExitStatus::Exited(0)) << check.out << check.err;
}

}  // namespace
