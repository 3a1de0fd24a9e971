#include <halyx/thread_pool.hpp>

#include <chrono>
#include <system_error>

namespace halyx {
namespace {

// Waits a little for `ready` without sleeping: a thread woken from sleep starts late on a virtual
// machine, and the threads meet twice per window. After the first few microseconds it yields
// between looks, for the case that the other thread waits for this one's processor. Returns
// whether `ready` came.
constexpr std::chrono::microseconds SPIN_BUSY{10}, SPIN{100};

template <class Ready>
bool spin(const Ready& ready) {
  const auto start = std::chrono::steady_clock::now();
  for (unsigned i = 1;; ++i) {
    if (ready()) return true;
    if (i % 64 == 0) {
      const auto spent = std::chrono::steady_clock::now() - start;
      if (spent > SPIN) return false;
      if (spent > SPIN_BUSY) std::this_thread::yield();
    }
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
}

}  // namespace

ThreadPool::ThreadPool(std::size_t helpers) {
  threads_.reserve(helpers);
  for (std::size_t i = 0; i < helpers; ++i) {
    try {
      threads_.emplace_back([this] { serve(); });
    } catch (const std::system_error&) {
      break;  // the system starts no more threads: those running do the work
    }
  }
}

void ThreadPool::start(const std::function<void()>& job) {
  if (threads_.empty()) return;
  {
    const std::lock_guard lock(mutex_);
    job_ = &job;
    running_.store(threads_.size(), std::memory_order_relaxed);
    generation_.fetch_add(1, std::memory_order_release);
  }
  wake_.notify_all();
}

void ThreadPool::wait() {
  if (spin([this] { return running_.load(std::memory_order_acquire) == 0; })) return;
  std::unique_lock lock(mutex_);
  done_.wait(lock, [this] { return running_.load(std::memory_order_acquire) == 0; });
}

void ThreadPool::serve() {
  std::uint64_t seen = 0;
  for (;;) {
    spin([&] {
      return stopping_.load(std::memory_order_relaxed) || generation_.load(std::memory_order_acquire) != seen;
    });
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [&] { return stopping_ || generation_.load(std::memory_order_relaxed) != seen; });
    if (stopping_) return;
    seen = generation_.load(std::memory_order_relaxed);
    const std::function<void()>* job = job_;
    lock.unlock();
    (*job)();
    lock.lock();
    if (running_.fetch_sub(1, std::memory_order_release) == 1) done_.notify_all();
  }
}

void ThreadPool::stop() noexcept {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : threads_) t.join();
  threads_.clear();
}

}  // namespace halyx
