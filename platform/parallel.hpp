#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace arborvane::platform {

namespace detail {
struct ParallelJob;

// Collects per-index results in slots so the result type need not be default-constructible.
template <class R>
std::vector<R> unwrap_slots(std::vector<std::optional<R>>& slots) {
  std::vector<R> out;
  out.reserve(slots.size());
  for (auto& slot : slots) out.push_back(std::move(*slot));
  return out;
}

// The index-order reduction step: a candidate replaces the best so far unless the best so far
// is strictly better, so among equals the later index wins whatever the scheduling was.
template <class T, class Better>
void offer_candidate(std::optional<std::pair<std::size_t, T>>& best, std::size_t index,
                     std::optional<T>&& candidate, Better& better) {
  if (!candidate) return;
  if (!best || !std::invoke(better, best->second, *candidate)) {
    best.emplace(index, std::move(*candidate));
  }
}
}  // namespace detail

// A fixed set of worker threads that run index-parallel jobs. The submitting thread blocks
// until its job is done; concurrent submissions from different threads run one after another.
class ThreadPool {
 public:
  // Starts exactly `threads` workers. A thread that cannot be started (or threads == 0) gives
  // an error text instead of an exception; workers already started are joined.
  static std::expected<std::unique_ptr<ThreadPool>, std::string> create(std::size_t threads);

  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;
  ~ThreadPool();

  std::size_t thread_count() const;

  // Runs body(i) for every i in [0, n) on the workers, which take small chunks of indices from
  // a shared counter. If bodies throw, indices above the lowest failing one are skipped where
  // possible, running bodies are awaited, and the exception of the lowest failing index is
  // rethrown. Called from inside one of this pool's own bodies it runs inline, in index order.
  void parallel_for(std::size_t n, const std::function<void(std::size_t)>& body);

  // result[i] = f(i), computed in parallel.
  template <class F>
  auto parallel_map(std::size_t n, F&& f) -> std::vector<std::invoke_result_t<F&, std::size_t>> {
    using R = std::invoke_result_t<F&, std::size_t>;
    static_assert(!std::is_void_v<R>, "parallel_map needs a result; use parallel_for");
    std::vector<std::optional<R>> slots(n);
    parallel_for(n, [&](std::size_t i) { slots[i].emplace(std::invoke(f, i)); });
    return detail::unwrap_slots(slots);
  }

  // The best of the candidates f(i) (std::optional<T>, empty = no candidate) with its index;
  // better(a, b) means a is strictly better than b. Among equals the later index wins. The
  // result does not depend on the thread count or on scheduling.
  template <class T, class F, class Better>
  std::optional<std::pair<std::size_t, T>> parallel_max(std::size_t n, F&& f, Better&& better) {
    auto candidates =
        parallel_map(n, [&](std::size_t i) -> std::optional<T> { return std::invoke(f, i); });
    std::optional<std::pair<std::size_t, T>> best;
    for (std::size_t i = 0; i < n; ++i) {
      detail::offer_candidate(best, i, std::move(candidates[i]), better);
    }
    return best;
  }

 private:
  ThreadPool() = default;
  void worker_loop();

  std::vector<std::thread> workers_;
  std::mutex submit_mutex_;  // one job at a time
  std::mutex mutex_;         // guards the fields below
  std::condition_variable work_ready_;
  std::condition_variable work_done_;
  detail::ParallelJob* job_ = nullptr;
  std::uint64_t generation_ = 0;  // bumped per job so each worker joins each job exactly once
  std::size_t busy_workers_ = 0;
  bool stopping_ = false;
};

// The same operations with an optional pool: without one they run on the calling thread,
// sequentially and in index order (training with one thread uses no pool).
void parallel_for(ThreadPool* pool, std::size_t n, const std::function<void(std::size_t)>& body);

template <class F>
auto parallel_map(ThreadPool* pool, std::size_t n, F&& f)
    -> std::vector<std::invoke_result_t<F&, std::size_t>> {
  if (pool != nullptr) return pool->parallel_map(n, f);
  std::vector<std::invoke_result_t<F&, std::size_t>> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) out.push_back(std::invoke(f, i));
  return out;
}

template <class T, class F, class Better>
std::optional<std::pair<std::size_t, T>> parallel_max(ThreadPool* pool, std::size_t n, F&& f,
                                                      Better&& better) {
  if (pool != nullptr) return pool->parallel_max<T>(n, f, better);
  std::optional<std::pair<std::size_t, T>> best;
  for (std::size_t i = 0; i < n; ++i) {
    detail::offer_candidate(best, i, std::optional<T>(std::invoke(f, i)), better);
  }
  return best;
}

}  // namespace arborvane::platform
