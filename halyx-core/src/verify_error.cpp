#include <halyx/verification.hpp>

// The texts of the failures; the order of the checks that reach them is in verification.cpp, beside
// verify_inclusion itself.
namespace halyx {
namespace {

// Texts that callers match, which still name the library the first backend was: they stay as
// they are whichever backend runs.
constexpr std::string_view HANDLE_UNAVAILABLE_PREFIX = "oqs init failed: ";
constexpr std::string_view LENGTH_REJECTED_INFIX = " rejected by oqs (expected ";

std::string length_text(std::string_view what, std::uint64_t expected, std::uint64_t got) {
  std::string s(what);
  s += LENGTH_REJECTED_INFIX;
  s += std::to_string(expected) + " bytes, got " + std::to_string(got) + ")";
  return s;
}

}  // namespace

ErrorClass error_class(const VerifyError& e) noexcept {
  return std::visit(Overloaded{
                        [](const HandleUnavailable&) { return ErrorClass::Verification; },
                        [](const KeyLengthMismatch&) { return ErrorClass::Verification; },
                        [](const SignatureTooLong&) { return ErrorClass::InvalidProof; },
                        [](const SignatureRejected&) { return ErrorClass::InvalidProof; },
                        [](const SthDecodeFailed&) { return ErrorClass::Verification; },
                        [](const ProofDecodeFailed&) { return ErrorClass::Verification; },
                        [](const LeafDecodeFailed&) { return ErrorClass::Verification; },
                        [](const SthCheckFailed&) { return ErrorClass::InvalidProof; },
                        [](const InclusionFailed&) { return ErrorClass::InvalidProof; },
                    },
                    e);
}

std::string_view class_name(ErrorClass c) noexcept {
  switch (c) {
    case ErrorClass::Verification:
      return "HalyxVerificationError";
    case ErrorClass::InvalidProof:
      return "HalyxInvalidProofError";
  }
  return {};  // unreachable: every class has its case above, and -Wswitch guards new ones
}

std::string message(const VerifyError& e) {
  return std::visit(
      Overloaded{
          [](const HandleUnavailable& x) {
            return std::string(HANDLE_UNAVAILABLE_PREFIX) + std::string(signing::message(x.error));
          },
          [](const KeyLengthMismatch& x) { return length_text("ca_public_key", x.expected, x.got); },
          [](const SignatureTooLong& x) { return length_text("signature", x.expected, x.got); },
          [](const SignatureRejected&) { return std::string("ML-DSA-65 signature verification failed"); },
          [](const SthDecodeFailed& x) { return "STH envelope decode failed: " + wire::message(x.error); },
          [](const ProofDecodeFailed& x) { return "inclusion proof decode failed: " + wire::message(x.error); },
          [](const LeafDecodeFailed& x) { return "leaf decode failed: " + leaf::message(x.error); },
          [](const SthCheckFailed& x) { return "STH verification failed: " + signing::message(x.error); },
          [](const InclusionFailed&) { return std::string("Merkle inclusion proof invalid"); },
      },
      e);
}

}  // namespace halyx
