// Google Benchmark over the pieces of a verification, so their costs can be set beside one ML-DSA-65
// verification measured in the same run. The inputs were made by the independent issuer:
// bench/data/depth20.txt (a leaf of a 2^20-leaf tree, its depth-20 proof, the signed STH) and the
// signing test fixtures.
//
// The steps of the native ML-DSA-65 verifier run once per code path this CPU has (the benchmark's
// argument is the path: 0 portable, 1 avx2, 2 avx512), beside OpenSSL's verification of the same
// signature: prepare()'s hashing (tr, c and ExpandA in one batch), one NTT and one inverse, one
// multi-state Keccak permutation, prepare() and one decision.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <memory>

#include <halyx/merkle/inclusion.hpp>
#include <halyx/merkle/leaf_hash.hpp>
#include <halyx/digest/sha256.hpp>
#include <halyx/mldsa/expand.hpp>
#include <halyx/mldsa/path.hpp>
#include <halyx/mldsa/verifier.hpp>
#include <halyx/serialization/inclusion_proof.hpp>
#include <halyx/serialization/mtac_leaf.hpp>
#include <halyx/serialization/signed_tree_head.hpp>
#include <halyx/signing/ml_dsa_65.hpp>
#include <halyx/signing/sth_signature.hpp>
#include <halyx/verification.hpp>

