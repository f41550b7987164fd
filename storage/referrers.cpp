// referrers.cpp - the manifests of a repository that name a given manifest as their subject.
//
// Found by reading the repository's manifest bodies rather than from an index
// kept beside them: nothing can fall out of step when a store or a deletion
// is cut short, and a repository's manifests are few enough that reading them
// costs milliseconds (see bench/listing_bench.cpp).
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "base/qf_str.h"
#include "platform/json_doc.h"
#include "platform/platform.h"
#include "storage/storage_internal.h"

namespace {

constexpr char kIndexType[] = "application/vnd.oci.image.index.v1+json";
constexpr size_t kContentTypeMax = 127;

struct owned_text {
    char *p = nullptr;
    ~owned_text() { free(p); }
};

void append_quoted(std::string &out, const char *text) {
    out += '"';
    size_t need = strlen(text) * 6 + 16; // the escaper keeps 8 bytes of room spare
    std::string buf(need, '\0');
    size_t n = json_escape_append(buf.data(), buf.size(), text);
    out.append(buf.data(), n);
    out += '"';
}

const char *string_member(json_val *obj, const char *key) {
    json_val *v = json_obj_get(obj, key);
    return json_is_str(v) && strlen(json_get_str(v)) == json_get_len(v) ? json_get_str(v) : nullptr;
}

// The media type a client would be told for this manifest: the body's own,
// else the one it was stored with.
std::string media_type_of(const char *repo_name, const char *hex, json_val *root) {
    if (const char *own = string_member(root, "mediaType")) return own;
    char body_path[kPathMax];
    manifest_body_path(body_path, repo_name, hex);
    char ct_path[kPathMax];
    qf_snprintf(ct_path, sizeof ct_path, "%s.ct", body_path);
    char ct[kContentTypeMax] = "";
    if (read_file(ct_path, ct, sizeof ct, nullptr) != 0 || ct[0] == '\0') return kDefaultManifestType;
    return ct;
}

// An image manifest without artifactType names its artifact by its config's media type.
std::string artifact_type_of(json_val *root) {
    if (const char *own = string_member(root, "artifactType")) return own;
    if (const char *config = string_member(json_obj_get(root, "config"), "mediaType")) return config;
    return "";
}

bool names_subject(json_val *root, const char *digest) {
    for (const manifest_ref &ref : manifest_references(root).refs)
        if (ref.role == ref_role::subject && ref.digest && strcmp(ref.digest, digest) == 0) return true;
    return false;
}

// One descriptor, or "" when the body is no referrer of digest (or cannot be read).
std::string referrer_descriptor(const char *repo_name, const char *hex, const char *digest, const char *filter) {
    char body_path[kPathMax];
    manifest_body_path(body_path, repo_name, hex);
    size_t len = 0;
    heap_text body(read_file_alloc(body_path, &len));
    if (!body) return "";
    json_doc_ptr doc(json_read(body.get(), len));
    json_val *root = json_doc_root(doc.get());
    if (!json_is_obj(root)) return "";
    if (!names_subject(root, digest)) return "";
    std::string artifact = artifact_type_of(root);
    if (filter && *filter && artifact != filter) return "";

    std::string out = "{\"mediaType\":";
    append_quoted(out, media_type_of(repo_name, hex, root).c_str());
    out += ",\"digest\":\"sha256:";
    out += hex;
    out += "\",\"size\":" + std::to_string(len);
    if (!artifact.empty()) {
        out += ",\"artifactType\":";
        append_quoted(out, artifact.c_str());
    }
    json_val *annotations = json_obj_get(root, "annotations");
    if (json_is_obj(annotations)) {
        owned_text text;
        text.p = json_val_minified(annotations, nullptr);
        if (!text.p) throw std::bad_alloc();
        out += ",\"annotations\":";
        out += text.p;
    }
    out += "}";
    return out;
}

const char *referrers(const char *repo_name, const char *digest, const char *filter) {
    char dir[kPathMax];
    repo_dir_path(dir, repo_name);
    qf_snprintf(dir + strlen(dir), kPathMax - strlen(dir), "/_manifests");
    std::vector<dir_item> items;
    // A repository without manifests has no referrers; one whose manifests
    // cannot be listed must not be answered as if it had none.
    if (plat_entry_kind(dir) == PLAT_DIR && list_dir_all(dir, items) != 0) {
        set_error("cannot list manifests: %s", repo_name);
        return nullptr;
    }
    std::vector<std::string> found;
    for (const dir_item &item : items) {
        if (item.is_dir || !hex64_valid(item.name.c_str())) continue;
        std::string d = referrer_descriptor(repo_name, item.name.c_str(), digest, filter);
        if (!d.empty()) found.push_back(std::move(d));
    }
    // Listing order is the file system's; clients see a stable order.
    std::sort(found.begin(), found.end());
    std::string out = "{\"schemaVersion\":2,\"mediaType\":\"";
    out += kIndexType;
    out += "\",\"manifests\":[";
    for (size_t i = 0; i < found.size(); ++i) {
        if (i) out += ',';
        out += found[i];
    }
    out += "]}";
    if (out.size() + 1 > kResultMax) {
        set_error("referrers list too large: %s", digest);
        return nullptr;
    }
    memcpy(s_result, out.c_str(), out.size() + 1);
    return s_result;
}

} // namespace

extern "C" const char *reg_referrers_json(const char *repo_name, const char *digest, const char *artifact_type) {
    if (!repo_name || !digest) {
        set_error_kind(REG_ERR_INVALID, "NULL argument");
        return nullptr;
    }
    if (!require_ready()) return nullptr;
    if (!repo_name_valid(repo_name)) {
        set_error_kind(REG_ERR_INVALID, "invalid repository name");
        return nullptr;
    }
    if (!digest_valid(digest)) {
        set_error_kind(REG_ERR_INVALID, "invalid digest");
        return nullptr;
    }
    return guarded<const char *>(nullptr, [&] { return referrers(repo_name, digest, artifact_type); });
}
