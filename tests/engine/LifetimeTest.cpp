// The lifetime turn: who waits, how long, and which stage each taker sees.
// Stages are compared as numbers (0 unconstructed, 1 constructing,
// 2 constructed, 3 destructing, 4 ended) so that a reordered enum fails.
#include "engine/Lifetime.h"

#include <gtest/gtest.h>

#include <future>

#include "support/TestClock.h"

namespace pdu::engine {
namespace {

int N(Stage s) { return static_cast<int>(s); }

// The turn is a capability the compiler tracks through scopes; these tests
// take and give it back across threads and assertions, which the analysis
// cannot follow, so they go through these two.
bool Take(Lifetime& life, Stage next, uint32_t boundMs, Stage& found) PDU_NO_THREAD_SAFETY_ANALYSIS {
  return life.TakeTurn(next, boundMs, found);
}
void Give(Lifetime& life, Stage stage) PDU_NO_THREAD_SAFETY_ANALYSIS { life.GiveTurn(stage); }

struct Attempt { bool held; int found; };

// Takes the turn on another thread (the holder's thread must not try).
std::future<Attempt> TakeElsewhere(Lifetime& life, Stage next, uint32_t boundMs, bool giveBack = true) {
  return std::async(std::launch::async, [&life, next, boundMs, giveBack] {
    Stage found = Stage::kUnconstructed;
    const bool held = Take(life, next, boundMs, found);
    if (held && giveBack) Give(life, found);
    return Attempt{held, N(found)};
  });
}

TEST(Lifetime, AWaitingTakerGetsTheTurnWithTheStageTheHolderLeft) {
  Lifetime life;
  Stage found = Stage::kEnded;
  ASSERT_TRUE(Take(life, Stage::kConstructing, Lifetime::kNoBound, found));
  EXPECT_EQ(N(found), 0);
  EXPECT_EQ(N(life.Current()), 1);
  auto waiter = TakeElsewhere(life, Stage::kDestructing, Lifetime::kNoBound);
  EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  Give(life, Stage::kConstructed);
  const Attempt a = waiter.get();
  EXPECT_TRUE(a.held);
  EXPECT_EQ(a.found, 2);
}

// A callback never waits: it learns at once what the holder is doing.
TEST(Lifetime, ZeroBoundAnswersAtOnceWithTheHoldersStage) {
  for (Stage holding : {Stage::kConstructing, Stage::kDestructing}) {
    Lifetime life;
    Stage found;
    ASSERT_TRUE(Take(life, holding, Lifetime::kNoBound, found));
    const Attempt a = TakeElsewhere(life, Stage::kDestructing, 0).get();
    EXPECT_FALSE(a.held);
    EXPECT_EQ(a.found, N(holding));
    Give(life, Stage::kUnconstructed);
  }
}

// The teardown at exit waits for another thread's turn with a bound,
// counted on the library's clock.
TEST(Lifetime, BoundedWaitGivesUpExactlyAtItsBound) {
  test::ManualClock clock(5000);
  Lifetime life;
  Stage found;
  ASSERT_TRUE(Take(life, Stage::kDestructing, Lifetime::kNoBound, found));
  auto waiter = TakeElsewhere(life, Stage::kDestructing, 1000);
  ASSERT_TRUE(clock.WaitForWaitUntil(6000));
  clock.Advance(999);
  EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
  clock.Advance(1);
  const Attempt a = waiter.get();
  EXPECT_FALSE(a.held);
  EXPECT_EQ(a.found, 3);
  Give(life, Stage::kUnconstructed);
}

// Once the process ends nothing is started again, and a holder that gives
// the turn back afterwards cannot undo it.
TEST(Lifetime, EndedOutlastsTheHolderAndRefusesEveryTaker) {
  Lifetime life;
  Stage found;
  ASSERT_TRUE(Take(life, Stage::kConstructing, Lifetime::kNoBound, found));
  auto waiter = TakeElsewhere(life, Stage::kDestructing, Lifetime::kNoBound);
  life.MarkEnded();
  Give(life, Stage::kConstructed);
  const Attempt a = waiter.get();
  EXPECT_FALSE(a.held);
  EXPECT_EQ(a.found, 4);
  EXPECT_EQ(N(life.Current()), 4);
  EXPECT_FALSE(Take(life, Stage::kConstructing, 0, found));
  EXPECT_EQ(N(found), 4);
}

// A forked child: the parent's holder did not come along; the child starts
// unconstructed and takes the turn at once.
TEST(Lifetime, AfterForkTheChildStartsUnconstructedWhateverTheParentHeld) {
  Lifetime life;
  Stage found;
  ASSERT_TRUE(Take(life, Stage::kDestructing, Lifetime::kNoBound, found));
  life.ForgetAfterFork();
  EXPECT_EQ(N(life.Current()), 0);
  ASSERT_TRUE(Take(life, Stage::kConstructing, 0, found));
  EXPECT_EQ(N(found), 0);
  Give(life, Stage::kConstructed);
}

}  // namespace
}  // namespace pdu::engine
