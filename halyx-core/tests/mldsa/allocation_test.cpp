// The verifier keeps its working memory on the heap, whatever stack it runs on: prepare() makes one
// allocation, the workspace, freed before it returns, and decide() makes none. This binary counts
// every operator new made on the calling thread. On the stack the verifier uses frames of a few KiB
// only: coroutines whose stacks lie inside another stack and on the heap, with painted memory right
// below them, show that it stays within its stack and within the bound SECURITY.md states.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <climits>
#include <memory>
#include <new>
#include <string>
#include <tuple>

#include <pthread.h>
#if defined(__GLIBC__)
#include <ucontext.h>
#endif

#include "mldsa/each_path.hpp"
#include <halyx/mldsa/path.hpp>
#include <halyx/mldsa/verifier.hpp>
#include "signing/fixtures.hpp"

namespace {
thread_local std::size_t allocations = 0;

void* counted(std::size_t size, std::size_t alignment) {
  ++allocations;
  void* p = alignment <= alignof(std::max_align_t)
                ? std::malloc(size == 0 ? 1 : size)
                : std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
}  // namespace

void* operator new(std::size_t size) { return counted(size, 0); }
void* operator new[](std::size_t size) { return counted(size, 0); }
void* operator new(std::size_t size, std::align_val_t a) { return counted(size, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t size, std::align_val_t a) { return counted(size, static_cast<std::size_t>(a)); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace halyx::mldsa {
namespace {

class MlDsaVerifier : public test::EachPath {};
HALYX_FOR_EACH_PATH(MlDsaVerifier);

TEST_P(MlDsaVerifier, AllocatesTheWorkspaceAlone) {
  const ByteString& key = halyx::test::fixture("ca_public_key");
  const ByteString& sth = halyx::test::fixture("sth");
  const ByteString& signature = halyx::test::fixture("sth_signature");
  const std::size_t before = allocations;
  const PreparedVerification prepared = prepare(PublicKeyView(key.data(), PUBLIC_KEY_BYTES), signature, kernels());
  EXPECT_EQ(allocations, before + 1);
  const bool valid = prepared.decide(sth, signing::STH_SIGNATURE_CONTEXT);
  const bool other_context = prepared.decide(sth, {});
  EXPECT_EQ(allocations, before + 1);
  EXPECT_TRUE(valid);
  EXPECT_FALSE(other_context);
}

struct SmallStackRun {
  Path path;
  std::size_t allocations = 0;
  bool valid = false;
  bool tampered = true;
};

void* run_on_small_stack(void* arg) {
  auto& run = *static_cast<SmallStackRun*>(arg);
  const ByteString& key = halyx::test::fixture("ca_public_key");
  const ByteString& sth = halyx::test::fixture("sth");
  ByteString signature = halyx::test::fixture("sth_signature");
  const std::size_t before = allocations;
  run.valid = prepare(PublicKeyView(key.data(), PUBLIC_KEY_BYTES), signature, kernels_for(run.path))
                  .decide(sth, signing::STH_SIGNATURE_CONTEXT);
  run.allocations = allocations - before;
  signature[100] ^= 1;  // inside z
  run.tampered = prepare(PublicKeyView(key.data(), PUBLIC_KEY_BYTES), signature, kernels_for(run.path))
                     .decide(sth, signing::STH_SIGNATURE_CONTEXT);
  return nullptr;
}

// The least stack CPython lets a thread have: far less than the workspace.
TEST_P(MlDsaVerifier, WorksOnTheHeapOnA32KiBStack) {
  static_cast<void>(halyx::test::fixture("sth"));  // loaded here, on a stack with room for the loader
  // aarch64's glibc refuses stacks under 128 KiB (its pages may be 64 KiB).
  if (PTHREAD_STACK_MIN > 32768) GTEST_SKIP() << "this C library's least thread stack is " << PTHREAD_STACK_MIN << " bytes";
  SmallStackRun run{GetParam()};
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, 32768), 0);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attr, run_on_small_stack, &run), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  pthread_attr_destroy(&attr);
  EXPECT_EQ(run.allocations, 1u);
  EXPECT_TRUE(run.valid);
  EXPECT_FALSE(run.tampered);
}

#if defined(__GLIBC__)

// The most of its caller's stack a verification may use, in prepare() and decide() together with
// this test's frames (unoptimised); SECURITY.md states the bound for callers.
constexpr std::size_t STACK_BOUND = 16 * 1024;

// A coroutine's stack with painted memory directly below it, where a frame too large for the stack
// would write first (stacks grow down on every target built for). The memory below is larger than
// the workspace, so that a workspace placed on this stack would land in it and be seen.
struct CoroutineMemory {
  static constexpr std::size_t STACK_BYTES = 40 * 1024;
  static constexpr std::uint8_t PAINT = 0xa5;
  alignas(64) std::array<std::uint8_t, 64 * 1024> below;
  alignas(64) std::array<std::uint8_t, STACK_BYTES> stack;

  void paint() {
    below.fill(PAINT);
    stack.fill(PAINT);
  }
  [[nodiscard]] bool below_intact() const {
    return std::all_of(below.begin(), below.end(), [](std::uint8_t b) { return b == PAINT; });
  }
  // The bytes of the stack written from the top down to the deepest frame.
  [[nodiscard]] std::size_t stack_used() const {
    const auto first_written =
        std::find_if(stack.begin(), stack.end(), [](std::uint8_t b) { return b != PAINT; });
    return static_cast<std::size_t>(stack.end() - first_written);
  }
};

SmallStackRun* coroutine_run = nullptr;  // what the running coroutine verifies
void coroutine_entry() { run_on_small_stack(coroutine_run); }

// Runs run_on_small_stack(run) on `memory.stack` as a coroutine of this thread, and returns.
void run_as_coroutine(CoroutineMemory& memory, SmallStackRun& run) {
  static_cast<void>(halyx::test::fixture("sth"));  // loaded on this thread's stack
  memory.paint();
  ucontext_t caller{};
  ucontext_t coroutine{};
  ASSERT_EQ(getcontext(&coroutine), 0);
  coroutine.uc_stack.ss_sp = memory.stack.data();
  coroutine.uc_stack.ss_size = memory.stack.size();
  coroutine.uc_link = &caller;
  makecontext(&coroutine, coroutine_entry, 0);
  coroutine_run = &run;
  ASSERT_EQ(swapcontext(&caller, &coroutine), 0);
  coroutine_run = nullptr;
}

enum class StackPlace { InsideThisThreadsStack, OnTheHeap };

class MlDsaVerifierOnACoroutine : public testing::TestWithParam<std::tuple<Path, StackPlace>> {};

// A coroutine's stack inside the thread's own (a local array here) looks like the thread's stack
// to any test of the room left; one on the heap lies outside it. On both the call must verify, use
// the heap for its workspace, and write nothing below its 40 KiB.
TEST_P(MlDsaVerifierOnACoroutine, StaysWithinItsStack) {
  const auto [path, place] = GetParam();
  SmallStackRun run{path};
  CoroutineMemory* memory = nullptr;
  std::unique_ptr<CoroutineMemory> on_heap;
  CoroutineMemory local;  // painted before use
  if (place == StackPlace::OnTheHeap) {
    on_heap = std::make_unique<CoroutineMemory>();
    memory = on_heap.get();
  } else {
    memory = &local;
  }
  run_as_coroutine(*memory, run);
  EXPECT_TRUE(memory->below_intact());
  EXPECT_LE(memory->stack_used(), STACK_BOUND);
  EXPECT_EQ(run.allocations, 1u);
  EXPECT_TRUE(run.valid);
  EXPECT_FALSE(run.tampered);
}

INSTANTIATE_TEST_SUITE_P(, MlDsaVerifierOnACoroutine,
                         testing::Combine(testing::ValuesIn(available_paths()),
                                          testing::Values(StackPlace::InsideThisThreadsStack, StackPlace::OnTheHeap)),
                         [](const testing::TestParamInfo<std::tuple<Path, StackPlace>>& param) {
                           return std::string(path_name(std::get<0>(param.param))) +
                                  (std::get<1>(param.param) == StackPlace::OnTheHeap ? "_heap" : "_inside_thread_stack");
                         });

#endif  // __GLIBC__

}  // namespace
}  // namespace halyx::mldsa
