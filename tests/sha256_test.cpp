// Tests for the SHA-256 module: published vectors, padding edges, file hashing and engine agreement, against OpenSSL.
#include "digest/sha256.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "tests/test_util.h"

namespace {

using Digest = std::array<uint8_t, 32>;
using Bytes = std::vector<uint8_t>;

std::string hex(const Digest &d) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (uint8_t b : d) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

Bytes random_bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out(n);
    for (auto &b : out)
        b = static_cast<uint8_t>(rng());
    return out;
}

// Feeds the message in pieces of the given sizes, cycling through them until the message is used up.
std::string ours_hex(const uint8_t *data, size_t len, const std::vector<size_t> &pieces) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    size_t pos = 0;
    for (size_t i = 0; pos < len; ++i) {
        const size_t n = std::min(pieces[i % pieces.size()], len - pos);
        sha256_update(&ctx, data + pos, n);
        pos += n;
    }
    Digest d;
    sha256_final(&ctx, d.data());
    return hex(d);
}

std::string ours_hex(const uint8_t *data, size_t len) { return ours_hex(data, len, {len == 0 ? 1 : len}); }

const std::vector<size_t> kOneByte = {1};
// Mixes pieces that leave the block partly filled with pieces spanning several blocks,
// so both the buffered path and the bulk path run, in alternation.
const std::vector<size_t> kIrregular = {3, 61, 1, 64, 7, 128, 55, 9, 200, 63, 65};

enum class Engine { kPortable, kShani };

void PrintTo(Engine e, std::ostream *os) { *os << (e == Engine::kShani ? "shani" : "portable"); }

class Sha256Engine : public ::testing::TestWithParam<Engine> {
protected:
    void SetUp() override {
        if (GetParam() == Engine::kShani) {
            if (sha256_use_shani(1) != 0) GTEST_SKIP() << "CPU lacks the SHA extensions";
            ASSERT_EQ(sha256_shani_active(), 1);
        } else {
            ASSERT_EQ(sha256_use_shani(0), 0);
            ASSERT_EQ(sha256_shani_active(), 0);
        }
    }
};

std::string engine_name(const ::testing::TestParamInfo<Engine> &info) {
    return info.param == Engine::kShani ? "shani" : "portable";
}

struct KnownVector {
    const char *name;
    std::string message;
    const char *digest;
};

TEST_P(Sha256Engine, PublishedVectors) {
    const KnownVector vectors[] = {
        {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"56 bytes", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"112 bytes",
         "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqr"
         "stu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {"million a", std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto &v : vectors) {
        SCOPED_TRACE(v.name);
        const auto *p = reinterpret_cast<const uint8_t *>(v.message.data());
        EXPECT_EQ(ours_hex(p, v.message.size()), v.digest);
        EXPECT_EQ(ours_hex(p, v.message.size(), kOneByte), v.digest);
    }
}

// The formatters write the published digest of "abc" exactly, terminated,
// and nothing past their sizes.
TEST(Sha256Text, FormatsAKnownDigest) {
    const char *expected_hex = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, "abc", 3);
    uint8_t digest[32];
    sha256_final(&ctx, digest);
    char hex[SHA256_HEX_SIZE + 1];
    memset(hex, '#', sizeof hex);
    sha256_hex(digest, hex);
    EXPECT_STREQ(expected_hex, hex);
    EXPECT_EQ('#', hex[SHA256_HEX_SIZE]);
    char text[SHA256_TEXT_SIZE + 1];
    memset(text, '#', sizeof text);
    sha256_digest_text(digest, text);
    EXPECT_EQ(std::string("sha256:") + expected_hex, text);
    EXPECT_EQ('#', text[SHA256_TEXT_SIZE]);
}

TEST_P(Sha256Engine, LengthsAroundPaddingBoundaryMatchReference) {
    const size_t lengths[] = {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 1000, 4097};
    for (size_t len : lengths) {
        SCOPED_TRACE("length " + std::to_string(len));
        // One spare byte in front so the message starts at an odd address.
        const Bytes storage = random_bytes(len + 1, static_cast<uint32_t>(len));
        const uint8_t *msg = storage.data() + 1;
        const std::string want = testutil::sha256_hex(msg, len);
        EXPECT_EQ(ours_hex(msg, len), want) << "single update";
        EXPECT_EQ(ours_hex(msg, len, kOneByte), want) << "byte by byte";
        EXPECT_EQ(ours_hex(msg, len, kIrregular), want) << "irregular pieces";
    }
}

TEST_P(Sha256Engine, CountersFollowTheMessage) {
    const Bytes msg = random_bytes(130, 7);
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, msg.data(), 100);
    EXPECT_EQ(ctx.bitcount, 800u);
    EXPECT_EQ(ctx.buffered, 36u);
    sha256_update(&ctx, nullptr, 0);
    EXPECT_EQ(ctx.bitcount, 800u);
    EXPECT_EQ(ctx.buffered, 36u);
    sha256_update(&ctx, msg.data() + 100, 30);
    EXPECT_EQ(ctx.bitcount, 1040u);
    EXPECT_EQ(ctx.buffered, 2u);
    Digest d;
    sha256_final(&ctx, d.data());
    EXPECT_EQ(hex(d), testutil::sha256_hex(msg.data(), msg.size()));
}

