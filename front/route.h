// route.h - path shapes of the registry API and the matcher that finds them.
#ifndef FRONT_ROUTE_H
#define FRONT_ROUTE_H

#include <string_view>

#include "front/http.h"

enum class path_shape {
    none,           // not an API path at all
    base,           // /v2/
    catalog,        // /v2/_catalog
    admin_usage,     // /v2/_admin/usage
    admin_gc,        // /v2/_admin/gc
    admin_retention, // /v2/_admin/retention
    tags_list,      // /v2/<name>/tags/list
    manifest,       // /v2/<name>/manifests/<reference>
    blob,           // /v2/<name>/blobs/<digest>
    upload_start,   // /v2/<name>/blobs/uploads/
    upload_session, // /v2/<name>/blobs/uploads/<id>
    referrers,      // /v2/<name>/referrers/<digest>
    repository,     // /v2/<name>
};

// The shape of path and its captures (name and last component).
path_shape match_path(std::string_view path, route_match &m);

#endif
