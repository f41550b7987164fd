// SHA-256 implementation with a portable engine and an x86 SHA extensions engine picked at run time.
#include "digest/sha256.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

#if defined(__x86_64__) || defined(__i386__)
#define SHA256_HAVE_X86 1
#include <cpuid.h>
#include <immintrin.h>
#else
#define SHA256_HAVE_X86 0
#endif

namespace {

constexpr size_t kBlockBytes = 64;
constexpr size_t kFileChunkBytes = 65536;

// Kept 16-byte aligned so the SHA extensions engine can fetch four constants per load.
alignas(16) constexpr uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr uint32_t kInitialState[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

inline uint32_t rotr(uint32_t x, unsigned n) { return (x >> n) | (x << (32 - n)); }

// Byte-wise assembly keeps this independent of host endianness and alignment.
inline uint32_t load_be32(const uint8_t *p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

inline void store_be32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

inline void store_be64(uint8_t *p, uint64_t v) {
    store_be32(p, static_cast<uint32_t>(v >> 32));
    store_be32(p + 4, static_cast<uint32_t>(v));
}

void compress_portable(uint32_t state[8], const uint8_t *data, size_t nblocks) {
    for (; nblocks != 0; --nblocks, data += kBlockBytes) {
        uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = load_be32(data + 4 * i);
        for (int i = 16; i < 64; ++i) {
            const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }

        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int i = 0; i < 64; ++i) {
            const uint32_t S1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
            const uint32_t ch = (e & f) ^ (~e & g);
            const uint32_t t1 = h + S1 + ch + kRoundConstants[i] + w[i];
            const uint32_t S0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
            const uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
            const uint32_t t2 = S0 + maj;
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#if SHA256_HAVE_X86

#define SHA256_SHANI_TARGET __attribute__((target("sha,sse4.1,ssse3")))

// The SHA instructions keep the working variables as {A,B,E,F} and {C,D,G,H}
// and consume message words pre-added to the round constants, four rounds per pair of calls.
SHA256_SHANI_TARGET __attribute__((always_inline)) inline void shani_rounds4(__m128i &abef, __m128i &cdgh, __m128i w,
                                                                             int group) {
    __m128i wk = _mm_add_epi32(w, _mm_load_si128(reinterpret_cast<const __m128i *>(&kRoundConstants[4 * group])));
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
    wk = _mm_shuffle_epi32(wk, 0x0E);
    abef = _mm_sha256rnds2_epu32(abef, cdgh, wk);
}

// Finishes message words next = W[t+4..t+7] from the group just consumed (cur) and the one before it (prev).
SHA256_SHANI_TARGET __attribute__((always_inline)) inline void shani_schedule(__m128i &next, __m128i cur,
                                                                              __m128i prev) {
    next = _mm_add_epi32(next, _mm_alignr_epi8(cur, prev, 4));
    next = _mm_sha256msg2_epu32(next, cur);
}

SHA256_SHANI_TARGET void compress_shani(uint32_t state[8], const uint8_t *data, size_t nblocks) {
    const __m128i byteswap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);

    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i *>(&state[0]));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i *>(&state[4]));
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

    for (; nblocks != 0; --nblocks, data += kBlockBytes) {
        const __m128i abef_saved = abef;
        const __m128i cdgh_saved = cdgh;
        const __m128i *in = reinterpret_cast<const __m128i *>(data);

        __m128i m0 = _mm_shuffle_epi8(_mm_loadu_si128(in + 0), byteswap);
        __m128i m1 = _mm_shuffle_epi8(_mm_loadu_si128(in + 1), byteswap);
        __m128i m2 = _mm_shuffle_epi8(_mm_loadu_si128(in + 2), byteswap);
        __m128i m3 = _mm_shuffle_epi8(_mm_loadu_si128(in + 3), byteswap);

        shani_rounds4(abef, cdgh, m0, 0);
        shani_rounds4(abef, cdgh, m1, 1);
        m0 = _mm_sha256msg1_epu32(m0, m1);
        shani_rounds4(abef, cdgh, m2, 2);
        m1 = _mm_sha256msg1_epu32(m1, m2);

        // Groups 3..14 rotate through the four registers; each finishes the
        // next group's words and starts the schedule of the one after it.
#define SHA256_SHANI_STEP(group, cur, prev, next)                                                                      \
    shani_rounds4(abef, cdgh, cur, group);                                                                             \
    shani_schedule(next, cur, prev);                                                                                   \
    prev = _mm_sha256msg1_epu32(prev, cur)

        SHA256_SHANI_STEP(3, m3, m2, m0);
        SHA256_SHANI_STEP(4, m0, m3, m1);
        SHA256_SHANI_STEP(5, m1, m0, m2);
        SHA256_SHANI_STEP(6, m2, m1, m3);
        SHA256_SHANI_STEP(7, m3, m2, m0);
        SHA256_SHANI_STEP(8, m0, m3, m1);
        SHA256_SHANI_STEP(9, m1, m0, m2);
        SHA256_SHANI_STEP(10, m2, m1, m3);
        SHA256_SHANI_STEP(11, m3, m2, m0);
        SHA256_SHANI_STEP(12, m0, m3, m1);
#undef SHA256_SHANI_STEP

        // W[52..63] need no further message expansion.
        shani_rounds4(abef, cdgh, m1, 13);
        shani_schedule(m2, m1, m0);
        shani_rounds4(abef, cdgh, m2, 14);
        shani_schedule(m3, m2, m1);
        shani_rounds4(abef, cdgh, m3, 15);

        abef = _mm_add_epi32(abef, abef_saved);
        cdgh = _mm_add_epi32(cdgh, cdgh_saved);
    }

    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    dcba = _mm_blend_epi16(feba, dchg, 0xF0);
    hgfe = _mm_alignr_epi8(dchg, feba, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(&state[0]), dcba);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(&state[4]), hgfe);
}

bool cpu_has_shani() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    const bool ssse3 = (ecx & bit_SSSE3) != 0;
    const bool sse41 = (ecx & bit_SSE4_1) != 0;
    // __get_cpuid_count checks the maximum leaf, so older CPUs without leaf 7 report false here.
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
    const bool sha = (ebx & (1u << 29)) != 0;
    return ssse3 && sse41 && sha;
}

