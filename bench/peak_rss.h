// Peak resident set of this process, for the memory benchmarks.
//
// getrusage's peak only ever grows, so whatever ran before (building the
// input, an earlier and smaller run, checking the result) hides any part of a
// later run that stays below it. On Linux the peak can be reset instead:
// writing "5" to /proc/self/clear_refs sets VmHWM back to the current
// resident set. Each measured run then starts from its own baseline.
#pragma once

#include <sys/resource.h>

#include <cstring>
#include <fstream>
#include <string>

namespace corvid::bench {

namespace peak_rss_detail {

// A "Name:   1234 kB" field of /proc/self/status, in KiB; -1 if absent.
inline long StatusKiB(const char* name) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const size_t name_len = std::strlen(name);
  while (std::getline(status, line))
    if (line.compare(0, name_len, name) == 0 && line.size() > name_len && line[name_len] == ':')
      return std::stol(line.substr(name_len + 1));
  return -1;
}

}  // namespace peak_rss_detail

// Peak resident set in KiB since the last successful ResetPeakRss (since the
// start of the process otherwise).
inline long PeakRssKiB() {
  const long hwm = peak_rss_detail::StatusKiB("VmHWM");
  if (hwm >= 0) return hwm;
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Resident set now, in KiB; -1 where unknown.
inline long CurrentRssKiB() { return peak_rss_detail::StatusKiB("VmRSS"); }

// Makes the peak start again from the current resident set. False where the
// system cannot: the peak then still covers everything before.
inline bool ResetPeakRss() {
  std::ofstream clear_refs("/proc/self/clear_refs");
  clear_refs << "5";
  clear_refs.close();
  return static_cast<bool>(clear_refs);
}

// Starts a measured run: resets the peak and returns the baseline the run's
// growth is measured from (the resident set now, or the unresettable peak).
inline long StartPeakRun() {
  if (ResetPeakRss()) {
    const long now = CurrentRssKiB();
    if (now >= 0) return now;
  }
  return PeakRssKiB();
}

}  // namespace corvid::bench
