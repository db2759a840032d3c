#include "tools/e1ctl/exposition.h"

namespace e1ctl {

std::string EscapeLabelValue(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string EscapeHelp(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string MillisecondsAsSeconds(long long ms) {
  std::string out = ms < 0 ? "-" : "";
  unsigned long long m = ms < 0 ? 0ULL - static_cast<unsigned long long>(ms) : ms;
  out += std::to_string(m / 1000);
  unsigned long long frac = m % 1000;
  if (frac != 0) {
    std::string digits = std::to_string(1000 + frac).substr(1);  // three digits
    while (digits.back() == '0') digits.pop_back();
    out += "." + digits;
  }
  return out;
}

void Exposition::Declare(const std::string& name, const std::string& type,
                         const std::string& help) {
  for (const Family& f : families_) {
    if (f.name == name) return;
  }
  families_.push_back(Family{name, type, help, {}});
}

bool Exposition::Add(const std::string& name, const Labels& labels, const std::string& value) {
  for (Family& f : families_) {
    if (f.name != name) continue;
    std::string line = name;
    if (!labels.empty()) {
      line += '{';
      for (size_t i = 0; i < labels.size(); ++i) {
        if (i > 0) line += ',';
        line += labels[i].first + "=\"" + EscapeLabelValue(labels[i].second) + "\"";
      }
      line += '}';
    }
    line += ' ' + value + '\n';
    f.samples.push_back(std::move(line));
    return true;
  }
  return false;
}

std::string Exposition::Text() const {
  std::string out;
  for (const Family& f : families_) {
    if (f.samples.empty()) continue;
    out += "# HELP " + f.name + ' ' + EscapeHelp(f.help) + '\n';
    out += "# TYPE " + f.name + ' ' + f.type + '\n';
    for (const std::string& s : f.samples) out += s;
  }
  return out;
}

}  // namespace e1ctl
