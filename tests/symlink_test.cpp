// symlink_test.cpp - a symbolic link placed in the storage tree by hand is never followed by a listing,
// a collection or a deletion (a collection refuses to run while one stands among the repositories, since a
// repository behind it could not be seen), and the tree check reports it.
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <gtest/gtest.h>

#include <string>

#include "storage/reg_storage.h"
#include "tests/fixtures.h"
#include "tests/test_util.h"

namespace {

using testutil::write_all;

class Symlinks : public testutil::StorageTest {
protected:
    void SetUp() override {
        write_all(cwd_dir_ / "config.json", R"({"registry_gc_grace_seconds": 0})");
        StorageTest::SetUp();
        // Outside the tree: what looks like a repository and a blob store fan-out.
        write_all(outside_ + "/repo/_manifests/tags/latest/current/link", "sha256:" + std::string(64, 'a'));
        write_all(outside_ + "/fanout/" + kHex, "precious");
        struct utimbuf old = {1000000000, 1000000000};
        utime((outside_ + "/fanout/" + kHex).c_str(), &old);
        ASSERT_EQ(0, symlink((outside_ + "/repo").c_str(), (root_ + "/repositories/evil").c_str()));
        ASSERT_EQ(0, symlink((outside_ + "/fanout").c_str(), (root_ + "/blobs/sha256/ab").c_str()));
    }
    bool outside_intact() const {
        return testutil::read_all(outside_ + "/fanout/" + kHex) == "precious" &&
               access((outside_ + "/repo/_manifests/tags/latest/current/link").c_str(), F_OK) == 0;
    }

    const std::string kHex = "ab" + std::string(62, 'c');
    testutil::TempDir cwd_dir_;
    testutil::ScopedCwd cwd_{cwd_dir_.path()};
    std::string outside_ = tmp_ / "outside";
};

TEST_F(Symlinks, NeverFollowed) {
    std::string catalog = reg_catalog_json(100, nullptr);
    EXPECT_EQ(catalog.find("evil"), std::string::npos) << catalog;
    EXPECT_EQ(reg_gc_json(0), nullptr);
    EXPECT_NE(std::string(reg_storage_last_error()).find("symbolic link"), std::string::npos);
    EXPECT_TRUE(outside_intact()) << "a collection followed a link";
    // With the repository link gone, the collection runs and still does not
    // sweep through the blob store's linked fan-out.
    ASSERT_EQ(0, unlink((root_ + "/repositories/evil").c_str()));
    ASSERT_NE(reg_gc_json(0), nullptr) << reg_storage_last_error();
    EXPECT_TRUE(outside_intact()) << "a collection followed a link";
    ASSERT_EQ(0, symlink((outside_ + "/repo").c_str(), (root_ + "/repositories/evil").c_str()));
    reg_repo_delete("evil");
    EXPECT_TRUE(outside_intact()) << "a deletion followed a link";
}

TEST_F(Symlinks, TheCheckReportsEveryLink) {
    std::string report = reg_check_json(0, nullptr, nullptr);
    EXPECT_NE(report.find("\"repositories/evil\""), std::string::npos) << report;
    EXPECT_NE(report.find("\"blobs/sha256/ab\""), std::string::npos) << report;
    EXPECT_NE(report.find("symbolic link"), std::string::npos) << report;
    EXPECT_TRUE(outside_intact());
}

} // namespace
