#include "tools/e1ctl/args.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/run_paths.h"
#include "tools/e1ctl/block_split.h"
#include "tools/e1ctl/exit_status.h"

namespace e1ctl {
namespace {

using Strings = std::vector<std::string>;

ParsedArgs Parse(Strings args) {
  args.insert(args.begin(), "e1ctl");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return ParseArgs(static_cast<int>(args.size()), argv.data());
}

// The usage error of a command line, "" when it has none.
std::string UsageError(const Strings& args) {
  ParsedArgs r = Parse(args);
  if (!r.endNow) return "";
  EXPECT_EQ(r.exitStatus, kUsage);
  EXPECT_TRUE(r.output.empty());
  return r.error;
}

TEST(Args, PortOptionsAndCommands) {
  ParsedArgs r = Parse(
      {"-c", "1-1.3", "-p", "2", "-n", "3", "-t", "0.5", "-w", "0", "-q", "show", "-v", ";x"});
  ASSERT_FALSE(r.endNow) << r.error;
  const Options& o = r.options;
  EXPECT_EQ(o.ctlIf, "1-1.3");
  EXPECT_EQ(o.port, 2);
  EXPECT_TRUE(o.portGiven);
  EXPECT_EQ(o.lines, 3);
  EXPECT_EQ(o.timeout, 0.5);
  EXPECT_EQ(o.wait, 0.0);
  EXPECT_TRUE(o.quiet);
  // Options end at the first command: "-v" is a command.
  EXPECT_EQ(o.commands, (Strings{"show", "-v", ";x"}));
  EXPECT_FALSE(o.fromStdin);
  EXPECT_FALSE(o.status);

  ParsedArgs s = Parse({"--socket=/tmp/s", "--lines", "0", "--path"});
  ASSERT_FALSE(s.endNow) << s.error;
  EXPECT_EQ(s.options.socketPath, "/tmp/s");
  EXPECT_EQ(s.options.lines, 0);
  EXPECT_TRUE(s.options.printPath);
  EXPECT_TRUE(s.options.fromStdin);  // no command: standard input
  EXPECT_EQ(s.options.port, 0);
  EXPECT_EQ(s.options.timeout, 2.0);
  EXPECT_EQ(s.options.wait, 1.0);
  EXPECT_FALSE(s.options.quiet);
}

TEST(Args, StatusIsE1ctlsOwnOnlyWithoutAPort) {
  ParsedArgs all = Parse({"status"});
  ASSERT_FALSE(all.endNow);
  EXPECT_TRUE(all.options.status);
  EXPECT_TRUE(all.options.commands.empty());
  ParsedArgs named = Parse({"-q", "status", "1-1", "2-1"});
  EXPECT_TRUE(named.options.status);
  EXPECT_EQ(named.options.commands, (Strings{"1-1", "2-1"}));

  ParsedArgs command = Parse({"-c", "1-1", "status"});
  ASSERT_FALSE(command.endNow);
  EXPECT_FALSE(command.options.status);
  EXPECT_EQ(command.options.commands, (Strings{"status"}));

  ParsedArgs list = Parse({"-l", "status"});
  EXPECT_TRUE(list.options.list);
  EXPECT_FALSE(list.options.status);
  EXPECT_FALSE(list.endNow);  // -l needs no port
}

TEST(Args, MetricsIsE1ctlsOwnWithoutAPortAndTakesNoArguments) {
  ParsedArgs all = Parse({"-q", "metrics"});
  ASSERT_FALSE(all.endNow);
  EXPECT_TRUE(all.options.metrics);
  EXPECT_FALSE(all.options.status);
  EXPECT_TRUE(all.options.commands.empty());
  EXPECT_FALSE(all.options.fromStdin);

  EXPECT_EQ(UsageError({"metrics", "1-1"}),
            "metrics takes no arguments: '1-1' (see e1ctl --help)\n");
  ParsedArgs command = Parse({"-c", "1-1", "metrics"});
  ASSERT_FALSE(command.endNow);
  EXPECT_FALSE(command.options.metrics);
  EXPECT_EQ(command.options.commands, (Strings{"metrics"}));
  EXPECT_FALSE(Parse({"status", "metrics"}).options.metrics);
  EXPECT_FALSE(Parse({"-S", "/x", "metrics"}).options.metrics);
}

TEST(Args, BadValuesAndOptionsAreUsageErrors) {
  EXPECT_EQ(UsageError({"-c", "a", "-p", "3"}), "port must be 0, 1 or 2: '3'\n");
  EXPECT_EQ(UsageError({"-c", "a", "-p", "1x"}), "port must be 0, 1 or 2: '1x'\n");
  EXPECT_EQ(UsageError({"-c", "a", "-n", "-1"}), "bad line count '-1'\n");
  EXPECT_EQ(UsageError({"-c", "a", "-t", "-1"}), "bad timeout '-1'\n");
  EXPECT_EQ(UsageError({"-c", "a", "-t", "nan"}), "bad timeout 'nan'\n");
  EXPECT_EQ(UsageError({"-c", "a", "-w", "1e9"}), "bad wait '1e9'\n");  // over a year
  EXPECT_EQ(UsageError({"-c", "a", "-w", "31536000"}), "");             // a year is fine
  EXPECT_EQ(UsageError({"-c"}), "option '-c' needs a value (see e1ctl --help)\n");
  EXPECT_EQ(UsageError({"-c", "a", "--port"}),
            "option '--port' needs a value (see e1ctl --help)\n");
  EXPECT_EQ(UsageError({"-x", "-c", "a"}), "unknown option '-x' (see e1ctl --help)\n");
  EXPECT_EQ(UsageError({"--bogus"}), "unknown option '--bogus' (see e1ctl --help)\n");
  // The first fault is the one reported.
  EXPECT_EQ(UsageError({"-p", "9", "-x"}), "port must be 0, 1 or 2: '9'\n");
}

TEST(Args, ThePortIsNamedOnceAndByControllerOrSocket) {
  const std::string either =
      "give either -c CTLIF (with -p PORT) or -S SOCKET (see e1ctl --help)\n";
  EXPECT_EQ(UsageError({}), either);
  EXPECT_EQ(UsageError({"-p", "1", "cmd"}), either);
  EXPECT_EQ(UsageError({"-c", "a", "-S", "/s"}), either);
  EXPECT_EQ(UsageError({"-S", "/s", "-p", "0"}), "-p goes with -c, not with -S\n");
  EXPECT_EQ(UsageError({"-c", "/var/run/x"}), "'/var/run/x' is a path: use -S for a socket path\n");
  EXPECT_EQ(UsageError({"-c", "a", "cmd"}), "");
}

TEST(Args, HelpAndVersionEndAtOnce) {
  for (const Strings& args : {Strings{"-h"}, Strings{"--help", "-x"}, Strings{"-c", "a", "-h"}}) {
    ParsedArgs r = Parse(args);
    EXPECT_TRUE(r.endNow);
    EXPECT_EQ(r.exitStatus, kOk);
    EXPECT_EQ(r.output, kHelp);
    EXPECT_TRUE(r.error.empty());
  }
  ParsedArgs v = Parse({"-V", "-h"});
  EXPECT_TRUE(v.endNow);
  EXPECT_EQ(v.exitStatus, kOk);
  EXPECT_EQ(v.output, std::string("e1ctl ") + kVersion + "\n");
  EXPECT_EQ(Parse({"--version"}).output, v.output);
}

// The help text tells the daemon's limits that e1ctl splits blocks by.
TEST(Args, HelpTellsTheDaemonsBlockLimits) {
  std::string limits = "at most " + std::to_string(kMaxBlockCommands) +
                       " commands and\n              " + std::to_string(kMaxBlockBytes) + " bytes";
  EXPECT_NE(std::string(kHelp).find(limits), std::string::npos) << limits;
}

}  // namespace
}  // namespace e1ctl
