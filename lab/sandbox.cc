#include "lab/sandbox.h"

#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "lab/fs.h"
#include "lab/process.h"

namespace lab {
namespace {

// Marks the re-executed child so that a missing PID namespace is detected
// instead of re-executing for ever.
constexpr const char* kMarker = "E1LAB_SANDBOXED";

bool g_inSandbox = false;
std::string g_daemonPath;

[[noreturn]] void Die(const std::string& why) {
  fprintf(stderr, "lab sandbox: %s\n", why.c_str());
  fflush(stderr);
  _exit(70);
}

void MountOrDie(const char* source, const char* target, const char* type, unsigned long flags,
                const char* data) {
  if (mount(source, target, type, flags, data) != 0) {
    Die(std::string("mount ") + type + " on " + target + ": " + strerror(errno));
  }
}

void MakeNode(const char* path, mode_t mode, unsigned major, unsigned minor) {
  if (mknod(path, S_IFCHR | mode, makedev(major, minor)) != 0) {
    Die(std::string("mknod ") + path + ": " + strerror(errno));
  }
  chmod(path, mode);  // the umask must not narrow it
}

void BringUpLoopback() {
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) Die(std::string("socket: ") + strerror(errno));
  struct ifreq ifr = {};
  strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  if (ioctl(s, SIOCGIFFLAGS, &ifr) != 0) Die(std::string("SIOCGIFFLAGS lo: ") + strerror(errno));
  ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
  if (ioctl(s, SIOCSIFFLAGS, &ifr) != 0) Die(std::string("SIOCSIFFLAGS lo: ") + strerror(errno));
  close(s);
}

void PrepareInside() {
  MountOrDie(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
  MountOrDie("lab-sys", "/sys", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755");
  MountOrDie("lab-run", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755");
  MountOrDie("lab-dev", "/dev", "tmpfs", MS_NOSUID, "mode=0755");
  // /var/run is a symlink to /run on Debian; a real directory gets its own
  // tmpfs so that lock files never reach the host.
  struct stat st;
  if (lstat("/var/run", &st) == 0 && S_ISDIR(st.st_mode)) {
    MountOrDie("lab-varrun", "/var/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755");
  }
  if (mkdir("/dev/pts", 0755) != 0) Die(std::string("mkdir /dev/pts: ") + strerror(errno));
  MountOrDie("devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC,
             "newinstance,ptmxmode=0666,mode=0620");
  if (symlink("pts/ptmx", "/dev/ptmx") != 0) Die(std::string("ptmx: ") + strerror(errno));
  MakeNode("/dev/null", 0666, 1, 3);
  MakeNode("/dev/zero", 0666, 1, 5);
  MakeNode("/dev/full", 0666, 1, 7);
  MakeNode("/dev/random", 0666, 1, 8);
  MakeNode("/dev/urandom", 0666, 1, 9);
  MakeNode("/dev/tty", 0666, 5, 0);
  if (symlink("/proc/self/fd", "/dev/fd") != 0 || symlink("/proc/self/fd/0", "/dev/stdin") != 0 ||
      symlink("/proc/self/fd/1", "/dev/stdout") != 0 ||
      symlink("/proc/self/fd/2", "/dev/stderr") != 0) {
    Die(std::string("fd links: ") + strerror(errno));
  }
  BringUpLoopback();
}

}  // namespace

void EnterSandbox(int argc, char** argv) {
  if (getpid() == 1 && getenv(kMarker) != nullptr) {
    unsetenv(kMarker);
    PrepareInside();
    g_inSandbox = true;
    return;
  }
  if (getenv(kMarker) != nullptr) Die("re-executed but not PID 1: no PID namespace");
  if (geteuid() != 0) Die("needs root (mount, net and PID namespaces); run as root");

  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) Die(std::string("readlink /proc/self/exe: ") + strerror(errno));
  self[n] = '\0';

  std::vector<std::string> args = {
      "unshare",      "--mount",      "--net",         "--pid",   "--fork",
      "--mount-proc", "--kill-child", "--propagation", "private", self};
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  std::vector<char*> cargs;
  cargs.reserve(args.size() + 1);
  for (std::string& a : args) cargs.push_back(a.data());
  cargs.push_back(nullptr);
  setenv(kMarker, "1", 1);
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) Die(std::string("fork: ") + strerror(errno));
  if (pid == 0) {
    execvp("unshare", cargs.data());
    fprintf(stderr, "lab sandbox: exec unshare: %s\n", strerror(errno));
    _exit(71);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) Die(std::string("waitpid: ") + strerror(errno));
  }
  if (WIFEXITED(status)) {
    if (WEXITSTATUS(status) != 0) {
      fprintf(stderr, "lab sandbox: sandboxed run exited with status %d\n", WEXITSTATUS(status));
    }
    exit(WEXITSTATUS(status));
  }
  fprintf(stderr, "lab sandbox: sandboxed run killed by signal %d\n", WTERMSIG(status));
  exit(128 + WTERMSIG(status));
}

bool InSandbox() {
  return g_inSandbox;
}

void ResetSandbox() {
  if (!g_inSandbox) throw std::runtime_error("ResetSandbox outside the sandbox");
  ClearDirectory("/sys");
  ClearDirectory("/run");
  for (const std::string& name : ListDirectory("/dev")) {
    if (name.rfind("ttyACM", 0) == 0) RemoveTree("/dev/" + name);
  }
  ReapOrphans();
}

void SetDaemonPath(const std::string& path) {
  g_daemonPath = path;
}
const std::string& DaemonPath() {
  return g_daemonPath;
}

}  // namespace lab
