// A test whose peer program (or a deliverable it runs) is missing is
// skipped on a developer's machine, but fails where every peer must be
// there (CI, scripts/test.sh: CORVID_REQUIRE_PEERS set, or CI=true): a
// broken build must never read as "passed, some skipped".
//
//   if (!HaveProgram("zip")) CORVID_PEER_MISSING() << "zip is not installed";
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace corvid::test {

inline bool PeersRequired() {
  const char* required = std::getenv("CORVID_REQUIRE_PEERS");
  const char* ci = std::getenv("CI");
  return (required != nullptr && *required != '\0') || (ci != nullptr && std::strcmp(ci, "true") == 0);
}

inline ::testing::TestPartResult::Type PeerMissingResult() {
  return PeersRequired() ? ::testing::TestPartResult::kFatalFailure : ::testing::TestPartResult::kSkip;
}

}  // namespace corvid::test

#define CORVID_PEER_MISSING()                                                                                \
  return ::testing::internal::AssertHelper(::corvid::test::PeerMissingResult(), __FILE__, __LINE__, "") = \
             ::testing::Message()
