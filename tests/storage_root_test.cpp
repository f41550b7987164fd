// Tests for the storage engine's root: start-up, layout, last error, file-system primitives, name rule, paths,
// repository deletion.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "front/oci_common.h"
#include "platform/platform.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"
#include "tests/fixtures.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;

const std::string kHex = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string kDescriptor = "{\n  \"schemaVersion\": 2,\n  \"title\": \"quillfen-registry-storage\",\n"
                                "  \"version\": \"1.9.0\",\n  \"maxUploadSize\": -1\n}\n";
const std::string kNotStarted = "not initialized - call reg_storage_init first";

std::string last_error() { return reg_storage_last_error(); }

// A path of exactly `total` characters below `base`, in components short
// enough for the file system (nothing is created).
std::string path_of_length(const std::string &base, size_t total) {
    std::string path = base;
    char fill = 'a';
    while (path.size() < total) {
        size_t left = total - path.size();
        size_t comp = std::min<size_t>(200, left - 1);
        if (left - (comp + 1) == 1) --comp; // a last step of one would be an empty component
        path += "/" + std::string(comp, fill);
        fill = fill == 'z' ? 'a' : static_cast<char>(fill + 1);
    }
    return path;
}

// Start-up is what many of these tests are about, so each starts the engine itself.
class StorageRootTest : public testutil::StorageTest {
protected:
    void SetUp() override {}

    std::string repos(const std::string &rel = "") const {
        return rel.empty() ? root_ + "/repositories" : root_ + "/repositories/" + rel;
    }

    // A repository directory as manifest storage leaves it: body, type, revision and tag.
    static void make_repo(const std::string &dir) {
        testutil::write_all(dir + "/_manifests/" + kHex, "{}");
        testutil::write_all(dir + "/_manifests/" + kHex + ".ct", "application/vnd.oci.image.manifest.v1+json");
        testutil::write_all(dir + "/_manifests/revisions/sha256/" + kHex + "/link", "sha256:" + kHex);
        testutil::write_all(dir + "/_manifests/tags/latest/current/link", "sha256:" + kHex);
    }
};

// ---- start-up and shut-down -------------------------------------------------

TEST_F(StorageRootTest, InitRefusesAnEmptyRootAndKeepsAStartedEngine) {
    start();
    for (const char *bad : {static_cast<const char *>(nullptr), ""}) {
        s_error[0] = '\0';
        EXPECT_EQ(-1, reg_storage_init(bad));
        EXPECT_EQ("storage root dir is empty", last_error());
        EXPECT_EQ(1, s_ready);
        EXPECT_EQ(root_, s_root);
    }
}

TEST_F(StorageRootTest, InitRefusesARootOf3500CharactersAndStopsTheEngine) {
    start();
    std::string too_long = path_of_length(tmp_ / "long", 3500);
    EXPECT_EQ(-1, reg_storage_init(too_long.c_str()));
    EXPECT_EQ("storage root dir too long (max 3499 chars)", last_error());
    EXPECT_EQ(0, s_ready);
    EXPECT_STREQ("", s_root);
    EXPECT_FALSE(testutil::exists(tmp_ / "long"));
    EXPECT_EQ(-1, reg_repo_delete("lib"));
    EXPECT_EQ(kNotStarted, last_error());
}

// The front door starts the engine on the root as configured: a long root is
// used whole, and one longer than the engine takes is refused, never cut to
// fit (a cut root is another directory, which would then be made and filled).
TEST_F(StorageRootTest, TheFrontDoorStartsOnTheWholeRootOrOnNone) {
    struct {
        size_t length;
        int rc;
    } rows[] = {{1100, 0}, {3499, 0}, {5000, -1}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.length);
        std::string base = tmp_ / ("front" + std::to_string(row.length));
        std::string root = path_of_length(base, row.length);
        testutil::ChildResult child = testutil::run_in_child([&] {
            setenv("REGISTRY_STORAGE_ROOT", root.c_str(), 1);
            int rc = oci_init_storage();
            printf("%d %d", rc, static_cast<int>(reg_storage_last_error_kind()));
        });
        ASSERT_EQ(0, child.exit_code);
        EXPECT_EQ(row.rc == 0 ? "0 0" : "-1 " + std::to_string(REG_ERR_INVALID), child.out);
        std::vector<std::string> descriptors;
        if (fs::exists(base))
            for (const auto &entry : fs::recursive_directory_iterator(base))
                if (entry.path().filename() == "config.json") descriptors.push_back(entry.path().string());
        std::vector<std::string> expected;
        if (row.rc == 0) expected.push_back(root + "/config.json");
        EXPECT_EQ(expected, descriptors);
    }
}

