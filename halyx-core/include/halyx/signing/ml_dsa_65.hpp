// ml_dsa_65.hpp: the ML-DSA-65 (FIPS 204) signature handle. Every signature check of the system runs
// through it. Three implementations can stand behind it, chosen when the project is configured:
// the project's own verifier (mldsa/, the default), liboqs, or OpenSSL 3.5 and later. All give the
// same answers and the same errors.
//
// A call checks one signature under one key over two messages, so the handle works in two steps:
// prepare() once per (key, signature), then PreparedSignature::verify() per (message, context).
// With the project's own verifier, prepare() does all the work that does not depend on the
// message; the libraries verify in full each time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <string_view>

#include <halyx/bytes.hpp>

namespace halyx::signing {

inline constexpr std::string_view ML_DSA_65_SCHEME_NAME = "ML-DSA-65";
inline constexpr std::size_t ML_DSA_65_PUBLIC_KEY_LENGTH = 1952;
inline constexpr std::size_t ML_DSA_65_SIGNATURE_LENGTH = 3309;

// The FIPS 204 context of every STH signature. It is handed to the library beside the message and
// never prepended to it. Its text equals the envelope's version tag, but the two are separate
// constants with separate roles.
inline constexpr std::array<std::uint8_t, 12> STH_SIGNATURE_CONTEXT = {
    'H', 'A', 'L', 'Y', 'X', '-', 'S', 'T', 'H', '-', 'v', '1'};

// What the handle can report.
enum class SignatureError {
  AlgorithmDisabled,  // the library has no ML-DSA-65, or could not create its object
  VerifyFailed,       // the signature does not verify; callers replace this with their own words
};

// Returns the display text of `e`; VerifyFailed has none, since no caller shows it.
[[nodiscard]] std::string_view message(SignatureError e) noexcept;

// Initialises the signature library once per process; later calls return at once. Threads that
// arrive while the first call runs wait for it. Knows nothing of the interpreter lock: callers that
// hold one release it around this call.
void ensure_signature_backend_ready();

class MlDsa65;

// One signature under one key, ready to be checked against any number of messages. Borrows the
// key and the signature (and the handle that made it) for as long as it lives; owns nothing, so
// it lives on its owner's stack.
class PreparedSignature {
 public:
  // Returns success when the signature is a valid ML-DSA-65 signature of `message` under
  // `context` and the key; VerifyFailed for every other outcome, whatever the cause (wrong key,
  // message, context or length, or a context over 255 bytes). Throws std::bad_alloc when the
  // library could not allocate, which says nothing about the signature.
  [[nodiscard]] std::expected<void, SignatureError> verify(ByteView message, ByteView context) const;

  // Returns verify(message, context) for the message and context it was prepared with
  // (MlDsa65::prepare's four-argument form); VerifyFailed when it was prepared without one.
  [[nodiscard]] std::expected<void, SignatureError> verify_prepared() const;

  // The length of the signature it was prepared with.
  [[nodiscard]] std::size_t signature_size() const noexcept { return signature_.size(); }

 private:
  friend class MlDsa65;
  PreparedSignature(const MlDsa65& scheme, ByteView public_key, ByteView signature) noexcept
      : scheme_(&scheme), public_key_(public_key), signature_(signature) {}

  // Where the project's own verifier keeps its work (unused by the library backends). Its type
  // stays in the backend, which checks that it fits: no header of the verifier is public.
  static constexpr std::size_t WORK_BYTES = 976;
  static constexpr std::size_t WORK_ALIGNMENT = 16;

  const MlDsa65* scheme_;
  ByteView public_key_;
  ByteView signature_;
  bool has_message_ = false;
  ByteView message_, context_;  // with has_message_
  alignas(WORK_ALIGNMENT) std::array<std::byte, WORK_BYTES> work_{};
};

// The ML-DSA-65 handle: the sole owner of one library scheme object, when a library stands behind
// it. Moves, never copies. It does not check lengths:
// callers compare key and signature lengths with length_public_key() and length_signature() first
// and report length faults in their own words.
class MlDsa65 {
 public:
  struct Library;  // the library's scheme object, defined by a library backend (the native one has none)
  struct LibraryFree {
    void operator()(Library* o) const noexcept;
  };

  explicit MlDsa65(std::unique_ptr<Library, LibraryFree> object, std::size_t public_key_length,
                              std::size_t signature_length) noexcept
      : library_(std::move(object)),
        length_public_key_(public_key_length),
        length_signature_(signature_length) {}

  [[nodiscard]] std::size_t length_public_key() const noexcept { return length_public_key_; }
  [[nodiscard]] std::size_t length_signature() const noexcept { return length_signature_; }

  // Returns `signature` under `public_key`, prepared for any number of messages. Keys and
  // signatures of the wrong length are prepared too, as ones that verify nothing. Throws
  // std::bad_alloc when the library could not allocate.
  [[nodiscard]] PreparedSignature prepare(ByteView public_key, ByteView signature) const;

  // The same, with `message` under `context` made ready too, for verify_prepared(): the project's
  // own verifier hashes the message's part of the challenge in lanes the signature's own hashing
  // leaves free. Borrows the message and the context as it does the key and the signature.
  [[nodiscard]] PreparedSignature prepare(ByteView public_key, ByteView signature, ByteView message,
                                          ByteView context) const;

  // Returns prepare(public_key, signature, message, context).verify_prepared(): one check on its own.
  [[nodiscard]] std::expected<void, SignatureError> verify_one(ByteView message, ByteView signature,
                                                                  ByteView context,
                                                                  ByteView public_key) const;

 private:
  friend class PreparedSignature;
  std::unique_ptr<Library, LibraryFree> library_;
  std::size_t length_public_key_;
  std::size_t length_signature_;
};

// Returns a new ML-DSA-65 handle, or AlgorithmDisabled when the library cannot provide one. Throws
// std::bad_alloc when the library could not allocate it.
[[nodiscard]] std::expected<MlDsa65, SignatureError> create_ml_dsa_65();

// Returns the name and version of the library behind the handle, e.g. "OpenSSL 3.5.7 ..." or, for
// the project's own verifier, "halyx native (avx512)" with the code path this process uses.
[[nodiscard]] std::string_view ml_dsa_65_backend_name() noexcept;

}  // namespace halyx::signing
