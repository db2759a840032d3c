// e1ctl: sends commands to one E1 port of a controller through the e1ctld
// port socket and prints the controller's replies as they arrive.
//
// The daemon reads a client's text in reads of at most 1024 bytes, cuts it
// into commands at ';', CR and LF, forwards at most 32 commands per read and
// keeps the commands of the last read as the port's block, which it resends
// after the controller came back. e1ctl therefore sends each block in one
// write and waits until the daemon has taken it (the socket's send queue is
// empty) before it writes the next, so blocks are never merged or split.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <grp.h>
#include <linux/sockios.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "core/controller.h"
#include "core/run_paths.h"
#include "discovery/known_controllers.h"

namespace {

// Exit statuses.
enum Status {
  kOk = 0,        // end-of-file reply, line count reached, or replies then idle
  kFailure = 1,   // connection or input/output error
  kUsage = 2,     // bad command line
  kNoSocket = 3,  // no socket file at the path
  kBusy = 4,      // refused while the socket file exists: another client holds the port
  kTimeout = 5,   // no (or not enough) replies within the idle timeout
  kStale = 6,     // the socket file exists but no daemon holds the controller's lock
};

// The daemon's limits: one read of a client takes at most kMaxBlockBytes
// and forwards at most kMaxBlockCommands (core/controller.h) commands; a
// command keeps its line end on the UART up to kMaxCommandChars characters
// ("port E1.n " and the command in a kCommandLineSize line).
constexpr size_t kMaxBlockBytes = 1024;
constexpr size_t kMaxCommandChars = kCommandLineSize - 3 - 10;

constexpr const char kHelp[] =
    "Usage: e1ctl [OPTION]... -c CTLIF [-p PORT] [COMMAND]...\n"
    "       e1ctl [OPTION]... -S SOCKET [COMMAND]...\n"
    "       e1ctl -l\n"
    "       e1ctl status [CTLIF]...\n"
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
    "                          was sent (default 2; 0 waits without limit)\n"
    "  -w, --wait SEC          keep trying for SEC seconds while the port is busy or\n"
    "                          its socket is missing (default 1)\n"
    "  -q, --quiet             no notices on standard error, only errors\n"
    "  -h, --help              print this help and exit\n"
    "  -V, --version           print the version and exit\n"
    "\n"
    "status [CTLIF]...\n"
    "  For each known controller (those plugged in, with sockets or with lock\n"
    "  files), or those named: the daemon holding its lock (pid and name) or none,\n"
    "  its tty, and each port's socket: served (listening), busy (a client holds\n"
    "  it), missing or stale (no daemon holds the controller).\n"
    "\n"
    "Replies are printed exactly as the daemon passes them on: the text of each\n"
    "\"ACK:E1.<port>:\" line of the controller. A reply \"EOF\" makes the daemon close\n"
    "the connection, which ends e1ctl.\n"
    "\n"
    "Exit status:\n"
    "  0  the daemon closed the connection, N lines were read, or replies came and\n"
    "     then the idle timeout passed\n"
    "  1  connection or input/output error, or permission denied (the message\n"
    "     names the group whose members may use the socket)\n"
    "  2  usage error\n"
    "  3  no such socket: no daemon serves this controller and port (or wrong name);\n"
    "     -l or status with nothing to show\n"
    "  4  port busy: another client is connected to the port\n"
    "  5  timeout: no reply (or fewer than N lines) before the idle timeout\n"
    "  6  stale socket: the socket file is left from a daemon that has ended\n";

bool g_quiet = false;

void Notice(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void Notice(const char* fmt, ...) {
  if (g_quiet) return;
  va_list ap;
  va_start(ap, fmt);
  fputs("e1ctl: ", stderr);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
}

[[noreturn]] void Fail(int status, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
[[noreturn]] void Fail(int status, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fputs("e1ctl: ", stderr);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  fflush(stdout);
  exit(status);
}

double Now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

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

// The socket directory and the name before the port number, split from the
// daemon's prefix ("/var/run/E1controllers" and "G703G704_phy").
std::string SocketDir() {
  std::string p = kSocketPrefix;
  return p.substr(0, p.rfind('/'));
}
std::string SocketBase() {
  std::string p = kSocketPrefix;
  return p.substr(p.rfind('/') + 1);
}

std::string SocketPath(const std::string& ctlIf, int port) {
  return std::string(kSocketPrefix) + std::to_string(port) + kSocketSuffix + ctlIf;
}

struct SocketEntry {
  std::string ctlIf;
  int port;
  std::string path;
};

// Splits a socket file name "G703G704_phy<port>_at_ttyctrl_<ctlif>".
bool ParseSocketName(const std::string& name, SocketEntry* e) {
  const std::string base = SocketBase();
  const std::string suffix = kSocketSuffix;
  if (name.compare(0, base.size(), base) != 0) return false;
  size_t pos = base.size();
  size_t digits = pos;
  while (digits < name.size() && name[digits] >= '0' && name[digits] <= '9') ++digits;
  if (digits == pos || digits - pos > 3) return false;
  if (name.compare(digits, suffix.size(), suffix) != 0) return false;
  e->port = atoi(name.substr(pos, digits - pos).c_str());
  e->ctlIf = name.substr(digits + suffix.size());
  e->path = SocketDir() + "/" + name;
  return !e->ctlIf.empty();
}

std::vector<SocketEntry> ListSockets() {
  std::vector<SocketEntry> out;
  DIR* d = opendir(SocketDir().c_str());
  if (d == nullptr) return out;
  while (struct dirent* de = readdir(d)) {
    SocketEntry e;
    if (ParseSocketName(de->d_name, &e)) out.push_back(e);
  }
  closedir(d);
  std::sort(out.begin(), out.end(), [](const SocketEntry& a, const SocketEntry& b) {
    return a.ctlIf != b.ctlIf ? a.ctlIf < b.ctlIf : a.port < b.port;
  });
  return out;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// The socket of a port from the controller name: the exact name when that
// socket exists, else the one socket of that port whose controller name
// begins with `ctlIf`; the exact name when none does. Several: usage error.
std::string ResolveSocket(const std::string& ctlIf, int port) {
  std::string exact = SocketPath(ctlIf, port);
  if (Exists(exact)) return exact;
  std::vector<std::string> found;
  for (const SocketEntry& e : ListSockets()) {
    if (e.port == port && e.ctlIf.compare(0, ctlIf.size(), ctlIf) == 0) found.push_back(e.path);
  }
  if (found.size() == 1) return found[0];
  if (found.size() > 1) {
    std::string all;
    for (const std::string& f : found) all += "\n  " + f;
    Fail(kUsage, "controller '%s' names several sockets of port %d:%s\n", ctlIf.c_str(), port,
         all.c_str());
  }
  return exact;
}

std::string LockPath(const std::string& ctlIf) {
  return std::string(kLockPrefix) + ctlIf;
}

// Who holds a controller's lock file.
struct LockInfo {
  enum Kind { kNone, kHeld, kUnknown } kind = kUnknown;
  int pid = 0;         // kHeld: the holder, 0 when not visible from here
  std::string unread;  // why the lock file itself could not be read, if so
};

// The holder of the write lock on `inode` of device `dev` in /proc/locks,
// which anyone may read: 1 found (pid stored), 0 not listed, -1 unreadable.
int LockHolderFromProcLocks(dev_t dev, ino_t inode, int* pid) {
  FILE* f = fopen("/proc/locks", "re");
  if (f == nullptr) return -1;
  char line[256];
  int found = 0;
  while (found == 0 && fgets(line, sizeof line, f) != nullptr) {
    char kind[16], mode[16], access[16];
    int holder = 0;
    unsigned maj = 0, min = 0;
    unsigned long long ino = 0;
    // "1: POSIX  ADVISORY  WRITE 812 fd:01:1234 0 EOF"; blocked waiters
    // carry "->" before the kind and are not holders.
    if (sscanf(line, "%*d: %15s %15s %15s %d %x:%x:%llu", kind, mode, access, &holder, &maj, &min,
               &ino) == 7 &&
        strcmp(kind, "->") != 0 && makedev(maj, min) == dev && ino == inode) {
      *pid = holder;
      found = 1;
    }
  }
  fclose(f);
  return found;
}

// The lock state of a controller: from the lock file itself (F_GETLK), or,
// when this user may not open it (the daemon creates it without permission
// bits), from /proc/locks; kUnknown only when neither can be read.
LockInfo ReadLock(const std::string& ctlIf) {
  LockInfo info;
  std::string path = LockPath(ctlIf);
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    int r = fcntl(fd, F_GETLK, &fl);
    int err = errno;
    close(fd);
    if (r == 0) {
      info.kind = fl.l_type == F_UNLCK ? LockInfo::kNone : LockInfo::kHeld;
      info.pid = fl.l_type == F_UNLCK ? 0 : fl.l_pid;
      return info;
    }
    info.unread = strerror(err);
  } else if (errno == ENOENT) {
    info.kind = LockInfo::kNone;
    return info;
  } else {
    info.unread = strerror(errno);
  }
  struct stat st;
  int pid = 0;
  int listed =
      stat(path.c_str(), &st) == 0 ? LockHolderFromProcLocks(st.st_dev, st.st_ino, &pid) : -1;
  if (listed >= 0) {
    info.kind = listed == 1 ? LockInfo::kHeld : LockInfo::kNone;
    info.pid = pid;
  }
  return info;
}

// The lock state of the controller behind a socket path.
LockInfo ReadLockOfSocket(const std::string& socketPath) {
  SocketEntry e;
  size_t slash = socketPath.rfind('/');
  if (!ParseSocketName(socketPath.substr(slash == std::string::npos ? 0 : slash + 1), &e)) {
    return LockInfo();
  }
  return ReadLock(e.ctlIf);
}

// The command name of a process, or "" when it cannot be read.
std::string ProcessName(int pid) {
  std::string name;
  FILE* f = fopen(("/proc/" + std::to_string(pid) + "/comm").c_str(), "re");
  if (f == nullptr) return name;
  char buf[64];
  if (fgets(buf, sizeof buf, f) != nullptr) name = buf;
  fclose(f);
  if (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

std::string DescribeLock(const LockInfo& l) {
  std::string text;
  switch (l.kind) {
    case LockInfo::kNone:
      text = "none (no daemon serves it)";
      break;
    case LockInfo::kHeld: {
      std::string name = l.pid > 0 ? ProcessName(l.pid) : "";
      text =
          l.pid > 0 ? "held by pid " + std::to_string(l.pid) : "held by a process not visible here";
      if (!name.empty()) text += " (" + name + ")";
      break;
    }
    case LockInfo::kUnknown:
      return "unknown: the lock file cannot be read (" + l.unread +
             ") nor /proc/locks: run as root to know";
  }
  if (!l.unread.empty())
    text += " [from /proc/locks: the lock file is not readable: " + l.unread + "]";
  return text;
}

// Who may use a socket that this user may not: the group of the first
// thing on its path that refuses us (the socket, else its directory).
std::string PermissionHint(const std::string& path) {
  struct stat st;
  std::string what = path;
  if (stat(path.c_str(), &st) != 0) {
    what = path.substr(0, path.rfind('/'));
    if (stat(what.c_str(), &st) != 0) return "root";
  }
  if (st.st_gid == 0) return "root";
  struct group* g = getgrgid(st.st_gid);
  std::string group =
      g != nullptr ? std::string("'") + g->gr_name + "'" : "with id " + std::to_string(st.st_gid);
  return "root and the members of group " + group;
}

int ConnectOnce(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) Fail(kFailure, "socket: %s\n", strerror(errno));
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    close(fd);
    Fail(kUsage, "socket path too long: %s\n", path.c_str());
  }
  memcpy(addr.sun_path, path.c_str(), path.size());
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0) return fd;
  int err = errno;
  close(fd);
  errno = err;
  return -1;
}

// Connects, retrying for `wait` seconds while the port is busy or its socket
// missing; ends the program with the matching status when it cannot.
int Connect(const std::string& path, double wait) {
  double deadline = Now() + wait;
  for (;;) {
    int fd = ConnectOnce(path);
    if (fd >= 0) return fd;
    int err = errno;
    bool retry = err == ENOENT || err == ECONNREFUSED || err == EAGAIN;
    if (retry && Now() < deadline) {
      poll(nullptr, 0, 20);
      continue;
    }
    if (err == ENOENT) {
      if (!Exists(SocketDir())) {
        Fail(kNoSocket, "no such socket: %s (%s does not exist: is e1ctld running?)\n",
             path.c_str(), SocketDir().c_str());
      }
      Fail(kNoSocket, "no such socket: %s (see e1ctl -l for the sockets present)\n", path.c_str());
    }
    if (err == EACCES || err == EPERM) {
      Fail(kFailure, "permission denied: %s may be used by %s only\n", path.c_str(),
           PermissionHint(path).c_str());
    }
    if (err == ECONNREFUSED || err == EAGAIN) {
      if (ReadLockOfSocket(path).kind == LockInfo::kNone) {
        Fail(kStale, "%s is not served: no e1ctld holds its controller (socket left behind)\n",
             path.c_str());
      }
      Fail(kBusy, "port busy: another client is connected to %s\n", path.c_str());
    }
    Fail(kFailure, "cannot connect to %s: %s\n", path.c_str(), strerror(err));
  }
}

bool IsSeparator(char c) {
  return c == ';' || c == '\r' || c == '\n';
}

std::vector<std::string> SplitCommands(const std::string& text) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : text) {
    if (IsSeparator(c)) {
      if (!cur.empty()) out.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

void WarnLongCommands(const std::vector<std::string>& cmds) {
  for (const std::string& c : cmds) {
    if (c.size() > kMaxCommandChars) {
      Notice(
          "warning: a command of %zu characters is cut by the daemon (at most %zu keep "
          "their line end): %.20s...\n",
          c.size(), kMaxCommandChars, c.c_str());
    }
  }
}

// Groups commands into blocks that the daemon takes in one read: at most 32
// commands and 1024 bytes each, every block ending in a line feed.
std::vector<std::string> MakeBlocks(const std::vector<std::string>& cmds) {
  std::vector<std::string> blocks;
  std::string cur;
  int count = 0;
  for (std::string c : cmds) {
    if (c.size() + 1 > kMaxBlockBytes) c.resize(kMaxBlockBytes - 1);
    if (count > 0 && (count == kMaxBlockCommands || cur.size() + c.size() + 1 > kMaxBlockBytes)) {
      cur.back() = '\n';
      blocks.push_back(cur);
      cur.clear();
      count = 0;
    }
    cur += c;
    cur += ';';
    ++count;
  }
  if (count > 0) {
    cur.back() = '\n';
    blocks.push_back(cur);
  }
  return blocks;
}

// Bytes written to the socket that the daemon has not read yet.
int Unread(int fd) {
  int n = 0;
  if (ioctl(fd, SIOCOUTQ, &n) != 0) return 0;
  return n;
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      struct pollfd p = {fd, POLLOUT, 0};
      poll(&p, 1, 100);
      continue;
    }
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool WriteOut(const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = write(STDOUT_FILENO, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

struct Options {
  std::string ctlIf;
  int port = 0;
  bool portGiven = false;
  std::string socketPath;
  bool list = false;
  bool printPath = false;
  long lines = -1;  // -1: no limit
  double timeout = 2.0;
  double wait = 1.0;
  std::vector<std::string> commands;
  bool fromStdin = false;
  bool status = false;  // "status [CTLIF]...": the CTLIFs are in commands
};

Options ParseArgs(int argc, char** argv) {
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
  Options o;
  opterr = 0;
  int c;
  // '+': options end at the first command, so commands may begin with '-'.
  while ((c = getopt_long(argc, argv, "+:c:p:S:ln:t:w:qhV", kLong, nullptr)) != -1) {
    switch (c) {
      case 'c':
        o.ctlIf = optarg;
        break;
      case 'p': {
        long v;
        if (!ParseCount(optarg, &v) || v > 2)
          Fail(kUsage, "port must be 0, 1 or 2: '%s'\n", optarg);
        o.port = static_cast<int>(v);
        o.portGiven = true;
        break;
      }
      case 'S':
        o.socketPath = optarg;
        break;
      case 'l':
        o.list = true;
        break;
      case kPathOpt:
        o.printPath = true;
        break;
      case 'n':
        if (!ParseCount(optarg, &o.lines)) Fail(kUsage, "bad line count '%s'\n", optarg);
        break;
      case 't':
        if (!ParseSeconds(optarg, &o.timeout)) Fail(kUsage, "bad timeout '%s'\n", optarg);
        break;
      case 'w':
        if (!ParseSeconds(optarg, &o.wait)) Fail(kUsage, "bad wait '%s'\n", optarg);
        break;
      case 'q':
        g_quiet = true;
        break;
      case 'h':
        fputs(kHelp, stdout);
        exit(kOk);
      case 'V':
        printf("e1ctl %s\n", kVersion);
        exit(kOk);
      case ':':
        Fail(kUsage, "option '%s' needs a value (see e1ctl --help)\n", argv[optind - 1]);
      default:
        if (optopt != 0) Fail(kUsage, "unknown option '-%c' (see e1ctl --help)\n", optopt);
        Fail(kUsage, "unknown option '%s' (see e1ctl --help)\n", argv[optind - 1]);
    }
  }
  for (int i = optind; i < argc; ++i) o.commands.push_back(argv[i]);
  if (o.list) return o;
  // "status" is a word of the controller's language too: it is e1ctl's own
  // only when no port is named.
  if (!o.commands.empty() && o.commands[0] == "status" && o.ctlIf.empty() && o.socketPath.empty()) {
    o.status = true;
    o.commands.erase(o.commands.begin());
    return o;
  }
  if (o.socketPath.empty() == o.ctlIf.empty()) {
    Fail(kUsage, "give either -c CTLIF (with -p PORT) or -S SOCKET (see e1ctl --help)\n");
  }
  if (!o.socketPath.empty() && o.portGiven) Fail(kUsage, "-p goes with -c, not with -S\n");
  if (!o.ctlIf.empty() && o.ctlIf.find('/') != std::string::npos) {
    Fail(kUsage, "'%s' is a path: use -S for a socket path\n", o.ctlIf.c_str());
  }
  o.fromStdin = o.commands.empty();
  return o;
}

// With nothing to read: waits until the daemon has read what was sent, so
// that closing the connection cannot overtake the last block.
int WaitTaken(int fd, double timeout, const std::string& path) {
  double deadline = Now() + timeout;
  while (Unread(fd) > 0) {
    if (timeout > 0 && Now() > deadline) {
      Notice("the daemon did not take the commands within %g s on %s\n", timeout, path.c_str());
      return kTimeout;
    }
    poll(nullptr, 0, 5);
  }
  return kOk;
}

// Sends the blocks and prints the replies until one of the ends.
int Session(int fd, const Options& o, std::deque<std::string> blocks, const std::string& path) {
  long linesSeen = 0;
  bool sentAll = false;
  bool stdinOpen = o.fromStdin;
  std::string stdinPending;
  double lastReply = Now();
  bool blockInFlight = false;

  for (;;) {
    // Next block, once the daemon has read the previous one.
    if (!blocks.empty() && (!blockInFlight || Unread(fd) == 0)) {
      if (!WriteAll(fd, blocks.front())) {
        if (errno == EPIPE || errno == ECONNRESET) {
          Fail(kFailure, "the daemon closed %s before all commands were sent\n", path.c_str());
        }
        Fail(kFailure, "write to %s: %s\n", path.c_str(), strerror(errno));
      }
      blocks.pop_front();
      blockInFlight = true;
      continue;
    }
    if (!sentAll && blocks.empty() && !stdinOpen) {
      sentAll = true;
      lastReply = Now();
      if (o.lines == 0) return WaitTaken(fd, o.timeout, path);
    }

    struct pollfd p[2] = {{fd, POLLIN, 0}, {stdinOpen ? STDIN_FILENO : -1, POLLIN, 0}};
    int waitMs = -1;
    if (!blocks.empty()) {
      waitMs = 5;  // watching the send queue drain
    } else if (sentAll && o.timeout > 0) {
      double left = lastReply + o.timeout - Now();
      if (left <= 0) {
        if (o.lines < 0 && linesSeen > 0) return kOk;
        if (o.lines > 0) {
          Notice("%ld of %ld reply lines within %g s from %s\n", linesSeen, o.lines, o.timeout,
                 path.c_str());
        } else {
          Notice("no reply within %g s from %s\n", o.timeout, path.c_str());
        }
        return kTimeout;
      }
      waitMs = static_cast<int>(left * 1000) + 1;
    }
    if (poll(p, 2, waitMs) < 0) {
      if (errno == EINTR) continue;
      Fail(kFailure, "poll: %s\n", strerror(errno));
    }

    if (p[0].revents != 0) {
      char buf[4096];
      ssize_t n = read(fd, buf, sizeof buf);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n < 0 && errno != ECONNRESET)
        Fail(kFailure, "read from %s: %s\n", path.c_str(), strerror(errno));
      if (n <= 0) return kOk;  // the daemon shut the connection (end-of-file reply)
      size_t take = static_cast<size_t>(n);
      if (o.lines > 0) {
        for (size_t i = 0; i < take; ++i) {
          if (buf[i] == '\n' && ++linesSeen == o.lines) {
            take = i + 1;
            break;
          }
        }
      } else {
        linesSeen += std::count(buf, buf + n, '\n');
      }
      if (!WriteOut(buf, take)) Fail(kFailure, "write to standard output: %s\n", strerror(errno));
      if (o.lines > 0 && linesSeen >= o.lines) return kOk;
      lastReply = Now();
    }

    if (stdinOpen && p[1].revents != 0) {
      char buf[4096];
      ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n > 0) stdinPending.append(buf, static_cast<size_t>(n));
      if (n <= 0) stdinOpen = false;
      // Every complete line (the rest too at the end of input) is a block.
      size_t start = 0;
      for (size_t nl = stdinPending.find('\n'); nl != std::string::npos;
           nl = stdinPending.find('\n', start)) {
        std::vector<std::string> cmds = SplitCommands(stdinPending.substr(start, nl - start));
        WarnLongCommands(cmds);
        for (std::string& b : MakeBlocks(cmds)) blocks.push_back(std::move(b));
        start = nl + 1;
      }
      stdinPending.erase(0, start);
      if (!stdinOpen && !stdinPending.empty()) {
        std::vector<std::string> cmds = SplitCommands(stdinPending);
        WarnLongCommands(cmds);
        for (std::string& b : MakeBlocks(cmds)) blocks.push_back(std::move(b));
        stdinPending.clear();
      }
    }
  }
}

// Paths of the UNIX sockets that listen, from /proc/net/unix (flag
// __SO_ACCEPTCON); false when it cannot be read.
bool ListeningSockets(std::vector<std::string>* out) {
  FILE* f = fopen("/proc/net/unix", "re");
  if (f == nullptr) return false;
  char line[512];
  while (fgets(line, sizeof line, f) != nullptr) {
    unsigned long flags = 0;
    char path[256] = "";
    if (sscanf(line, "%*s %*s %*s %lx %*s %*s %*s %255s", &flags, path) == 2 &&
        (flags & 0x10000) != 0) {
      out->push_back(path);
    }
  }
  fclose(f);
  return true;
}

std::vector<std::string> DirEntries(const std::string& dir) {
  std::vector<std::string> out;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return out;
  while (struct dirent* de = readdir(d)) {
    if (de->d_name[0] != '.') out.push_back(de->d_name);
  }
  closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

const char kUsbDevices[] = "/sys/bus/usb/devices/";

// E1 ports of the controller whose control interface this is, from its USB
// ids in sysfs; 0 when it is not there or not a known model.
int KnownPorts(const std::string& ctlIf) {
  uint32_t vid = 0, pid = 0;
  std::string dev = kUsbDevices + ctlIf.substr(0, ctlIf.find(':'));
  ReadUSBIds(dev.c_str(), &vid, &pid);
  int ports = 0;
  LookupKnownController(vid, pid, nullptr, nullptr, &ports);
  return ports;
}

// Control interfaces of the known controllers plugged in (bound to cdc_acm,
// holding a tty), with a lock file, or with a port socket.
std::vector<std::string> KnownControllers() {
  std::vector<std::string> out;
  for (const std::string& e : DirEntries("/sys/bus/usb/drivers/cdc_acm")) {
    if (e.find(':') != std::string::npos && KnownPorts(e) > 0 &&
        !DirEntries(kUsbDevices + e + "/tty").empty()) {
      out.push_back(e);
    }
  }
  std::string lockDir = std::string(kLockPrefix).substr(0, std::string(kLockPrefix).rfind('/'));
  std::string lockBase = std::string(kLockPrefix).substr(lockDir.size() + 1);
  for (const std::string& e : DirEntries(lockDir)) {
    if (e.size() > lockBase.size() && e.compare(0, lockBase.size(), lockBase) == 0) {
      out.push_back(e.substr(lockBase.size()));
    }
  }
  for (const SocketEntry& e : ListSockets()) out.push_back(e.ctlIf);
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

int Status(const std::vector<std::string>& named) {
  std::vector<std::string> known = KnownControllers();
  std::vector<std::string> shown;
  for (const std::string& n : named) {
    size_t before = shown.size();
    for (const std::string& k : known) {
      if (k.compare(0, n.size(), n) == 0) shown.push_back(k);
    }
    if (shown.size() == before) shown.push_back(n);  // shown as absent
  }
  if (named.empty()) shown = known;
  if (shown.empty()) {
    Notice("no controller known: none plugged in, no lock file in %s, no socket in %s\n",
           std::string(kLockPrefix).substr(0, std::string(kLockPrefix).rfind('/')).c_str(),
           SocketDir().c_str());
    return kNoSocket;
  }
  std::vector<std::string> listening;
  bool haveListening = ListeningSockets(&listening);
  std::vector<SocketEntry> sockets = ListSockets();
  for (const std::string& ctlIf : shown) {
    LockInfo lock = ReadLock(ctlIf);
    std::vector<std::string> ttys = DirEntries(kUsbDevices + ctlIf + "/tty");
    int ports = KnownPorts(ctlIf);
    for (const SocketEntry& e : sockets) {
      if (e.ctlIf == ctlIf && e.port + 1 > ports) ports = e.port + 1;
    }
    printf("%s\n", ctlIf.c_str());
    printf("  lock:   %s\n", DescribeLock(lock).c_str());
    printf("  tty:    %s\n", ttys.empty() ? "none (not plugged in)" : ttys[0].c_str());
    for (int port = 0; port < ports; ++port) {
      std::string path = SocketPath(ctlIf, port);
      const char* state;
      struct stat st;
      if (lstat(path.c_str(), &st) != 0) {
        state = errno == EACCES ? "not accessible (permission denied)" : "missing";
      } else if (haveListening &&
                 std::find(listening.begin(), listening.end(), path) != listening.end()) {
        state = "served";
      } else if (lock.kind == LockInfo::kHeld) {
        state = "busy";
      } else if (lock.kind == LockInfo::kNone) {
        state = "stale";
      } else {
        state = "busy or stale (lock unknown)";
      }
      printf("  port %d: %s %s\n", port, state, path.c_str());
    }
  }
  fflush(stdout);
  return kOk;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  Options o = ParseArgs(argc, argv);

  if (o.list) {
    std::vector<SocketEntry> sockets = ListSockets();
    for (const SocketEntry& e : sockets) {
      printf("%s\t%d\t%s\n", e.ctlIf.c_str(), e.port, e.path.c_str());
    }
    if (sockets.empty()) {
      Notice("no port sockets in %s (is e1ctld running?)\n", SocketDir().c_str());
      return kNoSocket;
    }
    return kOk;
  }
  if (o.status) return Status(o.commands);

  std::string path = o.socketPath.empty() ? ResolveSocket(o.ctlIf, o.port) : o.socketPath;
  if (o.printPath) {
    printf("%s\n", path.c_str());
    return kOk;
  }

  std::deque<std::string> blocks;
  if (!o.fromStdin) {
    std::string joined;
    for (const std::string& c : o.commands) joined += (joined.empty() ? "" : ";") + c;
    std::vector<std::string> cmds = SplitCommands(joined);
    if (cmds.empty()) Fail(kUsage, "no command in the arguments (only separators)\n");
    std::vector<std::string> b = MakeBlocks(cmds);
    if (b.size() > 1) {
      Fail(kUsage,
           "%zu commands, %zu bytes: more than one block (at most %d commands and %zu bytes); "
           "the daemon replays only its last block, so send them from standard input\n",
           cmds.size(), joined.size() + 1, static_cast<int>(kMaxBlockCommands), kMaxBlockBytes);
    }
    WarnLongCommands(cmds);
    blocks.push_back(b[0]);
  }

  int fd = Connect(path, o.wait);
  int status = Session(fd, o, std::move(blocks), path);
  close(fd);
  return status;
}
