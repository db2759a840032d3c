#include "daemon/command_line.h"

#include <errno.h>
#include <strings.h>

#include "core/run_paths.h"

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
