// The kernel image's own 64-bit division helpers, built here under other names and compared with
// the host processor's 64-bit division.
#include <gtest/gtest.h>

#include <limits>
#include <vector>

#define KX_RT_NAME(name) Host##name
#include "nt/rt_int64.cpp"

namespace {

constexpr KxS64 kMin = std::numeric_limits<KxS64>::min();

// Both the unsigned and the signed helpers on the bits of n and d.
void Expect(KxU64 n, KxU64 d)
{
    if (d == 0) {
        return;
    }
    KxU64 r = 0xDEADBEEF;
    EXPECT_EQ(Host__udivdi3(n, d), n / d) << n << " / " << d;
    EXPECT_EQ(Host__umoddi3(n, d), n % d) << n << " % " << d;
    EXPECT_EQ(Host__udivmoddi4(n, d, &r), n / d) << n << " / " << d;
    EXPECT_EQ(r, n % d) << n << " % " << d;
    EXPECT_EQ(Host__udivmoddi4(n, d, nullptr), n / d);
    const KxS64 sn = static_cast<KxS64>(n), sd = static_cast<KxS64>(d);
    if (sn == kMin && sd == -1) {
        return; // overflows: checked on its own
    }
    KxS64 sr = 0x5EED;
    EXPECT_EQ(Host__divdi3(sn, sd), sn / sd) << sn << " / " << sd;
    EXPECT_EQ(Host__moddi3(sn, sd), sn % sd) << sn << " % " << sd;
    EXPECT_EQ(Host__divmoddi4(sn, sd, &sr), sn / sd) << sn << " / " << sd;
    EXPECT_EQ(sr, sn % sd) << sn << " % " << sd;
}

// Signed quotients truncate toward zero and remainders take the dividend's sign, as on the processor.
TEST(KernelDivision, QuotientsAndRemaindersMatchTheProcessor)
{
    std::vector<KxU64> edges = {0, 1, 2, 3, 7, 10, 10000, 3579545, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu,
                                0xFFFFFFFFu, 0x100000000ull, 0x100000001ull, 0x1FFFFFFFFull, 0x123456789ABCDEFull,
                                0x7FFFFFFFFFFFFFFFull, 0x8000000000000000ull, 0xFFFFFFFF00000000ull,
                                0xFFFFFFFFFFFFFFFEull, 0xFFFFFFFFFFFFFFFFull};
    for (size_t i = 0, n = edges.size(); i < n; ++i) {
        edges.push_back(0 - (edges[i] & 0x7FFFFFFFFFFFFFFFull)); // the negated signed value
    }
    for (KxU64 n : edges) {
        for (KxU64 d : edges) {
            Expect(n, d);
        }
    }
    // Values of every magnitude from a fixed linear congruential sequence: deterministic runs.
    KxU64 x = 0x2545F4914F6CDD1Dull, previous = 0;
    for (int i = 0; i < 4000; ++i, previous = x >> (x % 64)) {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        if (i % 2 == 1) {
            Expect(previous, x >> (x % 64));
        }
    }
    // The one quotient that does not fit wraps, as the compiler's own helpers do.
    KxS64 r = 1;
    EXPECT_EQ(Host__divmoddi4(kMin, -1, &r), kMin);
    EXPECT_EQ(r, 0);
}

} // namespace
