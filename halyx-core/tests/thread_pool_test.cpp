// The pool behind segment's and batch's threads: each start runs the job once on every helper, and
// wait() returns only after all of them, round after round.
#include <halyx/thread_pool.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

namespace halyx {
namespace {

TEST(ThreadPool, RunsTheJobOnceOnEveryHelperEachRound) {
  for (const std::size_t helpers : {std::size_t{0}, std::size_t{1}, std::size_t{3}}) {
    ThreadPool pool(helpers);
    ASSERT_EQ(pool.helpers(), helpers);
    std::atomic<std::size_t> runs{0};
    std::size_t finished = 0;  // written by this thread alone, after each wait
    const std::function<void()> job = [&] {
      std::this_thread::yield();
      runs.fetch_add(1);
    };
    for (std::size_t round = 1; round <= 200; ++round) {
      pool.start(job);
      pool.wait();
      finished += helpers;
      ASSERT_EQ(runs.load(), finished) << helpers << " helpers, round " << round;
    }
  }
}

TEST(ThreadPool, RunsTheJobOnThreadsOtherThanTheCaller) {
  ThreadPool pool(2);
  std::mutex mutex;
  std::set<std::thread::id> seen;
  const std::function<void()> job = [&] {
    const std::lock_guard lock(mutex);
    seen.insert(std::this_thread::get_id());
  };
  pool.start(job);
  pool.wait();
  EXPECT_EQ(seen.size(), 2U);
  EXPECT_EQ(seen.count(std::this_thread::get_id()), 0U);
}

}  // namespace
}  // namespace halyx
