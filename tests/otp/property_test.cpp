// Random images written one after another until the OTP is full, with random bytes that fail
// to program in the code area, in ECC records and in block-table entries. Every successful
// update must read back (ECC applied) equal to its block image; every failed one must leave
// the tables so that the next update starts after every byte it programmed, and no update
// may touch a byte below its own start.
#include <random>

#include "otp_fixture.h"

namespace drover::otp::testing {
namespace {

// Where the next block goes, read from the raw OTP with the placement rule: the lowest blank
// entry above every entry in use that no ECC record in use points into, after the highest
// entry below it that no record at all points into.
struct Placement {
  bool possible = false;
  int entry = -1;
  std::uint32_t start = 0;
};

bool Pointed(const std::vector<std::uint8_t>& otp, int i, bool inUseOnly) {
  const std::uint32_t e = EntryAddress(i);
  for (int k = 1; k <= kEccRecords; ++k) {
    const std::uint32_t r = RecordAddress(k);
    const std::uint32_t a = ReadBE16(otp, r);
    if (inUseOnly && otp[r + 3] != kMarkInUse) continue;
    if (a >= e && a < e + kBlockEntrySize) return true;
  }
  return false;
}

bool BlankEntry(const std::vector<std::uint8_t>& otp, int i) {
  const std::uint32_t e = EntryAddress(i);
  return std::all_of(otp.begin() + e, otp.begin() + e + kBlockEntrySize, [](std::uint8_t b) { return b == 0; });
}

Placement NextPlacement(const std::vector<std::uint8_t>& otp) {
  Placement p;
  // A blank entry below one in use (its bytes refused to program) is never used.
  int highestUsed = -1;
  for (int i = 0; i < kBlockEntries; ++i)
    if (!BlankEntry(otp, i)) highestUsed = i;
  for (int i = 0; i < kBlockEntries; ++i) {
    if (!BlankEntry(otp, i) || i < highestUsed || Pointed(otp, i, true)) continue;
    p.possible = true;
    p.entry = i;
    for (int j = i - 1; j >= 0; --j) {
      if (Pointed(otp, j, false)) continue;
      p.start = static_cast<std::uint32_t>(ReadBE16(otp, EntryAddress(j))) + ReadBE16(otp, EntryAddress(j) + 2);
      break;
    }
    return p;
  }
  return p;
}

// The block as the chip holds it, with the ECC records in use applied.
std::vector<std::uint8_t> Corrected(const std::vector<std::uint8_t>& otp, std::uint32_t start, std::uint32_t length) {
  std::vector<std::uint8_t> out(otp.begin() + start, otp.begin() + start + length);
  for (int k = 1; k <= kEccRecords; ++k) {
    const std::uint32_t r = RecordAddress(k);
    const std::uint32_t a = ReadBE16(otp, r);
    if (otp[r + 3] == kMarkInUse && a >= start && a < start + length) out[a - start] = otp[r + 2];
  }
  return out;
}

class OtpProperty : public OtpTest, public ::testing::WithParamInterface<unsigned> {
 protected:
  // A byte that has not been programmed yet becomes bad (bytes fail from the start).
  void AddBadByte(std::vector<std::uint16_t>& bad, const std::vector<std::uint8_t>& otp, std::uint32_t address) {
    if (address < kOtpSize && otp[address] == 0) bad.push_back(static_cast<std::uint16_t>(address));
  }
};

TEST_P(OtpProperty, RandomImagesUntilTheOtpIsFull) {
  std::mt19937 rng(GetParam());
  auto roll = [&](std::uint32_t n) { return static_cast<std::uint32_t>(rng() % n); };
  AddOtpDevice();
  std::vector<std::uint16_t> bad;
  std::uint32_t maxLength = 0x1400;
  int successes = 0;
  int failures = 0;
  for (int attempt = 0; attempt < 80; ++attempt) {
    SCOPED_TRACE(attempt);
    const std::vector<std::uint8_t> before = Otp(0, kOtpSize);
    const Placement place = NextPlacement(before);
    if (!place.possible) break;

    const std::uint32_t length = 16 + roll(maxLength - 15);
    std::vector<std::uint8_t> image(length);
    for (auto& b : image) b = static_cast<std::uint8_t>(rng());
    // Failing bytes: mostly a few inside the new block, sometimes more than the budget, and
    // now and then an ECC record or a block-table entry of its own.
    const std::uint32_t inBlock = roll(6) == 0 ? 9 + roll(3) : roll(4);
    for (std::uint32_t i = 0; i < inBlock; ++i) AddBadByte(bad, before, place.start + roll(length));
    if (roll(4) == 0) AddBadByte(bad, before, kEccTableAddress + roll(kEccTableSize));
    if (roll(5) == 0) AddBadByte(bad, before, EntryAddress(place.entry + static_cast<int>(roll(2))) + roll(kBlockEntrySize));
    SetBad(bad);

    const std::uint8_t kind = roll(2) == 0 ? kKindCode : kKindConfig;
    posts.posts.clear();
    const bool ok = Update(kind, image);
    const std::vector<std::uint8_t> after = Otp(0, kOtpSize);

    // Nothing below the block's start changed in the code area.
    std::uint32_t changedEnd = 0;
    for (std::uint32_t a = 0; a < kCodeAreaEnd; ++a) {
      if (after[a] == before[a]) continue;
      ASSERT_GE(a, place.start) << "a byte below the block's start was programmed";
      changedEnd = a + 1;
    }
    ASSERT_LE(changedEnd, place.start + length);

    if (ok) {
      ++successes;
      const std::uint8_t flag = kind == kKindCode ? kFlagCode : kFlagConfig;
      int live = -1, liveCount = 0;
      for (int i = 0; i < kBlockEntries; ++i)
        if (after[EntryAddress(i) + 4] == flag) {
          live = i;
          ++liveCount;
        }
      ASSERT_EQ(liveCount, 1) << "exactly one live block of the kind";
      const std::uint32_t e = EntryAddress(live);
      ASSERT_EQ(ReadBE16(after, e), place.start);
      ASSERT_EQ(ReadBE16(after, e + 2), length);
      ASSERT_EQ(Corrected(after, place.start, length), image);
      continue;
    }

    ++failures;
    const std::vector<std::uintptr_t> errors = posts.Errors();
    ASSERT_EQ(errors.size(), 1u) << "a failure is reported once";
    if (errors[0] == status::kCodeExceedMax) {
      ASSERT_EQ(changedEnd, 0u);
      maxLength /= 2;
      if (maxLength < 16) break;
      continue;
    }
    // The next update starts after everything this one programmed, or cannot start at all.
    const Placement next = NextPlacement(after);
    if (next.possible) {
      ASSERT_GE(next.start, changedEnd) << "status " << errors[0];
    }
  }
  // The run filled the OTP (no entry left or no space for even a small block).
  EXPECT_TRUE(!NextPlacement(Otp(0, kOtpSize)).possible || maxLength < 16);
  EXPECT_GT(successes, 0);
  EXPECT_GT(failures, 0);
}

INSTANTIATE_TEST_SUITE_P(Seeds, OtpProperty, ::testing::Values(1u, 2u, 3u, 4u, 5u, 6u));

}  // namespace
}  // namespace drover::otp::testing
