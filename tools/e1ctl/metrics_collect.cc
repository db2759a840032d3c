#include "tools/e1ctl/metrics_collect.h"

#include <algorithm>

#include "tools/e1ctl/control_client.h"

namespace e1ctl {

std::vector<std::string> CollectStatusDocuments() {
  std::vector<std::string> controllers = ListControlSockets();
  std::sort(controllers.begin(), controllers.end());
  std::vector<std::string> documents;
  for (const std::string& ctlIf : controllers) {
    std::string answer, error;
    if (RequestControl(ctlIf, "status", &answer, &error) && !answer.empty()) {
      documents.push_back(std::move(answer));
    }
  }
  return documents;
}

}  // namespace e1ctl
