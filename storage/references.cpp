// references.cpp - the one rule for what a manifest names.
//
// Every part of the engine that follows a manifest to what it names (the
// store's checks, the collection's mark, deletions, usage, check, backup,
// the referrers list) reads it through manifest_references, so that a blob
// one of them counts as named is named for all of them.
#include <string.h>

#include "platform/json_doc.h"
#include "storage/storage_internal.h"

namespace {

void add_one(manifest_refs &out, ref_role role, json_val *descriptor) {
    if (descriptor) out.refs.push_back({role, 0, manifest_member_digest(descriptor)});
}

// Every element of a list, one whose digest is missing or malformed too (its
// digest is then NULL): a store must refuse such a list, not pass over it.
void add_list(manifest_refs &out, ref_role role, json_val *list) {
    size_t count = json_arr_size(list);
    for (size_t i = 0; i < count; ++i)
        out.refs.push_back({role, i, manifest_member_digest(json_arr_get(list, i))});
}

} // namespace

// A string with an escaped NUL would otherwise pass on its valid prefix.
const char *manifest_member_digest(json_val *descriptor) {
    if (!json_is_obj(descriptor)) return nullptr;
    json_val *digest = json_obj_get(descriptor, "digest");
    if (!json_is_str(digest) || json_get_len(digest) != kDigestLen) return nullptr;
    const char *text = json_get_str(digest);
    return digest_valid(text) ? text : nullptr;
}

manifest_refs manifest_references(json_val *root) {
    manifest_refs out;
    if (!json_is_obj(root)) return out;
    json_val *children = json_obj_get(root, "manifests");
    out.is_index = children != nullptr;
    add_one(out, ref_role::config, json_obj_get(root, "config"));
    add_list(out, ref_role::layer, json_obj_get(root, "layers"));
    add_list(out, ref_role::child, children);
    add_one(out, ref_role::subject, json_obj_get(root, "subject"));
    return out;
}

bool manifest_refs::keeps(const char *digest) const {
    for (const manifest_ref &ref : refs)
        if (ref_keeps(ref) && strcmp(ref.digest, digest) == 0) return true;
    return false;
}
