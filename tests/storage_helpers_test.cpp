// Tests for the storage engine's helpers: file reads, directory listing, identifier rules, hex, JSON escaping, name order,
// discovery.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "digest/sha256.h"
#include "storage/storage_internal.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;
using testutil::TempDir;

const std::string kHex = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

// An exactly sized heap copy, so a read past the end shows under the sanitizers.
std::unique_ptr<char[]> exact(const std::string &text) {
    std::unique_ptr<char[]> copy(new char[text.size() + 1]);
    memcpy(copy.get(), text.c_str(), text.size() + 1);
    return copy;
}

std::string upper(std::string text) {
    for (char &c : text)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return text;
}

void make_sparse(const std::string &path, off_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate(fd, size));
    close(fd);
}

class StorageHelpersTest : public ::testing::Test {
protected:
    TempDir tmp_;
};

// ---- read_file, read_file_alloc ---------------------------------------------

TEST_F(StorageHelpersTest, ReadFileReadsUpToCapacityLessOneAndTerminates) {
    std::string content;
    for (int i = 0; i < 200; ++i)
        content += static_cast<char>(i); // NUL and high bytes included
    std::string path = tmp_ / "f";
    testutil::write_all(path, content);
    struct {
        size_t cap;
        size_t len;
    } rows[] = {{128, 127}, {200, 199}, {201, 200}, {4096, 200}, {1, 0}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.cap);
        std::unique_ptr<char[]> buf(new char[row.cap]);
        memset(buf.get(), '#', row.cap);
        size_t len = 9999;
        ASSERT_EQ(0, read_file(path.c_str(), buf.get(), row.cap, &len));
        EXPECT_EQ(row.len, len);
        EXPECT_EQ(content.substr(0, row.len), std::string(buf.get(), len));
        EXPECT_EQ('\0', buf[len]);
    }
    char small[8];
    EXPECT_EQ(0, read_file(path.c_str(), small, sizeof small, nullptr));
    EXPECT_EQ(content.substr(0, 7), std::string(small, 7));
}

TEST_F(StorageHelpersTest, ReadFileFailsOnMissingFilesAndDirectories) {
    char buf[64];
    size_t len = 0;
    EXPECT_EQ(-1, read_file((tmp_ / "missing").c_str(), buf, sizeof buf, &len));
    EXPECT_EQ(-1, read_file(tmp_.path().c_str(), buf, sizeof buf, &len));
}

TEST_F(StorageHelpersTest, ReadFileAllocReadsWholeFilesUpTo64MiB) {
    const int64_t kCap = 67108864;
    testutil::write_all(tmp_ / "empty", "");
    testutil::write_all(tmp_ / "data", std::string("a\0b\r\n", 5));
    make_sparse(tmp_ / "cap", kCap);
    make_sparse(tmp_ / "over", kCap + 1);
    struct {
        std::string rel;
        bool ok;
        size_t len;
    } rows[] = {
        {"empty", true, 0}, {"data", true, 5},     {"cap", true, static_cast<size_t>(kCap)},
        {"over", false, 0}, {"missing", false, 0}, {"", false, 0}, // the directory itself
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.rel);
        size_t len = 12345;
        char *buf = read_file_alloc((tmp_ / row.rel).c_str(), &len);
        EXPECT_EQ(row.ok, buf != nullptr);
        if (buf) {
            EXPECT_EQ(row.len, len);
            EXPECT_EQ('\0', buf[len]);
            if (row.rel == "data") {
                EXPECT_EQ(std::string("a\0b\r\n", 5), std::string(buf, len));
            }
        }
        free(buf);
    }
}

// ---- list_dir_all ---------------------------------------------------------------

