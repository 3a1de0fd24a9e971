// The classes and texts of a segment's failures, each written here only.
#include <string>
#include <string_view>

#include <halyx/segment.hpp>

namespace halyx {
namespace {

std::string_view proof_name(ProofEnd end) noexcept { return end == ProofEnd::First ? "first proof" : "last proof"; }

std::string num(std::uint64_t n) { return std::to_string(n); }

}  // namespace

// One lambda per kind and no generic one: a new kind fails to build until it has its class.
ErrorClass error_class(const SegmentError& e) noexcept {
  return std::visit(Overloaded{
                        [](const SegmentSthFailed& x) { return error_class(x.error); },
                        [](const OlderSthFailed& x) { return error_class(x.error); },
                        [](const SegmentProofDecodeFailed&) { return ErrorClass::Verification; },
                        [](const SegmentLeafDecodeFailed&) { return ErrorClass::Verification; },
                        [](const NoLeaves&) { return ErrorClass::Verification; },
                        [](const RangeOutOfPlace&) { return ErrorClass::Verification; },
                        [](const OlderSthOtherLog&) { return ErrorClass::InvalidProof; },
                        [](const ProofForOtherTree&) { return ErrorClass::InvalidProof; },
                        [](const ProofMisfit&) { return ErrorClass::InvalidProof; },
                        [](const ProofsOutOfOrder&) { return ErrorClass::InvalidProof; },
                        [](const OlderNotSmaller&) { return ErrorClass::InvalidProof; },
                        [](const StartNotOlderSize&) { return ErrorClass::InvalidProof; },
                        [](const NotAnExtension&) { return ErrorClass::InvalidProof; },
                        [](const PastLastProof&) { return ErrorClass::InvalidProof; },
                        [](const PastTree&) { return ErrorClass::InvalidProof; },
                        [](const ShortOfLastProof&) { return ErrorClass::InvalidProof; },
                        [](const ShortOfTree&) { return ErrorClass::InvalidProof; },
                        [](const ProofLeafMismatch&) { return ErrorClass::InvalidProof; },
                        [](const SegmentRootMismatch&) { return ErrorClass::InvalidProof; },
                    },
                    e);
}

std::string message(const SegmentError& e) {
  return std::visit(
      Overloaded{
          [](const SegmentSthFailed& x) { return message(x.error); },
          [](const OlderSthFailed& x) { return "older STH: " + message(x.error); },
          [](const OlderSthOtherLog&) { return std::string("older STH names another log than the STH"); },
          [](const SegmentProofDecodeFailed& x) {
            return std::string(proof_name(x.end)) + " decode failed: " + wire::message(x.error);
          },
          [](const ProofForOtherTree& x) {
            return std::string(proof_name(x.end)) + " is for a tree of " + num(x.proof_tree_size) +
                   " leaves, not the STH's tree of " + num(x.tree_size);
          },
          [](const ProofMisfit& x) {
            return std::string(proof_name(x.end)) + " does not fit leaf " + num(x.leaf_index) + " of a tree of " +
                   num(x.tree_size) + " leaves";
          },
          [](const ProofsOutOfOrder& x) {
            return "first proof's leaf " + num(x.first) + " comes after the last proof's leaf " + num(x.last);
          },
          [](const OlderNotSmaller& x) {
            return "older STH's tree of " + num(x.older_size) + " leaves is not smaller than the STH's tree of " +
                   num(x.tree_size);
          },
          [](const StartNotOlderSize& x) {
            return "segment starts at leaf " + num(x.start) + ", not at the older STH's tree size " +
                   num(x.older_size);
          },
          [](const NotAnExtension& x) {
            return "the STH's tree does not extend the older STH's tree of " + num(x.older_size) + " leaves";
          },
          [](const SegmentLeafDecodeFailed& x) {
            return "record " + num(x.record) + " at byte offset " + num(x.offset) +
                   ": leaf decode failed: " + leaf::message(x.error);
          },
          [](const NoLeaves&) { return std::string("segment holds no leaf records"); },
          [](const PastLastProof& x) {
            return "leaf " + num(x.leaf_index) + " is past the last proof's leaf " + num(x.last);
          },
          [](const PastTree& x) {
            return "leaf " + num(x.leaf_index) + " is past the end of the STH's tree of " + num(x.tree_size) +
                   " leaves";
          },
          [](const ShortOfLastProof& x) {
            return "segment ends at leaf " + num(x.last_given) + ", before the last proof's leaf " + num(x.last);
          },
          [](const ShortOfTree& x) {
            return "segment ends at leaf " + num(x.last_given) + ", before the last leaf of the STH's tree of " +
                   num(x.tree_size) + " leaves";
          },
          [](const ProofLeafMismatch& x) {
            return std::string(proof_name(x.end)) + " does not lead from leaf " + num(x.leaf_index) +
                   " to the STH's root";
          },
          [](const RangeOutOfPlace& x) {
            return "leaves from " + num(x.begin) + " were given where leaf " + num(x.next) + " comes next";
          },
          [](const SegmentRootMismatch& x) {
            return "leaves " + num(x.first) + " to " + num(x.last) + " do not lead to the STH's root";
          },
      },
      e);
}

}  // namespace halyx