TEST_P(Sha256Engine, ReinitialisedContextForgetsPreviousMessage) {
    // 70 bytes leaves both a compressed block and buffered bytes behind.
    const Bytes first = random_bytes(70, 1);
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, first.data(), first.size());
    Digest d;
    sha256_final(&ctx, d.data());

    sha256_init(&ctx);
    sha256_update(&ctx, "abc", 3);
    sha256_final(&ctx, d.data());
    EXPECT_EQ(hex(d), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

class Sha256File : public Sha256Engine {
protected:
    void SetUp() override {
        Sha256Engine::SetUp();
        if (IsSkipped()) return;
        std::string tmpl = (std::filesystem::temp_directory_path() / "sha256_test.XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }

    std::string write_file(const std::string &name, const Bytes &content) {
        const std::filesystem::path p = dir_ / name;
        std::ofstream f(p, std::ios::binary);
        f.write(reinterpret_cast<const char *>(content.data()), static_cast<std::streamsize>(content.size()));
        f.close();
        EXPECT_TRUE(f.good()) << p;
        return p.string();
    }

    std::filesystem::path dir_;
};

TEST_P(Sha256File, DigestMatchesInMemoryHash) {
    // Sizes straddle the 64 KiB read chunk as well as the block size.
    const size_t sizes[] = {0, 1, 64, 65535, 65536, 65537, 200000};
    for (size_t size : sizes) {
        SCOPED_TRACE("size " + std::to_string(size));
        const Bytes content = random_bytes(size, static_cast<uint32_t>(size) ^ 0x5a5a5a5au);
        const std::string path = write_file("f" + std::to_string(size), content);
        Digest d;
        ASSERT_EQ(sha256_file(path.c_str(), d.data()), 0);
        EXPECT_EQ(hex(d), testutil::sha256_hex(content.data(), content.size()));
        EXPECT_EQ(hex(d), ours_hex(content.data(), content.size()));
    }
}

TEST_P(Sha256File, EmptyFileGivesEmptyDigest) {
    const std::string path = write_file("empty", {});
    Digest d;
    ASSERT_EQ(sha256_file(path.c_str(), d.data()), 0);
    EXPECT_EQ(hex(d), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST_P(Sha256File, FailuresReturnErrorAndLeaveOutputUntouched) {
    // A directory opens fine for reading on Linux but every read fails, which
    // exercises the read-error path rather than the open-failure path.
    const struct {
        const char *what;
        std::string path;
    } cases[] = {
        {"missing file", (dir_ / "does-not-exist").string()},
        {"directory", dir_.string()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Digest d;
        d.fill(0xA5);
        const Digest before = d;
        EXPECT_EQ(sha256_file(c.path.c_str(), d.data()), -1);
        EXPECT_EQ(d, before);
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, Sha256Engine, ::testing::Values(Engine::kPortable, Engine::kShani), engine_name);
INSTANTIATE_TEST_SUITE_P(Engines, Sha256File, ::testing::Values(Engine::kPortable, Engine::kShani), engine_name);

TEST(Sha256Engines, AgreeOnRandomInputs) {
    if (sha256_use_shani(1) != 0) GTEST_SKIP() << "CPU lacks the SHA extensions";
    std::mt19937 rng(12345);
    std::uniform_int_distribution<size_t> length(0, 5000);
    for (int round = 0; round < 300; ++round) {
        const size_t len = length(rng);
        const size_t offset = rng() % 16;
        const Bytes storage = random_bytes(len + offset, static_cast<uint32_t>(rng()));
        const uint8_t *msg = storage.data() + offset;
        SCOPED_TRACE("length " + std::to_string(len) + " offset " + std::to_string(offset));

        ASSERT_EQ(sha256_use_shani(0), 0);
        const std::string portable = ours_hex(msg, len, kIrregular);
        ASSERT_EQ(sha256_use_shani(1), 0);
        const std::string shani = ours_hex(msg, len, kIrregular);
        EXPECT_EQ(portable, shani);
        EXPECT_EQ(shani, testutil::sha256_hex(msg, len));

        // Both engines work on the same context state, so switching mid-message must not matter.
        const size_t half = len / 2;
        sha256_ctx ctx;
        sha256_init(&ctx);
        ASSERT_EQ(sha256_use_shani(0), 0);
        sha256_update(&ctx, msg, half);
        ASSERT_EQ(sha256_use_shani(1), 0);
        sha256_update(&ctx, msg + half, len - half);
        Digest d;
        sha256_final(&ctx, d.data());
        EXPECT_EQ(hex(d), portable);
    }
}

TEST(Sha256Engines, ForcingChangesOnlyWhatIsAvailable) {
    ASSERT_EQ(sha256_use_shani(0), 0);
    EXPECT_EQ(sha256_shani_active(), 0);
    if (sha256_use_shani(1) == 0) {
        EXPECT_EQ(sha256_shani_active(), 1);
    } else {
        EXPECT_EQ(sha256_shani_active(), 0) << "a refused request must leave the portable engine in place";
    }
}

TEST(Sha256Engines, FirstUsePicksShaniWhenAvailable) {
    // The choice is made once per process, so ask a freshly started copy of this binary.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    int child_answer = -1;
    EXPECT_EXIT(
        std::exit(sha256_shani_active()),
        [&child_answer](int status) {
            child_answer = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return WIFEXITED(status);
        },
        "");
    const int available = sha256_use_shani(1) == 0 ? 1 : 0;
    EXPECT_EQ(child_answer, available);
}

} // namespace
