// The shipped documentation against the programs: the options that each
// program's --help lists and those of its man page, the exit statuses of
// e1ctl and e1sim, the socket names and the version in e1ctld(8), the
// udev rule against the daemon's table of known controllers, and the
// Debian changelog's version against the daemon's.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/run_paths.h"
#include "daemon/command_line.h"
#include "discovery/known_controllers.h"

namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  EXPECT_TRUE(in.good()) << path;
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string RunHelp(const std::string& binary) {
  std::string out;
  FILE* p = popen((binary + " --help").c_str(), "r");
  EXPECT_NE(p, nullptr) << binary;
  if (p == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  EXPECT_EQ(pclose(p), 0) << binary << " --help";
  return out;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream ss(text);
  for (std::string line; std::getline(ss, line);) lines.push_back(line);
  return lines;
}

std::string ReplaceAll(std::string s, const std::string& from, const std::string& to) {
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) {
    s.replace(at, from.size(), to);
  }
  return s;
}

// Roff text as plain text: "\-" is '-', font changes and quotes go.
std::string Unroff(std::string s) {
  for (const char* font : {"\\fB", "\\fI", "\\fR", "\\fP"}) s = ReplaceAll(s, font, "");
  s = ReplaceAll(s, "\\-", "-");
  return ReplaceAll(s, "\"", " ");
}

bool IsAlpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// "-x" and "--name" words: a dash at the start or after a blank or comma,
// a letter after the dashes.
std::set<std::string> OptionTokens(const std::string& text) {
  std::set<std::string> out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '-' || (i > 0 && text[i - 1] != ' ' && text[i - 1] != ',')) continue;
    size_t j = i + 1;
    if (j < text.size() && text[j] == '-') ++j;
    if (j >= text.size() || !IsAlpha(text[j])) continue;
    while (j < text.size() && (IsAlpha(text[j]) || IsDigit(text[j]) || text[j] == '-')) ++j;
    out.insert(text.substr(i, j - i));
    i = j;
  }
  return out;
}

