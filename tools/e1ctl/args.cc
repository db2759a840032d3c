#include "tools/e1ctl/args.h"

#include <errno.h>
#include <getopt.h>
#include <stdlib.h>

#include "core/run_paths.h"
#include "tools/e1ctl/exit_status.h"

namespace e1ctl {

const char kHelp[] =
    "Usage: e1ctl [OPTION]... -c CTLIF [-p PORT] [COMMAND]...\n"
    "       e1ctl [OPTION]... -S SOCKET [COMMAND]...\n"
    "       e1ctl -l\n"
    "       e1ctl status [CTLIF]... [--json]\n"
    "       e1ctl monitor [CTLIF] [-p PORT] [-n N]\n"
    "       e1ctl log-level [CTLIF] [N]\n"
    "       e1ctl metrics\n"
    "Sends commands to an E1 port of a controller through the e1ctld port socket\n"
    "and prints the controller's replies as they arrive.\n"
    "\n"
    "Port:\n"
    "  -c, --controller CTLIF  the controller's control interface as e1ctld names it\n"
    "                          (e.g. 1-1.3:1.0); a prefix that names one socket\n"
    "                          (e.g. 1-1.3) is enough\n"
    "  -p, --port N            E1 port number: 0 (default), 1 or 2\n"
    "  -S, --socket PATH       the port socket itself, instead of -c and -p\n"
    "  -l, --list              list the port sockets present (CTLIF, port, path), exit;\n"
    "                          none present: status 3\n"
    "      --path              print the socket path and exit; nothing is sent\n"
    "\n"
    "Commands:\n"
    "  COMMAND...  sent as one block, joined with ';' (at most 32 commands and\n"
    "              1024 bytes). Without COMMAND, each line read from standard input\n"
    "              is sent as one block once the daemon has taken the previous one.\n"
    "\n"
    "End:\n"
    "  -n, --lines N           end after N reply lines; 0 ends right after sending\n"
    "  -t, --timeout SEC       end when no reply came for SEC seconds once everything\n"
    "                          was sent, or when the daemon took nothing of a line of\n"
    "                          standard input for SEC seconds (default 2; 0 waits\n"
    "                          without limit)\n"
    "  -w, --wait SEC          keep trying for SEC seconds while the port is busy, its\n"
    "                          socket is missing or the daemon does not accept the\n"
    "                          connection (default 1)\n"
    "  -q, --quiet             no notices on standard error, only errors\n"
    "  -h, --help              print this help and exit\n"
    "  -V, --version           print the version and exit\n"
    "\n"
    "status [CTLIF]...\n"
    "  For each known controller (those plugged in, with sockets or with lock\n"
    "  files), or those named: the daemon holding its lock (pid and name) or none,\n"
    "  its tty, and each port's socket: served (listening), busy (a client holds\n"
    "  it), missing or stale (no daemon holds the controller). Where the daemon\n"
    "  answers on its control socket: its pid, the UART state and tty, and per\n"
    "  port the client (yes/no), commands sent, replies delivered and dropped;\n"
    "  with --json the daemon's status documents as one JSON array instead.\n"
    "  Status 0 when every controller is served with its UART open, else 8, 9\n"
    "  or 10 (the worst of them).\n"
    "\n"
    "monitor [CTLIF] [-p PORT] [-n N]\n"
    "  Prints the controller's traffic as the daemon sees it, one line per event:\n"
    "  time (microseconds), controller, port, tx or rx, outcome, text; \"lost N\"\n"
    "  when the daemon's bounded tap dropped lines. -n ends after N events.\n"
    "\n"
    "log-level [CTLIF] [N]\n"
    "  Prints the daemon's log level, or sets it to N (0 to 7).\n"
    "\n"
    "metrics\n"
    "  Asks every daemon's control socket for its status and prints all of them\n"
    "  as one Prometheus text exposition (for node exporter's textfile collector).\n"
    "  Answers that are no status document are left out, each named on standard\n"
    "  error and in a '#' comment line. No daemon answering: only a comment line,\n"
    "  status 3.\n"
    "\n"
    "Replies are printed exactly as the daemon passes them on: the text of each\n"
    "\"ACK:E1.<port>:\" line of the controller. A reply \"EOF\" makes the daemon close\n"
    "the connection, which ends e1ctl; a daemon that ends closes it too, which\n"
    "e1ctl tells apart (status 7).\n"
    "\n"
    "Exit status:\n"
    "  0  the daemon closed the connection, N lines were read, or replies came and\n"
    "     then the idle timeout passed\n"
    "  1  connection or input/output error, or permission denied (the message\n"
    "     names the group whose members may use the socket)\n"
    "  2  usage error\n"
    "  3  no such socket: no daemon serves this controller and port (or wrong name),\n"
    "     or the path is not a socket; -l or status with nothing to show; metrics\n"
    "     with no daemon answering\n"
    "  4  port busy: another client is connected to the port\n"
    "  5  timeout: no reply (or fewer than N lines) before the idle timeout, the\n"
    "     connection not accepted within -w, or a line of standard input not taken\n"
    "     within -t\n"
    "  6  stale socket: the socket file is left from a daemon that has ended\n"
    "  7  connection lost: the daemon ended while connected, without an end-of-file\n"
    "     reply\n"
    "  8   status: a controller's daemon has its UART lost, waiting or never opened\n"
    "  9   status, monitor, log-level: no daemon answers on the control socket\n"
    "  10  status: unknown controller (not plugged in, no lock file, no socket)\n";

namespace {

bool ParseSeconds(const char* text, double* out) {
  char* end = nullptr;
  errno = 0;
  double v = strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !(v >= 0) || v > 86400.0 * 365) return false;
  *out = v;
  return true;
}

bool ParseCount(const char* text, long* out) {
  char* end = nullptr;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < 0) return false;
  *out = v;
  return true;
}

