// What the control socket suites share: a request to a controller's
// control socket as any client makes it, and the status document read.
#ifndef E1CTLD_TESTS_CONTROL_CONTROL_LAB_H_
#define E1CTLD_TESTS_CONTROL_CONTROL_LAB_H_

#include <gtest/gtest.h>

#include <string>

#include "lab/lab.h"
#include "lab/rig_test.h"
#include "tools/e1ctl/json_reader.h"

namespace control_lab {

// Sends `line` and reads the answer to the daemon's end of the connection.
inline std::string Ask(const std::string& path, const std::string& line) {
  lab::PortClient c;
  if (!c.ConnectWithin(path, lab::Ms(3000))) return "(no connection)";
  c.Send(line + "\n");
  c.WaitForEof(lab::Ms(5000));
  return c.Buffer();
}

// The status document of the rig's controller `ctl`; a failure when it is
// not JSON.
inline e1ctl::JsonValue Status(lab::Rig& rig, size_t ctl = 0) {
  std::string text = Ask(rig.Controller(ctl).ControlPath(), "status");
  e1ctl::JsonValue doc;
  std::string error;
  EXPECT_TRUE(!text.empty() && text.back() == '\n') << text;
  EXPECT_TRUE(e1ctl::ReadJson(text, &doc, &error)) << error << ": " << text;
  return doc;
}

// The counter `key` of port `port` in the document.
inline long long PortCount(const e1ctl::JsonValue& doc, int port, const std::string& key) {
  const e1ctl::JsonValue* ports = doc.Get("ports");
  if (ports == nullptr || ports->items.size() <= static_cast<size_t>(port)) return -1;
  return ports->items[static_cast<size_t>(port)].Int(key);
}

inline long long UartCount(const e1ctl::JsonValue& doc, const std::string& key) {
  const e1ctl::JsonValue* u = doc.Get("uart");
  return u != nullptr ? u->Int(key) : -1;
}

}  // namespace control_lab

#endif  // E1CTLD_TESTS_CONTROL_CONTROL_LAB_H_