#else

bool cpu_has_shani() { return false; }

#endif // SHA256_HAVE_X86

enum Engine : int { kUndecided = 0, kPortable = 1, kShani = 2 };

// Atomic because hashing may start on several threads at once; every thread
// that races the first detection computes the same answer, so relaxed order suffices.
std::atomic<int> g_engine{kUndecided};

Engine current_engine() {
    int e = g_engine.load(std::memory_order_relaxed);
    if (e == kUndecided) {
        e = cpu_has_shani() ? kShani : kPortable;
        int expected = kUndecided;
        // A concurrent sha256_use_shani() call wins over auto-detection.
        if (!g_engine.compare_exchange_strong(expected, e, std::memory_order_relaxed)) e = expected;
    }
    return static_cast<Engine>(e);
}

void compress(uint32_t state[8], const uint8_t *data, size_t nblocks) {
#if SHA256_HAVE_X86
    if (current_engine() == kShani) {
        compress_shani(state, data, nblocks);
        return;
    }
#endif
    compress_portable(state, data, nblocks);
}

} // namespace

extern "C" {

void sha256_init(sha256_ctx *ctx) {
    std::memcpy(ctx->state, kInitialState, sizeof(kInitialState));
    ctx->bitcount = 0;
    ctx->buffered = 0;
}

void sha256_update(sha256_ctx *ctx, const void *data, size_t len) {
    const uint8_t *p = static_cast<const uint8_t *>(data);
    while (len != 0) {
        if (ctx->buffered == 0 && len >= kBlockBytes) {
            const size_t nblocks = len / kBlockBytes;
            const size_t nbytes = nblocks * kBlockBytes;
            compress(ctx->state, p, nblocks);
            ctx->bitcount += static_cast<uint64_t>(nbytes) * 8;
            p += nbytes;
            len -= nbytes;
            continue;
        }
        size_t take = kBlockBytes - static_cast<size_t>(ctx->buffered);
        if (take > len) take = len;
        std::memcpy(ctx->block + ctx->buffered, p, take);
        ctx->buffered += take;
        ctx->bitcount += static_cast<uint64_t>(take) * 8;
        p += take;
        len -= take;
        if (ctx->buffered == kBlockBytes) {
            compress(ctx->state, ctx->block, 1);
            ctx->buffered = 0;
        }
    }
}

void sha256_final(sha256_ctx *ctx, uint8_t out[32]) {
    const uint64_t message_bits = ctx->bitcount;
    size_t used = static_cast<size_t>(ctx->buffered);

    ctx->block[used++] = 0x80;
    if (used > kBlockBytes - 8) {
        std::memset(ctx->block + used, 0, kBlockBytes - used);
        compress(ctx->state, ctx->block, 1);
        used = 0;
    }
    std::memset(ctx->block + used, 0, kBlockBytes - 8 - used);
    store_be64(ctx->block + kBlockBytes - 8, message_bits);
    compress(ctx->state, ctx->block, 1);
    ctx->buffered = 0;

    for (int i = 0; i < 8; ++i)
        store_be32(out + 4 * i, ctx->state[i]);
}

void sha256_hex(const uint8_t digest[32], char hex[SHA256_HEX_SIZE]) {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (int i = 0; i < 32; ++i) {
        hex[2 * i] = kDigits[digest[i] >> 4];
        hex[2 * i + 1] = kDigits[digest[i] & 0x0F];
    }
    hex[64] = '\0';
}

void sha256_digest_text(const uint8_t digest[32], char text[SHA256_TEXT_SIZE]) {
    std::memcpy(text, "sha256:", 7);
    sha256_hex(digest, text + 7);
}

int sha256_file(const char *path, uint8_t out[32]) {
    const int fd = plat_open_read(path);
    if (fd < 0) return -1;

    // Heap rather than static so concurrent calls never share a buffer.
    uint8_t *buf = static_cast<uint8_t *>(std::malloc(kFileChunkBytes));
    if (buf == nullptr) {
        plat_close(fd);
        return -1;
    }

    sha256_ctx ctx;
    sha256_init(&ctx);
    long n;
    while ((n = plat_read(fd, buf, kFileChunkBytes)) > 0)
        sha256_update(&ctx, buf, static_cast<size_t>(n));
    // A read error also ends the loop early; without this check a truncated
    // read would be reported as the digest of the whole file.
    const bool failed = n < 0;
    plat_close(fd);
    std::free(buf);
    if (failed) return -1;

    sha256_final(&ctx, out);
    return 0;
}

int sha256_use_shani(int on) {
    if (on) {
        if (!cpu_has_shani()) return -1;
        g_engine.store(kShani, std::memory_order_relaxed);
    } else {
        g_engine.store(kPortable, std::memory_order_relaxed);
    }
    return 0;
}

int sha256_shani_active(void) { return current_engine() == kShani ? 1 : 0; }

} // extern "C"
