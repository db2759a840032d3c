// e1sim: a stand-alone simulated E1 controller on a pseudo-terminal, for
// trying the daemon (or any client of the control UART) by hand.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "lab/sim_controller.h"

namespace {

constexpr const char* kHelp =
    "Usage: e1sim [OPTION]...\n"
    "Plays the control UART of an E1 controller on a pseudo-terminal, for developing\n"
    "and trying programs that talk to a controller without the hardware.\n"
    "\n"
    "e1sim creates a pty and prints where its slave end is, for example\n"
    "  e1sim: controller tty at /dev/pts/3 (linked as /dev/ttyACM9)\n"
    "Open that path as the controller's tty. e1sim prints each line it receives as\n"
    "\"<- \" and the line, and each line it sends as \"-> \" and the line; bytes outside\n"
    "printable ASCII show as \\xHH.\n"
    "\n"
    "Answers:\n"
    "  --reply FORMAT  answer each \"CMD:port E1.<n> <text>\" line with FORMAT and a\n"
    "                  line feed; %p is <n>, %t is <text>, %l the whole line,\n"
    "                  %% a percent sign (default: \"ACK:E1.%p:%t\", the command\n"
    "                  text as the reply of its own port); other lines get no answer\n"
    "  --echo          send every received line back instead\n"
    "  --silent        never answer\n"
    "\n"
    "Standard input: each line typed is sent to the tty as it is, followed by a line\n"
    "feed. Escapes in it: \\n, \\r, \\\\, \\xHH (\\x1a for Ctrl-Z); a line ending in \\c\n"
    "is sent without the line feed. For example:\n"
    "  ACK:E1.1:LOS alarm   an unsolicited reply for port 1\n"
    "  ACK:E1.0:EOF         the end-of-file reply: e1ctld closes port 0's client\n"
    "  ACK:E1.0:par\\c       the first piece of a line, the rest follows later\n"
    "\n"
    "Other options:\n"
    "  --link PATH     also make PATH (e.g. /dev/ttyACM9) a symlink to the slave;\n"
    "                  removed again on exit\n"
    "  -h, --help      print this help and exit\n"
    "\n"
    "e1sim runs until SIGINT or SIGTERM; the end of standard input does not stop it.\n"
    "Exit status: 0 after SIGINT or SIGTERM, 1 when the pty cannot be set up,\n"
    "2 for a bad option.\n"
    "\n"
    "e1ctld finds controllers in sysfs by their USB ids and does not discover e1sim\n"
    "by itself; `make demo` runs the daemon against this simulator in a sandbox with\n"
    "a fake sysfs.\n";

std::mutex g_printMu;

void Print(const std::string& prefix, const std::string& text) {
  std::lock_guard<std::mutex> lock(g_printMu);
  printf("%s", prefix.c_str());
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      putchar(c);
    } else {
      printf("\\x%02x", c);
    }
  }
  putchar('\n');
  fflush(stdout);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes the escapes of one input line; the line feed is appended unless
// the line ends in \c.
std::string DecodeLine(const std::string& line) {
  std::string out;
  bool newline = true;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] != '\\' || i + 1 == line.size()) {
      out += line[i];
      continue;
    }
    char e = line[++i];
    if (e == 'n') {
      out += '\n';
    } else if (e == 'r') {
      out += '\r';
    } else if (e == '\\') {
      out += '\\';
    } else if (e == 'c' && i + 1 == line.size()) {
      newline = false;
    } else if (e == 'x' && i + 2 < line.size() && HexValue(line[i + 1]) >= 0 &&
               HexValue(line[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(line[i + 1]) * 16 + HexValue(line[i + 2]));
      i += 2;
    } else {
      out += '\\';
      out += e;
    }
  }
  if (newline) out += '\n';
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::string link;
  std::string format = "ACK:E1.%p:%t";
  enum { kFormat, kEcho, kSilent } mode = kFormat;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      fputs(kHelp, stdout);
      return 0;
    } else if (a == "--link" && i + 1 < argc) {
      link = argv[++i];
    } else if (a == "--reply" && i + 1 < argc) {
      format = argv[++i];
      mode = kFormat;
    } else if (a == "--echo") {
      mode = kEcho;
    } else if (a == "--silent") {
      mode = kSilent;
    } else {
      fprintf(stderr, "e1sim: unknown or incomplete option '%s' (see --help)\n", a.c_str());
      return 2;
    }
  }

  // SIGINT and SIGTERM arrive through a signalfd; block them before any
  // thread exists so that every thread inherits the mask.
  sigset_t sigs;
  sigemptyset(&sigs);
  sigaddset(&sigs, SIGINT);
  sigaddset(&sigs, SIGTERM);
  sigprocmask(SIG_BLOCK, &sigs, nullptr);
  int sfd = signalfd(-1, &sigs, SFD_CLOEXEC);
  if (sfd < 0) {
    fprintf(stderr, "e1sim: signalfd: %s\n", strerror(errno));
    return 1;
  }

  lab::ReplyRule inner = mode == kEcho     ? lab::EchoReplyRule()
                         : mode == kFormat ? lab::FormatReplyRule(format)
                                           : lab::ReplyRule();
  lab::SimController::Options opts;
  opts.devDir = "";
  opts.linkPath = link;
  opts.reply = [inner](const std::string& line) -> std::optional<std::string> {
    Print("<- ", line);
    std::optional<std::string> reply;
    if (inner) reply = inner(line);
    if (reply) Print("-> ", *reply);
    return reply;
  };
  try {
    lab::SimController sim(opts);
    {
      std::lock_guard<std::mutex> lock(g_printMu);
      printf("e1sim: controller tty at %s", sim.SlavePath().c_str());
      if (!link.empty()) printf(" (linked as %s)", link.c_str());
      printf("\n");
      fflush(stdout);
    }
    std::string pending;
    bool stdinOpen = true;
    for (;;) {
      struct pollfd p[2] = {{sfd, POLLIN, 0}, {stdinOpen ? 0 : -1, POLLIN, 0}};
      if (poll(p, 2, -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (p[0].revents != 0) break;
      if (p[1].revents == 0) continue;
      char buf[1024];
      ssize_t n = read(0, buf, sizeof buf);
      if (n <= 0) {
        stdinOpen = false;
        continue;
      }
      pending.append(buf, static_cast<size_t>(n));
      for (size_t nl = pending.find('\n'); nl != std::string::npos; nl = pending.find('\n')) {
        std::string bytes = DecodeLine(pending.substr(0, nl));
        pending.erase(0, nl + 1);
        Print("-> ", bytes);
        if (!sim.Send(bytes)) Print("e1sim: send failed: ", bytes);
      }
    }
  } catch (const std::exception& e) {
    fprintf(stderr, "e1sim: %s\n", e.what());
    return 1;
  }
  return 0;
}
