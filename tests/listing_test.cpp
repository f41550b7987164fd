// Tests for the tag list and the repository catalog: exact texts, order, paging, failures and limits.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "storage/reg_storage.h"
#include "storage/storage_internal.h"
#include "tests/alloc_fault.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;

const std::string kDigest = "sha256:0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string kNotStarted = "not initialized - call reg_storage_init first";

std::string text_or_null(const char *text) { return text ? text : "(null)"; }

// Entries of the array of a listing whose names hold no comma.
size_t names_in(const std::string &json) {
    std::string array = json.substr(json.find('['));
    if (array.rfind("[]", 0) == 0) return 0;
    size_t commas = 0;
    for (char c : array)
        commas += c == ',';
    return commas + 1;
}

class ListingTest : public testutil::AllocFaultTest {
protected:
    using page_fn = std::function<const char *(const char *last, int *has_more, char *last_out, size_t cap)>;

    // Pages from the start until no more is said to follow; the names of every
    // page in order, as a client following the cursor collects them.
    static std::vector<std::string> page_through(const page_fn &page) {
        std::vector<std::string> names;
        std::string cursor;
        for (int guard = 0; guard < 10000; ++guard) {
            int has_more = 0;
            std::vector<char> last(2048);
            const char *json = page(cursor.empty() ? nullptr : cursor.c_str(), &has_more, last.data(), last.size());
            EXPECT_NE(nullptr, json) << reg_storage_last_error();
            if (!json) break;
            for (std::string &name : array_names(json))
                names.push_back(std::move(name));
            if (!has_more) break;
            cursor = last.data();
        }
        return names;
    }

    // The names of a listing's array, their JSON escapes decoded (those the engine writes).
    static std::vector<std::string> array_names(const std::string &json) {
        std::vector<std::string> names;
        size_t i = json.find('[') + 1;
        while (i < json.size() && json[i] == '"') {
            std::string name;
            for (++i; json[i] != '"'; ++i) {
                if (json[i] != '\\') {
                    name += json[i];
                    continue;
                }
                char e = json[++i];
                if (e == 'u') {
                    name += static_cast<char>(std::stoi(json.substr(i + 1, 4), nullptr, 16));
                    i += 4;
                } else {
                    name += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e == 'b' ? '\b' : e == 'f' ? '\f' : e;
                }
            }
            names.push_back(name);
            i += json[i + 1] == ',' ? 2 : 1;
        }
        return names;
    }

    std::string repo_dir(const std::string &name) const { return root_ + "/repositories/" + name; }
    void make_repo(const std::string &name) const { fs::create_directories(repo_dir(name) + "/_manifests"); }
    std::string tag_dir(const std::string &repo, const std::string &tag) const {
        return repo_dir(repo) + "/_manifests/tags/" + tag;
    }
    void make_tag(const std::string &repo, const std::string &tag, const std::string &link = kDigest) const {
        testutil::write_all(tag_dir(repo, tag) + "/current/link", link);
    }

    // One refused page call, the engine started or not and the name list
    // failing or not: null, the message, and no page reported.
    void expect_refused_page(bool started, bool no_memory, const char *message,
                             const std::function<const char *(int *has_more, char *last_out, size_t cap)> &page) {
        if (started)
            ASSERT_EQ(0, reg_storage_init(root_.c_str()));
        else
            reg_storage_cleanup();
        int has_more = 7;
        char last_out[8] = "stale";
        testutil::fail_allocations = no_memory;
        const char *json = page(&has_more, last_out, sizeof last_out);
        testutil::fail_allocations = false;
        EXPECT_EQ(nullptr, json);
        EXPECT_STREQ(message, reg_storage_last_error());
        EXPECT_EQ(0, has_more);
        EXPECT_STREQ("", last_out);
    }
};

// ---- tag list ---------------------------------------------------------------