bool AllDigits(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

// Options of a --help text: the lines that begin (after blanks) with '-',
// up to the gap before their description.
std::set<std::string> HelpOptions(const std::string& help) {
  std::set<std::string> out;
  for (const std::string& line : SplitLines(help)) {
    size_t start = line.find_first_not_of(' ');
    if (start == std::string::npos || start == 0 || line[start] != '-') continue;
    size_t gap = line.find("  ", start);
    for (const std::string& o : OptionTokens(line.substr(start, gap - start))) out.insert(o);
  }
  return out;
}

// The lines of one section (".SH NAME" up to the next ".SH").
std::vector<std::string> Section(const std::string& page, const std::string& name) {
  std::vector<std::string> out;
  bool in = false;
  for (const std::string& line : SplitLines(page)) {
    if (line.rfind(".SH", 0) == 0) {
      in = Unroff(line.substr(3)).find(name) != std::string::npos;
      continue;
    }
    if (in) out.push_back(line);
  }
  return out;
}

// The tags of the .TP entries of a section.
std::vector<std::string> Tags(const std::vector<std::string>& section) {
  std::vector<std::string> out;
  for (size_t i = 0; i + 1 < section.size(); ++i) {
    if (section[i] == ".TP") out.push_back(Unroff(section[i + 1]));
  }
  return out;
}

std::set<std::string> ManOptions(const std::string& page) {
  std::set<std::string> out;
  for (const std::string& tag : Tags(Section(page, "OPTIONS"))) {
    for (const std::string& o : OptionTokens(tag)) out.insert(o);
  }
  return out;
}

std::set<int> ManExitStatuses(const std::string& page) {
  std::set<int> out;
  for (const std::string& line : Section(page, "EXIT STATUS")) {
    if (line.rfind(".B ", 0) == 0 && AllDigits(line.substr(3)))
      out.insert(std::stoi(line.substr(3)));
  }
  return out;
}

// "  0  text" lines after "Exit status:" in a help text, or the numbers of
// an "Exit status: 0 ..., 1 ..., 2 ..." sentence.
std::set<int> HelpExitStatuses(const std::string& help) {
  std::set<int> out;
  size_t at = help.find("Exit status:");
  if (at == std::string::npos) return out;
  std::string rest = help.substr(at + 12);
  for (const std::string& line : SplitLines(rest)) {
    size_t gap = line.find("  ", 2);
    if (line.rfind("  ", 0) == 0 && gap != std::string::npos &&
        AllDigits(line.substr(2, gap - 2))) {
      out.insert(std::stoi(line.substr(2, gap - 2)));
    }
  }
  if (out.empty()) {
    std::stringstream words(rest.substr(0, rest.find("\n\n")));
    for (std::string w; words >> w;) {
      if (w.back() == ',') w.pop_back();
      if (AllDigits(w)) out.insert(std::stoi(w));
    }
  }
  return out;
}

struct Program {
  std::string binary;
  std::string page;
};

std::vector<Program> Programs() {
  return {{E1CTLD_PATH, E1_SOURCE_DIR "/packaging/e1ctld.8"},
          {E1CTL_PATH, E1_SOURCE_DIR "/packaging/e1ctl.1"},
          {E1SIM_PATH, E1_SOURCE_DIR "/packaging/e1sim.1"}};
}

TEST(Docs, HelpAndManPageListTheSameOptions) {
  for (const Program& p : Programs()) {
    std::set<std::string> help = HelpOptions(RunHelp(p.binary));
    std::set<std::string> man = ManOptions(ReadText(p.page));
    // e1ctld's help text is fixed for the scripts that read it and does not
    // list --debugmsg; its man page does.
    if (p.binary == E1CTLD_PATH) {
      EXPECT_EQ(help.count("--debugmsg"), 0u);
      help.insert("--debugmsg");
    }
    EXPECT_GE(help.size(), 4u) << p.binary << ": the help parser found too little";
    EXPECT_EQ(help, man) << p.binary << " --help against " << p.page;
  }
}

TEST(Docs, ExitStatusesOfTheToolsMatchTheirManPages) {
  for (const Program& p : Programs()) {
    if (p.binary == E1CTLD_PATH) continue;  // its help names no statuses
    std::set<int> help = HelpExitStatuses(RunHelp(p.binary));
    std::set<int> man = ManExitStatuses(ReadText(p.page));
    EXPECT_GE(help.size(), 3u) << p.binary;
    EXPECT_EQ(help, man) << p.binary << " --help against " << p.page;
  }
}

TEST(Docs, DaemonManPageCarriesTheRealNamesAndVersion) {
  std::string page = Unroff(ReadText(E1_SOURCE_DIR "/packaging/e1ctld.8"));
  EXPECT_NE(page.find(std::string("PREFIX##") + kSocketPrefix + "\n"), std::string::npos);
  EXPECT_NE(page.find(std::string("SUFFIX##") + kSocketSuffix + "\n"), std::string::npos);
  EXPECT_NE(page.find(std::string(kSocketPrefix) + "<n>" + kSocketSuffix + "<CTLIF>"),
            std::string::npos);
  EXPECT_NE(page.find(std::string("e1ctld ") + kVersion), std::string::npos);
  for (const char* page1 : {"/packaging/e1ctl.1", "/packaging/e1sim.1"}) {
    std::string text = ReadText(std::string(E1_SOURCE_DIR) + page1);
    EXPECT_NE(text.find(std::string("e1ctld ") + kVersion), std::string::npos) << page1;
  }
}

// Each known controller gets one marking rule; the rest of the file is the
// skip of remove events, the rule that wants the daemon instance, and the
// label. What the rules do on a device is checked by the package test
// (udevadm test).
TEST(Docs, DebianChangelogCarriesTheDaemonVersion) {
  std::string first = SplitLines(ReadText(E1_SOURCE_DIR "/debian/changelog")).at(0);
  std::string version = kVersion;
  for (char& c : version) {
    if (c == '_') c = '~';  // Debian orders "0.9~rc4" before "0.9"
  }
  EXPECT_EQ(first.substr(0, first.find(')') + 1), "e1ctld (" + version + ")");
}

TEST(Docs, UdevRuleMarksExactlyTheKnownControllers) {
  std::string rules = ReadText(E1_SOURCE_DIR "/packaging/70-e1ctld.rules");
  std::set<std::string> marked;
  bool wants = false;
  for (const std::string& line : SplitLines(rules)) {
    if (line.empty() || line[0] == '#') continue;
    char vid[5] = {}, pid[5] = {};
    int end = -1;
    sscanf(line.c_str(),
           "ATTRS{idVendor}==\"%4[0-9a-f]\", ATTRS{idProduct}==\"%4[0-9a-f]\", "
           "ENV{ID_MM_DEVICE_IGNORE}=\"1\", ENV{E1CTLD_CONTROLLER}=\"1\"%n",
           vid, pid, &end);
    if (end == static_cast<int>(line.size()) && strlen(vid) == 4 && strlen(pid) == 4) {
      marked.insert(std::string(vid) + ":" + pid);
    } else if (line.find("SYSTEMD_WANTS") != std::string::npos) {
      EXPECT_EQ(line,
                "SUBSYSTEM==\"tty\", KERNEL==\"ttyACM*\", ENV{E1CTLD_CONTROLLER}==\"1\", "
                "SUBSYSTEMS==\"usb\", DRIVERS==\"cdc_acm\", TAG+=\"systemd\", "
                "ENV{SYSTEMD_WANTS}+=\"e1ctld@%b.service\"");
      wants = true;
    } else {
      EXPECT_TRUE(line == "ACTION==\"remove\", GOTO=\"e1ctld_end\"" ||
                  line == "LABEL=\"e1ctld_end\"")
          << "unexpected rule: " << line;
    }
  }
  EXPECT_TRUE(wants) << "no rule wants the daemon instance";
  std::set<std::string> known;
  for (int i = 0; i < kKnownControllerCount; ++i) {
    char id[16];
    snprintf(id, sizeof id, "%04x:%04x", static_cast<unsigned>(kKnownControllers[i].vid),
             static_cast<unsigned>(kKnownControllers[i].pid));
    known.insert(id);
  }
  EXPECT_EQ(marked, known);
}

}  // namespace