TEST_F(StorageHelpersTest, ListDirListsEveryKindOfEntryWithoutDotEntries) {
    std::string dir = tmp_ / "d";
    testutil::write_all(dir + "/file", "x");
    testutil::write_all(dir + "/.hidden", "x");
    testutil::write_all(dir + "/sub/inner", "x");
    ASSERT_TRUE(fs::create_directory(dir + "/.hidden_dir"));
    ASSERT_EQ(0, symlink((dir + "/sub").c_str(), (dir + "/link_dir").c_str()));
    ASSERT_EQ(0, symlink((dir + "/file").c_str(), (dir + "/link_file").c_str()));
    ASSERT_EQ(0, symlink((tmp_ / "nowhere").c_str(), (dir + "/dangling").c_str()));

    std::vector<dir_item> list;
    ASSERT_EQ(0, list_dir_all(dir.c_str(), list));
    // Links are listed as links, never as the directory they point to.
    std::map<std::string, int> seen;
    for (const dir_item &item : list)
        seen[item.name] = item.is_dir + 2 * item.is_link;
    std::map<std::string, int> expected = {
        {"file", 0}, {".hidden", 0}, {"sub", 1}, {".hidden_dir", 1}, {"link_dir", 2}, {"link_file", 2}, {"dangling", 2},
    };
    EXPECT_EQ(expected, seen);
    EXPECT_EQ(expected.size(), list.size());
}

TEST_F(StorageHelpersTest, ListDirSeesEveryEntryHoweverMany) {
    struct {
        int entries;
    } rows[] = {{0}, {512}, {513}, {2000}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.entries);
        std::string dir = tmp_ / ("n" + std::to_string(row.entries));
        ASSERT_TRUE(fs::create_directory(dir));
        for (int i = 0; i < row.entries; ++i) {
            std::string entry = dir + "/e" + std::to_string(i);
            if (i % 2)
                testutil::write_all(entry, "");
            else
                fs::create_directory(entry);
        }
        std::vector<dir_item> list{{"stale", false}};
        ASSERT_EQ(0, list_dir_all(dir.c_str(), list));
        std::set<std::string> names;
        for (const dir_item &e : list) {
            names.insert(e.name);
            EXPECT_EQ(fs::is_directory(dir + "/" + e.name), e.is_dir) << e.name;
        }
        EXPECT_EQ(static_cast<size_t>(row.entries), list.size());
        EXPECT_EQ(static_cast<size_t>(row.entries), names.size());
    }
}

TEST_F(StorageHelpersTest, ListDirFailsOnFilesAndMissingPathsWithAnEmptyListing) {
    testutil::write_all(tmp_ / "file", "x");
    for (const std::string &path : {tmp_ / "file", tmp_ / "missing"}) {
        SCOPED_TRACE(path);
        std::vector<dir_item> list{{"stale", false}};
        EXPECT_EQ(-1, list_dir_all(path.c_str(), list));
        EXPECT_TRUE(list.empty());
    }
}

// ---- identifier rules -------------------------------------------------------------

