// e1demo's presentation: numbered steps with what they expect, what was
// seen and one line per check, and the small text helpers the steps use to
// show what they saw.
#ifndef E1CTLD_LAB_DEMO_STEPS_H_
#define E1CTLD_LAB_DEMO_STEPS_H_

#include <chrono>
#include <string>
#include <vector>

#include "lab/port_client.h"

namespace demo {

class Steps {
 public:
  // Starts step number Count() + 1 and prints what it should show.
  void Begin(const std::string& title, const std::string& expected);
  // Prints what was seen under `label`; "(nothing)" for an empty text.
  void Saw(const std::string& label, const std::string& text);
  // Prints one check; a false one fails the step. Returns `ok`.
  bool Check(bool ok, const std::string& what);
  void End();

  int Count() const { return number_; }
  const std::vector<int>& Failed() const { return failed_; }

 private:
  int number_ = 0;
  bool stepOk_ = true;
  std::vector<int> failed_;
};

// Reads until the client holds `lines` lines, the peer ends the connection,
// or the time is up; returns what it holds and empties it.
std::string TakeLines(lab::PortClient* c, size_t lines, std::chrono::milliseconds timeout);
// The lines, each with its line feed.
std::string Lines(const std::vector<std::string>& lines);
// The lines of `text` that contain one of `needles`.
std::string Grep(const std::string& text, const std::vector<std::string>& needles);
// `needle` when `text` holds it, else "".
std::string Contains(const std::string& text, const std::string& needle);

}  // namespace demo

#endif  // E1CTLD_LAB_DEMO_STEPS_H_
