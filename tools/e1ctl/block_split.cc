#include "tools/e1ctl/block_split.h"

#include <stdio.h>

namespace e1ctl {

namespace {

bool IsSeparator(char c) {
  return c == ';' || c == '\r' || c == '\n';
}

}  // namespace

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

bool DroppedByDaemon(const std::string& command) {
  return command.size() > kMaxCommandChars;
}

bool ArgumentBlock(const std::vector<std::string>& args, std::string* block,
                   std::vector<std::string>* cmds, std::string* error) {
  std::string joined;
  for (const std::string& c : args) joined += (joined.empty() ? "" : ";") + c;
  *cmds = SplitCommands(joined);
  if (cmds->empty()) {
    *error = "no command in the arguments (only separators)\n";
    return false;
  }
  std::vector<std::string> b = MakeBlocks(*cmds);
  if (b.size() > 1) {
    char text[256];
    snprintf(text, sizeof text,
             "%zu commands, %zu bytes: more than one block (at most %d commands and %zu bytes); "
             "the daemon replays only its last block, so send them from standard input\n",
             cmds->size(), joined.size() + 1, static_cast<int>(kMaxBlockCommands), kMaxBlockBytes);
    *error = text;
    return false;
  }
  *block = b[0];
  return true;
}

}  // namespace e1ctl
