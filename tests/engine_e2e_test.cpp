// The storage engine end to end: blobs arrive through chunked uploads, an image
// manifest and an index that names it from another repository are stored, read
// back, listed, counted and deleted, and the tree on disk is checked at each step.
// Then the housekeeping: retention prunes an old tag and garbage collection frees
// exactly the blobs nothing stored names any more.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "storage/reg_storage.h"
#include "tests/fixtures.h"
#include "tests/test_util.h"

namespace {

using testutil::exists;
using testutil::is_dir;
using testutil::read_all;
using testutil::sha256_digest;

constexpr char kImageType[] = "application/vnd.oci.image.manifest.v1+json";
constexpr char kIndexType[] = "application/vnd.oci.image.index.v1+json";

std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string out(n, '\0');
    for (char &c : out)
        c = static_cast<char>(gen() & 0xFF);
    return out;
}

// Pushes data through an upload in chunks of the given sizes (the rest in one
// last chunk) and answers the stored digest.
std::string upload(const std::string &data, const std::vector<size_t> &chunks) {
    char id[37];
    EXPECT_EQ(0, reg_blob_start_upload(id)) << reg_storage_last_error();
    size_t at = 0;
    for (size_t size : chunks) {
        EXPECT_EQ(0, reg_blob_append_chunk(id, data.data() + at, size)) << reg_storage_last_error();
        at += size;
    }
    EXPECT_EQ(0, reg_blob_append_chunk(id, data.data() + at, data.size() - at)) << reg_storage_last_error();
    int64_t received = -1;
    EXPECT_EQ(0, reg_blob_upload_size(id, &received));
    EXPECT_EQ(static_cast<int64_t>(data.size()), received);
    char stored[72] = "";
    std::string expected = sha256_digest(data);
    EXPECT_EQ(0, reg_blob_finish_upload(id, expected.c_str(), stored)) << reg_storage_last_error();
    EXPECT_EQ(expected, stored);
    return stored;
}

std::string blob_json(const std::string &type, const std::string &digest, size_t size) {
    return "{\"mediaType\":\"" + type + "\",\"digest\":\"" + digest + "\",\"size\":" + std::to_string(size) + "}";
}

struct Fetched {
    std::string body, type, digest;
};

Fetched get(const char *repo, const std::string &ref) {
    char type[127] = "", digest[72] = "";
    const char *body = reg_manifest_get(repo, ref.c_str(), type, digest);
    EXPECT_NE(nullptr, body) << repo << " " << ref << ": " << reg_storage_last_error();
    return {body ? body : "", type, digest};
}

class EngineEndToEnd : public testutil::StorageTest {
protected:
    std::string manifests(const std::string &repo) const { return root_ + "/repositories/" + repo + "/_manifests"; }
    std::string blob_file(const std::string &digest) const {
        return root_ + "/blobs/sha256/" + digest.substr(7, 2) + "/" + digest.substr(7);
    }
};