ParsedArgs EndWith(ParsedArgs r, int status, std::string error) {
  r.endNow = true;
  r.exitStatus = status;
  r.error = std::move(error);
  return r;
}

}  // namespace

ParsedArgs ParseArgs(int argc, char* const* argv) {
  enum { kPathOpt = 1000 };
  static const struct option kLong[] = {
      {"controller", required_argument, nullptr, 'c'},
      {"port", required_argument, nullptr, 'p'},
      {"socket", required_argument, nullptr, 'S'},
      {"list", no_argument, nullptr, 'l'},
      {"path", no_argument, nullptr, kPathOpt},
      {"lines", required_argument, nullptr, 'n'},
      {"timeout", required_argument, nullptr, 't'},
      {"wait", required_argument, nullptr, 'w'},
      {"quiet", no_argument, nullptr, 'q'},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},
      {nullptr, 0, nullptr, 0},
  };
  ParsedArgs r;
  Options& o = r.options;
  opterr = 0;
  optind = 0;  // a fresh scan, also on a second call
  int c;
  // '+': options end at the first command, so commands may begin with '-'.
  while ((c = getopt_long(argc, argv, "+:c:p:S:ln:t:w:qhV", kLong, nullptr)) != -1) {
    const std::string value = optarg != nullptr ? optarg : "";
    switch (c) {
      case 'c':
        o.ctlIf = value;
        break;
      case 'p': {
        long v;
        if (!ParseCount(value.c_str(), &v) || v > 2) {
          return EndWith(r, kUsage, "port must be 0, 1 or 2: '" + value + "'\n");
        }
        o.port = static_cast<int>(v);
        o.portGiven = true;
        break;
      }
      case 'S':
        o.socketPath = value;
        break;
      case 'l':
        o.list = true;
        break;
      case kPathOpt:
        o.printPath = true;
        break;
      case 'n':
        if (!ParseCount(value.c_str(), &o.lines)) {
          return EndWith(r, kUsage, "bad line count '" + value + "'\n");
        }
        break;
      case 't':
        if (!ParseSeconds(value.c_str(), &o.timeout)) {
          return EndWith(r, kUsage, "bad timeout '" + value + "'\n");
        }
        break;
      case 'w':
        if (!ParseSeconds(value.c_str(), &o.wait))
          return EndWith(r, kUsage, "bad wait '" + value + "'\n");
        break;
      case 'q':
        o.quiet = true;
        break;
      case 'h':
        r.endNow = true;
        r.exitStatus = kOk;
        r.output = kHelp;
        return r;
      case 'V':
        r.endNow = true;
        r.exitStatus = kOk;
        r.output = std::string("e1ctl ") + kVersion + "\n";
        return r;
      case ':':
        return EndWith(
            r, kUsage,
            std::string("option '") + argv[optind - 1] + "' needs a value (see e1ctl --help)\n");
      default:
        if (optopt != 0) {
          return EndWith(r, kUsage,
                         std::string("unknown option '-") + static_cast<char>(optopt) +
                             "' (see e1ctl --help)\n");
        }
        return EndWith(
            r, kUsage,
            std::string("unknown option '") + argv[optind - 1] + "' (see e1ctl --help)\n");
    }
  }
  for (int i = optind; i < argc; ++i) o.commands.emplace_back(argv[i]);
  if (o.list) return r;
  bool noPort = o.ctlIf.empty() && o.socketPath.empty();
  if (!o.commands.empty() && noPort && o.commands[0] == "monitor") {
    o.monitor = true;
    if (!o.portGiven) o.port = -1;
    for (size_t i = 1; i < o.commands.size(); ++i) {
      const std::string& w = o.commands[i];
      long v = 0;
      if ((w == "-p" || w == "-n") && i + 1 == o.commands.size()) {
        return EndWith(r, kUsage, "option '" + w + "' needs a value (see e1ctl --help)\n");
      }
      if (w == "-p") {
        if (!ParseCount(o.commands[++i].c_str(), &v) || v > 2) {
          return EndWith(r, kUsage, "port must be 0, 1 or 2: '" + o.commands[i] + "'\n");
        }
        o.port = static_cast<int>(v);
      } else if (w == "-n") {
        if (!ParseCount(o.commands[++i].c_str(), &o.lines)) {
          return EndWith(r, kUsage, "bad line count '" + o.commands[i] + "'\n");
        }
      } else if (o.ctlIf.empty() && !w.empty() && w[0] != '-') {
        o.ctlIf = w;
      } else {
        return EndWith(r, kUsage, "unexpected '" + w + "' after monitor (see e1ctl --help)\n");
      }
    }
    o.commands.clear();
    return r;
  }
  if (!o.commands.empty() && noPort && o.commands[0] == "log-level") {
    o.logLevel = true;
    for (size_t i = 1; i < o.commands.size(); ++i) {
      const std::string& w = o.commands[i];
      long v = 0;
      if (w.size() == 1 && ParseCount(w.c_str(), &v)) {
        if (v > 7) return EndWith(r, kUsage, "log level must be 0 to 7: '" + w + "'\n");
        o.level = static_cast<int>(v);
      } else if (o.ctlIf.empty() && o.level < 0 && !w.empty() && w[0] != '-') {
        o.ctlIf = w;
      } else {
        return EndWith(r, kUsage, "unexpected '" + w + "' after log-level (see e1ctl --help)\n");
      }
    }
    o.commands.clear();
    return r;
  }
  // "status" is a word of the controller's language too: it is e1ctl's own
  // only when no port is named.
  if (!o.commands.empty() && o.commands[0] == "status" && o.ctlIf.empty() && o.socketPath.empty()) {
    o.status = true;
    o.commands.erase(o.commands.begin());
    o.json = std::erase(o.commands, std::string("--json")) > 0;
    return r;
  }
  // "metrics" likewise, and it takes no arguments: it asks every daemon.
  if (!o.commands.empty() && o.commands[0] == "metrics" && o.ctlIf.empty() &&
      o.socketPath.empty()) {
    if (o.commands.size() > 1) {
      return EndWith(r, kUsage,
                     "metrics takes no arguments: '" + o.commands[1] + "' (see e1ctl --help)\n");
    }
    o.metrics = true;
    o.commands.clear();
    return r;
  }
  if (o.socketPath.empty() == o.ctlIf.empty()) {
    return EndWith(r, kUsage,
                   "give either -c CTLIF (with -p PORT) or -S SOCKET (see e1ctl --help)\n");
  }
  if (!o.socketPath.empty() && o.portGiven) {
    return EndWith(r, kUsage, "-p goes with -c, not with -S\n");
  }
  if (!o.ctlIf.empty() && o.ctlIf.find('/') != std::string::npos) {
    return EndWith(r, kUsage, "'" + o.ctlIf + "' is a path: use -S for a socket path\n");
  }
  o.fromStdin = o.commands.empty();
  return r;
}

}  // namespace e1ctl
