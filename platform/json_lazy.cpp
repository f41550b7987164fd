// json_lazy.cpp - the JSON adapter loaded on first use, for the programs a web server starts per request.
//
// The adapter brings the JSON parser and with it the shared C++ runtime, whose
// loading alone costs a request process more than everything else it does.
// Most requests never parse JSON, so these programs carry the runtime linked
// in and load the adapter (libreg_json.so, beside the program) only when a
// document is first parsed. A program links this file in place of json_doc.cpp.
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "platform/json_doc.h"

namespace {

constexpr char kModule[] = "libreg_json.so";
constexpr size_t kPathMax = 4096;

struct json_api {
    decltype(&::json_read) read = nullptr;
    decltype(&::json_doc_free) doc_free = nullptr;
    decltype(&::json_doc_root) doc_root = nullptr;
    decltype(&::json_obj_get) obj_get = nullptr;
    decltype(&::json_arr_size) arr_size = nullptr;
    decltype(&::json_arr_get) arr_get = nullptr;
    decltype(&::json_is_obj) is_obj = nullptr;
    decltype(&::json_is_arr) is_arr = nullptr;
    decltype(&::json_is_str) is_str = nullptr;
    decltype(&::json_is_bool) is_bool = nullptr;
    decltype(&::json_is_null) is_null = nullptr;
    decltype(&::json_is_int) is_int = nullptr;
    decltype(&::json_is_sint) is_sint = nullptr;
    decltype(&::json_is_uint) is_uint = nullptr;
    decltype(&::json_is_real) is_real = nullptr;
    decltype(&::json_get_str) get_str = nullptr;
    decltype(&::json_get_len) get_len = nullptr;
    decltype(&::json_get_bool) get_bool = nullptr;
    decltype(&::json_get_sint) get_sint = nullptr;
    decltype(&::json_get_uint) get_uint = nullptr;
    decltype(&::json_get_real) get_real = nullptr;
    decltype(&::json_val_minified) val_minified = nullptr;
};

// The module lives in the directory of the program's real file (the web
// server runs the program through a link in the instance directory).
void *open_module() {
    char exe[kPathMax];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return nullptr;
    exe[n] = '\0';
    char *slash = strrchr(exe, '/');
    if (!slash || static_cast<size_t>(slash - exe) + 1 + sizeof kModule > sizeof exe) return nullptr;
    memcpy(slash + 1, kModule, sizeof kModule);
    return dlopen(exe, RTLD_NOW | RTLD_LOCAL);
}

template <typename T> bool bind(void *module, T &slot, const char *name) {
    slot = reinterpret_cast<T>(dlsym(module, name));
    return slot != nullptr;
}

// Loaded once; a program whose module is missing cannot parse anything and
// says so on standard error (the web server's log) once.
const json_api *api() {
    static json_api table;
    static int state = 0; // 0 not tried, 1 loaded, -1 failed
    if (state != 0) return state > 0 ? &table : nullptr;
    state = -1;
    void *module = open_module();
    bool ok = module != nullptr;
    ok = ok && bind(module, table.read, "json_read");
    ok = ok && bind(module, table.doc_free, "json_doc_free");
    ok = ok && bind(module, table.doc_root, "json_doc_root");
    ok = ok && bind(module, table.obj_get, "json_obj_get");
    ok = ok && bind(module, table.arr_size, "json_arr_size");
    ok = ok && bind(module, table.arr_get, "json_arr_get");
    ok = ok && bind(module, table.is_obj, "json_is_obj");
    ok = ok && bind(module, table.is_arr, "json_is_arr");
    ok = ok && bind(module, table.is_str, "json_is_str");
    ok = ok && bind(module, table.is_bool, "json_is_bool");
    ok = ok && bind(module, table.is_null, "json_is_null");
    ok = ok && bind(module, table.is_int, "json_is_int");
    ok = ok && bind(module, table.is_sint, "json_is_sint");
    ok = ok && bind(module, table.is_uint, "json_is_uint");
    ok = ok && bind(module, table.is_real, "json_is_real");
    ok = ok && bind(module, table.get_str, "json_get_str");
    ok = ok && bind(module, table.get_len, "json_get_len");
    ok = ok && bind(module, table.get_bool, "json_get_bool");
    ok = ok && bind(module, table.get_sint, "json_get_sint");
    ok = ok && bind(module, table.get_uint, "json_get_uint");
    ok = ok && bind(module, table.get_real, "json_get_real");
    ok = ok && bind(module, table.val_minified, "json_val_minified");
    if (!ok) {
        fprintf(stderr, "registry: cannot load %s: %s\n", kModule, dlerror());
        return nullptr;
    }
    state = 1;
    return &table;
}

} // namespace

extern "C" {

json_doc *json_read(const char *data, size_t len) {
    const json_api *a = api();
    return a ? a->read(data, len) : nullptr;
}

void json_doc_free(json_doc *doc) {
    const json_api *a = api();
    if (a) a->doc_free(doc);
}

json_val *json_doc_root(json_doc *doc) {
    const json_api *a = api();
    return a ? a->doc_root(doc) : nullptr;
}

json_val *json_obj_get(json_val *obj, const char *key) {
    const json_api *a = api();
    return a ? a->obj_get(obj, key) : nullptr;
}

size_t json_arr_size(json_val *arr) {
    const json_api *a = api();
    return a ? a->arr_size(arr) : 0;
}

json_val *json_arr_get(json_val *arr, size_t idx) {
    const json_api *a = api();
    return a ? a->arr_get(arr, idx) : nullptr;
}

int json_is_obj(json_val *v) {
    const json_api *a = api();
    return a ? a->is_obj(v) : 0;
}

int json_is_arr(json_val *v) {
    const json_api *a = api();
    return a ? a->is_arr(v) : 0;
}

int json_is_str(json_val *v) {
    const json_api *a = api();
    return a ? a->is_str(v) : 0;
}

int json_is_bool(json_val *v) {
    const json_api *a = api();
    return a ? a->is_bool(v) : 0;
}

int json_is_null(json_val *v) {
    const json_api *a = api();
    return a ? a->is_null(v) : 0;
}

int json_is_int(json_val *v) {
    const json_api *a = api();
    return a ? a->is_int(v) : 0;
}

int json_is_sint(json_val *v) {
    const json_api *a = api();
    return a ? a->is_sint(v) : 0;
}

int json_is_uint(json_val *v) {
    const json_api *a = api();
    return a ? a->is_uint(v) : 0;
}

int json_is_real(json_val *v) {
    const json_api *a = api();
    return a ? a->is_real(v) : 0;
}

const char *json_get_str(json_val *v) {
    const json_api *a = api();
    return a ? a->get_str(v) : nullptr;
}

size_t json_get_len(json_val *v) {
    const json_api *a = api();
    return a ? a->get_len(v) : 0;
}

int json_get_bool(json_val *v) {
    const json_api *a = api();
    return a ? a->get_bool(v) : 0;
}

int64_t json_get_sint(json_val *v) {
    const json_api *a = api();
    return a ? a->get_sint(v) : 0;
}

uint64_t json_get_uint(json_val *v) {
    const json_api *a = api();
    return a ? a->get_uint(v) : 0;
}

double json_get_real(json_val *v) {
    const json_api *a = api();
    return a ? a->get_real(v) : 0;
}

char *json_val_minified(json_val *v, size_t *len_out) {
    const json_api *a = api();
    return a ? a->val_minified(v, len_out) : nullptr;
}

} // extern "C"
