// OpenSSL's verdicts, recorded on x86-64 (differential_test.cpp's RecordsVerdictsForReplay),
// replayed on every path this CPU has: built for aarch64 and run under emulation, where no OpenSSL
// is at hand, every fresh signature and every kind of damage to it must get OpenSSL's verdict.
// The damage is drawn again here from each signature's recorded seed, so it must also apply
// exactly where it applied when recorded. Skipped unless HALYX_MLDSA_REPLAY names a record.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "mldsa/damage.hpp"
#include "mldsa/each_path.hpp"
#include "mldsa/verdict_record.hpp"
#include <halyx/mldsa/path.hpp>
#include <halyx/mldsa/verifier.hpp>

namespace halyx::mldsa {
namespace {

using test::Case;
using test::Change;
using test::CHANGE_NAMES;
using test::CHANGES;

class MlDsaReplay : public test::EachPath {};
HALYX_FOR_EACH_PATH(MlDsaReplay);

TEST_P(MlDsaReplay, GivesOpenSslsRecordedVerdicts) {
  const char* path = std::getenv("HALYX_MLDSA_REPLAY");
  if (path == nullptr) GTEST_SKIP() << "HALYX_MLDSA_REPLAY names no record";
  std::ifstream in(path, std::ios::binary);
  ASSERT_TRUE(in) << "cannot read " << path;
  const ByteString bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  test::VerdictReader reader(bytes);
  ByteString key;
  test::RecordedSignature entry;
  int verdicts = 0, signatures = 0, disagreements = 0;
  const auto check = [&](const Case& c, std::uint8_t recorded, const PreparedVerification* reuse, const char* what) {
    const bool ours = reuse != nullptr ? reuse->decide(c.message, c.context)
                                       : prepare(PublicKeyView(c.key.data(), PUBLIC_KEY_BYTES), c.signature, kernels())
                                             .decide(c.message, c.context);
    ++verdicts;
    if (ours == (recorded == test::ACCEPTED)) return;
    if (++disagreements <= 10) {
      ADD_FAILURE() << "signature " << signatures << ", " << what << ": OpenSSL "
                    << (recorded == test::ACCEPTED ? "accepted" : "refused") << ", ours " << (ours ? "accepts" : "refuses");
    }
  };
  for (;;) {
    const auto kind = reader.next(key, entry);
    if (kind == test::VerdictReader::Entry::None) break;
    if (kind == test::VerdictReader::Entry::Key) continue;
    ASSERT_EQ(key.size(), PUBLIC_KEY_BYTES) << "a signature before any key";
    const Case fresh{key, entry.message, entry.context, entry.signature};
    const PreparedVerification prepared = prepare(PublicKeyView(key.data(), PUBLIC_KEY_BYTES), fresh.signature, kernels());
    check(fresh, entry.fresh_verdict, &prepared, "untouched");
    std::mt19937_64 damage_rng = test::damage_generator(entry.damage_seed);
    for (std::size_t c = 0; c < CHANGES; ++c) {
      Case changed = fresh;
      const bool applies = test::Damage(damage_rng).apply(static_cast<Change>(c), changed);
      ASSERT_EQ(applies, entry.damaged[c] != test::NOT_APPLIED)
          << "signature " << signatures << ", " << CHANGE_NAMES[c] << ": the damage is not drawn as it was recorded";
      if (!applies) continue;
      const bool same = changed.key == fresh.key && changed.signature == fresh.signature;
      check(changed, entry.damaged[c], same ? &prepared : nullptr, CHANGE_NAMES[c]);
    }
    ++signatures;
  }
  ASSERT_TRUE(reader.at_end()) << "the record is cut short or malformed after " << signatures << " signatures";
  EXPECT_EQ(disagreements, 0);
  EXPECT_GE(verdicts, 10000) << "too few verdicts to replay";
  std::printf("replayed on %s: %d of OpenSSL's verdicts on %d fresh signatures, %d disagreements\n",
              std::string(path_name(GetParam())).c_str(), verdicts, signatures, disagreements);
}

}  // namespace
}  // namespace halyx::mldsa
