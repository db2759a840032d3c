#include "daemon/e1_main.h"

#include <stdlib.h>
#include <string.h>

#include "core/log.h"
#include "core/process_exit.h"
#include "core/run_options.h"
#include "core/run_paths.h"
#include "daemon/command_line.h"
#include "daemon/supervisor.h"
#include "discovery/sysfs_scan.h"

int E1Main(int argc, char** argv) {
  SetDefaultRunOptions();
  int optStart = ReorderArgs(argc, argv);
  const char* invocation = argc > 0 ? argv[0] : "e1ctld";

  if (HasShortOption(argc, argv, optStart, "h") || HasLongOption(argc, argv, optStart, "help")) {
    PrintHelp(stdout, invocation);
    return FinishOutput(stdout);
  }
  if (HasShortOption(argc, argv, optStart, "v") || HasLongOption(argc, argv, optStart, "version")) {
    printf("%s\n", kVersion);
    return FinishOutput(stdout);
  }
  auto has = [&](const char* s, const char* l) {
    return HasShortOption(argc, argv, optStart, s) || HasLongOption(argc, argv, optStart, l);
  };
  if (has("s", "scanonly")) g_options.scanOnly = g_options.quiet = 1;
  if (has("p", "prefix")) g_options.printPrefix = g_options.quiet = 1;
  if (has("e", "ethonhub")) g_options.ethOnHub = g_options.quiet = 1;
  if (has("k", "keepethnames")) g_options.keepEthNames = 1;
  if (has("d", "daemonize")) g_options.daemonize = g_options.quiet = 1;
  if (has("n", "search")) g_options.searchMore = 1;
  if (has("i", "innamespace")) g_options.inNamespace = 1;
  if (HasLongOption(argc, argv, optStart, "debugmsg")) g_options.logLevel = 7;
  if (has("q", "quiet")) g_options.quiet = 1;

  if (g_options.printPrefix) {
    PrintPrefixTable(stdout);
    return FinishOutput(stdout);
  }

  int sum = 0;
  for (int i = 1; i < optStart; ++i) {
    // Printed by default, but only an account of the arguments.
    LogMessageWithPriority(4, 6, "Parameter %d: %s\n", i, argv[i]);
    char* arg = strdup(argv[i]);
    if (arg == nullptr) continue;
    sum += CheckForE1_QZXcontroller(arg);
    free(arg);
  }

  int count = 0;
  E1Controller* const* controllers = nullptr;
  if (sum != 0) {
    controllers = GetControllers(&count);
  } else if (!g_options.searchMore) {
    FatalExit(2, "No E1 controllers matched CTLDEVICEn parameters\n");
  } else {
    controllers = SearchKnownE1_QZXcontrollers(&count);
    // An array that holds no counted controller ends like no array at all.
    if (controllers == nullptr || count == 0) FatalExit(2, "No E1 controllers found\n");
  }

  if (g_options.scanOnly) {
    PrintPairTable(stdout, controllers, count);
    return FinishOutput(stdout);
  }
  if (g_options.ethOnHub) {
    PrintHubTable(stdout, controllers, count);
    return FinishOutput(stdout);
  }
  RunSupervisor(controllers, count, invocation);
}
