// The control socket's status document: one controller's state, counters
// and the daemon's options as one line of JSON, keys in a fixed order
// (documented in e1ctld(8)).
#ifndef E1CTLD_DAEMON_STATUS_JSON_H_
#define E1CTLD_DAEMON_STATUS_JSON_H_

#include <string>
#include <string_view>

#include "core/controller.h"

// `text` as a JSON string, quotes included: '"' and '\' escaped, control
// characters and bytes above 0x7e as \u00XX.
std::string JsonString(std::string_view text);

// The document of controller `c`, without a line end. Reads counters,
// published states and fields that are set before the workers start; takes
// the record's statusLock and the pairs' name locks, and the controller
// lock only for a controller without serial thread.
// Requires: no lock of the record held.
std::string StatusJson(E1Controller* c);

#endif  // E1CTLD_DAEMON_STATUS_JSON_H_
