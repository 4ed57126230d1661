#pragma once
// The CSV writer's double formatter as it was before Dragonbox took over its digit search, kept only so that a
// test can hold the new one to the old output byte for byte.
#include <charconv>
#include <cstdint>
#include <cstring>
#include <vector>

namespace before {
namespace shortest {

using u64 = uint64_t;
using u128 = unsigned __int128;

constexpr int K_MIN = -324, K_MAX = 292;  // range of k; the table holds g(-k)

inline int flog10pow2(int q) { return static_cast<int>((static_cast<int64_t>(q) * 661971961083LL) >> 41); }
inline int flog10threeQuartersPow2(int q) {
    return static_cast<int>((static_cast<int64_t>(q) * 661971961083LL - 274743187321LL) >> 41);
}
inline int flog2pow10(int e) { return static_cast<int>((static_cast<int64_t>(e) * 913124641741LL) >> 38); }

// g(e) = floor(10^e * 2^(125 - flog2pow10(e))) + 1, a 126-bit number, split as g1 = g >> 63, g0 = g mod 2^63.
struct Table {
    u64 g1[K_MAX - K_MIN + 1];
    u64 g0[K_MAX - K_MIN + 1];
    bool ok = true;
    Table() {
        using Big = std::vector<uint32_t>;
        auto bits = [](const Big& b) {
            std::size_t n = b.size();
            while (n > 1 && b[n - 1] == 0) --n;
            return static_cast<int>(n * 32) - __builtin_clz(b[n - 1]);
        };
        auto mulSmall = [](Big& b, uint32_t m) {
            u64 carry = 0;
            for (uint32_t& limb : b) {
                u64 v = static_cast<u64>(limb) * m + carry;
                limb = static_cast<uint32_t>(v);
                carry = v >> 32;
            }
            if (carry) b.push_back(static_cast<uint32_t>(carry));
        };
        auto shiftLeft = [](Big b, int s) {
            Big out(b.size() + static_cast<std::size_t>(s / 32) + 1, 0);
            for (std::size_t i = 0; i < b.size(); ++i) {
                u64 v = static_cast<u64>(b[i]) << (s % 32);
                out[i + static_cast<std::size_t>(s / 32)] |= static_cast<uint32_t>(v);
                out[i + static_cast<std::size_t>(s / 32) + 1] |= static_cast<uint32_t>(v >> 32);
            }
            return out;
        };
        auto extract = [](const Big& b, int from, int count) {  // bits [from, from+count) as u128
            u128 r = 0;
            for (int i = count - 1; i >= 0; --i) {
                int k = from + i;
                u64 bit = (k >= 0 && static_cast<std::size_t>(k / 32) < b.size()) ? (b[static_cast<std::size_t>(k / 32)] >> (k % 32)) & 1 : 0;
                r = (r << 1) | bit;
            }
            return r;
        };
        Big pow{1};
        for (int e = 0; e <= -K_MIN; ++e) {  // g(e) for e >= 0, i.e. k = -e
            if (e > 0) mulSmall(pow, 10);
            const int f = flog2pow10(e);
            if (bits(pow) - 1 != f) ok = false;  // the floor formula must be exact here
            // 10^e * 2^(125 - f): take the top 126 bits of 10^e, scaled.
            u128 g;
            if (125 - f >= 0) g = extract(shiftLeft(pow, 125 - f), 0, 126);
            else g = extract(pow, f - 125, 126);
            g += 1;
            const int idx = -e - K_MIN;
            if (-e >= K_MIN && -e <= K_MAX) {
                g1[idx] = static_cast<u64>(g >> 63);
                g0[idx] = static_cast<u64>(g) & ((1ull << 63) - 1);
            }
        }
        for (int e = -1; e >= -K_MAX; --e) {  // g(e) for e < 0, i.e. k = -e > 0
            const int f = flog2pow10(e);  // negative
            const int shift = 125 - f;
            Big num(static_cast<std::size_t>(shift / 32 + 1), 0);
            num[static_cast<std::size_t>(shift / 32)] = 1u << (shift % 32);
            for (int i = 0; i < -e; ++i) {
                u64 rem = 0;
                for (std::size_t j = num.size(); j-- > 0;) {
                    u64 cur = (rem << 32) | num[j];
                    num[j] = static_cast<uint32_t>(cur / 10);
                    rem = cur % 10;
                }
            }
            u128 g = extract(num, 0, 128);
            if ((g >> 125) != 1) ok = false;
            g += 1;
            const int idx = -e - K_MIN;
            g1[idx] = static_cast<u64>(g >> 63);
            g0[idx] = static_cast<u64>(g) & ((1ull << 63) - 1);
        }
    }
};

inline const Table& table() {
    static const Table t;
    return t;
}

inline u64 mulhi(u64 a, u64 b) { return static_cast<u64>((static_cast<u128>(a) * b) >> 64); }

inline u64 rop(u64 g1, u64 g0, u64 cp) {
    const u64 x1 = mulhi(g0, cp);
    const u64 y0 = g1 * cp;
    const u64 y1 = mulhi(g1, cp);
    const u64 z = (y0 >> 1) + x1;
    const u64 vbp = y1 + (z >> 63);
    return vbp | (((z & ((1ull << 63) - 1)) + ((1ull << 63) - 1)) >> 63);
}

// Schubfach (R. Giulietti): the shortest decimal f * 10^e (possibly with trailing zeros) that reads back as
// c * 2^q, the closest one when several are as short.
inline void toDecimal(int q, u64 c, int dk, u64& f, int& e) {
    const int out = static_cast<int>(c & 1);
    const u64 cb = c << 2;
    const u64 cbr = cb + 2;
    u64 cbl;
    int k;
    if (c != (1ull << 52) || q == -1074) {
        cbl = cb - 2;
        k = flog10pow2(q);
    } else {
        cbl = cb - 1;
        k = flog10threeQuartersPow2(q);
    }
    const int h = q + flog2pow10(-k) + 2;
    const Table& t = table();
    const u64 g1 = t.g1[k - K_MIN], g0 = t.g0[k - K_MIN];
    const u64 vb = rop(g1, g0, cb << h);
    const u64 vbl = rop(g1, g0, cbl << h);
    const u64 vbr = rop(g1, g0, cbr << h);
    const u64 s = vb >> 2;
    if (s >= 100) {
        const u64 sp10 = 10 * (s / 10);
        const u64 tp10 = sp10 + 10;
        const bool upin = vbl + out <= sp10 << 2;
        const bool wpin = (tp10 << 2) + out <= vbr;
        if (upin != wpin) {
            f = upin ? sp10 : tp10;
            e = k + dk;
            return;
        }
    }
    const u64 tt = s + 1;
    const bool uin = vbl + out <= s << 2;
    const bool win = (tt << 2) + out <= vbr;
    if (uin != win) {
        f = uin ? s : tt;
        e = k + dk;
        return;
    }
    const int64_t cmp = static_cast<int64_t>(vb - ((s + tt) << 1));
    f = (cmp < 0 || (cmp == 0 && (s & 1) == 0)) ? s : tt;
    e = k + dk;
}

inline char* formatShortest(char* out, double v) {
    u64 bits;
    std::memcpy(&bits, &v, sizeof bits);
    const u64 frac = bits & ((1ull << 52) - 1);
    const int bq = static_cast<int>((bits >> 52) & 0x7FF);
    if (bq == 0x7FF || bq == 0 || !table().ok)
        return std::to_chars(out, out + 32, v).ptr;
    u64 f;
    int e;
    {
        const int mq = 1075 - bq;
        const u64 c = (1ull << 52) | frac;
        if (0 < mq && mq < 53 && ((c >> mq) << mq) == c) {
            f = c >> mq;
            e = 0;
        } else {
            toDecimal(-mq, c, 0, f, e);
        }
    }
    while (f % 10 == 0) {
        f /= 10;
        ++e;
    }
    static const char pairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    auto put8 = [](char* d, uint32_t v) {
        const uint32_t a = v / 10000, b = v % 10000;
        std::memcpy(d, pairs + 2 * (a / 100), 2);
        std::memcpy(d + 2, pairs + 2 * (a % 100), 2);
        std::memcpy(d + 4, pairs + 2 * (b / 100), 2);
        std::memcpy(d + 6, pairs + 2 * (b % 100), 2);
    };
    // f has at most 17 digits: 24 digits with leading zeros, then room so fixed-size copies stay inside.
    char d[48];
    put8(d, static_cast<uint32_t>(f / 10000000000000000ull));
    put8(d + 8, static_cast<uint32_t>((f / 100000000) % 100000000));
    put8(d + 16, static_cast<uint32_t>(f % 100000000));
    std::memset(d + 24, '0', 24);
    static const u64 pow10[] = {1ull, 10ull, 100ull, 1000ull, 10000ull, 100000ull, 1000000ull, 10000000ull,
                                100000000ull, 1000000000ull, 10000000000ull, 100000000000ull, 1000000000000ull,
                                10000000000000ull, 100000000000000ull, 1000000000000000ull, 10000000000000000ull,
                                100000000000000000ull};
    // Digits of f: from its bit length (log10(2) ~ 1233 / 4096), corrected by one comparison.
    const int approx = ((64 - __builtin_clzll(f)) * 1233) >> 12;
    const int n = approx + (f >= pow10[approx] ? 1 : 0);
    const char* p = d + 24 - n;
    const int x = n + e - 1;
    const int sciLen = n + (n > 1) + 2 + (x >= 100 || x <= -100 ? 3 : 2);
    const int fixLen = e >= 0 ? n + e : (n + e > 0 ? n + 1 : 2 - (n + e) + n);
    if (fixLen <= sciLen && e > 0)
        return std::to_chars(out, out + 32, v).ptr;  // to_chars spells such integers out exactly
    if (bits >> 63)
        *out++ = '-';
    if (fixLen <= sciLen) {
        if (e == 0) {
            std::memcpy(out, p, 24);
            return out + n;
        }
        if (n + e > 0) {
            std::memcpy(out, p, 16);
            out += n + e;
            *out++ = '.';
            std::memcpy(out, p + n + e, 16);
            return out - e;
        }
        std::memcpy(out, "0.000000", 8);
        out += 2 - (n + e);
        std::memcpy(out, p, 24);
        return out + n;
    }
    out[0] = p[0];
    out[1] = '.';
    std::memcpy(out + 2, p + 1, 16);
    out += n > 1 ? n + 1 : 1;
    *out++ = 'e';
    int ax = x;
    if (x < 0) {
        *out++ = '-';
        ax = -x;
    } else {
        *out++ = '+';
    }
    if (ax >= 100) {
        *out++ = static_cast<char>('0' + ax / 100);
        ax %= 100;
    }
    std::memcpy(out, pairs + 2 * ax, 2);
    return out + 2;
}

}  // namespace shortest

}  // namespace before
