// The kernel image's own 64-bit division helpers, built here under other names and compared with
// the host processor's 64-bit division.
#include <gtest/gtest.h>

#include <limits>
#include <vector>

#define KX_RT_NAME(name) Host##name
#include "nt/rt_int64.cpp"

namespace {

std::vector<KxU64> UnsignedEdges()
{
    return {0, 1, 2, 3, 7, 10, 10000, 3579545, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu,
            0x100000000ull, 0x100000001ull, 0x1FFFFFFFFull, 0x123456789ABCDEFull,
            0x7FFFFFFFFFFFFFFFull, 0x8000000000000000ull, 0xFFFFFFFF00000000ull,
            0xFFFFFFFFFFFFFFFEull, 0xFFFFFFFFFFFFFFFFull};
}

// Values of every magnitude from a fixed linear congruential sequence: deterministic runs.
std::vector<KxU64> SpreadValues(size_t nCount)
{
    std::vector<KxU64> values;
    KxU64 x = 0x2545F4914F6CDD1Dull;
    for (size_t i = 0; i < nCount; ++i) {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        values.push_back(x >> (x % 64));
    }
    return values;
}

void ExpectUnsigned(KxU64 n, KxU64 d)
{
    KxU64 r = 0xDEADBEEF;
    EXPECT_EQ(Host__udivdi3(n, d), n / d) << n << " / " << d;
    EXPECT_EQ(Host__umoddi3(n, d), n % d) << n << " % " << d;
    EXPECT_EQ(Host__udivmoddi4(n, d, &r), n / d) << n << " / " << d;
    EXPECT_EQ(r, n % d) << n << " % " << d;
    EXPECT_EQ(Host__udivmoddi4(n, d, nullptr), n / d);
}

void ExpectSigned(KxS64 n, KxS64 d)
{
    KxS64 r = 0x5EED;
    EXPECT_EQ(Host__divdi3(n, d), n / d) << n << " / " << d;
    EXPECT_EQ(Host__moddi3(n, d), n % d) << n << " % " << d;
    EXPECT_EQ(Host__divmoddi4(n, d, &r), n / d) << n << " / " << d;
    EXPECT_EQ(r, n % d) << n << " % " << d;
}

TEST(KernelDivision, UnsignedQuotientsAndRemaindersMatchTheProcessor)
{
    const std::vector<KxU64> edges = UnsignedEdges();
    for (KxU64 n : edges) {
        for (KxU64 d : edges) {
            if (d != 0) {
                ExpectUnsigned(n, d);
            }
        }
    }
    const std::vector<KxU64> spread = SpreadValues(4000);
    for (size_t i = 0; i + 1 < spread.size(); i += 2) {
        if (spread[i + 1] != 0) {
            ExpectUnsigned(spread[i], spread[i + 1]);
        }
    }
}

TEST(KernelDivision, SignedQuotientsTruncateTowardZeroAndRemaindersTakeTheDividendsSign)
{
    std::vector<KxS64> edges;
    for (KxU64 v : UnsignedEdges()) {
        edges.push_back(static_cast<KxS64>(v));
        edges.push_back(-static_cast<KxS64>(v & 0x7FFFFFFFFFFFFFFFull));
    }
    for (KxS64 n : edges) {
        for (KxS64 d : edges) {
            if (d != 0 && !(n == std::numeric_limits<KxS64>::min() && d == -1)) {
                ExpectSigned(n, d);
            }
        }
    }
    const std::vector<KxU64> spread = SpreadValues(4000);
    for (size_t i = 0; i + 1 < spread.size(); i += 2) {
        const KxS64 d = static_cast<KxS64>(spread[i + 1]);
        if (d != 0 && d != -1) {
            ExpectSigned(static_cast<KxS64>(spread[i]), d);
        }
    }
    // The one quotient that does not fit wraps, as the compiler's own helpers do.
    KxS64 r = 1;
    EXPECT_EQ(Host__divmoddi4(std::numeric_limits<KxS64>::min(), -1, &r), std::numeric_limits<KxS64>::min());
    EXPECT_EQ(r, 0);
}

}  // namespace
