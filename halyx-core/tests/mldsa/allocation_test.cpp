// The verifier keeps its working memory on the stack and allocates nothing where the stack has
// room: a call can then never fail for want of heap, and never leaves anything behind. This binary
// counts every operator new made on the calling thread, and prepare() and decide() must make none,
// on every path; on a thread whose stack is too small they make one, the workspace.
#include <gtest/gtest.h>

#include <cstdlib>
#include <climits>
#include <new>

#include <pthread.h>

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

TEST_P(MlDsaVerifier, AllocatesNothing) {
  const ByteString& key = halyx::test::fixture("ca_public_key");
  const ByteString& sth = halyx::test::fixture("sth");
  const ByteString& signature = halyx::test::fixture("sth_signature");
  const std::size_t before = allocations;
  const PreparedVerification prepared = prepare(PublicKeyView(key.data(), PUBLIC_KEY_BYTES), signature, kernels());
  const bool valid = prepared.decide(sth, signing::STH_SIGNATURE_CONTEXT);
  const bool other_context = prepared.decide(sth, {});
  EXPECT_EQ(allocations, before);
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

// The least stack CPython lets a thread have: far less than the workspace, so it must go to the heap.
TEST_P(MlDsaVerifier, WorksOnTheHeapOnA32KiBStack) {
  static_cast<void>(halyx::test::fixture("sth"));  // loaded here, on a stack with room for the loader
  // aarch64's glibc refuses stacks under 128 KiB (its pages may be 64 KiB), which is room enough
  // for the workspace, so there the heap's route cannot be forced this way.
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

}  // namespace
}  // namespace halyx::mldsa
