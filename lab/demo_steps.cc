#include "lab/demo_steps.h"

#include <stdio.h>

namespace demo {
namespace {

void PrintBlock(const std::string& head, const std::string& text) {
  std::string pad(head.size(), ' ');
  size_t start = 0;
  bool first = true;
  for (;;) {
    size_t nl = text.find('\n', start);
    std::string line = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
    printf("%s%s\n", first ? head.c_str() : pad.c_str(), line.c_str());
    first = false;
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
}

}  // namespace

void Steps::Begin(const std::string& title, const std::string& expected) {
  ++number_;
  stepOk_ = true;
  printf("\n[%d] %s\n", number_, title.c_str());
  PrintBlock("    expected: ", expected);
  fflush(stdout);
}

void Steps::Saw(const std::string& label, const std::string& text) {
  std::string shown = text;
  if (!shown.empty() && shown.back() == '\n') shown.pop_back();
  PrintBlock("    " + label + ": ", shown.empty() ? "(nothing)" : shown);
  fflush(stdout);
}

bool Steps::Check(bool ok, const std::string& what) {
  printf("    %s %s\n", ok ? "[ok]    " : "[FAILED]", what.c_str());
  fflush(stdout);
  if (!ok) stepOk_ = false;
  return ok;
}

void Steps::End() {
  if (!stepOk_) failed_.push_back(number_);
  printf("    => %s\n", stepOk_ ? "as expected" : "NOT as expected");
  fflush(stdout);
}

std::string TakeLines(lab::PortClient* c, size_t lines, std::chrono::milliseconds timeout) {
  c->ReadLines(lines, timeout);
  std::string out = c->Buffer();
  c->ClearBuffer();
  return out;
}

std::string Lines(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += l + "\n";
  return out;
}

std::string Grep(const std::string& text, const std::vector<std::string>& needles) {
  std::string out;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    std::string line = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
    for (const std::string& n : needles) {
      if (line.find(n) != std::string::npos) {
        out += line + "\n";
        break;
      }
    }
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  return out;
}

std::string Contains(const std::string& text, const std::string& needle) {
  return text.find(needle) != std::string::npos ? needle : "";
}

}  // namespace demo
