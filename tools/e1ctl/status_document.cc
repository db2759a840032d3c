#include "tools/e1ctl/status_document.h"

#include <set>

#include "tools/e1ctl/json_reader.h"

namespace e1ctl {

namespace {

// Reads the members of one object, naming each by its path on an error;
// the first error sticks and later reads do nothing.
class Fields {
 public:
  Fields(const JsonValue& object, std::string path, std::string* error)
      : object_(object), path_(std::move(path)), error_(error) {}

  bool Ok() const { return error_->empty(); }

  void Text(const char* key, std::string* out) {
    const JsonValue* v = Member(key);
    if (v == nullptr) return;
    if (v->kind != JsonValue::kString) return Wrong(key, "not a string");
    *out = v->text;
  }
  void OptionalText(const char* key, std::optional<std::string>* out) {
    const JsonValue* v = Member(key);
    if (v == nullptr) return;
    if (v->kind == JsonValue::kNull) return out->reset();
    if (v->kind != JsonValue::kString) return Wrong(key, "neither a string nor null");
    *out = v->text;
  }
  void Flag(const char* key, bool* out) {
    const JsonValue* v = Member(key);
    if (v == nullptr) return;
    if (v->kind != JsonValue::kBool) return Wrong(key, "not true or false");
    *out = v->boolean;
  }
  void Integer(const char* key, long long* out) {
    const JsonValue* v = Member(key);
    if (v == nullptr) return;
    if (v->kind != JsonValue::kInteger) return Wrong(key, "not an integer");
    *out = v->integer;
  }
  // An integer >= 0: counters, numbers, times.
  void Count(const char* key, long long* out) {
    const JsonValue* v = Member(key);
    if (v == nullptr) return;
    if (v->kind != JsonValue::kInteger || v->integer < 0) {
      return Wrong(key, "not an integer >= 0");
    }
    *out = v->integer;
  }
  void OptionalCount(const char* key, std::optional<long long>* out) {
    const JsonValue* v = Member(key);
    if (v == nullptr) return;
    if (v->kind == JsonValue::kNull) return out->reset();
    if (v->kind != JsonValue::kInteger || v->integer < 0) {
      return Wrong(key, "neither an integer >= 0 nor null");
    }
    *out = v->integer;
  }
  const JsonValue* Object(const char* key) { return Of(key, JsonValue::kObject, "not an object"); }
  const JsonValue* Array(const char* key) { return Of(key, JsonValue::kArray, "not an array"); }

  std::string PathOf(const char* key) const { return path_.empty() ? key : path_ + "." + key; }

 private:
  const JsonValue* Member(const char* key) {
    if (!Ok()) return nullptr;
    const JsonValue* v = object_.Find(key);
    if (v == nullptr) *error_ = PathOf(key) + ": missing";
    return v;
  }
  const JsonValue* Of(const char* key, JsonValue::Kind kind, const char* what) {
    const JsonValue* v = Member(key);
    if (v != nullptr && v->kind != kind) {
      Wrong(key, what);
      return nullptr;
    }
    return v;
  }
  void Wrong(const char* key, const char* what) { *error_ = PathOf(key) + ": " + what; }

