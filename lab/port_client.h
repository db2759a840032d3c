// A client of the daemon's UNIX stream sockets (the E1 port sockets and the
// auxiliary socket), as an external program would use them: connect, send
// text, read what comes back with a timeout, and notice the end of the
// connection. Everything received is kept in an internal buffer so that
// tests can wait for lines and then look at the whole stream.
#ifndef E1CTLD_LAB_PORT_CLIENT_H_
#define E1CTLD_LAB_PORT_CLIENT_H_

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace lab {

class PortClient {
 public:
  PortClient() = default;
  ~PortClient();
  PortClient(PortClient&& other) noexcept;
  PortClient& operator=(PortClient&& other) noexcept;
  PortClient(const PortClient&) = delete;
  PortClient& operator=(const PortClient&) = delete;

  // One connection attempt; 0 on success, otherwise the connect error number
  // (ECONNREFUSED while nobody listens, ENOENT without a socket file).
  int Connect(const std::string& path);
  // Retries Connect() every 10 ms until it succeeds or `timeout` passed.
  bool ConnectWithin(const std::string& path, std::chrono::milliseconds timeout);

  bool Connected() const { return fd_ >= 0; }
  int Fd() const { return fd_; }

  // Writes all bytes; false on a write error.
  bool Send(std::string_view bytes);
  // Sends one byte of urgent (out-of-band) data, which the peer sees as
  // POLLPRI; false when the send failed (errno tells why, e.g. EOPNOTSUPP
  // on a kernel without out-of-band data for UNIX sockets).
  bool SendUrgent(char byte);
  // Bytes sent that the peer has not read yet; -1 when unknown.
  int Unread() const;
  // Shuts the sending side down (the peer reads end of file).
  bool ShutdownWrite();
  void Close();

  // Reads whatever arrives until `quiet` passes without new data (or the
  // connection ends) and returns the new bytes, which also stay in the buffer.
  std::string ReadFor(std::chrono::milliseconds quiet);
  // Reads everything that arrives during `span` and returns the new bytes.
  std::string ReadDuring(std::chrono::milliseconds span);
  // Reads until the buffer holds `needle`; false on timeout or end of file.
  bool ReadUntil(std::string_view needle, std::chrono::milliseconds timeout);
  // Reads until the buffer holds at least `count` bytes.
  bool ReadAtLeast(size_t count, std::chrono::milliseconds timeout);
  // Reads until the buffer holds at least `count` line feeds.
  bool ReadLines(size_t count, std::chrono::milliseconds timeout);
  // The next complete line (with its line feed) taken out of the buffer.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
  // Reads (and keeps) data until the peer ends the connection; true when
  // end of file (or a reset) was seen within `timeout`.
  bool WaitForEof(std::chrono::milliseconds timeout);
  bool SawEof() const { return eof_; }

  // Everything received and not taken by ReadLine().
  const std::string& Buffer() const { return buf_; }
  void ClearBuffer() { buf_.clear(); }

 private:
  // One poll and read with the given wait; -1 on timeout, 0 at end of
  // file, otherwise the number of bytes appended.
  long ReadOnce(int waitMs);

  int fd_ = -1;
  bool eof_ = false;
  std::string buf_;
};

}  // namespace lab

#endif  // E1CTLD_LAB_PORT_CLIENT_H_