namespace halyx::bench {
namespace {

ByteString from_hex(const std::string& hex) {
  if (hex.size() % 2 != 0) throw std::runtime_error("odd hex length");
  ByteString out;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

// The "name value" lines of a data file; comments and blank lines skipped. Missing files and names
// throw: a benchmark without its input has nothing to say.
std::map<std::string, std::string> read_rows(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot open " + path);
  std::map<std::string, std::string> rows;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string name, value;
    fields >> name >> value;
    rows[name] = value;
  }
  return rows;
}

struct Inputs {
  ByteString leaf_bytes, proof_bytes, sth_bytes, signature, ca_public_key;
  // From the signing fixtures: one STH, its signature and the key, for the raw verification.
  ByteString raw_sth, raw_signature, raw_public_key;
};

const Inputs& inputs() {
  static const Inputs in = [] {
    const auto call = read_rows(std::string(HALYX_BENCH_DATA_DIR) + "/depth20.txt");
    const auto signing = read_rows(std::string(HALYX_SIGNING_DATA_DIR) + "/signed_fixtures.txt");
    return Inputs{from_hex(call.at("call.leaf_bytes")), from_hex(call.at("call.proof_bytes")),
                  from_hex(call.at("call.sth_bytes")),  from_hex(call.at("call.signature")),
                  from_hex(call.at("call.ca_public_key")),
                  from_hex(signing.at("sth")),          from_hex(signing.at("sth_signature")),
                  from_hex(signing.at("ca_public_key"))};
  }();
  return in;
}

void BM_DecodeSignedTreeHead(benchmark::State& state) {
  const ByteString& bytes = inputs().sth_bytes;
  for (auto _ : state) {
    auto sth = wire::decode_signed_tree_head(bytes);
    benchmark::DoNotOptimize(sth);
  }
}
BENCHMARK(BM_DecodeSignedTreeHead);

void BM_EncodeSignedTreeHead(benchmark::State& state) {
  const auto decoded = wire::decode_signed_tree_head(inputs().sth_bytes);
  if (!decoded) return state.SkipWithError("STH does not decode");
  for (auto _ : state) {
    auto bytes = wire::encode_signed_tree_head(*decoded);
    benchmark::DoNotOptimize(bytes);
  }
}
BENCHMARK(BM_EncodeSignedTreeHead);

void BM_DecodeInclusionProofDepth20(benchmark::State& state) {
  const ByteString& bytes = inputs().proof_bytes;
  for (auto _ : state) {
    auto proof = wire::decode_inclusion_proof_v1(bytes);
    benchmark::DoNotOptimize(proof);
  }
}
BENCHMARK(BM_DecodeInclusionProofDepth20);

void BM_DecodeMtacLeaf(benchmark::State& state) {
  const ByteString& bytes = inputs().leaf_bytes;
  for (auto _ : state) {
    auto leaf = leaf::decode_mtac_leaf(bytes);
    benchmark::DoNotOptimize(leaf);
  }
}
BENCHMARK(BM_DecodeMtacLeaf);

void BM_SerializeCanonical(benchmark::State& state) {
  const auto leaf = leaf::decode_mtac_leaf(inputs().leaf_bytes);
  if (!leaf) return state.SkipWithError("leaf does not decode");
  for (auto _ : state) {
    auto bytes = leaf::serialize_canonical(*leaf);
    benchmark::DoNotOptimize(bytes);
  }
}
BENCHMARK(BM_SerializeCanonical);

void BM_LeafHash(benchmark::State& state) {
  const auto leaf = leaf::decode_mtac_leaf(inputs().leaf_bytes);
  if (!leaf) return state.SkipWithError("leaf does not decode");
  const Hash32 log_id = signing::derive_log_id(inputs().ca_public_key);
  for (auto _ : state) {
    auto hash = merkle::leaf_hash(*leaf, log_id);
    benchmark::DoNotOptimize(hash);
  }
}
BENCHMARK(BM_LeafHash);

void BM_DeriveLogId(benchmark::State& state) {
  const ByteString& key = inputs().ca_public_key;
  for (auto _ : state) {
    auto id = signing::derive_log_id(key);
    benchmark::DoNotOptimize(id);
  }
}
BENCHMARK(BM_DeriveLogId);

// One interior node: the unit of every level of a walk.
void BM_NodeHash(benchmark::State& state) {
  const Hash32 left = digest::sha256(as_bytes("left")), right = digest::sha256(as_bytes("right"));
  for (auto _ : state) {
    auto hash = merkle::node_hash(left, right);
    benchmark::DoNotOptimize(hash);
  }
}
BENCHMARK(BM_NodeHash);

// Depth 20: the issuer's proof against the issuer's root. Depth 64: leaf 0 of a tree of 2^64 - 1
// leaves, the deepest walk a 64-bit tree size allows; leaf 0 is a left child at every level, so
// its root is the left fold of the path.
void BM_InclusionWalk(benchmark::State& state) {
  const auto depth = static_cast<std::size_t>(state.range(0));
  Hash32 leaf_hash{}, root{};
  wire::InclusionProof proof;
  if (depth == 20) {
    const auto sth = wire::decode_signed_tree_head(inputs().sth_bytes);
    const auto decoded = wire::decode_inclusion_proof_v1(inputs().proof_bytes);
    const auto leaf = leaf::decode_mtac_leaf(inputs().leaf_bytes);
    if (!sth || !decoded || !leaf) return state.SkipWithError("fixture does not decode");
    proof = *decoded;
    leaf_hash = merkle::leaf_hash(*leaf, sth->log_id);
    root = sth->root_hash;
  } else {
    proof.tree_size = ~std::uint64_t{0};
    proof.leaf_index = 0;
    leaf_hash = digest::sha256(as_bytes("bench leaf"));
    root = leaf_hash;
    for (std::size_t level = 0; level < depth; ++level) {
      proof.inclusion_path.push_back(digest::sha256(as_bytes("bench sibling " + std::to_string(level))));
      root = merkle::node_hash(root, proof.inclusion_path.back());
    }
  }
  if (proof.inclusion_path.size() != depth || !merkle::verify_inclusion_proof(leaf_hash, proof, root)) {
    return state.SkipWithError("the proof does not walk to its root");
  }
  for (auto _ : state) {
    bool ok = merkle::verify_inclusion_proof(leaf_hash, proof, root);
    benchmark::DoNotOptimize(ok);
  }
}
BENCHMARK(BM_InclusionWalk)->Arg(20)->Arg(64);

// A handle as every call makes it, twice per successful call.
void BM_CreateMlDsa65Handle(benchmark::State& state) {
  signing::ensure_signature_backend_ready();
  for (auto _ : state) {
    auto scheme = signing::create_ml_dsa_65();
    benchmark::DoNotOptimize(scheme);
  }
}
BENCHMARK(BM_CreateMlDsa65Handle);

// One raw verification through the project's handle, the handle created per verification as a
// call does: the unit the costs above are compared with.
void BM_MlDsa65Verify(benchmark::State& state) {
  signing::ensure_signature_backend_ready();
  const Inputs& in = inputs();
  for (auto _ : state) {
    auto scheme = signing::create_ml_dsa_65();
    if (!scheme) return state.SkipWithError("no ML-DSA-65 handle");
    if (!scheme->verify_one(in.raw_sth, in.raw_signature, signing::STH_SIGNATURE_CONTEXT,
                                     in.raw_public_key)) {
      return state.SkipWithError("the fixture signature does not verify");
    }
  }
  state.SetLabel(std::string(signing::ml_dsa_65_backend_name()));
}
BENCHMARK(BM_MlDsa65Verify)->Unit(benchmark::kMicrosecond);

// The last checks of a call on the depth-20 fixture: the STH's log id and the signature over its
// re-encoding (one verification), then the leaf hash and the inclusion walk.
void BM_SthCheckAndLeafInTreeDepth20(benchmark::State& state) {
  signing::ensure_signature_backend_ready();
  const Inputs& in = inputs();
  const auto sth = wire::decode_signed_tree_head(in.sth_bytes);
  const auto proof = wire::decode_inclusion_proof_v1(in.proof_bytes);
  const auto leaf = leaf::decode_mtac_leaf(in.leaf_bytes);
  if (!sth || !proof || !leaf) return state.SkipWithError("fixture does not decode");
  const signing::CaPublicKey key(in.ca_public_key.data(), signing::ML_DSA_65_PUBLIC_KEY_LENGTH);
  auto scheme = signing::create_ml_dsa_65();
  if (!scheme) return state.SkipWithError("no ML-DSA-65 handle");
  const signing::PreparedSignature prepared = scheme->prepare(in.ca_public_key, in.signature);
  for (auto _ : state) {
    if (!signing::verify_sth_signature(*sth, prepared, key) || !merkle::verify_leaf_in_tree(*leaf, *proof, *sth)) {
      return state.SkipWithError("the fixture call does not verify");
    }
  }
}
BENCHMARK(BM_SthCheckAndLeafInTreeDepth20)->Unit(benchmark::kMicrosecond);

// A whole successful call through the core, on the process's path and backend.
void BM_VerifyInclusionDepth20(benchmark::State& state) {
  const Inputs& in = inputs();
  for (auto _ : state) {
    auto verified = verify_inclusion(in.leaf_bytes, in.proof_bytes, in.sth_bytes, in.signature, in.ca_public_key);
    if (!verified) return state.SkipWithError("the fixture call does not verify");
  }
  state.SetLabel(std::string(signing::ml_dsa_65_backend_name()));
}
BENCHMARK(BM_VerifyInclusionDepth20)->Unit(benchmark::kMicrosecond);

// A call whose proof does not decode (one byte), on the depth-20 fixture's STH: everything up to
// the proof's decode, which includes the STH check (log id, re-encoding and its verification) that
// CheckedSth::check decides before any proof is seen.
void BM_VerifyInclusionProofUndecodable(benchmark::State& state) {
  const Inputs& in = inputs();
  const ByteString proof{0xff};
  for (auto _ : state) {
    auto verified = verify_inclusion(in.leaf_bytes, proof, in.sth_bytes, in.signature, in.ca_public_key);
    if (verified || !std::holds_alternative<ProofDecodeFailed>(verified.error())) {
      return state.SkipWithError("the call did not fail at the proof's decode");
    }
  }
}
BENCHMARK(BM_VerifyInclusionProofUndecodable)->Unit(benchmark::kMicrosecond);

// The code path named by the benchmark's argument, or nothing when this CPU lacks it.
const mldsa::Kernels* path_kernels(benchmark::State& state) {
  const auto wanted = static_cast<mldsa::Path>(state.range(0));
  for (mldsa::Path p : mldsa::available_paths()) {
    if (p == wanted) {
      state.SetLabel(std::string(mldsa::path_name(p)));
      return &mldsa::kernels_for(p);
    }
  }
  state.SkipWithError("this CPU lacks the path");
  return nullptr;
}

mldsa::PublicKeyView raw_key() { return mldsa::PublicKeyView(inputs().raw_public_key.data(), mldsa::PUBLIC_KEY_BYTES); }

// prepare()'s hashing: tr, the challenge and the 30 entries of A in one batch of sponges.
void BM_MlDsaExpand(benchmark::State& state) {
  const mldsa::Kernels* k = path_kernels(state);
  if (k == nullptr) return;
  static mldsa::Expansion x;
  static mldsa::ExpansionSponges work;
  const auto c_tilde = std::span<const std::uint8_t, mldsa::C_TILDE_BYTES>(inputs().raw_signature.data(), mldsa::C_TILDE_BYTES);
  for (auto _ : state) {
    mldsa::expand(x, work, raw_key(), c_tilde, *k);
    benchmark::DoNotOptimize(x);
  }
}
BENCHMARK(BM_MlDsaExpand)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

void BM_MlDsaNtt(benchmark::State& state) {
  const mldsa::Kernels* k = path_kernels(state);
  if (k == nullptr) return;
  mldsa::Poly p{};
  for (std::size_t i = 0; i < mldsa::N; ++i) p.coeffs[i] = static_cast<std::int32_t>(i * 32749 % mldsa::Q);
  for (auto _ : state) {
    k->ntt(p);
    benchmark::DoNotOptimize(p);
  }
}
BENCHMARK(BM_MlDsaNtt)->DenseRange(0, 2);

void BM_MlDsaInverseNtt(benchmark::State& state) {
  const mldsa::Kernels* k = path_kernels(state);
  if (k == nullptr) return;
  mldsa::Poly p{};
  for (std::size_t i = 0; i < mldsa::N; ++i) p.coeffs[i] = static_cast<std::int32_t>(i * 32749 % mldsa::Q);
  for (auto _ : state) {
    k->inverse_ntt_montgomery(p);
    benchmark::DoNotOptimize(p);
  }
}
BENCHMARK(BM_MlDsaInverseNtt)->DenseRange(0, 2);

// The glue around the transforms, one row each: z from the fixture signature, t1 from its key, and
// w1 from an inverse NTT's range with nine hinted coefficients (a full hint spreads 55 over six rows).
void BM_MlDsaUnpackZ(benchmark::State& state) {
  const mldsa::Kernels* k = path_kernels(state);
  if (k == nullptr) return;
  mldsa::Poly z;
  for (auto _ : state) {
    benchmark::DoNotOptimize(k->unpack_z(z, inputs().raw_signature.data() + mldsa::C_TILDE_BYTES));
    benchmark::DoNotOptimize(z);
  }
}
BENCHMARK(BM_MlDsaUnpackZ)->DenseRange(0, 2);

void BM_MlDsaUnpackT1(benchmark::State& state) {
  const mldsa::Kernels* k = path_kernels(state);
  if (k == nullptr) return;
  mldsa::Poly t;
  for (auto _ : state) {
    k->unpack_t1_shifted(t, raw_key().data() + mldsa::SEED_BYTES);
    benchmark::DoNotOptimize(t);
  }
}
BENCHMARK(BM_MlDsaUnpackT1)->DenseRange(0, 2);

void BM_MlDsaEncodeW1(benchmark::State& state) {
  const mldsa::Kernels* k = path_kernels(state);
  if (k == nullptr) return;
  mldsa::Poly w{};
  for (std::size_t i = 0; i < mldsa::N; ++i) {
    w.coeffs[i] = static_cast<std::int32_t>(i * 32749 % (2 * mldsa::Q - 1)) - (mldsa::Q - 1);
  }
  const std::uint8_t positions[] = {3, 17, 40, 90, 131, 170, 200, 230, 250};
  std::array<std::uint8_t, mldsa::W1_POLY_BYTES> out;
  for (auto _ : state) {
    k->encode_w1(out.data(), w, positions, sizeof positions);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_MlDsaEncodeW1)->DenseRange(0, 2);

// One call of the path's multi-state permutation; the label gives how many states it permutes.
void BM_MlDsaKeccakLanes(benchmark::State& state) {
  const mldsa::Kernels* k = path_kernels(state);
  if (k == nullptr) return;
  struct alignas(64) Lane {
    mldsa::KeccakState words{};
  };
  std::array<Lane, 8> lanes;
  std::array<mldsa::KeccakState*, 8> states;
  for (std::size_t l = 0; l < states.size(); ++l) states[l] = &lanes[l].words;
  for (auto _ : state) {
    k->permute_lanes(states.data());
    benchmark::DoNotOptimize(lanes);
  }
  state.SetLabel(std::string(mldsa::path_name(static_cast<mldsa::Path>(state.range(0)))) + ", " +
                 std::to_string(k->keccak_lanes) + " states");
  state.counters["per_state_ns"] = benchmark::Counter(
      static_cast<double>(state.iterations() * k->keccak_lanes),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_MlDsaKeccakLanes)->DenseRange(0, 2);

// One call of the path's single-state permutation, which the hashes over a message (mu, c~') run on
// one after the other.
void BM_MlDsaKeccakOne(benchmark::State& state) {
  const mldsa::Kernels* k = path_kernels(state);
  if (k == nullptr) return;
  alignas(64) mldsa::KeccakState words{};
  for (auto _ : state) {
    k->permute_one(words);
    benchmark::DoNotOptimize(words);
  }
}
BENCHMARK(BM_MlDsaKeccakOne)->DenseRange(0, 2);

void BM_MlDsaPrepare(benchmark::State& state) {
  const mldsa::Kernels* k = path_kernels(state);
  if (k == nullptr) return;
  for (auto _ : state) {
    auto prepared = mldsa::prepare(raw_key(), inputs().raw_signature, *k);
    benchmark::DoNotOptimize(prepared);
  }
}
BENCHMARK(BM_MlDsaPrepare)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

// One decision over the fixture STH: mu and c~' only.
void BM_MlDsaDecide(benchmark::State& state) {
  const mldsa::Kernels* k = path_kernels(state);
  if (k == nullptr) return;
  const auto prepared = mldsa::prepare(raw_key(), inputs().raw_signature, *k);
  for (auto _ : state) {
    if (!prepared.decide(inputs().raw_sth, signing::STH_SIGNATURE_CONTEXT)) {
      return state.SkipWithError("the fixture signature does not verify");
    }
  }
}
BENCHMARK(BM_MlDsaDecide)->DenseRange(0, 2);

// OpenSSL's verification of the same signature, beside the steps above.
void BM_OpenSslMlDsa65Verify(benchmark::State& state) {
  const Inputs& in = inputs();
  for (auto _ : state) {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        EVP_PKEY_new_raw_public_key_ex(nullptr, "ML-DSA-65", nullptr, in.raw_public_key.data(),
                                       in.raw_public_key.size()),
        EVP_PKEY_free);
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
        key ? EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr) : nullptr, EVP_PKEY_CTX_free);
    std::unique_ptr<EVP_SIGNATURE, decltype(&EVP_SIGNATURE_free)> alg(
        EVP_SIGNATURE_fetch(nullptr, "ML-DSA-65", nullptr), EVP_SIGNATURE_free);
    if (!ctx || !alg) return state.SkipWithError("OpenSSL has no ML-DSA-65");
    OSSL_PARAM params[2] = {
        OSSL_PARAM_construct_octet_string(OSSL_SIGNATURE_PARAM_CONTEXT_STRING,
                                          const_cast<std::uint8_t*>(signing::STH_SIGNATURE_CONTEXT.data()),
                                          signing::STH_SIGNATURE_CONTEXT.size()),
        OSSL_PARAM_END};
    if (EVP_PKEY_verify_message_init(ctx.get(), alg.get(), params) != 1 ||
        EVP_PKEY_verify(ctx.get(), in.raw_signature.data(), in.raw_signature.size(), in.raw_sth.data(),
                        in.raw_sth.size()) != 1) {
      return state.SkipWithError("OpenSSL does not verify the fixture");
    }
  }
}
BENCHMARK(BM_OpenSslMlDsa65Verify)->Unit(benchmark::kMicrosecond);

// What a successful call does besides its two verifications, in its order: the three decodes, the
// log identity, the STH re-encoding, the leaf hash and the walk.
void BM_CallWorkBesideSignaturesDepth20(benchmark::State& state) {
  const Inputs& in = inputs();
  for (auto _ : state) {
    const auto sth = wire::decode_signed_tree_head(in.sth_bytes);
    const auto proof = wire::decode_inclusion_proof_v1(in.proof_bytes);
    const auto leaf = leaf::decode_mtac_leaf(in.leaf_bytes);
    if (!sth || !proof || !leaf) return state.SkipWithError("fixture does not decode");
    const Hash32 log_id = signing::derive_log_id(in.ca_public_key);
    const ByteString message = wire::encode_signed_tree_head(*sth);
    const Hash32 hash = merkle::leaf_hash(*leaf, log_id);
    bool ok = log_id == sth->log_id && merkle::verify_inclusion_proof(hash, *proof, sth->root_hash);
    benchmark::DoNotOptimize(message);
    benchmark::DoNotOptimize(ok);
    if (!ok) return state.SkipWithError("the fixture call does not verify");
  }
}
BENCHMARK(BM_CallWorkBesideSignaturesDepth20);

}  // namespace
}  // namespace halyx::bench

BENCHMARK_MAIN();
