#include "lab/tool.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

#include "lab/fs.h"
#include "lab/sandbox.h"

namespace lab {
namespace {

std::string g_e1ctlPath;

// A file of the run's output in the sandbox's own /run (or the host's /tmp
// outside it); files instead of pipes, so that a program that leaves a
// child holding its output does not keep the run waiting.
std::string RunFile(int serial, const char* what) {
  return std::string(InSandbox() ? "/run" : "/tmp") + "/lab-tool-" + std::to_string(getpid()) +
         "-" + std::to_string(serial) + "." + what;
}

int OpenOrThrow(const std::string& path, int flags) {
  int fd = open(path.c_str(), flags | O_CLOEXEC, 0600);
  if (fd < 0) throw std::runtime_error("open " + path + ": " + strerror(errno));
  return fd;
}

}  // namespace

ToolRun RunTool(const std::vector<std::string>& argv, const ToolOptions& opts) {
  static int serial = 0;
  const int n = ++serial;
  const std::string in = RunFile(n, "in"), out = RunFile(n, "out"), err = RunFile(n, "err");
  SpawnSpec s;
  s.path = opts.path;
  s.argv = argv;
  if (!opts.argv0.empty() && !s.argv.empty()) {
    if (s.path.empty()) s.path = FindInPath(s.argv[0]);
    s.argv[0] = opts.argv0;
  }
  s.env = opts.env;
  s.sysRoot = opts.sysRoot;
  if (opts.input) {
    WriteFile(in, *opts.input);
    s.stdinFd = OpenOrThrow(in, O_RDONLY);
  }
  s.stdoutFd = opts.stdoutPath.empty() ? OpenOrThrow(out, O_WRONLY | O_CREAT | O_TRUNC)
                                       : OpenOrThrow(opts.stdoutPath, O_WRONLY);
  s.stderrFd = OpenOrThrow(err, O_WRONLY | O_CREAT | O_TRUNC);
  struct stat st;
  if (opts.journalStream && fstat(s.stdoutFd, &st) == 0) {
    s.env.push_back("JOURNAL_STREAM=" + std::to_string(st.st_dev) + ":" +
                    std::to_string(st.st_ino));
  }
  auto closeAll = [&] {
    for (int fd : {s.stdinFd, s.stdoutFd, s.stderrFd}) {
      if (fd >= 0) close(fd);
    }
  };
  ToolRun r;
  auto start = std::chrono::steady_clock::now();
  pid_t pid;
  try {
    pid = Spawn(s);
  } catch (...) {
    closeAll();
    throw;
  }
  r.status = WaitChild(pid, opts.timeout);
  r.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
  if (r.status.kind == ExitStatus::Kind::kTimeout) {
    kill(pid, SIGKILL);
    WaitChild(pid, std::chrono::seconds(5));
  }
  closeAll();
  if (opts.stdoutPath.empty()) r.out = ReadFile(out);
  r.err = ReadFile(err);
  for (const std::string& f : {in, out, err}) RemoveTree(f);
  return r;
}

void SetE1ctlPath(const std::string& path) {
  g_e1ctlPath = path;
}

const std::string& E1ctlPath() {
  return g_e1ctlPath;
}

std::vector<std::string> E1ctlCommand(const std::vector<std::string>& args) {
  if (g_e1ctlPath.empty()) throw std::runtime_error("no e1ctl in this build");
  std::vector<std::string> argv = {g_e1ctlPath};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

ToolRun RunE1ctl(const std::vector<std::string>& args, const ToolOptions& opts) {
  ToolOptions o = opts;
  std::vector<std::string> argv = E1ctlCommand(args);
  o.path = argv[0];
  if (o.argv0.empty()) o.argv0 = "e1ctl";
  return RunTool(argv, o);
}

ToolRun RunDaemon(const std::vector<std::string>& args, const ToolOptions& opts) {
  if (DaemonPath().empty()) throw std::runtime_error("RunDaemon: no daemon path set");
  std::vector<std::string> argv = {DaemonPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  ToolOptions o = opts;
  o.path = DaemonPath();
  return RunTool(argv, o);
}

}  // namespace lab