  const JsonValue& object_;
  std::string path_;
  std::string* error_;
};

void ReadOptions(const JsonValue& o, std::string* error, DaemonOptions* out) {
  Fields f(o, "options", error);
  f.Flag("keepEthNames", &out->keepEthNames);
  f.Flag("searchMore", &out->searchMore);
  f.Flag("inNamespace", &out->inNamespace);
  f.Flag("daemonize", &out->daemonize);
  f.Integer("logLevel", &out->logLevel);
  f.Integer("startLogLevel", &out->startLogLevel);
}

void ReadUart(const JsonValue& o, std::string* error, UartStatus* out) {
  Fields f(o, "uart", error);
  f.Text("state", &out->state);
  f.Text("tty", &out->tty);
  f.OptionalCount("sinceMs", &out->sinceMs);
  f.Count("losses", &out->losses);
  f.Count("reopens", &out->reopens);
  f.OptionalCount("lastLossMs", &out->lastLossMs);
  f.OptionalCount("lastReopenMs", &out->lastReopenMs);
  f.Count("lineWaitMs", &out->lineWaitMs);
}

void ReadPort(const JsonValue& o, const std::string& path, std::string* error, PortStatus* out) {
  Fields f(o, path, error);
  f.Count("port", &out->port);
  f.Flag("client", &out->client);
  f.OptionalCount("clientSinceMs", &out->clientSinceMs);
  f.Count("clientsAccepted", &out->clientsAccepted);
  f.Count("commandsSent", &out->commandsSent);
  f.Count("blocksSent", &out->blocksSent);
  f.Count("bytesToLine", &out->bytesToLine);
  f.Count("repliesDelivered", &out->repliesDelivered);
  f.Count("repliesDroppedNoClient", &out->repliesDroppedNoClient);
  f.Count("repliesDroppedQueueFull", &out->repliesDroppedQueueFull);
  f.Count("repliesDroppedAfterEof", &out->repliesDroppedAfterEof);
  f.Count("replaysSent", &out->replaysSent);
  f.Count("commandsTooLong", &out->commandsTooLong);
}

void ReadPair(const JsonValue& o, const std::string& path, std::string* error, PairStatus* out) {
  Fields f(o, path, error);
  f.Count("pair", &out->pair);
  f.OptionalText("wanted", &out->wanted);
  f.OptionalText("current", &out->current);
  f.Flag("up", &out->up);
  f.Count("renames", &out->renames);
  f.Count("renamesFailed", &out->renamesFailed);
  f.Text("lastOutcome", &out->lastOutcome);
}

// Each element of `array` (named `path`) must be an object; `read` fills
// one T from it. `number` picks the element's number, which must be unique.
template <typename T, typename Read, typename Number>
void ReadList(const JsonValue& array, const std::string& path, std::string* error,
              std::vector<T>* out, Read read, Number number, const char* numberKey) {
  std::set<long long> seen;
  for (size_t i = 0; i < array.items.size() && error->empty(); ++i) {
    const std::string where = path + "[" + std::to_string(i) + "]";
    if (array.items[i].kind != JsonValue::kObject) {
      *error = where + ": not an object";
      return;
    }
    T item;
    read(array.items[i], where, error, &item);
    if (!error->empty()) return;
    if (!seen.insert(number(item)).second) {
      *error = where + "." + numberKey + ": " + std::to_string(number(item)) + " given twice";
      return;
    }
    out->push_back(std::move(item));
  }
}

}  // namespace

bool ReadStatusDocument(const std::string& text, ControllerStatus* out, std::string* error) {
  *out = ControllerStatus();
  error->clear();
  std::string body = text;
  if (!body.empty() && body.back() == '\n') body.pop_back();
  JsonValue root;
  std::string jsonError;
  if (!ReadJson(body, &root, &jsonError)) {
    *error = "not JSON: " + jsonError;
    return false;
  }
  if (root.kind != JsonValue::kObject) {
    *error = "not a JSON object";
    return false;
  }
  Fields f(root, "", error);
  f.Text("version", &out->version);
  f.Count("pid", &out->pid);
  f.OptionalCount("startedMs", &out->startedMs);
  if (const JsonValue* o = f.Object("options")) ReadOptions(*o, error, &out->options);
  f.Text("controller", &out->controller);
  f.Text("vid", &out->vid);
  f.Text("pid16", &out->pid16);
  if (const JsonValue* o = f.Object("uart")) ReadUart(*o, error, &out->uart);
  if (const JsonValue* a = f.Array("ports")) {
    ReadList(
        *a, "ports", error, &out->ports, ReadPort, [](const PortStatus& p) { return p.port; },
        "port");
  }
  if (const JsonValue* a = f.Array("pairs")) {
    ReadList(
        *a, "pairs", error, &out->pairs, ReadPair, [](const PairStatus& p) { return p.pair; },
        "pair");
  }
  if (error->empty() && out->controller.empty()) *error = "controller: empty";
  return error->empty();
}

}  // namespace e1ctl
