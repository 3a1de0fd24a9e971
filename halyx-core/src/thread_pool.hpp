// thread_pool.hpp: threads that stay for a piece of work and run a job on each when told, for the
// front ends that spread work over processors (segment's windows, batch's lines).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace halyx {

// Starting threads for every window of a segment cost more than the window's work on a virtual
// machine, so the threads stay, and meet the caller twice per window.
class ThreadPool {
 public:
  // Starts up to `helpers` threads, fewer when the system will not start more: the caller and the
  // helpers that run share the work. Throws std::bad_alloc only.
  explicit ThreadPool(std::size_t helpers);
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;
  ~ThreadPool() { stop(); }

  // The helpers running.
  [[nodiscard]] std::size_t helpers() const noexcept { return threads_.size(); }

  // Runs `job` once on every helper; wait() returns when all have finished it. `job` must outlive
  // the wait, and must not throw.
  void start(const std::function<void()>& job);
  void wait();

 private:
  void serve();
  void stop() noexcept;

  std::mutex mutex_;
  std::condition_variable wake_, done_;
  const std::function<void()>* job_ = nullptr;
  std::atomic<std::uint64_t> generation_{0};
  std::atomic<std::size_t> running_{0};
  std::atomic<bool> stopping_{false};  // written under the mutex, read also while spinning
  std::vector<std::thread> threads_;
};

}  // namespace halyx
