#include "daemon/command_line.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "core/log.h"
#include "daemon/supervisor.h"
#include "discovery/sysfs_scan.h"

const char kVersion[] = "0.9_rc4";
const char kSocketPrefix[] = "/var/run/E1controllers/G703G704_phy";
const char kSocketSuffix[] = "_at_ttyctrl_";

int ReorderArgs(int argc, char** argv) {
  if (argc <= 1) return argc;
  bool swapped = true;
  while (swapped) {
    swapped = false;
    for (int i = 1; i < argc - 1; ++i) {
      if (argv[i][0] == '-' && argv[i + 1][0] != '-') {
        char* t = argv[i];
        argv[i] = argv[i + 1];
        argv[i + 1] = t;
        swapped = true;
      }
    }
  }
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] == '-') return i;
  }
  return argc;
}

bool HasShortOption(int argc, char** argv, int optStart, const char* letter) {
  for (int i = optStart; i < argc; ++i) {
    if (argv[i][0] != '\0' && strcasecmp(argv[i] + 1, letter) == 0) return true;
  }
  return false;
}

bool HasLongOption(int argc, char** argv, int optStart, const char* name) {
  for (int i = optStart; i < argc; ++i) {
    if (argv[i][0] != '\0' && argv[i][1] == '-' && strcasecmp(argv[i] + 2, name) == 0) return true;
  }
  return false;
}

void PrintHelp(FILE* out, const char* invocation) {
  static const char* const kLines[] = {
      "which use G703/G704 physical layer for ethernet type ports.\n",
      "Mandatory arguments to long options are mandatory for short options too.",
      "  -h, --help           outputs this help.",
      "  -s, --scanonly       types controlable pairs table in special format:\n"
      "                 ETHDEV##<ethname>##<ethusbpath>##<E1ports number>##<USB VID>##<USB PID>",
      "  -p, --prefix         types prefix and suffix for external programs\n"
      "                       for obtaining control sockets names. (See manual.)",
      "  -n, --search         does search additional control devices if CTLDEVICE(s) are to be "
      "given",
      "  -d, --daemonize      runs this program in daemon mode. (See manual.)",
      "  -e, --ethonhub       types additional eth port address on controller's usb hub",
      "  -k, --keepethnames   keep ethernet ETHPAIR ports as is, don't autorename",
      "  -i, --innamespace    this controller instance made from nonroot namespace",
      "  -q, --quiet          force silent mode",
      "  -v, --version        outputs version of this utility and return",
  };
  fprintf(out, "\nUsage: %s [OPTION]... [CTLDEVICE], [CTLDEVICE],...\n", invocation);
  fprintf(out, "'%s' monitors and controls autodetected and given ctluart(s)\n", invocation);
  for (const char* line : kLines) fprintf(out, "%s\n", line);
}

void PrintPrefixTable(FILE* out) {
  fprintf(out, "PREFIX##%s\nSUFFIX##%s\n", kSocketPrefix, kSocketSuffix);
}

// A missing string prints as the C library has always printed it, so that
// scripts written against earlier output keep parsing it.
static const char* OrNull(const char* s) {
  return s != nullptr ? s : "(null)";
}

void PrintPairTable(FILE* out, const E1Controller* const* controllers, int count) {
  for (int c = 0; c < count; ++c) {
    const E1Controller& e = *controllers[c];
    int pairs = e.ethPairs < kMaxEthPairs ? e.ethPairs : kMaxEthPairs;
    for (int i = 0; i < pairs; ++i) {
      fprintf(out, "ETHDEV##%s##%s##%d##%4.4X##%4.4X##%s##%d\n",
              e.ethName[i] != nullptr ? e.ethName[i] : "_", OrNull(e.ethPath[i]),
              e.ethPairs != 0 ? e.e1Ports / e.ethPairs : 0, e.vid, e.pid, OrNull(e.usbIfName), i);
    }
  }
}

void PrintHubTable(FILE* out, const E1Controller* const* controllers, int count) {
  for (int c = 0; c < count; ++c) {
    const E1Controller& e = *controllers[c];
    fprintf(out, "HUBETH##%s##%s##%d##%4.4X##%4.4X\n", OrNull(e.hubEthName), OrNull(e.hubEthPath),
            e.hubEthIndex, e.vid, e.pid);
  }
}

int FinishOutput(FILE* out) {
  // A full disk or a closed pipe shows only here, when the buffered text is
  // written: an empty table must not pass for the truth.
  if (fflush(out) != 0) return errno != 0 ? errno : EIO;
  return ferror(out) ? EIO : 0;
}

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
    LogMessage(4, "Parameter %d: %s\n", i, argv[i]);
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
