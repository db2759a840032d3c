// Prometheus' text exposition format (version 0.0.4), written family by
// family: each family's HELP and TYPE lines, then all of its samples,
// whatever order they were added in. Pure: builds text only.
#ifndef E1CTLD_TOOLS_E1CTL_EXPOSITION_H_
#define E1CTLD_TOOLS_E1CTL_EXPOSITION_H_

#include <string>
#include <utility>
#include <vector>

namespace e1ctl {

using Labels = std::vector<std::pair<std::string, std::string>>;

// A label value as the format writes it between double quotes: backslash,
// double quote and line feed escaped as \\, \" and \n.
std::string EscapeLabelValue(const std::string& value);

// HELP text: backslash and line feed escaped as \\ and \n.
std::string EscapeHelp(const std::string& text);

// Milliseconds as seconds, exactly: 1700000000123 -> "1700000000.123",
// 5000 -> "5", 20 -> "0.02".
std::string MillisecondsAsSeconds(long long ms);

class Exposition {
 public:
  // Declares a family ("counter" or "gauge"); families are written in the
  // order they were declared. Declaring a name twice keeps the first.
  void Declare(const std::string& name, const std::string& type, const std::string& help);

  // A sample of the declared family `name` (false, nothing added, for a
  // family not declared). `value` is written as given.
  bool Add(const std::string& name, const Labels& labels, const std::string& value);

  // Every family with at least one sample; "" when none has any.
  std::string Text() const;

 private:
  struct Family {
    std::string name, type, help;
    std::vector<std::string> samples;
  };
  std::vector<Family> families_;
};

}  // namespace e1ctl

#endif  // E1CTLD_TOOLS_E1CTL_EXPOSITION_H_
