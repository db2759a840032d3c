#include "tools/e1ctl/metrics.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tools/e1ctl/exposition.h"
#include "tools/e1ctl/metrics_test_samples.h"
#include "tools/e1ctl/status_document.h"

namespace e1ctl {
namespace {

using Strings = std::vector<std::string>;

Strings Lines(const std::string& text) {
  Strings out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

bool Has(const std::string& text, const std::string& line) {
  for (const std::string& l : Lines(text)) {
    if (l == line) return true;
  }
  return false;
}

TEST(Exposition, ValuesAndTextAreEscapedAsTheFormatWants) {
  EXPECT_EQ(EscapeLabelValue("plain 1-1.3:1.0"), "plain 1-1.3:1.0");
  EXPECT_EQ(EscapeLabelValue("a\\b\"c\nd\te"), "a\\\\b\\\"c\\nd\te");
  EXPECT_EQ(EscapeHelp("a\\b\"c\nd"), "a\\\\b\"c\\nd");
  EXPECT_EQ(MillisecondsAsSeconds(1700000000123), "1700000000.123");
  EXPECT_EQ(MillisecondsAsSeconds(1700000000120), "1700000000.12");
  EXPECT_EQ(MillisecondsAsSeconds(5000), "5");
  EXPECT_EQ(MillisecondsAsSeconds(20), "0.02");
  EXPECT_EQ(MillisecondsAsSeconds(1), "0.001");
  EXPECT_EQ(MillisecondsAsSeconds(0), "0");
  EXPECT_EQ(MillisecondsAsSeconds(-1500), "-1.5");
}

TEST(Exposition, FamiliesComeInDeclaredOrderWithTheirSamplesTogether) {
  Exposition x;
  x.Declare("b_total", "counter", "B's help.");
  x.Declare("a", "gauge", "A's\nhelp.");
  x.Declare("empty", "gauge", "Never sampled.");
  x.Declare("a", "counter", "A declared twice keeps the first.");
  EXPECT_TRUE(x.Add("a", {{"controller", "x"}}, "1"));
  EXPECT_TRUE(x.Add("b_total", {{"controller", "x"}, {"port", "0"}}, "7"));
  EXPECT_TRUE(x.Add("a", {{"controller", "y\""}}, "0"));
  EXPECT_TRUE(x.Add("b_total", {}, "8"));
  EXPECT_FALSE(x.Add("undeclared", {}, "1"));
  EXPECT_EQ(x.Text(),
            "# HELP b_total B's help.\n"
            "# TYPE b_total counter\n"
            "b_total{controller=\"x\",port=\"0\"} 7\n"
            "b_total 8\n"
            "# HELP a A's\\nhelp.\n"
            "# TYPE a gauge\n"
            "a{controller=\"x\"} 1\n"
            "a{controller=\"y\\\"\"} 0\n");
  EXPECT_EQ(Exposition().Text(), "");
}

TEST(StatusDocument, ReadsEveryMemberOfTheDocument) {
  ControllerStatus s;
  std::string error = "stale";
  ASSERT_TRUE(ReadStatusDocument(kSampleOpenController, &s, &error)) << error;
  EXPECT_EQ(error, "");
  EXPECT_EQ(s.version, "0.9_rc4");
  EXPECT_EQ(s.pid, 1234);
  EXPECT_EQ(s.startedMs, 1700000000123);
  EXPECT_TRUE(s.options.searchMore);
  EXPECT_FALSE(s.options.keepEthNames);
  EXPECT_EQ(s.options.logLevel, 5);
  EXPECT_EQ(s.controller, "1-1.3:1.0");
  EXPECT_EQ(s.pid16, "0005");
  EXPECT_EQ(s.uart.state, "open");
  EXPECT_EQ(s.uart.lastReopenMs, 1700000101250);
  EXPECT_EQ(s.uart.lineWaitMs, 1530);
  ASSERT_EQ(s.ports.size(), 2u);
  EXPECT_EQ(s.ports[0].repliesDroppedNoClient, 3);
  EXPECT_EQ(s.ports[0].commandsTooLong, 1);
  EXPECT_EQ(s.ports[1].port, 1);
  EXPECT_FALSE(s.ports[1].clientSinceMs.has_value());
  ASSERT_EQ(s.pairs.size(), 2u);
  EXPECT_EQ(s.pairs[1].wanted, std::optional<std::string>("e1\"b\\x"));
  EXPECT_FALSE(s.pairs[1].current.has_value());
  EXPECT_EQ(s.pairs[1].renamesFailed, 2);
  EXPECT_EQ(s.pairs[1].lastOutcome, "failed");

  ASSERT_TRUE(ReadStatusDocument(kSampleLostController, &s, &error)) << error;
  EXPECT_EQ(s.uart.state, "lost");
  EXPECT_FALSE(s.uart.lastReopenMs.has_value());
  EXPECT_TRUE(s.options.daemonize);
}

// The open sample with `from` replaced by `to` (which must be there).
std::string Edited(const std::string& from, const std::string& to) {
  std::string doc = kSampleOpenController;
  size_t at = doc.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) doc.replace(at, from.size(), to);
  return doc;
}

std::string ErrorOf(const std::string& doc) {
  ControllerStatus s;
  std::string error;
  EXPECT_FALSE(ReadStatusDocument(doc, &s, &error)) << doc;
  return error;
}

TEST(StatusDocument, WrongDocumentsNameWhatIsWrong) {
  EXPECT_EQ(ErrorOf("error busy\n"), "not JSON: offset 0: not a value: unexpected character 'e'");
  EXPECT_EQ(ErrorOf("{\"version\":\"1\",}"),
            "not JSON: offset 15: a member name (a string) expected");
  EXPECT_EQ(ErrorOf("[]"), "not a JSON object");
  EXPECT_EQ(ErrorOf(""), "not JSON: offset 0: unexpected end of text, a value expected");
  EXPECT_EQ(ErrorOf(Edited("\"pid\":1234,", "")), "pid: missing");
  EXPECT_EQ(ErrorOf(Edited("\"pid\":1234", "\"pid\":\"1234\"")), "pid: not an integer >= 0");
  EXPECT_EQ(ErrorOf(Edited("\"losses\":2", "\"losses\":-2")), "uart.losses: not an integer >= 0");
  EXPECT_EQ(ErrorOf(Edited("\"losses\":2", "\"losses\":2.5")), "uart.losses: not an integer >= 0");
  EXPECT_EQ(ErrorOf(Edited("\"sinceMs\":1700000000500", "\"sinceMs\":true")),
            "uart.sinceMs: neither an integer >= 0 nor null");
  EXPECT_EQ(ErrorOf(Edited("\"searchMore\":true", "\"searchMore\":1")),
            "options.searchMore: not true or false");
  EXPECT_EQ(ErrorOf(Edited("\"logLevel\":5", "\"logLevel\":null")),
            "options.logLevel: not an integer");
  EXPECT_EQ(ErrorOf(Edited("\"uart\":{", "\"uart\":\"x\",\"old\":{")), "uart: not an object");
  EXPECT_EQ(ErrorOf(Edited("\"tty\":\"ttyACM0\"", "\"tty\":null")), "uart.tty: not a string");
  EXPECT_EQ(ErrorOf(Edited("\"replaysSent\":4", "\"replaysSent\":null")),
            "ports[0].replaysSent: not an integer >= 0");
  EXPECT_EQ(ErrorOf(Edited("\"port\":1", "\"port\":0")), "ports[1].port: 0 given twice");
  EXPECT_EQ(ErrorOf(Edited("\"pair\":1", "\"pair\":0")), "pairs[1].pair: 0 given twice");
  EXPECT_EQ(ErrorOf(Edited("\"wanted\":\"eth1\"", "\"wanted\":5")),
            "pairs[0].wanted: neither a string nor null");
  EXPECT_EQ(ErrorOf(Edited("\"ports\":[", "\"ports\":[1,")), "ports[0]: not an object");
  EXPECT_EQ(ErrorOf(Edited("\"pairs\":[", "\"pairs\":7,\"old\":[")), "pairs: not an array");
  EXPECT_EQ(ErrorOf(Edited("\"controller\":\"1-1.3:1.0\"", "\"controller\":\"\"")),
            "controller: empty");
  // Members it does not know are fine.
  ControllerStatus s;
  std::string error;
  EXPECT_TRUE(ReadStatusDocument(Edited("\"pid\":1234,", "\"pid\":1234,\"new\":[{}],"), &s, &error))
      << error;
}

TEST(Metrics, TwoControllersGiveOneGroupedFamilyPerMetric) {
  std::string error = "stale";
  const std::string text = FormatMetrics({kSampleOpenController, kSampleLostController}, &error);
  EXPECT_EQ(error, "");

  // Every family: HELP, then TYPE, then all of its samples; no family twice.
  std::map<std::string, std::string> types;
  std::map<std::string, Strings> samples;
  std::string current;
  for (const std::string& l : Lines(text)) {
    if (l.rfind("# HELP ", 0) == 0) {
      current = l.substr(7, l.find(' ', 7) - 7);
      EXPECT_EQ(types.count(current), 0u) << current << " twice";
      types[current] = "";
    } else if (l.rfind("# TYPE ", 0) == 0) {
      ASSERT_EQ(l.substr(7, current.size() + 1), current + " ") << l;
      types[current] = l.substr(8 + current.size());
    } else {
      ASSERT_FALSE(current.empty()) << l;
      ASSERT_EQ(l.substr(0, current.size() + 1), current + "{") << l << " outside its family";
      EXPECT_NE(l.find("{controller=\""), std::string::npos) << l;
      samples[current].push_back(l);
    }
  }
  EXPECT_EQ(types.size(), samples.size());  // no family without samples
  for (const auto& [name, type] : types) {
    ASSERT_TRUE(type == "counter" || type == "gauge") << name;
    bool total = name.size() > 6 && name.compare(name.size() - 6, 6, "_total") == 0;
    EXPECT_EQ(total, type == "counter") << name;
    EXPECT_EQ(name.rfind("e1ctld_", 0), 0u) << name;
  }
  EXPECT_EQ(types.size(), 31u);

  EXPECT_EQ(samples["e1ctld_build_info"],
            Strings({"e1ctld_build_info{controller=\"1-1.3:1.0\",version=\"0.9_rc4\"} 1",
                     "e1ctld_build_info{controller=\"2-1:1.0\",version=\"0.9_rc5\"} 1"}));
  EXPECT_EQ(samples["e1ctld_uart_state"],
            Strings({"e1ctld_uart_state{controller=\"1-1.3:1.0\",state=\"open\"} 1",
                     "e1ctld_uart_state{controller=\"1-1.3:1.0\",state=\"lost\"} 0",
                     "e1ctld_uart_state{controller=\"1-1.3:1.0\",state=\"waiting\"} 0",
                     "e1ctld_uart_state{controller=\"1-1.3:1.0\",state=\"never-opened\"} 0",
                     "e1ctld_uart_state{controller=\"2-1:1.0\",state=\"open\"} 0",
                     "e1ctld_uart_state{controller=\"2-1:1.0\",state=\"lost\"} 1",
                     "e1ctld_uart_state{controller=\"2-1:1.0\",state=\"waiting\"} 0",
                     "e1ctld_uart_state{controller=\"2-1:1.0\",state=\"never-opened\"} 0"}));
  EXPECT_EQ(samples["e1ctld_port_replies_dropped_after_eof_total"],
            Strings({"e1ctld_port_replies_dropped_after_eof_total{controller=\"1-1.3:1.0\","
                     "port=\"0\"} 0",
                     "e1ctld_port_replies_dropped_after_eof_total{controller=\"1-1.3:1.0\","
                     "port=\"1\"} 0",
                     "e1ctld_port_replies_dropped_after_eof_total{controller=\"2-1:1.0\","
                     "port=\"0\"} 5"}));
  // Times never reached have no sample; times are seconds.
  EXPECT_EQ(samples["e1ctld_uart_last_reopen_seconds"],
            Strings({"e1ctld_uart_last_reopen_seconds{controller=\"1-1.3:1.0\"} 1700000101.25"}));
  EXPECT_EQ(samples["e1ctld_port_client_since_seconds"],
            Strings({"e1ctld_port_client_since_seconds{controller=\"1-1.3:1.0\",port=\"0\"} "
                     "1700000200"}));
  EXPECT_TRUE(Has(text, "e1ctld_start_time_seconds{controller=\"1-1.3:1.0\"} 1700000000.123"));
  EXPECT_TRUE(Has(text, "e1ctld_uart_line_wait_seconds_total{controller=\"1-1.3:1.0\"} 1.53"));
  EXPECT_TRUE(Has(text, "e1ctld_uart_losses_total{controller=\"1-1.3:1.0\"} 2"));
  EXPECT_TRUE(Has(text, "e1ctld_uart_info{controller=\"2-1:1.0\",tty=\"ttyACM1\"} 1"));
  EXPECT_TRUE(Has(text,
                  "e1ctld_controller_info{controller=\"2-1:1.0\",usb_vendor=\"C251\","
                  "usb_product=\"FFFB\"} 1"));
  EXPECT_TRUE(Has(text, "e1ctld_log_level{controller=\"1-1.3:1.0\"} 5"));
  EXPECT_TRUE(Has(text, "e1ctld_option{controller=\"2-1:1.0\",option=\"inNamespace\"} 1"));
  EXPECT_TRUE(Has(text, "e1ctld_option{controller=\"1-1.3:1.0\",option=\"keepEthNames\"} 0"));
  EXPECT_TRUE(
      Has(text, "e1ctld_port_commands_sent_total{controller=\"1-1.3:1.0\",port=\"0\"} 120"));
  EXPECT_TRUE(Has(text, "e1ctld_port_client{controller=\"1-1.3:1.0\",port=\"1\"} 0"));
  EXPECT_TRUE(Has(text, "e1ctld_pair_renames_failed_total{controller=\"1-1.3:1.0\",pair=\"1\"} 2"));
  EXPECT_TRUE(Has(text, "e1ctld_pair_up{controller=\"1-1.3:1.0\",pair=\"0\"} 1"));
  // Names escaped; none is an empty label value.
  EXPECT_TRUE(Has(text,
                  "e1ctld_pair_info{controller=\"1-1.3:1.0\",pair=\"1\","
                  "wanted=\"e1\\\"b\\\\x\",current=\"\"} 1"));
  EXPECT_TRUE(Has(text,
                  "e1ctld_pair_last_outcome{controller=\"1-1.3:1.0\",pair=\"1\","
                  "outcome=\"failed\"} 1"));
  EXPECT_TRUE(Has(text,
                  "e1ctld_pair_last_outcome{controller=\"2-1:1.0\",pair=\"0\","
                  "outcome=\"none\"} 1"));
  EXPECT_EQ(samples["e1ctld_pair_last_outcome"].size(), 18u);  // six words, three pairs
}

TEST(Metrics, UnreadableAndRepeatedDocumentsAreLeftOutAndNamed) {
  std::string error;
  const std::string both = FormatMetrics({kSampleOpenController, kSampleLostController}, &error);
  const std::string text = FormatMetrics(
      {"error busy\n", kSampleOpenController, "{}", kSampleOpenController, kSampleLostController},
      &error);
  EXPECT_EQ(error,
            "document 1: not JSON: offset 0: not a value: unexpected character 'e'\n"
            "document 3: version: missing\n"
            "document 4: controller 1-1.3:1.0 already given, left out\n");
  EXPECT_EQ(text, both);

  EXPECT_EQ(FormatMetrics({}, &error), "");
  EXPECT_EQ(error, "");
  EXPECT_EQ(FormatMetrics({"[1,"}, &error), "");
  EXPECT_EQ(error, "document 1: not JSON: offset 3: unexpected end of text, a value expected\n");
}

TEST(Metrics, WordsOfANewerDaemonGetASampleOfTheirOwn) {
  std::string error;
  const std::string text =
      FormatMetrics({Edited("\"state\":\"open\"", "\"state\":\"resting\"")}, &error);
  EXPECT_EQ(error, "");
  EXPECT_TRUE(Has(text, "e1ctld_uart_state{controller=\"1-1.3:1.0\",state=\"resting\"} 1"));
  EXPECT_TRUE(Has(text, "e1ctld_uart_state{controller=\"1-1.3:1.0\",state=\"open\"} 0"));
  const std::string outcome =
      FormatMetrics({Edited("\"lastOutcome\":\"same\"", "\"lastOutcome\":\"new-word\"")}, &error);
  EXPECT_EQ(error, "");
  EXPECT_TRUE(Has(outcome,
                  "e1ctld_pair_last_outcome{controller=\"1-1.3:1.0\",pair=\"0\","
                  "outcome=\"new-word\"} 1"));
  EXPECT_TRUE(Has(outcome,
                  "e1ctld_pair_last_outcome{controller=\"1-1.3:1.0\",pair=\"0\","
                  "outcome=\"same\"} 0"));
}

}  // namespace
}  // namespace e1ctl
