// Tests of the signals a run ends on, against the list the system gives
// (signal_list.h): the handled set leaves none out and takes none in.
#include "base/signals.h"

#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "signal_list.h"

namespace zervgen {
namespace {

using zervgen_test::EndingSignals;
using zervgen_test::IsFaultSignal;

TEST(Signals, TheRunEndsOnEverySignalThatWouldEndItUncaughtButFailedWrites) {
  const std::vector<int> ending = EndingSignals();
  ASSERT_GE(ending.size(), 50u) << "the real-time signals are missing";
  for (int sig = 1; sig <= SIGRTMAX; ++sig) {
    SCOPED_TRACE(std::to_string(sig) + " " + strsignal(sig));
    const bool ends = std::find(ending.begin(), ending.end(), sig) != ending.end();
    EXPECT_EQ(Signals_IsFault(sig), IsFaultSignal(sig));
    EXPECT_EQ(Signals_IsEnding(sig), ends && !IsFaultSignal(sig));
    EXPECT_TRUE(ends || !IsFaultSignal(sig)) << "a fault the tests would never send";
  }
}

}  // namespace
}  // namespace zervgen
