// A simulated E1 controller on a pseudo-terminal. The pty slave plays the
// controller's CDC-ACM tty (/dev/ttyACMn is a symlink to /dev/pts/N); the
// simulator holds the master, records every byte the daemon writes, and
// answers "CMD:" lines with a reply rule.
//
// The simulator keeps a slave descriptor of its own open, so that reads on
// the master keep working while the daemon has the tty closed. Unplug()
// drops the sysfs entry and the device node and closes both of its
// descriptors: the daemon's descriptor then reports a hang-up, as it does
// for a controller that was pulled out. Plug() comes back on a new pty.
//
// Note: the Linux pty driver forces CS8, clears PARENB and sets CREAD on
// every tcsetattr, whatever was asked.
#ifndef E1CTLD_LAB_SIM_CONTROLLER_H_
#define E1CTLD_LAB_SIM_CONTROLLER_H_

#include <termios.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace lab {

class FakeUsb;

// Called for every complete line received (without its line feed); the
// returned text, if any, is sent back as is (it carries its own line end).
using ReplyRule = std::function<std::optional<std::string>(const std::string& line)>;

// "CMD:port E1.n text" -> "ACK:E1.n:text\n"; other lines get no reply.
ReplyRule AckReplyRule();
// Like AckReplyRule, with the reply built from a template: %p the port
// number, %t the command text, %l the whole received line, %% a percent
// sign. A line feed is appended.
ReplyRule FormatReplyRule(const std::string& format);
// Sends every received line back followed by a line feed.
ReplyRule EchoReplyRule();

// Splits "CMD:port E1.n text" into n and text; false for other lines.
bool ParseCommandLine(const std::string& line, int* port, std::string* text);

struct ReceivedLine {
  std::string text;  // without the line feed
  std::chrono::steady_clock::time_point at;
  // The line ended with the pty instead of a line feed: the daemon was
  // writing it when Unplug() pulled the line (only with KeepPendingOnUnplug).
  bool cut = false;
};

class SimController {
 public:
  struct Options {
    FakeUsb* usb = nullptr;  // when set, <iface>/tty/<ttyName> is kept in it
    std::string iface;       // e.g. "1-1.3:1.0"
    std::string ttyName = "ttyACM0";
    std::string devDir = "/dev";  // the device link is devDir/ttyName; empty: none
    std::string linkPath;         // explicit link path instead of devDir/ttyName
    ReplyRule reply;              // none: never answer
    bool rawSlave = true;         // start with the line raw, no echo
  };

  explicit SimController(Options opts);
  ~SimController();
  SimController(const SimController&) = delete;
  SimController& operator=(const SimController&) = delete;

  // Plugging: Unplug() removes the sysfs entry and the device link, then
  // closes the master and the simulator's slave. With KeepPendingOnUnplug
  // it first takes what the daemon wrote and the controller had not read
  // yet (also while it is not reading), and records it as received; the
  // line that was being written then ends there, marked cut. Without it
  // those bytes go with the pty, as with a real controller pulled out. Plug() opens a new pty as
  // the given tty name (e.g. Plug("ttyACM1") or Plug(1)).
  void Unplug();
  void Plug(const std::string& ttyName);
  void Plug(int acmNumber) { Plug("ttyACM" + std::to_string(acmNumber)); }
  bool Plugged() const;
  void KeepPendingOnUnplug(bool keep);

  std::string TtyName() const;
  std::string SlavePath() const;   // /dev/pts/N
  std::string DevicePath() const;  // the link, e.g. /dev/ttyACM0 ("" without)

  // Writes raw bytes to the daemon; false when unplugged or the write
  // failed or did not complete within a second.
  bool Send(std::string_view bytes);
  // Writes the pieces one after another with a pause between them.
  bool SendPieces(const std::vector<std::string>& pieces, std::chrono::milliseconds gap);

  void SetReplyRule(ReplyRule rule);

  // How fast the controller takes what the daemon writes. StopReading()
  // leaves the bytes in the line until ResumeReading(); SetReadRate() reads
  // at most `bytesPerSecond` (0: as fast as they come, the default). A
  // change takes effect within about 5 ms.
  void StopReading();
  void ResumeReading();
  void SetReadRate(size_t bytesPerSecond);

  // What the daemon wrote so far: every byte, and the complete lines.
  std::string Received() const;
  std::vector<ReceivedLine> Lines() const;
  std::vector<std::string> LineTexts() const;
  void ClearReceived();
  bool WaitForLines(size_t count, std::chrono::milliseconds timeout) const;
  bool WaitForSubstring(std::string_view needle, std::chrono::milliseconds timeout) const;

  // Terminal settings of the slave side (what the daemon's tty calls see).
  std::optional<struct termios> GetTermios() const;
  bool SetTermios(const struct termios& t);

 private:
  void ReaderLoop(int master, int wakeFd);
  // Records the bytes; `answer`: run the reply rule on the lines completed.
  void HandleBytes(const char* data, size_t len, bool answer = true);
  bool WriteAll(std::string_view bytes);
  void StopReader();
  void TakePending();

  Options opts_;
  mutable std::mutex ioMu_;  // guards master_, slave_ and the link fields
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
  std::string ttyName_;
  std::string linkPath_;

  std::thread reader_;
  int wake_[2] = {-1, -1};

  mutable std::mutex paceMu_;  // guards the reading pace
  bool readingStopped_ = false;
  size_t readRate_ = 0;
  unsigned paceChanges_ = 0;  // tells the reader to start its rate count again
  bool keepPending_ = false;

  mutable std::mutex dataMu_;  // guards the received data and the rule
  mutable std::condition_variable dataCv_;
  std::string bytes_;
  std::string partial_;
  std::vector<ReceivedLine> lines_;
  ReplyRule rule_;
};

}  // namespace lab

#endif  // E1CTLD_LAB_SIM_CONTROLLER_H_
