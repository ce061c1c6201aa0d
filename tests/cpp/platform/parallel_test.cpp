#include "platform/parallel.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace arborvane::platform {
namespace {

std::unique_ptr<ThreadPool> make_pool(std::size_t threads) {
  auto pool = ThreadPool::create(threads);
  if (!pool) ADD_FAILURE() << "create(" << threads << ") failed: " << pool.error();
  return pool ? std::move(*pool) : nullptr;
}

constexpr std::size_t kThreadCounts[] = {1, 2, 7};

TEST(ThreadPool, CreateStartsRequestedThreadCount) {
  for (const std::size_t threads : kThreadCounts) {
    SCOPED_TRACE(threads);
    auto pool = make_pool(threads);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(pool->thread_count(), threads);

    // Bodies run on the workers, never on the submitting thread.
    std::mutex mutex;
    std::set<std::thread::id> ids;
    pool->parallel_for(1000, [&](std::size_t) {
      std::lock_guard lock(mutex);
      ids.insert(std::this_thread::get_id());
    });
    EXPECT_FALSE(ids.contains(std::this_thread::get_id()));
    EXPECT_GE(ids.size(), 1U);
    EXPECT_LE(ids.size(), threads);
  }
}

TEST(ThreadPool, CreateReturnsErrorValuesInsteadOfThrowing) {
  const auto zero = ThreadPool::create(0);
  ASSERT_FALSE(zero.has_value());
  EXPECT_EQ(zero.error(), "thread count must be at least 1");

  // Far more threads than can exist: the request fails before any thread is left running.
  std::expected<std::unique_ptr<ThreadPool>, std::string> huge;
  EXPECT_NO_THROW(huge = ThreadPool::create(static_cast<std::size_t>(-1)));
  ASSERT_FALSE(huge.has_value());
  EXPECT_FALSE(huge.error().empty());
}

TEST(ThreadPool, ParallelForRunsEveryIndexExactlyOnce) {
  for (const std::size_t threads : kThreadCounts) {
    auto pool = make_pool(threads);
    ASSERT_NE(pool, nullptr);
    for (const std::size_t n : {0UL, 1UL, 5UL, 100003UL}) {
      SCOPED_TRACE("threads " + std::to_string(threads) + ", n " + std::to_string(n));
      std::vector<std::atomic<int>> runs(n);
      pool->parallel_for(n, [&](std::size_t i) { runs[i].fetch_add(1); });
      std::size_t wrong = 0;
      for (const auto& r : runs) wrong += r.load() == 1 ? 0 : 1;
      EXPECT_EQ(wrong, 0U);
    }
  }
}

TEST(ThreadPool, ParallelMapPreservesOrderWithoutDefaultConstruction) {
  struct Labelled {
    explicit Labelled(std::size_t i) : text("item" + std::to_string(i)) {}
    std::string text;
  };
  for (const std::size_t threads : kThreadCounts) {
    SCOPED_TRACE(threads);
    auto pool = make_pool(threads);
    ASSERT_NE(pool, nullptr);
    const std::vector<Labelled> out =
        pool->parallel_map(5000, [](std::size_t i) { return Labelled(i); });
    ASSERT_EQ(out.size(), 5000U);
    for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i].text, "item" + std::to_string(i));
    EXPECT_TRUE(pool->parallel_map(0, [](std::size_t i) { return i; }).empty());
  }
}

// Candidates with many ties and gaps; "better" is a strict greater-than on the score.
std::optional<int> tied_score(std::size_t i) {
  if (i % 7 == 3) return std::nullopt;
  return static_cast<int>((i * 2654435761U) % 13);
}

TEST(ThreadPool, ParallelMaxPicksBestWithLaterIndexWinningTies) {
  const auto greater = [](int a, int b) { return a > b; };
  const std::size_t n = 10000;
  std::optional<std::pair<std::size_t, int>> expected;
  for (std::size_t i = 0; i < n; ++i) {
    const auto score = tied_score(i);
    if (score && (!expected || *score >= expected->second)) expected.emplace(i, *score);
  }
  ASSERT_TRUE(expected.has_value());
  ASSERT_EQ(expected->second, 12);

  EXPECT_EQ(parallel_max<int>(nullptr, n, tied_score, greater), expected);
  for (const std::size_t threads : kThreadCounts) {
    SCOPED_TRACE(threads);
    auto pool = make_pool(threads);
    ASSERT_NE(pool, nullptr);
    for (int repeat = 0; repeat < 5; ++repeat) {
      EXPECT_EQ(pool->parallel_max<int>(n, tied_score, greater), expected);
      EXPECT_EQ(parallel_max<int>(pool.get(), n, tied_score, greater), expected);
    }
  }
}