TEST_F(StorageHelpersTest, UploadIdRule) {
    const std::string good = "0123abcd-4567-89ef-0a1b-2c3d4e5f6789";
    struct {
        std::string text;
        int valid;
    } rows[] = {
        {good, 1},
        {"ffffffff-ffff-ffff-ffff-ffffffffffff", 1},
        {"0123ABCD-4567-89ef-0a1b-2c3d4e5f6789", 0},
        {"0123abcd-4567-89ef-0a1b-2c3d4e5f678A", 0},
        {"0123abc-d4567-89ef-0a1b-2c3d4e5f6789", 0},
        {"0123abcd-4567-89ef-0a1b2-c3d4e5f6789", 0},
        {"0123abcd04567089ef00a1b02c3d4e5f6789", 0},
        {"0123abcd-4567-89ef-0a1b-2c3d4e5f678g", 0},
        {good.substr(0, 35), 0},
        {good + "0", 0},
        {good.substr(0, 9), 0},
        {"", 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(row.valid, uuid_valid(exact(row.text).get()));
    }
}

TEST_F(StorageHelpersTest, BareHexAndDigestRules) {
    struct {
        std::string text;
        int hex64;
        int digest;
    } rows[] = {
        {kHex, 1, 0},
        {"sha256:" + kHex, 0, 1},
        {upper(kHex), 0, 0},
        {"sha256:" + upper(kHex), 0, 0},
        {"SHA256:" + kHex, 0, 0},
        {"sha256:" + kHex.substr(0, 63), 0, 0},
        {"sha256:" + kHex + "0", 0, 0},
        {"sha256:" + kHex + "\n", 0, 0},
        {"sha512:" + kHex, 0, 0},
        {"sha256" + kHex + "0", 0, 0},
        {" sha256:" + kHex, 0, 0},
        {"sha256:" + kHex.substr(0, 63) + "g", 0, 0},
        {kHex.substr(0, 63), 0, 0},
        {kHex + "0", 0, 0},
        {kHex.substr(0, 63) + "g", 0, 0},
        {"sha256:", 0, 0},
        {"sha", 0, 0},
        {"", 0, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(row.hex64, hex64_valid(exact(row.text).get()));
        EXPECT_EQ(row.digest, digest_valid(exact(row.text).get()));
    }
    EXPECT_EQ(0, hex64_valid(nullptr));
    EXPECT_EQ(0, digest_valid(nullptr));
}

// ---- sha256_hex, the digest formatter the engine uses ------------------------------------

TEST_F(StorageHelpersTest, DigestHexWritesHighNibbleFirstInLowerCase) {
    unsigned char counting[32], mixed[32];
    std::string counting_hex, mixed_hex;
    for (int i = 0; i < 32; ++i) {
        counting[i] = static_cast<unsigned char>(i);
        mixed[i] = static_cast<unsigned char>(i * 37 + 0x0f);
        char two[3];
        snprintf(two, sizeof two, "%02x", counting[i]);
        counting_hex += two;
        snprintf(two, sizeof two, "%02x", mixed[i]);
        mixed_hex += two;
    }
    unsigned char ones[32];
    memset(ones, 0xff, sizeof ones);
    struct {
        const unsigned char *bytes;
        std::string hex;
    } rows[] = {
        {counting, counting_hex},
        {mixed, mixed_hex},
        {ones, std::string(64, 'f')},
    };
    for (const auto &row : rows) {
        char out[65];
        memset(out, '#', sizeof out);
        sha256_hex(row.bytes, out);
        EXPECT_EQ(row.hex, std::string(out));
    }
}

// ---- json_escape_append -------------------------------------------------------------

TEST_F(StorageHelpersTest, JsonEscapeWritesWholeEscapesWithinTheRoom) {
    struct {
        const char *text;
        size_t room;
        std::string out;
    } rows[] = {
        {nullptr, 16, ""},
        {"", 16, ""},
        {"abc", 64, "abc"},
        {"a\"b", 64, "a\\\"b"},
        {"back\\slash", 64, "back\\\\slash"},
        {"\b\t\n\f\r", 64, "\\b\\t\\n\\f\\r"},
        {"\x01\x1b\x1f", 64, "\\u0001\\u001b\\u001f"},
        {"/\x7f caf\xc3\xa9", 64, "/\x7f caf\xc3\xa9"},
        {"ab", 9, "a"},
        {"\x01z", 9, "\\u0001"},
        {"\x01\x02", 14, "\\u0001"},
        {"\x01\x02", 15, "\\u0001\\u0002"},
        {"abcdefghij", 12, "abcd"},
        {"ab", 8, ""},
        {"ab", 1, ""},
        {nullptr, 1, ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.text ? row.text : "(null)") + " room " + std::to_string(row.room));
        std::vector<char> buf(row.room + 16, '#');
        size_t n = json_escape_append(buf.data(), row.room, row.text);
        EXPECT_EQ(row.out.size(), n);
        EXPECT_EQ(row.out, std::string(buf.data(), n));
        EXPECT_EQ('\0', buf[n]);
        for (size_t i = n + 1; i < buf.size(); ++i)
            ASSERT_EQ('#', buf[i]) << "written past the text at " << i;
    }
}

TEST_F(StorageHelpersTest, JsonEscapeWithNoRoomWritesNothing) {
    char buf[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(0u, json_escape_append(buf, 0, "abc"));
    EXPECT_EQ(0u, json_escape_append(buf, 0, ""));
    EXPECT_EQ('#', buf[0]);
}

// ---- name_list::sort ------------------------------------------------------------------

TEST_F(StorageHelpersTest, NameListSortOrdersByUnsignedBytes) {
    struct {
        std::vector<std::string> in;
        std::vector<std::string> out;
    } rows[] = {
        {{"b", "a"}, {"a", "b"}},
        {{"f", "e", "d", "c", "b", "a"}, {"a", "b", "c", "d", "e", "f"}},
        {{"b", "B", "a", "A"}, {"A", "B", "a", "b"}},
        {{"a1", "a/", "aa", "a", "a/b"}, {"a", "a/", "a/b", "a1", "aa"}},
        {{"caf\xc3\xa9", "z", "cafe"}, {"cafe", "caf\xc3\xa9", "z"}},
        {{"x", "x", "y"}, {"x", "x", "y"}},
    };
    for (const auto &row : rows) {
        name_list names;
        for (const auto &s : row.in)
            names.add(s.c_str());
        names.sort();
        std::vector<std::string> got;
        for (int i = 0; i < names.count(); ++i)
            got.push_back(names[i]);
        EXPECT_EQ(row.out, got);
    }
}

// ---- repository discovery ------------------------------------------------------------

class DiscoveryTest : public StorageHelpersTest {
protected:
    std::string repos(const std::string &rel) const { return tmp_ / ("repositories/" + rel); }
    void make_repo(const std::string &rel) const { fs::create_directories(repos(rel) + "/_manifests"); }

    // The engine walks below its root; the repositories directory it makes
    // is taken away again, so each test starts from a tree without one.
    void SetUp() override {
        ASSERT_EQ(0, reg_storage_init(tmp_.path().c_str())) << reg_storage_last_error();
        fs::remove(repos(""));
    }
    void TearDown() override { reg_storage_cleanup(); }

    std::vector<std::string> discover() { return all_repositories(); }
};

TEST_F(DiscoveryTest, FindsRepositoriesAtAnyLevelAndNeverInsideManifests) {
    make_repo("a");
    make_repo("a/b");
    make_repo("c/d");
    make_repo("a/_manifests/tags/x"); // under a manifests directory: not a repository
    make_repo("x/_Manifests/y");      // the name test is case-sensitive
    testutil::write_all(repos("loose_file"), "x");
    testutil::write_all(repos("f/_manifests"), "a file, not a directory");

    std::vector<std::string> names = discover();
    auto pos = [&names](const std::string &n) { return std::find(names.begin(), names.end(), n) - names.begin(); };
    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ((std::vector<std::string>{"a", "a/b", "c/d", "x/_Manifests/y"}), sorted);
    EXPECT_LT(pos("a"), pos("a/b")); // a repository comes before those below it
}

// A name of one-character components reaches 128 of them (255 characters):
// every repository up to that depth is found, nothing below it.
TEST_F(DiscoveryTest, FindsRepositoriesAsDeepAsANameReachesAndNoDeeper) {
    auto chain = [](int components) {
        std::string name = "d";
        for (int i = 1; i < components; ++i)
            name += "/d";
        return name;
    };
    const int found[] = {1, 9, 10, 11, 128};
    std::vector<std::string> expected;
    for (int depth : found) {
        make_repo(chain(depth));
        expected.push_back(chain(depth));
    }
    make_repo(chain(129));
    EXPECT_EQ(255u, chain(128).size());
    EXPECT_EQ(expected, discover()); // each before those nested in it
}

// A directory past 512 entries and a tree past 1024 repositories are found whole.
TEST_F(DiscoveryTest, FindsEveryRepositoryHoweverMany) {
    for (int i = 0; i < 600; ++i)
        make_repo("r" + std::to_string(i));
    for (int g = 0; g < 2; ++g)
        for (int i = 0; i < 400; ++i)
            make_repo("g" + std::to_string(g) + "/r" + std::to_string(i));
    std::vector<std::string> names = discover();
    std::set<std::string> unique(names.begin(), names.end());
    EXPECT_EQ(1400u, names.size());
    EXPECT_EQ(1400u, unique.size());
    for (const auto &n : unique)
        EXPECT_TRUE(fs::is_directory(repos(n) + "/_manifests")) << n;
}

TEST_F(DiscoveryTest, MissingOrEmptyRepositoriesDirectoryYieldsNothing) {
    EXPECT_TRUE(discover().empty());
    fs::create_directories(repos(""));
    EXPECT_TRUE(discover().empty());
}

} // namespace