TEST_F(StorageRootTest, RootOf3499CharactersHoldsTheLongestRepositoryPaths) {
    std::string root = path_of_length(tmp_ / "deep", 3499);
    ASSERT_EQ(0, reg_storage_init(root.c_str())) << last_error();
    EXPECT_EQ(3499u, strlen(s_root));
    EXPECT_TRUE(testutil::is_dir(root + "/blobs/sha256"));
    EXPECT_TRUE(testutil::is_dir(root + "/repositories"));
    EXPECT_TRUE(testutil::is_dir(root + "/uploads"));
    EXPECT_EQ(kDescriptor, testutil::read_all(root + "/config.json"));

    // A 255-character name: the revision link is the longest path the engine builds.
    std::string name(255, 'n');
    char link[kPathMax];
    manifest_rev_path(link, name.c_str(), kHex.c_str());
    EXPECT_EQ(3866u, strlen(link));
    make_repo(root + "/repositories/" + name);
    ASSERT_TRUE(testutil::exists(link));
    EXPECT_EQ(0, reg_repo_delete(name.c_str())) << last_error();
    EXPECT_FALSE(testutil::exists(root + "/repositories/" + name));
    EXPECT_TRUE(testutil::is_dir(root + "/repositories"));
}

TEST_F(StorageRootTest, InitDropsOneTrailingBackslashAndKeepsASlash) {
    struct {
        std::string suffix;
        std::string stored;
    } rows[] = {
        {"", ""},
        {"\\", ""},
        {"\\\\", "\\"},
        {"/", "/"},
    };
    int n = 0;
    for (const auto &row : rows) {
        SCOPED_TRACE("suffix '" + row.suffix + "'");
        std::string base = tmp_ / ("r" + std::to_string(n++));
        ASSERT_EQ(0, reg_storage_init((base + row.suffix).c_str())) << last_error();
        EXPECT_EQ(base + row.stored, s_root);
        EXPECT_TRUE(testutil::is_dir(base + row.stored + "/repositories"));
    }
}

TEST_F(StorageRootTest, FreshRootGetsTheLayoutAndDescriptorButNoGcDirectory) {
    set_error("stale");
    start();
    EXPECT_EQ("", last_error());
    EXPECT_EQ(1, s_ready);
    EXPECT_NE(0u, s_seed);
    for (const char *dir : {"blobs", "blobs/sha256", "repositories", "uploads"})
        EXPECT_TRUE(testutil::is_dir(root_ + "/" + dir)) << dir;
    EXPECT_EQ(kDescriptor, testutil::read_all(root_ + "/config.json"));
    EXPECT_EQ(110u, kDescriptor.size());
    EXPECT_FALSE(testutil::exists(root_ + "/_gc"));
}

TEST_F(StorageRootTest, ExistingDescriptorIsNeverRewritten) {
    testutil::write_all(root_ + "/config.json", "not ours");
    start();
    EXPECT_EQ("not ours", testutil::read_all(root_ + "/config.json"));
    start(); // a second start-up on the same root
    EXPECT_EQ("not ours", testutil::read_all(root_ + "/config.json"));
}

TEST_F(StorageRootTest, DirectoryInPlaceOfTheDescriptorFailsStartUp) {
    ASSERT_TRUE(fs::create_directories(root_ + "/config.json"));
    EXPECT_EQ(-1, reg_storage_init(root_.c_str()));
    EXPECT_EQ("write config.json failed", last_error());
    EXPECT_EQ(0, s_ready);
}

TEST_F(StorageRootTest, SecondInitMovesToTheNewRootAndRecreatesMissingDirectories) {
    start();
    fs::remove_all(root_ + "/uploads");
    std::string other = tmp_ / "other";
    ASSERT_EQ(0, reg_storage_init(other.c_str()));
    EXPECT_EQ(other, s_root);
    EXPECT_TRUE(testutil::is_dir(other + "/uploads"));
    EXPECT_FALSE(testutil::exists(root_ + "/uploads"));
    start();
    EXPECT_TRUE(testutil::is_dir(root_ + "/uploads"));
}

