#include "lab/fs.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace lab {
namespace {

[[noreturn]] void Fail(const char* what, const std::string& path, int err) {
  throw std::runtime_error(std::string(what) + " " + path + ": " + strerror(err));
}

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> parts;
  size_t pos = 0;
  while (pos < path.size()) {
    size_t next = path.find('/', pos);
    if (next == std::string::npos) next = path.size();
    if (next > pos) parts.push_back(path.substr(pos, next - pos));
    pos = next + 1;
  }
  return parts;
}

}  // namespace

void MakeDirs(const std::string& path) {
  if (path.empty()) return;
  std::string partial = path[0] == '/' ? "" : ".";
  for (const std::string& part : SplitPath(path)) {
    partial += "/" + part;
    if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) Fail("mkdir", partial, errno);
  }
  if (!IsDirectory(path)) Fail("mkdir", path, ENOTDIR);
}

void WriteFile(const std::string& path, const std::string& content) {
  MakeDirs(DirName(path));
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) Fail("open", path, errno);
  size_t done = 0;
  while (done < content.size()) {
    ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = errno;
      close(fd);
      Fail("write", path, err);
    }
    done += static_cast<size_t>(n);
  }
  close(fd);
}

std::string ReadFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Fail("open", path, errno);
  std::string out;
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int err = errno;
      close(fd);
      Fail("read", path, err);
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return out;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void RemoveTree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return;
    Fail("lstat", path, errno);
  }
  if (S_ISDIR(st.st_mode)) {
    ClearDirectory(path);
    if (rmdir(path.c_str()) != 0 && errno != ENOENT) Fail("rmdir", path, errno);
  } else if (unlink(path.c_str()) != 0 && errno != ENOENT) {
    Fail("unlink", path, errno);
  }
}

void ClearDirectory(const std::string& dir) {
  for (const std::string& name : ListDirectory(dir)) RemoveTree(dir + "/" + name);
}

void MakeSymlink(const std::string& target, const std::string& link) {
  MakeDirs(DirName(link));
  if (unlink(link.c_str()) != 0 && errno != ENOENT) Fail("unlink", link, errno);
  if (symlink(target.c_str(), link.c_str()) != 0) Fail("symlink", link, errno);
}

std::string RelativePath(const std::string& fromDir, const std::string& to) {
  std::vector<std::string> from = SplitPath(fromDir);
  std::vector<std::string> dest = SplitPath(to);
  size_t common = 0;
  while (common < from.size() && common < dest.size() && from[common] == dest[common]) ++common;
  std::string out;
  for (size_t i = common; i < from.size(); ++i) out += out.empty() ? ".." : "/..";
  for (size_t i = common; i < dest.size(); ++i) out += (out.empty() ? "" : "/") + dest[i];
  return out.empty() ? "." : out;
}

std::vector<std::string> ListDirectory(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) {
    if (errno == ENOENT) return {};
    Fail("opendir", dir, errno);
  }
  std::vector<std::string> names;
  while (struct dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

std::string DirName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace lab
