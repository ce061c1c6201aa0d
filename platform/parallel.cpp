#include "platform/parallel.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <limits>

namespace arborvane::platform {

namespace detail {

// One parallel_for call; lives on the submitting thread's stack until every worker has left it.
struct ParallelJob {
  const std::function<void(std::size_t)>* body = nullptr;
  std::size_t n = 0;
  std::size_t chunk = 1;
  std::atomic<std::size_t> next{0};
  // Lowest index whose body threw so far; indices at or above it are skipped.
  std::atomic<std::size_t> first_failure{std::numeric_limits<std::size_t>::max()};
  std::mutex error_mutex;
  std::exception_ptr error;  // the exception of first_failure
};

}  // namespace detail

namespace {

// The pool whose worker runs on this thread; a job submitted from inside one of its own bodies
// runs inline, since waiting for the busy workers would deadlock.
thread_local const ThreadPool* current_pool = nullptr;

// Small enough that uneven bodies balance across workers, large enough that cheap bodies do
// not contend on the shared counter.
std::size_t chunk_size(std::size_t n, std::size_t threads) {
  constexpr std::size_t kChunksPerThread = 16;
  return std::max<std::size_t>(1, n / (threads * kChunksPerThread));
}

void record_failure(detail::ParallelJob& job, std::size_t index, std::exception_ptr error) {
  std::lock_guard lock(job.error_mutex);
  if (index < job.first_failure.load(std::memory_order_relaxed)) {
    job.first_failure.store(index, std::memory_order_relaxed);
    job.error = std::move(error);
  }
}

// Runs chunks until the counter is exhausted. Chunks are handed out in increasing order, so
// every index below a failing one has been claimed by some worker and still runs: the lowest
// failing index is found no matter how the work was scheduled.
void run_chunks(detail::ParallelJob& job) {
  for (;;) {
    const std::size_t begin = job.next.fetch_add(job.chunk, std::memory_order_relaxed);
    if (begin >= job.n || begin >= job.first_failure.load(std::memory_order_relaxed)) return;
    const std::size_t end = std::min(job.n, begin + job.chunk);
    for (std::size_t i = begin; i < end; ++i) {
      if (i >= job.first_failure.load(std::memory_order_relaxed)) return;
      try {
        (*job.body)(i);
      } catch (...) {
        record_failure(job, i, std::current_exception());
        return;
      }
    }
  }
}

}  // namespace

std::expected<std::unique_ptr<ThreadPool>, std::string> ThreadPool::create(std::size_t threads) {
  if (threads == 0) return std::unexpected(std::string("thread count must be at least 1"));
  std::unique_ptr<ThreadPool> pool(new ThreadPool());
  try {
    pool->workers_.reserve(threads);
    for (std::size_t i = 0; i < threads; ++i) {
      pool->workers_.emplace_back([p = pool.get()] { p->worker_loop(); });
    }
  } catch (const std::exception& e) {
    // The destructor stops and joins the workers that did start.
    return std::unexpected(std::string(e.what()));
  }
  return pool;
}

ThreadPool::~ThreadPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  work_ready_.notify_all();
  for (auto& worker : workers_) worker.join();
}

std::size_t ThreadPool::thread_count() const { return workers_.size(); }

void ThreadPool::worker_loop() {
  current_pool = this;
  std::uint64_t seen_generation = 0;
  for (;;) {
    detail::ParallelJob* job = nullptr;
    {
      std::unique_lock lock(mutex_);
      work_ready_.wait(lock, [&] { return stopping_ || generation_ != seen_generation; });
      if (stopping_) return;
      seen_generation = generation_;
      job = job_;
    }
    run_chunks(*job);
    {
      std::lock_guard lock(mutex_);
      if (--busy_workers_ == 0) work_done_.notify_all();
    }
  }
}

void ThreadPool::parallel_for(std::size_t n, const std::function<void(std::size_t)>& body) {
  if (n == 0) return;
  if (current_pool == this) {
    for (std::size_t i = 0; i < n; ++i) body(i);
    return;
  }
  std::lock_guard submit_lock(submit_mutex_);
  detail::ParallelJob job;
  job.body = &body;
  job.n = n;
  job.chunk = chunk_size(n, workers_.size());
  {
    std::lock_guard lock(mutex_);
    job_ = &job;
    busy_workers_ = workers_.size();
    ++generation_;
  }
  work_ready_.notify_all();
  {
    std::unique_lock lock(mutex_);
    work_done_.wait(lock, [&] { return busy_workers_ == 0; });
    job_ = nullptr;
  }
  if (job.error) std::rethrow_exception(job.error);
}

void parallel_for(ThreadPool* pool, std::size_t n, const std::function<void(std::size_t)>& body) {
  if (pool != nullptr) {
    pool->parallel_for(n, body);
    return;
  }
  for (std::size_t i = 0; i < n; ++i) body(i);
}

}  // namespace arborvane::platform
