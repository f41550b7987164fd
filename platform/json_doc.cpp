// JSON document adapter: strict parsing and read-only navigation on top of simdjson's DOM.
#include "platform/json_doc.h"

#include <simdjson.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <new>
#include <string_view>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// simdjson stores an array's element count in 24 bits and saturates there.
constexpr size_t kSaturatedCount = 0xFFFFFF;

} // namespace

struct json_val {
    simdjson::dom::element el;
    json_doc *doc;

    // simdjson arrays only iterate forward. Remembering where the last
    // json_arr_get stopped keeps the usual index loop linear rather than
    // quadratic, which matters for arrays a client controls.
    bool walking = false;
    size_t walk_idx = 0;
    simdjson::dom::array::iterator walk_it{};

    // The true count of a saturated array needs a full walk; do it once.
    bool size_known = false;
    size_t size = 0;
};

struct json_doc {
    // The document holds the tape and string buffer every element points into.
    // The parser is dropped after parsing so its copy of the input and its index
    // buffers do not stay allocated for the document's lifetime.
    simdjson::dom::document dom;
    simdjson::dom::element root;
    // A deque never moves existing nodes, so handed-out pointers stay valid.
    std::deque<json_val> nodes;
};

namespace {

bool s_out_of_memory = false;

json_val *make_node(json_doc *doc, simdjson::dom::element el) noexcept {
    try {
        return &doc->nodes.emplace_back(json_val{el, doc});
    } catch (const std::bad_alloc &) {
        s_out_of_memory = true;
        return nullptr;
    } catch (...) {
        return nullptr;
    }
}

simdjson::dom::element_type type_of(const json_val *v) noexcept { return v->el.type(); }

} // namespace

extern "C" {

json_doc *json_read(const char *data, size_t len) {
    s_out_of_memory = false;
    if (data == nullptr) return nullptr;
    try {
        auto doc = std::make_unique<json_doc>();
        simdjson::dom::parser parser;
        // realloc_if_needed: simdjson reads past the end in blocks, so it must work
        // on its own padded copy rather than on the caller's unpadded range.
        auto error = parser.parse_into_document(doc->dom, data, len, true).get(doc->root);
        if (error == simdjson::MEMALLOC) s_out_of_memory = true;
        if (error) return nullptr;
        return doc.release();
    } catch (const std::bad_alloc &) {
        s_out_of_memory = true;
        return nullptr;
    } catch (...) {
        return nullptr;
    }
}

int json_out_of_memory(void) { return s_out_of_memory ? 1 : 0; }

void json_doc_free(json_doc *doc) { delete doc; }

json_val *json_doc_root(json_doc *doc) {
    if (doc == nullptr) return nullptr;
    return make_node(doc, doc->root);
}

json_val *json_obj_get(json_val *obj, const char *key) {
    if (obj == nullptr || key == nullptr) return nullptr;
    simdjson::dom::object o;
    if (obj->el.get_object().get(o)) return nullptr;
    // Compare lengths as well as bytes: a member name may contain NUL, and
    // "a\u0000b" must not answer for "a".
    const std::string_view want(key);
    for (auto it = o.begin(), end = o.end(); it != end; ++it) {
        if (it.key() == want) return make_node(obj->doc, it.value());
    }
    return nullptr;
}

size_t json_arr_size(json_val *arr) {
    if (arr == nullptr) return 0;
    simdjson::dom::array a;
    if (arr->el.get_array().get(a)) return 0;
    if (!arr->size_known) {
        size_t n = a.size();
        if (n >= kSaturatedCount) {
            n = 0;
            for (auto it = a.begin(), end = a.end(); it != end; ++it)
                ++n;
        }
        arr->size = n;
        arr->size_known = true;
    }
    return arr->size;
}

json_val *json_arr_get(json_val *arr, size_t idx) {
    if (arr == nullptr) return nullptr;
    simdjson::dom::array a;
    if (arr->el.get_array().get(a)) return nullptr;
    if (arr->size_known && idx >= arr->size) return nullptr;

    auto it = a.begin();
    const auto end = a.end();
    size_t i = 0;
    if (arr->walking && arr->walk_idx <= idx) {
        it = arr->walk_it;
        i = arr->walk_idx;
    }
    for (; i < idx && it != end; ++i)
        ++it;
    if (it == end) return nullptr;

    arr->walking = true;
    arr->walk_idx = i;
    arr->walk_it = it;
    return make_node(arr->doc, *it);
}

int json_is_obj(json_val *v) { return v != nullptr && type_of(v) == simdjson::dom::element_type::OBJECT; }

int json_is_arr(json_val *v) { return v != nullptr && type_of(v) == simdjson::dom::element_type::ARRAY; }

int json_is_str(json_val *v) { return v != nullptr && type_of(v) == simdjson::dom::element_type::STRING; }

int json_is_bool(json_val *v) { return v != nullptr && type_of(v) == simdjson::dom::element_type::BOOL; }

int json_is_null(json_val *v) { return v != nullptr && type_of(v) == simdjson::dom::element_type::NULL_VALUE; }

int json_is_int(json_val *v) {
    if (v == nullptr) return 0;
    const auto t = type_of(v);
    return t == simdjson::dom::element_type::INT64 || t == simdjson::dom::element_type::UINT64;
}

int json_is_sint(json_val *v) { return v != nullptr && v->el.is_int64(); }

int json_is_uint(json_val *v) { return v != nullptr && v->el.is_uint64(); }

// Not element::is_double(): simdjson answers true for integers there too.
int json_is_real(json_val *v) { return v != nullptr && type_of(v) == simdjson::dom::element_type::DOUBLE; }

const char *json_get_str(json_val *v) {
    if (v == nullptr) return nullptr;
    std::string_view s;
    if (v->el.get_string().get(s)) return nullptr;
    // simdjson zero-terminates every string in its string buffer.
    return s.data();
}

size_t json_get_len(json_val *v) {
    if (v == nullptr) return 0;
    std::string_view s;
    if (v->el.get_string().get(s)) return 0;
    return s.size();
}

int json_get_bool(json_val *v) {
    if (v == nullptr) return 0;
    bool b = false;
    if (v->el.get_bool().get(b)) return 0;
    return b ? 1 : 0;
}

int64_t json_get_sint(json_val *v) {
    if (v == nullptr) return 0;
    int64_t n = 0;
    if (v->el.get_int64().get(n)) return 0;
    return n;
}

uint64_t json_get_uint(json_val *v) {
    if (v == nullptr) return 0;
    uint64_t n = 0;
    if (v->el.get_uint64().get(n)) return 0;
    return n;
}

double json_get_real(json_val *v) {
    if (v == nullptr) return 0;
    double d = 0;
    if (v->el.get_double().get(d)) return 0;
    return d;
}

char *json_val_minified(json_val *v, size_t *len_out) {
    if (v == nullptr) return nullptr;
    try {
        std::string text = simdjson::minify(v->el);
        char *out = static_cast<char *>(malloc(text.size() + 1));
        if (out == nullptr) return nullptr;
        memcpy(out, text.data(), text.size() + 1);
        if (len_out) *len_out = text.size();
        return out;
    } catch (...) {
        return nullptr;
    }
}

} // extern "C"
