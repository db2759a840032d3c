// Decides whether one cdc_acm interface entry is the control UART of a known
// controller and, if so, appends the controller to the registry.
#ifndef E1CTLD_DISCOVERY_ANALYZE_H_
#define E1CTLD_DISCOVERY_ANALYZE_H_

// Returns 1 when a controller was appended (the registry count grows by
// one), 0 when the entry was dropped or is in the registry already; every
// drop releases what it took.
int AnalyzeE1Controller(const char* entryName);

// Returns a new copy of `path` cut at its last `sep` (the separator and all
// after it removed); when `sep` does not occur the copy is uncut and
// *noSep is set. Null when memory ran out.
char* CutAtLast(const char* path, char sep, bool* noSep);

#endif  // E1CTLD_DISCOVERY_ANALYZE_H_
