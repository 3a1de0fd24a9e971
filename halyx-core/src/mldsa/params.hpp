// params.hpp: the ML-DSA-65 parameter set and the sizes of its encodings. Everything the verifier
// computes is fixed by these numbers; nothing here depends on the input.
#pragma once

#include <cstddef>
#include <cstdint>

namespace halyx::mldsa {

inline constexpr std::int32_t Q = 8380417;  // 2^23 - 2^13 + 1
inline constexpr std::size_t N = 256;       // coefficients per polynomial
inline constexpr std::size_t K = 6;         // rows of A: polynomials in t1, w and the hint
inline constexpr std::size_t L = 5;         // columns of A: polynomials in z
inline constexpr unsigned D = 13;           // bits dropped from t: t1 carries the high 10
inline constexpr unsigned TAU = 49;         // non-zero (+-1) coefficients of the challenge c
inline constexpr std::int32_t BETA = 196;   // TAU * eta, with eta = 4
inline constexpr std::int32_t GAMMA1 = 1 << 19;
inline constexpr std::int32_t GAMMA2 = (Q - 1) / 32;
inline constexpr std::size_t OMEGA = 55;  // most hint bits a signature may set

inline constexpr std::size_t SEED_BYTES = 32;     // rho
inline constexpr std::size_t TR_BYTES = 64;       // tr = H(pk)
inline constexpr std::size_t MU_BYTES = 64;       // mu = H(tr || M')
inline constexpr std::size_t C_TILDE_BYTES = 48;  // lambda / 4, lambda = 192

inline constexpr std::size_t T1_POLY_BYTES = N * 10 / 8;  // 320
inline constexpr std::size_t Z_POLY_BYTES = N * 20 / 8;   // 640
inline constexpr std::size_t W1_POLY_BYTES = N * 4 / 8;   // 128
inline constexpr std::size_t HINT_BYTES = OMEGA + K;      // 61

inline constexpr std::size_t PUBLIC_KEY_BYTES = SEED_BYTES + K * T1_POLY_BYTES;                 // 1952
inline constexpr std::size_t SIGNATURE_BYTES = C_TILDE_BYTES + L * Z_POLY_BYTES + HINT_BYTES;  // 3309
inline constexpr std::size_t W1_ENCODED_BYTES = K * W1_POLY_BYTES;                             // 768
inline constexpr std::size_t MAX_CONTEXT_BYTES = 255;

static_assert(PUBLIC_KEY_BYTES == 1952 && SIGNATURE_BYTES == 3309);

}  // namespace halyx::mldsa