TEST_F(EngineEndToEnd, UploadStoreReadListCountDelete) {
    // Blobs: a config document and two layers, each in several chunks.
    const std::string config = "{\"architecture\":\"amd64\",\"os\":\"linux\"}";
    const std::string layer1 = random_bytes(300000, 1);
    const std::string layer2 = random_bytes(65537, 2);
    const std::string config_digest = upload(config, {10, 0, 5});
    const std::string layer1_digest = upload(layer1, {65536, 1, 100000});
    const std::string layer2_digest = upload(layer2, {1, 65535});
    for (const std::string *d : {&config_digest, &layer1_digest, &layer2_digest})
        EXPECT_EQ(1, reg_blob_exists(d->c_str())) << *d;
    EXPECT_EQ(layer1, read_all(blob_file(layer1_digest)));
    EXPECT_EQ(static_cast<int64_t>(layer2.size()), reg_blob_get_size(layer2_digest.c_str()));

    // An image manifest under a tag, then an index naming it from another repository.
    const std::string image =
        "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kImageType) +
        "\",\"config\":" + blob_json("application/vnd.oci.image.config.v1+json", config_digest, config.size()) +
        ",\"layers\":[" + blob_json("application/vnd.oci.image.layer.v1.tar", layer1_digest, layer1.size()) + "," +
        blob_json("application/vnd.oci.image.layer.v1.tar", layer2_digest, layer2.size()) + "]}";
    char image_digest[72] = "";
    ASSERT_EQ(0, reg_manifest_put("library/app", "v1", image.data(), image.size(), nullptr, image_digest))
        << reg_storage_last_error();
    EXPECT_EQ(sha256_digest(image), image_digest);
    for (const char *tag : {"v2", "latest"})
        ASSERT_EQ(0, reg_manifest_put("library/app", tag, image.data(), image.size(), nullptr, image_digest));

    const std::string index = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kIndexType) + "\",\"manifests\":[" +
                              blob_json(kImageType, image_digest, image.size()) + "]}";
    char index_digest[72] = "";
    ASSERT_EQ(0, reg_manifest_put("other/idx", "multi", index.data(), index.size(), nullptr, index_digest))
        << reg_storage_last_error();

    // Read back by tag and by digest, with media types.
    for (const std::string &ref : {std::string("v1"), std::string(image_digest)}) {
        Fetched m = get("library/app", ref);
        EXPECT_EQ(image, m.body);
        EXPECT_EQ(kImageType, m.type);
        EXPECT_EQ(image_digest, m.digest);
    }
    Fetched idx = get("other/idx", "multi");
    EXPECT_EQ(index, idx.body);
    EXPECT_EQ(kIndexType, idx.type);
    EXPECT_EQ(index_digest, idx.digest);
    EXPECT_EQ(index, get("other/idx", index_digest).body);

    // Tags and catalog in pages, each page's last_out handed back as the next cursor.
    int more = -1;
    char last[64] = "";
    EXPECT_STREQ("{\"name\":\"library/app\",\"tags\":[\"latest\",\"v1\"]}",
                 reg_tags_list_json_page("library/app", 2, nullptr, &more, last, sizeof last));
    EXPECT_EQ(1, more);
    EXPECT_STREQ("v1", last);
    EXPECT_STREQ("{\"name\":\"library/app\",\"tags\":[\"v2\"]}",
                 reg_tags_list_json_page("library/app", 2, last, &more, last, sizeof last));
    EXPECT_EQ(0, more);
    EXPECT_STREQ("{\"repositories\":[\"library/app\"]}", reg_catalog_json_page(1, nullptr, &more, last, sizeof last));
    EXPECT_EQ(1, more);
    EXPECT_STREQ("{\"repositories\":[\"other/idx\"]}", reg_catalog_json_page(1, last, &more, last, sizeof last));
    EXPECT_EQ(0, more);

    // Statistics, with one upload still open.
    char open_id[37];
    ASSERT_EQ(0, reg_blob_start_upload(open_id));
    ASSERT_EQ(0, reg_blob_append_chunk(open_id, "12345", 5));
    const long long blob_bytes = static_cast<long long>(config.size() + layer1.size() + layer2.size());
    EXPECT_EQ("{\"version\":\"1.9.0\",\"repositories\":2,\"tags\":4,\"blobs\":3,\"blob_bytes\":" +
                  std::to_string(blob_bytes) + ",\"active_uploads\":1,\"upload_bytes\":5}",
              std::string(reg_storage_get_stats_json()));
    ASSERT_EQ(0, reg_blob_cancel_upload(open_id));

    // Deleting one of three tags keeps the manifest for the other two.
    const std::string image_hex = std::string(image_digest).substr(7);
    ASSERT_EQ(0, reg_manifest_delete("library/app", "v1")) << reg_storage_last_error();
    EXPECT_TRUE(exists(manifests("library/app") + "/" + image_hex));
    EXPECT_EQ(image_digest, get("library/app", "latest").digest);
    EXPECT_EQ(nullptr,
              reg_manifest_get("library/app", "v1", std::string(127, '\0').data(), std::string(72, '\0').data()));

    // Deleting by digest removes the manifest with every tag that names it.
    ASSERT_EQ(0, reg_manifest_delete("library/app", image_digest)) << reg_storage_last_error();
    const std::string m = manifests("library/app");
    EXPECT_FALSE(exists(m + "/" + image_hex));
    EXPECT_FALSE(exists(m + "/" + image_hex + ".ct"));
    EXPECT_FALSE(exists(m + "/revisions/sha256/" + image_hex));
    EXPECT_FALSE(exists(m + "/tags/v2"));
    EXPECT_FALSE(exists(m + "/tags/latest"));
    EXPECT_FALSE(is_dir(m + "/tags/v1")) << "a repository left with nothing goes with its directories";
    EXPECT_STREQ("{\"name\":\"library/app\",\"tags\":[]}", reg_tags_list_json("library/app"));

    // The index in the other repository is untouched; blobs are never removed by manifest deletion.
    EXPECT_EQ(index, get("other/idx", "multi").body);
    for (const std::string *d : {&config_digest, &layer1_digest, &layer2_digest})
        EXPECT_EQ(1, reg_blob_exists(d->c_str())) << *d;

    // Deleting the index's last tag removes its files; the repository, left
    // with nothing, leaves the catalog.
    const std::string index_hex = std::string(index_digest).substr(7);
    ASSERT_EQ(0, reg_manifest_delete("other/idx", "multi"));
    EXPECT_FALSE(exists(manifests("other/idx") + "/" + index_hex));
    EXPECT_FALSE(is_dir(manifests("other/idx")));
    EXPECT_EQ(0, reg_repo_exists("other/idx"));
    EXPECT_EQ("{\"version\":\"1.9.0\",\"repositories\":0,\"tags\":0,\"blobs\":3,\"blob_bytes\":" +
                  std::to_string(blob_bytes) + ",\"active_uploads\":0,\"upload_bytes\":0}",
              std::string(reg_storage_get_stats_json()));

    // A blob goes only by explicit deletion.
    ASSERT_EQ(0, reg_blob_delete(layer2_digest.c_str()));
    EXPECT_FALSE(exists(blob_file(layer2_digest)));
    EXPECT_EQ(0, reg_blob_exists(layer2_digest.c_str()));
}

