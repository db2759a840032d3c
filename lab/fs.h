// Small file-system helpers for building fake device trees in the lab.
// Every helper throws std::runtime_error with the path and the system's
// error text when it fails, so that a broken fixture stops the test loudly.
#ifndef E1CTLD_LAB_FS_H_
#define E1CTLD_LAB_FS_H_

#include <string>
#include <vector>

namespace lab {

// Creates the directory and all missing parents (like mkdir -p).
void MakeDirs(const std::string& path);

// Writes `content` to `path`, replacing the file, creating parents.
void WriteFile(const std::string& path, const std::string& content);

// Reads a whole file; throws when it cannot be opened.
std::string ReadFile(const std::string& path);

// True when something (a file, a directory or a symlink, dangling or not)
// exists at `path`.
bool Exists(const std::string& path);
bool IsDirectory(const std::string& path);

// Removes a file, a symlink or a whole directory tree; nothing when absent.
void RemoveTree(const std::string& path);

// Removes everything inside `dir` but keeps `dir` itself (a mount point).
void ClearDirectory(const std::string& dir);

// Creates (or replaces) the symlink `link` pointing at `target`.
void MakeSymlink(const std::string& target, const std::string& link);

// The path of `to` written relative to the directory `fromDir`; both must
// be absolute and lexically normal (no "." or ".." parts).
std::string RelativePath(const std::string& fromDir, const std::string& to);

// Names in a directory (without "." and ".."), sorted bytewise.
std::vector<std::string> ListDirectory(const std::string& dir);

// The directory part of a path ("/a/b/c" -> "/a/b").
std::string DirName(const std::string& path);

}  // namespace lab

#endif  // E1CTLD_LAB_FS_H_
