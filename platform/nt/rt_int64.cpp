/*
 * 64-bit division for the 32-bit kernel image. The compiler turns a LONGLONG division or remainder
 * into calls of these helpers; the kernel exports them only under other names and conventions, and
 * the compiler's own run-time library is not linked into a driver, so the image carries its own.
 *
 * Self-contained on purpose (no header, only 32-bit divisions and 64-bit shifts, adds and compares,
 * which the compiler expands inline), so that nothing here calls back into itself. The names are
 * the compiler's; KX_RT_NAME lets the host tests build the same code under names of their own.
 */
#ifndef KX_RT_NAME
#define KX_RT_NAME(name) name
#endif

typedef unsigned long long KxU64;
typedef long long KxS64;
typedef unsigned int KxU32;

/*
 * Unsigned quotient, remainder through pRemainder when it is not null. A zero divisor ends in a
 * 32-bit division by zero, so it faults like the processor's own divide instruction.
 */
static KxU64 KxUDivMod64(KxU64 n, KxU64 d, KxU64 *pRemainder)
{
    const KxU32 nHigh = (KxU32)(n >> 32);
    const KxU32 dHigh = (KxU32)(d >> 32);
    if (dHigh == 0 && (nHigh == 0 || (KxU32)d == 0)) {
        const KxU32 q = (KxU32)n / (KxU32)d;
        if (pRemainder) {
            *pRemainder = (KxU32)n - q * (KxU32)d;
        }
        return q;
    }
    if (d > n) {
        if (pRemainder) {
            *pRemainder = n;
        }
        return 0;
    }
    /* Shift-subtract: align the divisor's top bit with the dividend's, then one bit per step. */
    const int nShift = __builtin_clzll(d) - __builtin_clzll(n);
    KxU64 dShifted = d << nShift;
    KxU64 q = 0;
    for (int i = 0; i <= nShift; ++i) {
        q <<= 1;
        if (n >= dShifted) {
            n -= dShifted;
            q |= 1;
        }
        dShifted >>= 1;
    }
    if (pRemainder) {
        *pRemainder = n;
    }
    return q;
}

/* Magnitudes in unsigned arithmetic, so that the most negative value needs no special case. */
static KxU64 KxMagnitude(KxS64 v)
{
    return v < 0 ? 0 - (KxU64)v : (KxU64)v;
}

/* Signed: the quotient is truncated toward zero and the remainder has the dividend's sign. */
static KxS64 KxSDivMod64(KxS64 n, KxS64 d, KxS64 *pRemainder)
{
    KxU64 r;
    KxU64 q = KxUDivMod64(KxMagnitude(n), KxMagnitude(d), &r);
    if ((n < 0) != (d < 0)) {
        q = 0 - q;
    }
    if (pRemainder) {
        *pRemainder = (KxS64)(n < 0 ? 0 - r : r);
    }
    return (KxS64)q;
}

extern "C" {
KxU64 KX_RT_NAME(__udivdi3)(KxU64 n, KxU64 d);
KxU64 KX_RT_NAME(__umoddi3)(KxU64 n, KxU64 d);
KxU64 KX_RT_NAME(__udivmoddi4)(KxU64 n, KxU64 d, KxU64 *pRemainder);
KxS64 KX_RT_NAME(__divdi3)(KxS64 n, KxS64 d);
KxS64 KX_RT_NAME(__moddi3)(KxS64 n, KxS64 d);
KxS64 KX_RT_NAME(__divmoddi4)(KxS64 n, KxS64 d, KxS64 *pRemainder);

KxU64 KX_RT_NAME(__udivdi3)(KxU64 n, KxU64 d)
{
    return KxUDivMod64(n, d, 0);
}

KxU64 KX_RT_NAME(__umoddi3)(KxU64 n, KxU64 d)
{
    KxU64 r;
    KxUDivMod64(n, d, &r);
    return r;
}

KxU64 KX_RT_NAME(__udivmoddi4)(KxU64 n, KxU64 d, KxU64 *pRemainder)
{
    return KxUDivMod64(n, d, pRemainder);
}

KxS64 KX_RT_NAME(__divdi3)(KxS64 n, KxS64 d)
{
    return KxSDivMod64(n, d, 0);
}

KxS64 KX_RT_NAME(__moddi3)(KxS64 n, KxS64 d)
{
    KxS64 r;
    KxSDivMod64(n, d, &r);
    return r;
}

KxS64 KX_RT_NAME(__divmoddi4)(KxS64 n, KxS64 d, KxS64 *pRemainder)
{
    return KxSDivMod64(n, d, pRemainder);
}
}