std::string image(const std::string &config, const std::vector<std::string> &layers) {
    std::string body = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kImageType) +
                       "\",\"config\":" + blob_json("application/vnd.oci.image.config.v1+json", config, 2) +
                       ",\"layers\":[";
    for (size_t i = 0; i < layers.size(); ++i)
        body += (i ? "," : "") + blob_json("application/vnd.oci.image.layer.v1.tar", layers[i], 3);
    return body + "]}";
}

void age_file(const std::string &path, int64_t seconds) {
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = time(nullptr) - seconds;
    times[0].tv_nsec = times[1].tv_nsec = 0;
    ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, 0)) << path;
}

std::string member(const std::string &json, const std::string &key) {
    size_t at = json.find("\"" + key + "\":");
    if (at == std::string::npos) return "";
    at += key.size() + 3;
    return json.substr(at, json.find_first_of(",}", at) - at);
}

TEST_F(EngineEndToEnd, RetentionThenCollectionFreesOnlyWhatNothingNames) {
    // Two images of app share a base layer; other's image shares app:v1's own layer.
    const std::string base = upload(random_bytes(40000, 10), {1000});
    const std::string config1 = upload("{\"v\":1}", {});
    const std::string layer1 = upload(random_bytes(5000, 11), {});
    const std::string config2 = upload("{\"v\":2}", {});
    const std::string layer2 = upload(random_bytes(6000, 12), {});
    const std::string config3 = upload("{\"v\":3}", {});
    char digest[72];
    const std::string v1 = image(config1, {base, layer1}), v2 = image(config2, {base, layer2});
    const std::string stable = image(config3, {layer1});
    ASSERT_EQ(0, reg_manifest_put("app", "v1", v1.data(), v1.size(), kImageType, digest)) << reg_storage_last_error();
    for (const char *tag : {"v2", "latest"})
        ASSERT_EQ(0, reg_manifest_put("app", tag, v2.data(), v2.size(), kImageType, digest));
    ASSERT_EQ(0, reg_manifest_put("other", "stable", stable.data(), stable.size(), kImageType, digest));
    const std::string tags = manifests("app") + "/tags/";
    age_file(tags + "v1/current/link", 10 * 86400);
    age_file(tags + "latest/current/link", 30 * 86400); // old, but spared

    // Pushed two hours ago, past the default grace period of an hour.
    for (const std::string *d : {&base, &config1, &layer1, &config2, &layer2, &config3})
        age_file(blob_file(*d), 7200);

    // Nothing is unreferenced yet, and an upload still open does not keep a
    // collection from running.
    char open_id[37];
    ASSERT_EQ(0, reg_blob_start_upload(open_id));
    const char *report = reg_gc_json(0);
    ASSERT_NE(nullptr, report) << reg_storage_last_error();
    EXPECT_EQ("0", member(report, "blobs_deleted")) << report;
    EXPECT_EQ("6", member(report, "blobs_total"));
    EXPECT_EQ("1", member(report, "uploads_in_progress"));
    int64_t open_bytes = -1;
    EXPECT_EQ(0, reg_blob_upload_size(open_id, &open_bytes));
    ASSERT_EQ(0, reg_blob_cancel_upload(open_id));

    int cut = -1;
    report = reg_retention_json(0, 0, 7, 0, &cut);
    ASSERT_NE(nullptr, report) << reg_storage_last_error();
    EXPECT_EQ("1", member(report, "tags_deleted")) << report;
    EXPECT_EQ("1", member(report, "latest_protected"));
    EXPECT_EQ(0, cut);
    EXPECT_FALSE(exists(manifests("app") + "/" + sha256_digest(v1).substr(7))); // no tag named it any more

    // Only app:v1's config is left unreferenced: its layer is still other's.
    report = reg_gc_json(1);
    ASSERT_NE(nullptr, report);
    EXPECT_EQ("1", member(report, "blobs_deleted")) << report;
    EXPECT_EQ("7", member(report, "bytes_freed"));
    EXPECT_TRUE(exists(blob_file(config1)));
    report = reg_gc_json(0);
    ASSERT_NE(nullptr, report);
    EXPECT_EQ("1", member(report, "blobs_deleted")) << report;
    EXPECT_FALSE(exists(blob_file(config1)));
    for (const std::string &kept : {base, layer1, config2, layer2, config3})
        EXPECT_TRUE(exists(blob_file(kept))) << kept;
    EXPECT_EQ(v2, get("app", "latest").body);
    EXPECT_EQ(stable, get("other", "stable").body);

    // Once other's image goes too, its config and the layer it shared go with it.
    ASSERT_EQ(0, reg_manifest_delete("other", "stable"));
    report = reg_gc_json(0);
    ASSERT_NE(nullptr, report);
    EXPECT_EQ("2", member(report, "blobs_deleted")) << report;
    EXPECT_FALSE(exists(blob_file(layer1)));
    EXPECT_FALSE(exists(blob_file(config3)));
    for (const std::string &kept : {base, config2, layer2})
        EXPECT_TRUE(exists(blob_file(kept))) << kept;
    const std::string progress = reg_gc_progress_json();
    EXPECT_EQ("\"done\"", member(progress, "phase")) << progress;
    EXPECT_EQ("false", member(progress, "running"));
}

} // namespace
