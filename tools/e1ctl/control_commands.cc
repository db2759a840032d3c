#include "tools/e1ctl/control_commands.h"

#include <stdio.h>

#include <algorithm>
#include <vector>

#include "tools/e1ctl/control_client.h"
#include "tools/e1ctl/exit_status.h"
#include "tools/e1ctl/report.h"
#include "tools/e1ctl/socket_names.h"

namespace e1ctl {

namespace {

// The controller meant: the one control socket present when none is
// named, the one whose name begins with `ctlIf`, or `ctlIf` itself.
std::string Resolve(const std::string& ctlIf) {
  std::vector<std::string> present = ListControlSockets();
  std::vector<std::string> match;
  for (const std::string& p : present) {
    if (p.compare(0, ctlIf.size(), ctlIf) == 0) match.push_back(p);
  }
  if (match.size() == 1) return match[0];
  if (ctlIf.empty() && match.empty()) {
    Fail(kNoDaemon, "no control socket in %s (is e1ctld running?)\n", SocketDir().c_str());
  }
  if (ctlIf.empty() ||
      (match.size() > 1 && std::find(match.begin(), match.end(), ctlIf) == match.end())) {
    Fail(kUsage, "several controllers have a control socket: name one (see e1ctl -l)\n");
  }
  return ctlIf;
}

}  // namespace

int Monitor(const std::string& ctlIf, int port, long lines) {
  std::string name = Resolve(ctlIf);
  std::string request = port < 0 ? "monitor" : "monitor " + std::to_string(port);
  bool first = true;
  long printed = 0;
  std::string answerError;
  std::string error;
  if (lines == 0) return kOk;
  bool ok = StreamControl(
      name, request,
      [&](const std::string& line) {
        if (first) {
          first = false;
          if (line == "ok") return true;
          answerError = line;
          return false;
        }
        printf("%s\n", line.c_str());
        fflush(stdout);
        if (line.compare(0, 5, "lost ") == 0) return true;
        return lines < 0 || ++printed < lines;
      },
      &error);
  if (!ok) Fail(kNoDaemon, "no daemon answers for %s: %s\n", name.c_str(), error.c_str());
  if (!answerError.empty()) Fail(kFailure, "%s: %s\n", name.c_str(), answerError.c_str());
  if (first) Fail(kFailure, "%s: the daemon closed the connection\n", name.c_str());
  return kOk;
}

int LogLevel(const std::string& ctlIf, int level) {
  std::string name = Resolve(ctlIf);
  std::string request = level < 0 ? "log-level" : "log-level " + std::to_string(level);
  std::string reply, error;
  if (!RequestControl(name, request, &reply, &error)) {
    Fail(kNoDaemon, "no daemon answers for %s: %s\n", name.c_str(), error.c_str());
  }
  int oldLevel = 0, newLevel = 0;
  if (level < 0 && sscanf(reply.c_str(), "level %d", &newLevel) == 1) {
    printf("%d\n", newLevel);
    return kOk;
  }
  if (level >= 0 && sscanf(reply.c_str(), "ok %d %d", &oldLevel, &newLevel) == 2) {
    printf("%d -> %d\n", oldLevel, newLevel);
    return kOk;
  }
  while (!reply.empty() && reply.back() == '\n') reply.pop_back();
  Fail(kFailure, "%s: %s\n", name.c_str(), reply.c_str());
}

}  // namespace e1ctl