TEST(ThreadPool, ParallelMaxWithoutCandidatesIsEmpty) {
  const auto none = [](std::size_t) -> std::optional<double> { return std::nullopt; };
  const auto less = [](double a, double b) { return a < b; };
  auto pool = make_pool(2);
  ASSERT_NE(pool, nullptr);
  EXPECT_FALSE(pool->parallel_max<double>(100, none, less).has_value());
  EXPECT_FALSE(pool->parallel_max<double>(0, none, less).has_value());
  EXPECT_FALSE(parallel_max<double>(nullptr, 100, none, less).has_value());

  // All equal: the last index wins.
  const auto flat = [](std::size_t) -> std::optional<double> { return 1.0; };
  const auto best = pool->parallel_max<double>(100, flat, less);
  ASSERT_TRUE(best.has_value());
  EXPECT_EQ(best->first, 99U);
}

TEST(ThreadPool, LowestThrowingIndexIsRethrown) {
  for (const std::size_t threads : kThreadCounts) {
    SCOPED_TRACE(threads);
    auto pool = make_pool(threads);
    ASSERT_NE(pool, nullptr);
    for (int repeat = 0; repeat < 20; ++repeat) {
      try {
        pool->parallel_for(20000, [](std::size_t i) {
          if (i == 37 || i == 38 || i == 5000 || i == 19999) {
            throw std::runtime_error(std::to_string(i));
          }
        });
        ADD_FAILURE() << "no exception";
      } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "37");
      }
    }
    // The pool keeps working after a failed job.
    std::atomic<std::size_t> count{0};
    pool->parallel_for(1000, [&](std::size_t) { count.fetch_add(1); });
    EXPECT_EQ(count.load(), 1000U);
  }
}

TEST(ThreadPool, LowestIndexWinsEvenWhenAHigherIndexThrowsFirst) {
  // Index 0 throws only after index 40 has thrown (on another worker), so the later throw in
  // time must still be the one reported.
  for (const std::size_t threads : {std::size_t{2}, std::size_t{7}}) {
    SCOPED_TRACE(threads);
    auto pool = make_pool(threads);
    ASSERT_NE(pool, nullptr);
    for (int repeat = 0; repeat < 10; ++repeat) {
      std::atomic<bool> high_thrown{false};
      try {
        pool->parallel_for(200, [&](std::size_t i) {
          if (i == 40) {
            high_thrown.store(true);
            throw std::runtime_error("40");
          }
          if (i == 0) {
            while (!high_thrown.load()) std::this_thread::yield();
            for (int k = 0; k < 1000; ++k) std::this_thread::yield();  // let 40 be recorded first
            throw std::runtime_error("0");
          }
        });
        ADD_FAILURE() << "no exception";
      } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "0");
      }
    }
  }
}

TEST(ThreadPool, WorkAfterAFailureIsSkipped) {
  // With one worker the order is fixed: indices 0..10 run, 10 throws, nothing after it runs.
  auto pool = make_pool(1);
  ASSERT_NE(pool, nullptr);
  std::atomic<std::size_t> ran{0};
  EXPECT_THROW(pool->parallel_for(100000,
                                  [&](std::size_t i) {
                                    ran.fetch_add(1);
                                    if (i == 10) throw std::logic_error("stop");
                                  }),
               std::logic_error);
  EXPECT_EQ(ran.load(), 11U);
}

TEST(ThreadPool, ExceptionFromMapAndMaxPropagates) {
  auto pool = make_pool(2);
  ASSERT_NE(pool, nullptr);
  const auto failing = [](std::size_t i) -> std::optional<int> {
    if (i >= 50) throw std::out_of_range("index " + std::to_string(i));
    return static_cast<int>(i);
  };
  try {
    pool->parallel_map(100, failing);
    ADD_FAILURE() << "no exception";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "index 50");
  }
  const auto greater = [](int a, int b) { return a > b; };
  EXPECT_THROW(pool->parallel_max<int>(100, failing, greater), std::out_of_range);
}

