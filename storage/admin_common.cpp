// admin_common.cpp - what usage, check and backup share: paths under the root, sizes, a bounded JSON writer.
#include <string.h>

#include <algorithm>

#include "base/qf_str.h"
#include "platform/platform.h"
#include "storage/admin_internal.h"
#include "storage/storage_internal.h"

std::string admin_at_root(const std::string &rel) { return std::string(s_root) + "/" + rel; }

int64_t admin_size_or_zero(const std::string &path) {
    int64_t size = 0;
    if (plat_file_info(path.c_str(), &size, nullptr) != 0 || size < 0) return 0;
    return size;
}

admin_json::admin_json() { s_result[0] = '\0'; }

void admin_json::raw(std::string_view text) {
    size_t n = std::min(text.size(), kResultMax - 1 - pos_);
    memcpy(s_result + pos_, text.data(), n);
    pos_ += n;
    s_result[pos_] = '\0';
}

void admin_json::quoted(const std::string &text) {
    raw("\"");
    size_t left = kResultMax - pos_;
    if (left > 8) pos_ += json_escape_append(s_result + pos_, left - 8, text.c_str());
    raw("\"");
}

void admin_json::num(const char *key, long long value, bool comma) {
    char text[128];
    qf_snprintf(text, sizeof text, "%s\"%s\":%lld", comma ? "," : "", key, value);
    raw(text);
}

size_t admin_json::room() const { return kResultMax - 1 - pos_; }

size_t admin_escaped_max(const std::string &text) { return text.size() * 6 + 2; }