TEST_F(ListingTest, FiveTagsPagedByTwo) {
    for (const char *tag : {"d", "b", "e", "a", "c"})
        make_tag("lib/app", tag);
    struct {
        const char *cursor;
        const char *json;
        int has_more;
        const char *last_out;
    } rows[] = {
        {nullptr, R"({"name":"lib/app","tags":["a","b"]})", 1, "b"},
        {"", R"({"name":"lib/app","tags":["a","b"]})", 1, "b"},
        {"b", R"({"name":"lib/app","tags":["c","d"]})", 1, "d"},
        {"d", R"({"name":"lib/app","tags":["e"]})", 0, "e"},
        {"e", R"({"name":"lib/app","tags":[]})", 0, ""},
        {"bb", R"({"name":"lib/app","tags":["c","d"]})", 1, "d"},
        {"0", R"({"name":"lib/app","tags":["a","b"]})", 1, "b"},
        {"z", R"({"name":"lib/app","tags":[]})", 0, ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(text_or_null(row.cursor));
        int has_more = -1;
        char last_out[16] = "stale";
        const char *json = reg_tags_list_json_page("lib/app", 2, row.cursor, &has_more, last_out, sizeof last_out);
        ASSERT_NE(nullptr, json) << reg_storage_last_error();
        EXPECT_STREQ(row.json, json);
        EXPECT_EQ(row.has_more, has_more);
        EXPECT_STREQ(row.last_out, last_out);
    }
}

TEST_F(ListingTest, PageSizeZeroNegativeOrHugeTakesTheRest) {
    for (const char *tag : {"a", "b", "c", "d", "e"})
        make_tag("app", tag);
    struct {
        int n;
        const char *json;
        int has_more;
    } rows[] = {
        {0, R"({"name":"app","tags":["c","d","e"]})", 0},
        {-1, R"({"name":"app","tags":["c","d","e"]})", 0},
        {INT_MIN, R"({"name":"app","tags":["c","d","e"]})", 0},
        {3, R"({"name":"app","tags":["c","d","e"]})", 0},
        {INT_MAX, R"({"name":"app","tags":["c","d","e"]})", 0},
        {INT_MAX - 1, R"({"name":"app","tags":["c","d","e"]})", 0},
        {1, R"({"name":"app","tags":["c"]})", 1},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.n);
        int has_more = -1;
        char last_out[8] = "";
        const char *json = reg_tags_list_json_page("app", row.n, "b", &has_more, last_out, sizeof last_out);
        ASSERT_NE(nullptr, json) << reg_storage_last_error();
        EXPECT_STREQ(row.json, json);
        EXPECT_EQ(row.has_more, has_more);
        EXPECT_STREQ(row.has_more ? "c" : "e", last_out);
    }
}

TEST_F(ListingTest, LastOutIsCutToItsSizeAndLeftAloneWithoutRoom) {
    make_tag("app", "release-2024");
    char last_out[8];
    memset(last_out, 'x', sizeof last_out);
    ASSERT_NE(nullptr, reg_tags_list_json_page("app", 1, nullptr, nullptr, last_out, 5));
    EXPECT_STREQ("rele", last_out);
    EXPECT_EQ('x', last_out[5]);

    ASSERT_NE(nullptr, reg_tags_list_json_page("app", 1, nullptr, nullptr, last_out, 1));
    EXPECT_STREQ("", last_out);

    memset(last_out, 'x', sizeof last_out);
    ASSERT_NE(nullptr, reg_tags_list_json_page("app", 1, nullptr, nullptr, last_out, 0));
    EXPECT_EQ('x', last_out[0]);
}

TEST_F(ListingTest, OnlyTagDirectoriesWithAReadableLinkAreListed) {
    make_tag("lib/app", "good");
    make_tag("lib/app", "junk", "not a digest");
    make_tag("lib/app", "empty", "");
    fs::create_directories(tag_dir("lib/app", "deleted"));                   // link removed by a tag deletion
    fs::create_directories(tag_dir("lib/app", "linkdir") + "/current/link"); // link that is a directory
    testutil::write_all(tag_dir("lib/app", "plainfile"), "sha256:x");
    EXPECT_STREQ(R"({"name":"lib/app","tags":["empty","good","junk"]})", reg_tags_list_json("lib/app"));
}

