// Arbitrary command lines through argument reordering and option matching.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "daemon/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args = {"e1ctld"};
  std::string cur;
  for (size_t i = 0; i < size && args.size() < 64; ++i) {
    if (data[i] == 0) {
      args.push_back(cur);
      cur.clear();
    } else {
      cur += static_cast<char>(data[i]);
    }
  }
  args.push_back(cur);
  std::vector<char*> argv;
  argv.reserve(args.size());
  for (auto& s : args) argv.push_back(s.data());
  std::vector<char*> before = argv;
  int argc = static_cast<int>(argv.size());
  int start = ReorderArgs(argc, argv.data());
  if (start < 1 || start > argc) abort();
  // Positionals first, options after, each group in its original order.
  std::vector<char*> positionals, options;
  for (int i = 1; i < argc; ++i) (before[i][0] == '-' ? options : positionals).push_back(before[i]);
  if (start != static_cast<int>(positionals.size()) + 1) abort();
  for (size_t i = 0; i < positionals.size(); ++i) {
    if (argv[1 + i] != positionals[i]) abort();
  }
  for (size_t i = 0; i < options.size(); ++i) {
    if (argv[1 + positionals.size() + i] != options[i]) abort();
  }
  for (const char* o : {"h", "v", "s", "p", "e", "k", "d", "n", "i", "q"}) {
    bool expect = false;
    for (size_t i = 0; i < options.size(); ++i) {
      if (strcasecmp(options[i] + 1, o) == 0) expect = true;
    }
    if (HasShortOption(argc, argv.data(), start, o) != expect) abort();
  }
  HasLongOption(argc, argv.data(), start, "debugmsg");
  return 0;
}
