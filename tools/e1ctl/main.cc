// e1ctl: sends commands to one E1 port of a controller through the e1ctld
// port socket and prints the controller's replies as they arrive; also
// lists the port sockets (-l), reports on the controllers (status) and
// prints every daemon's status as Prometheus metrics (metrics).
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "tools/e1ctl/args.h"
#include "tools/e1ctl/block_split.h"
#include "tools/e1ctl/connect.h"
#include "tools/e1ctl/control_commands.h"
#include "tools/e1ctl/exit_status.h"
#include "tools/e1ctl/metrics.h"
#include "tools/e1ctl/metrics_collect.h"
#include "tools/e1ctl/report.h"
#include "tools/e1ctl/session.h"
#include "tools/e1ctl/socket_dir.h"
#include "tools/e1ctl/socket_names.h"
#include "tools/e1ctl/status.h"

using namespace e1ctl;

namespace {

// e1ctl metrics: the exposition on standard output, each document left out
// named on standard error and in a comment line; status 3 (a comment line
// only) when no daemon gave a status document.
int Metrics() {
  std::string error;
  const std::string text = FormatMetrics(CollectStatusDocuments(), &error);
  std::string comments;
  size_t start = 0;
  for (size_t end; (end = error.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = error.substr(start, end - start);
    Notice("metrics: %s\n", line.c_str());
    comments += "# e1ctl: " + line + "\n";
  }
  if (text.empty()) {
    comments += "# e1ctl: no e1ctld status from any control socket in " + SocketDir() + "\n";
  }
  fputs(comments.c_str(), stdout);
  fputs(text.c_str(), stdout);
  if (fflush(stdout) != 0) Fail(kFailure, "writing the metrics: %s\n", strerror(errno));
  return text.empty() ? kNoSocket : kOk;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  ParsedArgs args = ParseArgs(argc, argv);
  if (args.endNow) {
    if (!args.error.empty()) Fail(args.exitStatus, "%s", args.error.c_str());
    fputs(args.output.c_str(), stdout);
    return args.exitStatus;
  }
  const Options& o = args.options;
  SetQuiet(o.quiet);

  if (o.list) {
    int error = 0;
    std::vector<SocketEntry> sockets = ListSockets(&error);
    if (error == EACCES || error == EPERM) {
      Fail(kFailure, "permission denied: %s may be used by %s only\n", SocketDir().c_str(),
           PermissionHint(SocketDir()).c_str());
    }
    for (const SocketEntry& e : sockets) {
      printf("%s\t%d\t%s\n", e.ctlIf.c_str(), e.port, e.path.c_str());
    }
    if (sockets.empty()) {
      Notice("no port sockets in %s (is e1ctld running?)\n", SocketDir().c_str());
      return kNoSocket;
    }
    return kOk;
  }
  if (o.status) return Status(o.commands, o.json);
  if (o.monitor) return Monitor(o.ctlIf, o.port, o.lines);
  if (o.logLevel) return LogLevel(o.ctlIf, o.level);
  if (o.metrics) return Metrics();

  std::string path = o.socketPath.empty() ? ResolveSocket(o.ctlIf, o.port) : o.socketPath;
  if (o.printPath) {
    printf("%s\n", path.c_str());
    return kOk;
  }

  std::deque<std::string> blocks;
  if (!o.fromStdin) {
    std::string block, error;
    std::vector<std::string> cmds;
    if (!ArgumentBlock(o.commands, &block, &cmds, &error)) Fail(kUsage, "%s", error.c_str());
    WarnLongCommands(cmds);
    blocks.push_back(std::move(block));
  }

  int fd = Connect(path, o.wait);
  int status = Session(fd, o, std::move(blocks), path);
  close(fd);
  return status;
}