TEST_F(ListingTest, RepositoryWithoutTagsGivesAnEmptyArray) {
    make_repo("bare");
    EXPECT_STREQ(R"({"name":"bare","tags":[]})", reg_tags_list_json("bare"));
    EXPECT_STREQ(R"({"name":"missing","tags":[]})", reg_tags_list_json("missing"));
}

TEST_F(ListingTest, NamesAreEscapedAndSortedByBytes) {
    for (const char *tag : {"b", "B", "a0", "a-", "a", "q\"t", "back\\slash", "tab\tx", "ctl\x01"})
        make_tag("lib/app", tag);
    EXPECT_STREQ(R"({"name":"lib/app","tags":["B","a","a-","a0","b","back\\slash","ctl\u0001","q\"t","tab\tx"]})",
                 reg_tags_list_json("lib/app"));
}

TEST_F(ListingTest, BackslashInARepositoryNameReachesTheNestedDirectoryAndIsEscaped) {
    make_tag("lib/app", "v1");
    EXPECT_STREQ(R"({"name":"lib\\app","tags":["v1"]})", reg_tags_list_json("lib\\app"));
}

// Far more tags than one directory listing used to hold: the whole list in
// one answer, and paging by 100 walks over every tag in order.
TEST_F(ListingTest, EveryTagIsListedAndReachedByPaging) {
    constexpr int kTags = 700;
    for (int i = 0; i < kTags; ++i)
        make_tag("big", "t" + std::to_string(1000 + i));
    int has_more = -1;
    const char *json = reg_tags_list_json_page("big", 0, nullptr, &has_more, nullptr, 0);
    ASSERT_NE(nullptr, json);
    EXPECT_EQ(static_cast<size_t>(kTags), names_in(json));
    EXPECT_EQ(0, has_more);

    std::vector<std::string> seen = page_through([](const char *last, int *more, char *out, size_t cap) {
        return reg_tags_list_json_page("big", 100, last, more, out, cap);
    });
    ASSERT_EQ(static_cast<size_t>(kTags), seen.size());
    for (int i = 0; i < kTags; ++i)
        EXPECT_EQ("t" + std::to_string(1000 + i), seen[i]);
}

TEST_F(ListingTest, TagListFailures) {
    std::string too_long(256, 'a');
    struct {
        bool started;
        const char *repo;
        bool no_memory;
        const char *message;
    } rows[] = {
        {true, nullptr, false, "repo_name is NULL"},
        {false, nullptr, false, "repo_name is NULL"},
        {false, "app", false, kNotStarted.c_str()},
        {true, "", false, "invalid repository name"},
        {true, "a b", false, "invalid repository name"},
        {true, "a/../b", false, "invalid repository name"},
        {true, "lib/_manifests", false, "invalid repository name"},
        {true, too_long.c_str(), false, "invalid repository name"},
        {true, "app", true, "out of memory"},
    };
    make_tag("app", "v1");
    for (const auto &row : rows) {
        SCOPED_TRACE(text_or_null(row.repo) + (row.started ? " started" : " not started"));
        ASSERT_NO_FATAL_FAILURE(
            expect_refused_page(row.started, row.no_memory, row.message, [&](int *has_more, char *last, size_t cap) {
                return reg_tags_list_json_page(row.repo, 1, nullptr, has_more, last, cap);
            }));
    }
}

// ---- catalog ----------------------------------------------------------------

TEST_F(ListingTest, CatalogListsNestedRepositoriesSorted) {
    make_repo("c/d");
    make_repo("a/b");
    make_repo("a");
    make_repo("a-b");
    make_repo("a0");
    make_repo("Z");
    fs::create_directories(repo_dir("plain/dir"));
    testutil::write_all(repo_dir("stray-file"), "x");
    EXPECT_STREQ(R"({"repositories":["Z","a","a-b","a/b","a0","c/d"]})", reg_catalog_json(0, nullptr));
    EXPECT_STREQ(R"({"repositories":["a-b","a/b"]})", reg_catalog_json(2, "a"));
}