// Fails the create of each directory start-up makes: start-up names the
// directory it was making (never by its server path) and the system's reason,
// and stops there, leaving what it made before.
TEST_F(StorageRootTest, InitReportsTheDirectoryItCouldNotCreate) {
    struct Case {
        std::string fails;   // the directory whose create fails
        std::string message; // what start-up reports
        std::vector<std::string> made, absent;
    } cases[] = {
        {root_, "cannot create the storage root: Input/output error", {}, {root_}},
        {root_ + "/blobs",
         "cannot create the storage directory blobs/sha256: Input/output error",
         {root_},
         {root_ + "/blobs"}},
        {root_ + "/blobs/sha256",
         "cannot create the storage directory blobs/sha256: Input/output error",
         {root_},
         {root_ + "/blobs/sha256"}},
        {root_ + "/repositories",
         "cannot create the storage directory repositories: Input/output error",
         {root_ + "/blobs/sha256"},
         {root_ + "/repositories", root_ + "/uploads", root_ + "/config.json"}},
        {root_ + "/uploads",
         "cannot create the storage directory uploads: Input/output error",
         {root_ + "/repositories"},
         {root_ + "/uploads"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fails);
        fs::remove_all(root_);
        plat_fault_inject_path(PLAT_OP_MKDIR, c.fails.c_str());
        int rc = reg_storage_init(root_.c_str());
        plat_fault_inject_path(PLAT_OP_MKDIR, nullptr);
        EXPECT_EQ(-1, rc);
        EXPECT_EQ(0, s_ready);
        EXPECT_EQ(c.message, last_error());
        EXPECT_EQ(REG_ERR_IO, reg_storage_last_error_kind());
        EXPECT_EQ(EIO, reg_storage_last_errno());
        for (const std::string &d : c.made)
            EXPECT_TRUE(testutil::is_dir(d)) << d;
        for (const std::string &d : c.absent)
            EXPECT_FALSE(testutil::exists(d)) << d;
    }
    // And with nothing failing, every one of them is made.
    fs::remove_all(root_);
    ASSERT_EQ(0, reg_storage_init(root_.c_str())) << last_error();
    for (const char *d : {"/blobs/sha256", "/repositories", "/uploads"})
        EXPECT_TRUE(testutil::is_dir(root_ + d)) << d;
}

TEST_F(StorageRootTest, GuardedOperationsNeedAStartedEngine) {
    EXPECT_EQ(-1, reg_repo_delete("lib"));
    EXPECT_EQ(kNotStarted, last_error());

    start();
    make_repo(repos("lib"));
    reg_storage_cleanup();
    EXPECT_STREQ("", s_root);
    EXPECT_EQ(0, s_ready);
    EXPECT_EQ(-1, reg_repo_delete("lib"));
    EXPECT_EQ(kNotStarted, last_error());
    EXPECT_TRUE(testutil::is_dir(repos("lib")));

    // The last error outlives shut-down; the argument check comes before readiness.
    reg_storage_cleanup();
    EXPECT_EQ(kNotStarted, last_error());
    EXPECT_EQ(-1, reg_repo_delete(nullptr));
    EXPECT_EQ("NULL argument", last_error());
}

TEST_F(StorageRootTest, LastErrorIsCutTo1023Characters) {
    std::string long_text(2000, 'e');
    long_text[1022] = 'L';
    long_text[1023] = 'X';
    set_error("%s", long_text.c_str());
    EXPECT_EQ(long_text.substr(0, 1023), last_error());
    set_error("repository not found: %s", "lib");
    EXPECT_EQ("repository not found: lib", last_error());
}

// ---- mkdirs, write_file, delete_tree ----------------------------------------

TEST_F(StorageRootTest, MkdirsCreatesEveryLevelAndAcceptsWhatIsThere) {
    testutil::write_all(tmp_ / "file", "x");
    ASSERT_TRUE(fs::create_directory(tmp_ / "dir"));
    struct {
        std::string path;
        int result;
        std::string made; // a directory that must exist afterwards
    } rows[] = {
        {"", -1, ""},
        {tmp_ / "dir", 0, tmp_ / "dir"},
        {tmp_ / "file", 0, ""}, // any existing entry satisfies the last level
        {tmp_ / "file/below", -1, ""},
        {tmp_ / "n1/n2/n3", 0, tmp_ / "n1/n2/n3"},
        {tmp_ / "t1/t2/", 0, tmp_ / "t1/t2"},
        {tmp_ / "d1//d2", 0, tmp_ / "d1/d2"},
        {path_of_length(tmp_ / "max", 4095), 0, path_of_length(tmp_ / "max", 4095)},
        {path_of_length(tmp_ / "over", 4096), -1, ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.path.substr(0, 120));
        EXPECT_EQ(row.result, mkdirs(row.path.c_str()));
        if (!row.made.empty()) {
            EXPECT_TRUE(testutil::is_dir(row.made));
        }
    }
    EXPECT_EQ("x", testutil::read_all(tmp_ / "file"));
    EXPECT_FALSE(testutil::exists(tmp_ / "over"));
    EXPECT_EQ(-1, mkdirs(nullptr));
}

TEST_F(StorageRootTest, MkdirsTreatsABackslashAsPartOfTheName) {
    ASSERT_EQ(0, mkdirs((tmp_ / "x\\y").c_str()));
    EXPECT_TRUE(testutil::is_dir(tmp_ / "x\\y"));
    EXPECT_FALSE(testutil::exists(tmp_ / "x"));
}

TEST_F(StorageRootTest, MkdirsFailsWhenAnyNewLevelCannotBeCreated) {
    std::string m = tmp_ / "m";
    struct Case {
        std::string fails; // every create of this directory fails
        int rc;
    } cases[] = {
        {tmp_.path(), 0}, // a parent that exists is not made again
        {m, -1},
        {m + "/b", -1},
        {m + "/b/c", -1},
        {m + "/b/c/d", 0}, // below the path: never touched
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fails);
        fs::remove_all(m);
        plat_fault_inject_path(PLAT_OP_MKDIR, c.fails.c_str());
        int rc = mkdirs((m + "/b/c").c_str());
        plat_fault_inject_path(PLAT_OP_MKDIR, nullptr);
        EXPECT_EQ(c.rc, rc);
        EXPECT_EQ(c.rc == 0, testutil::is_dir(m + "/b/c"));
    }
    // The same path again once it stands, and once more with its last level
    // failing: a directory that is there is not a failure.
    plat_fault_inject_path(PLAT_OP_MKDIR, (m + "/b/c").c_str());
    EXPECT_EQ(0, mkdirs((m + "/b/c").c_str()));
}