TEST(ThreadPool, NestedCallRunsInlineOnTheWorker) {
  for (const std::size_t threads : kThreadCounts) {
    SCOPED_TRACE(threads);
    auto pool = make_pool(threads);
    ASSERT_NE(pool, nullptr);
    std::atomic<std::size_t> inner_runs{0};
    std::atomic<std::size_t> foreign_threads{0};
    pool->parallel_for(64, [&](std::size_t) {
      const auto outer_thread = std::this_thread::get_id();
      std::vector<std::size_t> order;
      pool->parallel_for(10, [&](std::size_t j) {
        order.push_back(j);
        inner_runs.fetch_add(1);
        if (std::this_thread::get_id() != outer_thread) foreign_threads.fetch_add(1);
      });
      const std::vector<std::size_t> expected = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
      EXPECT_EQ(order, expected);
      const auto squares = pool->parallel_map(4, [](std::size_t j) { return j * j; });
      EXPECT_EQ(squares, (std::vector<std::size_t>{0, 1, 4, 9}));
    });
    EXPECT_EQ(inner_runs.load(), 640U);
    EXPECT_EQ(foreign_threads.load(), 0U);
  }
}

TEST(ThreadPool, ConcurrentSubmittersEachGetTheirWholeJob) {
  auto pool = make_pool(2);
  ASSERT_NE(pool, nullptr);
  constexpr std::size_t kSubmitters = 4;
  constexpr std::size_t kN = 5000;
  std::vector<std::vector<std::atomic<int>>> runs(kSubmitters);
  for (auto& r : runs) r = std::vector<std::atomic<int>>(kN);
  std::vector<std::thread> submitters;
  for (std::size_t s = 0; s < kSubmitters; ++s) {
    submitters.emplace_back([&, s] {
      for (int job = 0; job < 10; ++job) {
        pool->parallel_for(kN, [&](std::size_t i) { runs[s][i].fetch_add(1); });
      }
    });
  }
  for (auto& t : submitters) t.join();
  for (std::size_t s = 0; s < kSubmitters; ++s) {
    for (std::size_t i = 0; i < kN; ++i) {
      ASSERT_EQ(runs[s][i].load(), 10) << "submitter " << s << " index " << i;
    }
  }
}

TEST(ThreadPool, DestroyedCleanlyAfterAThrowAndWithoutJobs) {
  for (const std::size_t threads : kThreadCounts) {
    auto idle = make_pool(threads);
    idle.reset();
    auto pool = make_pool(threads);
    ASSERT_NE(pool, nullptr);
    EXPECT_THROW(pool->parallel_for(100, [](std::size_t) { throw std::runtime_error("x"); }),
                 std::runtime_error);
    pool.reset();  // joins all workers; a hang here fails the run
  }
}

TEST(ThreadPoolFreeFunctions, NullPoolRunsInlineInIndexOrder) {
  std::vector<std::size_t> order;
  const auto caller = std::this_thread::get_id();
  bool other_thread = false;
  parallel_for(nullptr, 6, [&](std::size_t i) {
    order.push_back(i);
    other_thread = other_thread || std::this_thread::get_id() != caller;
  });
  EXPECT_EQ(order, (std::vector<std::size_t>{0, 1, 2, 3, 4, 5}));
  EXPECT_FALSE(other_thread);

  const auto doubled = parallel_map(nullptr, 4, [](std::size_t i) { return 2 * i; });
  EXPECT_EQ(doubled, (std::vector<std::size_t>{0, 2, 4, 6}));

  std::vector<std::size_t> ran;
  EXPECT_THROW(parallel_for(nullptr, 10,
                            [&](std::size_t i) {
                              ran.push_back(i);
                              if (i == 3) throw std::runtime_error("3");
                            }),
               std::runtime_error);
  EXPECT_EQ(ran, (std::vector<std::size_t>{0, 1, 2, 3}));
}

TEST(ThreadPoolFreeFunctions, PoolAndNoPoolGiveEqualResults) {
  auto pool = make_pool(7);
  ASSERT_NE(pool, nullptr);
  const auto f = [](std::size_t i) { return std::to_string(i * 31 % 17); };
  EXPECT_EQ(parallel_map(pool.get(), 777, f), parallel_map(nullptr, 777, f));
  std::vector<std::atomic<int>> runs(777);
  parallel_for(pool.get(), 777, [&](std::size_t i) { runs[i].fetch_add(1); });
  for (const auto& r : runs) EXPECT_EQ(r.load(), 1);
}

}  // namespace
}  // namespace arborvane::platform
