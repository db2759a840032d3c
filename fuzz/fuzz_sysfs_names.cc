// Arbitrary entry names and CTLDEVICE arguments through the sysfs name
// filter and the prefix match, checked against plain restatements.
#include <ctype.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "discovery/sysfs_names.h"
#include "discovery/sysfs_scan.h"

static bool ReferenceInterfaceName(const std::string& s) {
  bool digit = false;
  for (char c : s) {
    if (!(isdigit(static_cast<unsigned char>(c)) || c == '.' || c == ':' || c == '-')) return false;
    if (isdigit(static_cast<unsigned char>(c))) digit = true;
  }
  return digit;
}

static bool ReferenceMatch(const std::string& a, const std::string& b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string in(reinterpret_cast<const char*>(data), size);
  size_t cut = in.find('\0');
  std::string a = in.substr(0, cut);
  std::string b = cut == std::string::npos ? "" : in.substr(cut + 1);
  b = b.substr(0, b.find('\0'));
  if (IsUSBInterfaceName(a.c_str()) != ReferenceInterfaceName(a)) abort();
  if (MatchCtlDevice(a.c_str(), b.c_str()) != ReferenceMatch(a, b)) abort();
  if (MatchCtlDevice(a.c_str(), b.c_str()) != MatchCtlDevice(b.c_str(), a.c_str())) abort();
  return 0;
}