// Made and present are both success, a file in the way is not; an existing
// directory costs one call, a missing parent is made on the way down.
TEST_F(StorageRootTest, MkdirsCallsOnlyForWhatIsMissing) {
    std::string m = tmp_ / "n";
    struct Case {
        const char *what;
        std::function<void()> stage;
        int rc;
        uint64_t mkdir_calls;
    } cases[] = {
        {"all missing", [] {}, 0, 5}, // three tries up (c, b, n made), two down
        {"all there", [&] { fs::create_directories(m + "/b/c"); }, 0, 1},
        {"only the last missing", [&] { fs::create_directories(m + "/b"); }, 0, 1},
        {"a file in the way", [&] { testutil::write_all(m, "x"); }, -1, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(m);
        c.stage();
        plat_op_counts_reset();
        EXPECT_EQ(c.rc, mkdirs((m + "/b/c").c_str()));
        EXPECT_EQ(c.mkdir_calls, plat_op_count(PLAT_OP_MKDIR));
        EXPECT_EQ(c.rc == 0, testutil::is_dir(m + "/b/c"));
    }
}

TEST_F(StorageRootTest, WriteFileReplacesContentExactly) {
    const std::string binary("a\0b\r\nc\n", 7);
    std::string path = tmp_ / "f";
    testutil::write_all(path, std::string(100, 'o'));
    ASSERT_EQ(0, write_file(path.c_str(), binary.data(), binary.size()));
    EXPECT_EQ(binary, testutil::read_all(path));

    ASSERT_EQ(0, write_file(path.c_str(), nullptr, 0));
    EXPECT_TRUE(testutil::exists(path));
    EXPECT_EQ("", testutil::read_all(path));

    std::string fresh = tmp_ / "empty";
    ASSERT_EQ(0, write_file(fresh.c_str(), "", 0));
    EXPECT_TRUE(testutil::exists(fresh));

    EXPECT_EQ(-1, write_file((tmp_ / "missing/f").c_str(), "x", 1));
    EXPECT_EQ(-1, write_file(tmp_.path().c_str(), "x", 1));
}

TEST_F(StorageRootTest, DeleteTreeRemovesEverythingBelowAndItself) {
    std::string top = tmp_ / "top";
    make_repo(top);
    testutil::write_all(top + "/.hidden", "h");
    ASSERT_TRUE(fs::create_directories(top + "/empty/dir"));
    EXPECT_EQ(0, delete_tree(top.c_str()));
    EXPECT_FALSE(testutil::exists(top));
    EXPECT_TRUE(testutil::is_dir(tmp_.path()));

    EXPECT_EQ(-1, delete_tree((tmp_ / "missing").c_str()));
    testutil::write_all(tmp_ / "plain", "x");
    EXPECT_EQ(-1, delete_tree((tmp_ / "plain").c_str()));
    EXPECT_EQ("x", testutil::read_all(tmp_ / "plain"));
}

TEST_F(StorageRootTest, DeleteTreeGoesOnPastAFailedRemovalAndReportsIt) {
    std::string top = tmp_ / "top";
    const std::vector<std::string> files = {"a", "b", "c", "sub/d"};
    for (const auto &f : files)
        testutil::write_all(top + "/" + f, f);

    plat_fault_inject(PLAT_OP_UNLINK, 1);
    EXPECT_EQ(-1, delete_tree(top.c_str()));
    int left = 0;
    for (const auto &f : files)
        left += testutil::exists(top + "/" + f);
    EXPECT_EQ(1, left); // only the file whose removal failed
    EXPECT_TRUE(testutil::is_dir(top));

    // A directory that cannot be removed fails the call even though all below it went.
    plat_fault_inject(PLAT_OP_RMDIR, 1);
    EXPECT_EQ(-1, delete_tree(top.c_str()));
    EXPECT_EQ(0, delete_tree(top.c_str()));
    EXPECT_FALSE(testutil::exists(top));
}

TEST_F(StorageRootTest, DeleteTreeRemovesLinksWithoutEnteringThem) {
    std::string outside = tmp_ / "outside";
    testutil::write_all(outside + "/precious", "keep");
    std::string top = tmp_ / "top";
    testutil::write_all(top + "/f", "x");
    ASSERT_EQ(0, symlink(outside.c_str(), (top + "/to_dir").c_str()));
    ASSERT_EQ(0, symlink((outside + "/precious").c_str(), (top + "/to_file").c_str()));
    ASSERT_EQ(0, symlink((tmp_ / "nowhere").c_str(), (top + "/dangling").c_str()));

    EXPECT_EQ(0, delete_tree(top.c_str()));
    EXPECT_FALSE(testutil::exists(top));
    EXPECT_EQ("keep", testutil::read_all(outside + "/precious"));

    // The tree's own path being a link: the link goes, its target stays.
    std::string link = tmp_ / "link";
    ASSERT_EQ(0, symlink(outside.c_str(), link.c_str()));
    EXPECT_EQ(0, delete_tree(link.c_str()));
    EXPECT_FALSE(testutil::exists(link));
    EXPECT_EQ("keep", testutil::read_all(outside + "/precious"));
}

// Entries whose path would not fit a path buffer are left alone rather than
// reached through a cut (and so different) path.
TEST_F(StorageRootTest, DeleteTreeRefusesChildPathsOver4095Characters) {
    std::string top = path_of_length(tmp_ / "t", 4093);
    ASSERT_TRUE(fs::create_directories(top));
    int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    auto make_file = [fd](const char *name) {
        int f = openat(fd, name, O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(f, 0) << name;
        close(f);
    };
    make_file("x");  // 4095 characters: fits
    make_file("yy"); // 4096: refused
    make_file("y");  // the 4095-character cut of the refused one
    ASSERT_EQ(0, mkdirat(fd, "zzz", 0755));
    int sub = openat(fd, "zzz", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(sub, 0);
    int f = openat(sub, "inner", O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(f, 0);
    close(f);
    close(sub);

    EXPECT_EQ(-1, delete_tree(top.c_str()));
    struct stat st;
    EXPECT_NE(0, fstatat(fd, "x", &st, AT_SYMLINK_NOFOLLOW));
    EXPECT_NE(0, fstatat(fd, "y", &st, AT_SYMLINK_NOFOLLOW));
    EXPECT_EQ(0, fstatat(fd, "yy", &st, AT_SYMLINK_NOFOLLOW));
    EXPECT_EQ(0, fstatat(fd, "zzz/inner", &st, AT_SYMLINK_NOFOLLOW));
    close(fd);
    EXPECT_TRUE(testutil::is_dir(top));
}

// ---- the engine's name rule ---------------------------------------------------

TEST_F(StorageRootTest, NameRuleAcceptsOnlyNamesBelowTheRepositoriesDirectory) {
    struct {
        std::string name;
        int valid;
    } rows[] = {
        {"a", 1},
        {"library/ubuntu", 1},
        {"lib\\app", 1},
        {"A-b_c.d", 1},
        {".hidden/-lead/_x", 1},
        {"a.b\\c.d/e", 1},
        {std::string(255, 'n'), 1},
        {std::string(256, 'n'), 0},
        {"", 0},
        {"a..b", 0},
        {"..", 0},
        {"a/../b", 0},
        {"a b", 0},
        {"a:b", 0},
        {"a@b", 0},
        {"caf\xc3\xa9", 0},
        {"/", 0},
        {"\\", 0},
        {".", 0},
        {"a/.", 0},
        {"./a", 0},
        {"a/./b", 0},
        {"a\\.\\b", 0},
        {"/a", 0},
        {"a/", 0},
        {"a\\", 0},
        {"a//b", 0},
        {"a/\\b", 0},
        {"_manifests", 0},
        {"lib/_manifests", 0},
        {"lib\\_manifests\\tags", 0},
        {"lib/_manifests_old", 1},
        {"lib/_Manifests", 1},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE("name '" + row.name.substr(0, 40) + "'");
        EXPECT_EQ(row.valid, repo_name_valid(row.name.c_str()));
    }
    EXPECT_EQ(0, repo_name_valid(nullptr));
}

// ---- path builders ------------------------------------------------------------

TEST_F(StorageRootTest, PathBuildersPlaceEachPieceUnderTheRoot) {
    start();
    const std::string id = "0123abcd-0000-1111-2222-333344445555";
    const std::string m = root_ + "/repositories/lib/app/_manifests";
    struct {
        const char *what;
        std::function<void(char *)> build;
        std::string expected;
    } rows[] = {
        {"repo dir", [](char *o) { repo_dir_path(o, "a\\b/c"); }, root_ + "/repositories/a/b/c"},
        {"body", [](char *o) { manifest_body_path(o, "lib/app", kHex.c_str()); }, m + "/" + kHex},
        {"body, backslash name", [](char *o) { manifest_body_path(o, "lib\\app", kHex.c_str()); }, m + "/" + kHex},
        {"revision dir", [](char *o) { manifest_rev_dir(o, "lib/app", kHex.c_str()); },
         m + "/revisions/sha256/" + kHex},
        {"revision link", [](char *o) { manifest_rev_path(o, "lib/app", kHex.c_str()); },
         m + "/revisions/sha256/" + kHex + "/link"},
        {"tags dir", [](char *o) { manifest_tags_dir(o, "lib/app"); }, m + "/tags"},
        {"tag link", [](char *o) { manifest_tag_path(o, "lib/app", "v1.0"); }, m + "/tags/v1.0/current/link"},
        {"upload", [&id](char *o) { upload_path_for_uuid(o, id.c_str()); }, root_ + "/uploads/" + id + ".part"},
        {"blob", [](char *o) { blob_path_for_digest(o, ("sha256:" + kHex).c_str()); },
         root_ + "/blobs/sha256/01/" + kHex},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        char out[kPathMax];
        memset(out, '#', sizeof out);
        row.build(out);
        EXPECT_EQ(row.expected, out);
    }
}

TEST_F(StorageRootTest, PathBuildersCutAt4095Characters) {
    std::string root(3499, 'r');
    memcpy(s_root, root.c_str(), root.size() + 1);
    const std::string name(255, 'n');
    const std::string prefix = root + "/repositories/" + name + "/_manifests/tags/";
    struct {
        size_t tag_len;
        size_t out_len;
    } rows[] = {{297, 4095}, {298, 4095}, {1000, 4095}, {10, 3808}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.tag_len);
        std::string tag(row.tag_len, 't');
        std::string full = prefix + tag + "/current/link";
        char out[kPathMax];
        manifest_tag_path(out, name.c_str(), tag.c_str());
        EXPECT_EQ(row.out_len, strlen(out));
        EXPECT_EQ(full.substr(0, 4095), out);
    }
}

TEST_F(StorageRootTest, UploadFileNameIsCutTo127Characters) {
    start();
    std::string id(200, 'u');
    char out[kPathMax];
    upload_path_for_uuid(out, id.c_str());
    EXPECT_EQ(root_ + "/uploads/" + std::string(127, 'u'), out);
}

TEST_F(StorageRootTest, BlobPathNeverReadsPastAShortDigest) {
    start();
    const std::string fan = root_ + "/blobs/sha256/";
    struct {
        std::string digest;
        std::string expected;
    } rows[] = {
        {"", fan + "/"},
        {"sha", fan + "/"},
        {"sha256:", fan + "/"},
        {"sha256:a", fan + "a/a"},
        {"XXXXXXXab12", fan + "ab/ab12"}, // the prefix is not examined
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.digest);
        // Exactly sized on the heap so a read past the end is caught under the sanitizers.
        std::unique_ptr<char[]> text(new char[row.digest.size() + 1]);
        memcpy(text.get(), row.digest.c_str(), row.digest.size() + 1);
        char out[kPathMax];
        blob_path_for_digest(out, text.get());
        EXPECT_EQ(row.expected, out);
    }
}

// ---- repository deletion ------------------------------------------------------

TEST_F(StorageRootTest, DeleteRefusesBadNamesAndTouchesNothing) {
    start();
    make_repo(repos("a"));
    testutil::write_all(repos("a/b/file"), "x");
    struct {
        const char *name;
        std::string message;
    } rows[] = {
        {nullptr, "NULL argument"},
        {"", "NULL argument"},
        {"a..b", "invalid repository name"},
        {"a b", "invalid repository name"},
        {"/", "invalid repository name"},
        {".", "invalid repository name"},
        {"a/.", "invalid repository name"},
        {"a\\.\\b", "invalid repository name"},
        {"a//b", "invalid repository name"},
        {"a/", "invalid repository name"},
        {"/a", "invalid repository name"},
        {"a/_manifests", "invalid repository name"},
        {"a/_manifests/tags", "invalid repository name"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name ? row.name : "(null)");
        EXPECT_EQ(-1, reg_repo_delete(row.name));
        EXPECT_EQ(row.message, last_error());
    }
    std::string long_name(256, 'n');
    EXPECT_EQ(-1, reg_repo_delete(long_name.c_str()));
    EXPECT_EQ("invalid repository name", last_error());

    EXPECT_TRUE(testutil::is_dir(repos("a/_manifests/tags/latest/current")));
    EXPECT_EQ("x", testutil::read_all(repos("a/b/file")));
}

TEST_F(StorageRootTest, DeleteOfAMissingRepositoryNamesIt) {
    start();
    testutil::write_all(repos("plainfile"), "x");
    for (const std::string &name :
         {std::string("ghost"), std::string("lib\\ghost"), std::string("plainfile"), std::string(255, 'n')}) {
        SCOPED_TRACE(name.substr(0, 40));
        EXPECT_EQ(-1, reg_repo_delete(name.c_str()));
        EXPECT_EQ("repository not found: " + name, last_error());
    }
    EXPECT_EQ("x", testutil::read_all(repos("plainfile")));
}

// Only the components a name separates with '\' are removed when emptied.
TEST_F(StorageRootTest, DeleteRemovesEmptiedParentsOnlyAtBackslashes) {
    struct {
        std::vector<std::string> repos;
        std::string name;
        std::vector<std::string> gone;
        std::vector<std::string> kept;
    } rows[] = {
        {{"lib/app"}, "lib/app", {"lib/app"}, {"lib"}},
        {{"lib/app"}, "lib\\app", {"lib"}, {}},
        {{"lib/app", "lib/other"}, "lib\\app", {"lib/app"}, {"lib/other"}},
        {{"a/b/c"}, "a\\b\\c", {"a"}, {}},
        {{"a/b/c", "a/keep"}, "a\\b\\c", {"a/b"}, {"a/keep"}},
        {{"x/y/z"}, "x/y\\z", {"x/y"}, {"x"}},
        {{"a/b/c"}, "a\\b/c", {"a/b/c"}, {"a/b"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(root_);
        start();
        for (const auto &r : row.repos)
            make_repo(repos(r));
        EXPECT_EQ(0, reg_repo_delete(row.name.c_str())) << last_error();
        for (const auto &g : row.gone)
            EXPECT_FALSE(testutil::exists(repos(g))) << g;
        for (const auto &k : row.kept)
            EXPECT_TRUE(testutil::is_dir(repos(k))) << k;
        EXPECT_TRUE(testutil::is_dir(repos()));
    }
}

TEST_F(StorageRootTest, DeleteWalksAtMost16EmptiedParents) {
    start();
    std::string name, disk;
    for (int i = 0; i < 18; ++i) {
        std::string comp = "c" + std::to_string(i);
        name += (i ? "\\" : "") + comp;
        disk += (i ? "/" : "") + comp;
    }
    make_repo(repos(disk));
    EXPECT_EQ(0, reg_repo_delete(name.c_str())) << last_error();
    EXPECT_FALSE(testutil::exists(repos("c0/c1")));
    EXPECT_TRUE(testutil::is_dir(repos("c0")));
}

// A deletion removes exactly the repository named: repositories nested below
// it stay, and a name with repositories below it that is none itself is unknown.
TEST_F(StorageRootTest, DeleteRemovesExactlyThatRepository) {
    start();
    make_repo(repos("a"));
    make_repo(repos("a/b"));
    make_repo(repos("ab"));
    make_repo(repos("team/one"));
    make_repo(repos("team/two"));
    EXPECT_EQ(0, reg_repo_delete("a"));
    EXPECT_FALSE(testutil::exists(repos("a/_manifests")));
    EXPECT_TRUE(testutil::is_dir(repos("a/b/_manifests")));
    EXPECT_TRUE(testutil::is_dir(repos("ab/_manifests")));

    EXPECT_EQ(-1, reg_repo_delete("team"));
    EXPECT_EQ(REG_ERR_NOT_FOUND, reg_storage_last_error_kind());
    EXPECT_TRUE(testutil::is_dir(repos("team/one/_manifests")));
    EXPECT_TRUE(testutil::is_dir(repos("team/two/_manifests")));
}

TEST_F(StorageRootTest, FailedRemovalIsReportedAndLeavesTheRest) {
    start();
    make_repo(repos("lib/app"));
    size_t before = 0;
    for (const auto &e : fs::recursive_directory_iterator(repos("lib/app")))
        before += e.is_regular_file();
    // The one rename that takes the repository out fails: all of it stays.
    plat_fault_inject(PLAT_OP_RENAME, 1);
    EXPECT_EQ(-1, reg_repo_delete("lib/app"));
    EXPECT_EQ("delete repository failed: lib/app", last_error());
    EXPECT_TRUE(testutil::is_dir(repos("lib/app/_manifests")));
    size_t files = 0;
    for (const auto &e : fs::recursive_directory_iterator(repos("lib/app")))
        files += e.is_regular_file();
    EXPECT_EQ(before, files);

    // The retry takes it.
    EXPECT_EQ(0, reg_repo_delete("lib/app")) << last_error();
    EXPECT_FALSE(testutil::exists(repos("lib/app")));
}

TEST_F(StorageRootTest, ParentThatCannotBeRemovedDoesNotFailTheDelete) {
    start();
    make_repo(repos("lib/app"));
    int dirs = 1; // the repository directory itself
    for (const auto &e : fs::recursive_directory_iterator(repos("lib/app")))
        dirs += e.is_directory();
    plat_fault_inject(PLAT_OP_RMDIR, dirs + 1);
    set_error("earlier");
    EXPECT_EQ(0, reg_repo_delete("lib\\app"));
    EXPECT_FALSE(testutil::exists(repos("lib/app")));
    EXPECT_TRUE(testutil::is_dir(repos("lib")));
    EXPECT_EQ("earlier", last_error());
}

TEST_F(StorageRootTest, DeleteNeverFollowsLinksOutOfTheRepository) {
    start();
    std::string outside = tmp_ / "outside";
    make_repo(outside + "/victim");
    testutil::write_all(outside + "/precious", "keep");

    make_repo(repos("lib/app"));
    ASSERT_EQ(0, symlink(outside.c_str(), repos("lib/app/_manifests/escape").c_str()));
    EXPECT_EQ(0, reg_repo_delete("lib/app")) << last_error();
    EXPECT_FALSE(testutil::exists(repos("lib/app")));

    // The repository directory itself a link: only the link goes.
    ASSERT_EQ(0, symlink((outside + "/victim").c_str(), repos("linked").c_str()));
    EXPECT_EQ(0, reg_repo_delete("linked")) << last_error();
    EXPECT_FALSE(testutil::exists(repos("linked")));

    EXPECT_EQ("keep", testutil::read_all(outside + "/precious"));
    EXPECT_EQ("sha256:" + kHex, testutil::read_all(outside + "/victim/_manifests/tags/latest/current/link"));
}

} // namespace
