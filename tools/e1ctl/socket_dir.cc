#include "tools/e1ctl/socket_dir.h"

#include <dirent.h>
#include <errno.h>
#include <grp.h>
#include <sys/stat.h>

#include "tools/e1ctl/exit_status.h"
#include "tools/e1ctl/report.h"

namespace e1ctl {

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

bool PathExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::vector<SocketEntry> ListSockets(int* error) {
  std::vector<SocketEntry> out;
  DIR* d = opendir(SocketDir().c_str());
  if (error != nullptr) *error = d == nullptr ? errno : 0;
  if (d == nullptr) return out;
  while (struct dirent* de = readdir(d)) {
    SocketEntry e;
    if (ParseSocketName(de->d_name, &e)) out.push_back(e);
  }
  closedir(d);
  SortSocketEntries(&out);
  return out;
}

std::string ResolveSocket(const std::string& ctlIf, int port) {
  std::string exact = SocketPath(ctlIf, port);
  if (PathExists(exact)) return exact;
  std::vector<std::string> found = SocketsWithPrefix(ListSockets(), ctlIf, port);
  if (found.size() == 1) return found[0];
  if (found.size() > 1) {
    std::string all;
    for (const std::string& f : found) all += "\n  " + f;
    Fail(kUsage, "controller '%s' names several sockets of port %d:%s\n", ctlIf.c_str(), port,
         all.c_str());
  }
  return exact;
}

}  // namespace e1ctl