TEST_F(ListingTest, CatalogPagesLikeTheTagList) {
    for (const char *name : {"e", "c", "a", "d", "b"})
        make_repo(name);
    struct {
        int n;
        const char *cursor;
        const char *json;
        int has_more;
        const char *last_out;
    } rows[] = {
        {2, nullptr, R"({"repositories":["a","b"]})", 1, "b"},
        {2, "bb", R"({"repositories":["c","d"]})", 1, "d"},
        {2, "d", R"({"repositories":["e"]})", 0, "e"},
        {2, "e", R"({"repositories":[]})", 0, ""},
        {-5, "a", R"({"repositories":["b","c","d","e"]})", 0, "e"},
        {INT_MAX, "a", R"({"repositories":["b","c","d","e"]})", 0, "e"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(text_or_null(row.cursor) + " n=" + std::to_string(row.n));
        int has_more = -1;
        char last_out[8] = "stale";
        const char *json = reg_catalog_json_page(row.n, row.cursor, &has_more, last_out, sizeof last_out);
        ASSERT_NE(nullptr, json) << reg_storage_last_error();
        EXPECT_STREQ(row.json, json);
        EXPECT_EQ(row.has_more, has_more);
        EXPECT_STREQ(row.last_out, last_out);
    }
}

TEST_F(ListingTest, CatalogOfAnEmptyOrMissingRepositoriesDirectoryIsEmpty) {
    EXPECT_STREQ(R"({"repositories":[]})", reg_catalog_json(0, nullptr));
    fs::remove_all(root_ + "/repositories");
    EXPECT_STREQ(R"({"repositories":[]})", reg_catalog_json(0, nullptr));
}

TEST_F(ListingTest, CatalogFailures) {
    struct {
        bool started;
        bool no_memory;
        const char *message;
    } rows[] = {
        {false, false, kNotStarted.c_str()},
        {true, true, "out of memory"},
    };
    make_repo("app");
    for (const auto &row : rows) {
        SCOPED_TRACE(row.message);
        ASSERT_NO_FATAL_FAILURE(
            expect_refused_page(row.started, row.no_memory, row.message, [](int *has_more, char *last, size_t cap) {
                return reg_catalog_json_page(1, nullptr, has_more, last, cap);
            }));
    }
}

// Spread over three directories, since one listing sees only 512 entries.
// More repositories than discovery used to hold, 600 of them in one directory.
TEST_F(ListingTest, CatalogListsEveryRepository) {
    for (const char *parent : {"p", "q"})
        for (int i = 0; i < 600; ++i)
            make_repo(std::string(parent) + "/" + std::to_string(1000 + i));
    const char *json = reg_catalog_json(0, nullptr);
    ASSERT_NE(nullptr, json);
    EXPECT_EQ(1200u, names_in(json));
}

// Names whose escapes take six bytes each make the catalog longer than the
// result buffer: the answer holds whole names and stays valid JSON, says there
// is more, and paging on from its last name reaches every repository.
TEST_F(ListingTest, CatalogLargerThanTheResultBufferPagesOn) {
    const std::string controls(200, '\x01');
    std::vector<std::string> expected;
    for (const char *parent : {"p", "q"})
        for (int i = 0; i < 512; ++i) {
            expected.push_back(std::string(parent) + "/" + std::to_string(100 + i) + controls);
            make_repo(expected.back());
        }
    int has_more = 0;
    std::vector<char> last(2048);
    const char *json = reg_catalog_json_page(0, nullptr, &has_more, last.data(), last.size());
    ASSERT_NE(nullptr, json);
    std::string text = json;
    EXPECT_LT(text.size(), kResultMax);
    EXPECT_EQ(0, text.compare(0, 29, "{\"repositories\":[\"p/100\\u0001"));
    EXPECT_EQ("\"]}", text.substr(text.size() - 3));
    EXPECT_EQ(1, has_more);

    std::vector<std::string> seen = page_through([](const char *cursor, int *more, char *out, size_t cap) {
        return reg_catalog_json_page(0, cursor, more, out, cap);
    });
    EXPECT_EQ(expected, seen);
}

} // namespace
