// Tests for the JSON document adapter in platform/json_doc.h.
#include "platform/json_doc.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace {

struct DocFree {
    void operator()(json_doc *d) const { json_doc_free(d); }
};
using Doc = std::unique_ptr<json_doc, DocFree>;

Doc parse_text(const std::string &text) { return Doc(json_read(text.data(), text.size())); }

std::string nested(size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// Texts are std::string so that cases may contain NUL bytes.
TEST(JsonRead, AcceptsValidTexts) {
    const std::vector<std::string> accepted = {
        "{}",
        "[]",
        R"({"a":[1,{"b":null}],"c":"d"})",
        "0",
        "-0",
        "1.5e-3",
        "1E+2",
        "1e-400", // underflows to 0, still valid JSON
        "18446744073709551615",
        "-9223372036854775808",
        R"("")",
        R"("\ud83d\ude00")",                        // surrogate pair
        "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"", // raw 2-, 3- and 4-byte UTF-8
        "\"\x7f\"",                                 // DEL needs no escape
        "true",
        "false",
        "null",
        " \t\r\n[1] \t\r\n",
        " \t\r\n\"s\" \t\r\n",
        nested(1024),
    };
    for (const std::string &text : accepted) {
        SCOPED_TRACE(text.substr(0, 60));
        Doc doc = parse_text(text);
        ASSERT_NE(doc, nullptr);
        EXPECT_NE(json_doc_root(doc.get()), nullptr);
    }
}

TEST(JsonRead, RefusesInvalidTexts) {
    const std::vector<std::string> refused = {
        "",
        " \n",
        "{",
        "[1,2",
        "\"abc",
        R"({"a":1,})",
        "[1,]",
        "[1]]",
        "[1 2]",
        R"({"a" 1})",
        "{1:2}",
        "// c\n{}",
        "/*c*/{}",
        "# c\n{}",
        "NaN",
        "Infinity",
        "-Infinity",
        "[01]",
        "+1",
        ".5",
        "1.",
        "1e",
        "-",
        "0x10",
        "tru",
        "truex",
        "nul",
        "{'a':1}",
        R"({"a":1} x)",
        "{} {}",
        std::string("[1]\0", 4), // NUL is not whitespace
        "\f[1]",                 // nor is form feed
        R"("\x")",               // unknown escape
        R"("\u12")",             // short \u escape
        R"("\ud800")",           // lone high surrogate
        R"("\udc00")",           // lone low surrogate
        R"("\ud800\u0041")",     // high surrogate without its low half
        R"("\ud800x")",
        "\xff",
        "\"\xff\"",
        "\"\xc0\xaf\"",         // overlong '/'
        "\"\xc3\"",             // truncated 2-byte sequence
        "\"\xe2\x82\"",         // truncated 3-byte sequence
        "\"\xed\xa0\x80\"",     // surrogate encoded as UTF-8
        "\"\xf4\x90\x80\x80\"", // beyond U+10FFFF
        "{\"\xff\":1}",         // invalid UTF-8 in a member name
        "\xef\xbb\xbf{}",       // byte order mark
        "\"a\x01z\"",           // unescaped control characters
        "\"a\tz\"",
        std::string("\"a\0z\"", 5),
        "\"a\nz\"",
        "18446744073709551616", // one past uint64
        "-9223372036854775809", // one below int64
        "123456789012345678901234567890",
        "1e400", // beyond double
        nested(1025),
    };
    for (const std::string &text : refused) {
        SCOPED_TRACE(testing::PrintToString(text.substr(0, 60)));
        EXPECT_EQ(parse_text(text), nullptr);
    }
}

TEST(JsonRead, ParsesOnlyTheGivenRange) {
    struct Case {
        const char *buf;
        size_t len;
        bool ok;
    };
    const Case cases[] = {
        {"[1,2]xyz", 5, true}, {"[1,2]", 4, false}, // the range cuts the text short
        {"12345", 2, true},                         // a number must stop at the end of the range
        {"\"ab\"cd", 4, true}, {"\"abcd\"", 3, false}, {"truex", 4, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.buf, c.len));
        // Copy to an exact-size heap block so reading past the range is caught
        // by the sanitizer build, not just by wrong results.
        auto buf = std::make_unique<char[]>(c.len);
        std::memcpy(buf.get(), c.buf, c.len);
        Doc doc(json_read(buf.get(), c.len));
        EXPECT_EQ(doc != nullptr, c.ok);
    }

    Doc num(json_read("12345", 2));
    ASSERT_NE(num, nullptr);
    EXPECT_EQ(json_get_sint(json_doc_root(num.get())), 12);

    Doc str(json_read("\"ab\"cd\"", 4));
    ASSERT_NE(str, nullptr);
    EXPECT_STREQ(json_get_str(json_doc_root(str.get())), "ab");
}

// The range ends where readable memory ends, so any read beyond it faults.
TEST(JsonRead, NeverReadsPastTheRange) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void *map = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    char *const base = static_cast<char *>(map);
    ASSERT_EQ(mprotect(base + page, page, PROT_NONE), 0);

    struct Case {
        const char *text;
        bool ok;
    };
    const Case cases[] = {
        {R"("ab")", true}, {R"(["ab","cd"])", true}, {R"({"key":"value"})", true}, {"[1,2.5,true,null]", true},
        {"123", true},     {"false", true},          {R"("unterminated)", false},  {"[1,2", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        const size_t len = std::strlen(c.text);
        char *start = base + page - len;
        std::memcpy(start, c.text, len);
        Doc doc(json_read(start, len));
        EXPECT_EQ(doc != nullptr, c.ok);
    }
    munmap(map, 2 * page);
}

TEST(JsonRead, DocumentDoesNotReferenceTheInput) {
    std::string text = R"({"name":"library/alpine","tags":["3.19","latest"]})";
    Doc doc = parse_text(text);
    ASSERT_NE(doc, nullptr);
    text.assign(text.size(), 'x');
    text.clear();
    text.shrink_to_fit();

    json_val *root = json_doc_root(doc.get());
    EXPECT_STREQ(json_get_str(json_obj_get(root, "name")), "library/alpine");
    EXPECT_STREQ(json_get_str(json_arr_get(json_obj_get(root, "tags"), 1)), "latest");
}

TEST(JsonRead, ValuesStayValidWhileOtherLookupsAndDocumentsComeAndGo) {
    Doc doc = parse_text(R"({"digest":"sha256:abc","n":[1,2,3]})");
    ASSERT_NE(doc, nullptr);
    json_val *root = json_doc_root(doc.get());
    json_val *digest = json_obj_get(root, "digest");
    json_val *n = json_obj_get(root, "n");

    for (int i = 0; i < 100000; ++i) {
        ASSERT_NE(json_arr_get(n, static_cast<size_t>(i % 3)), nullptr);
    }
    for (int i = 0; i < 10; ++i) {
        Doc other = parse_text(R"({"digest":"sha256:zzz"})");
        ASSERT_NE(json_obj_get(json_doc_root(other.get()), "digest"), nullptr);
    }

    EXPECT_STREQ(json_get_str(digest), "sha256:abc");
    EXPECT_TRUE(json_is_obj(root));
    EXPECT_EQ(json_arr_size(n), 3u);
}

TEST(JsonObject, LookupFindsFirstExactMember) {
    // "a\u0000b" comes first: a lookup that compares zero-terminated text
    // would take it for "a".
    Doc doc = parse_text(R"({"a\u0000b":4,"ab":8,"a":1,"b":{"c":2},"a":3,)"
                         R"("\u00e9":5,"q\"x":6,"":7,"A":9})");
    ASSERT_NE(doc, nullptr);
    json_val *root = json_doc_root(doc.get());

    struct Case {
        const char *key;
        int64_t value;
    };
    const Case cases[] = {
        {"a", 1}, {"ab", 8}, {"\xc3\xa9", 5}, {"q\"x", 6}, {"", 7}, {"A", 9},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.key);
        json_val *v = json_obj_get(root, c.key);
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(json_get_sint(v), c.value);
    }

    json_val *b = json_obj_get(root, "b");
    EXPECT_EQ(json_get_sint(json_obj_get(b, "c")), 2);
    EXPECT_EQ(json_obj_get(b, "a"), nullptr); // no reach into the parent

    for (const char *absent : {"z", "a\\u0000b", "\\u00e9", "ab ", "B", "c"}) {
        SCOPED_TRACE(absent);
        EXPECT_EQ(json_obj_get(root, absent), nullptr);
    }
}

TEST(JsonObject, LookupOnNonObjectsIsNull) {
    Doc doc = parse_text(R"([{"a":1},"a",["a"],1,null,true])");
    ASSERT_NE(doc, nullptr);
    json_val *root = json_doc_root(doc.get());
    EXPECT_EQ(json_obj_get(root, "a"), nullptr);
    for (size_t i = 1; i < json_arr_size(root); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(json_obj_get(json_arr_get(root, i), "a"), nullptr);
    }
    EXPECT_NE(json_obj_get(json_arr_get(root, 0), "a"), nullptr);
    EXPECT_EQ(json_obj_get(json_arr_get(root, 0), nullptr), nullptr);
}

TEST(JsonArray, SizeAndElements) {
    Doc doc = parse_text(R"([10,"x",[],{"k":true},null,[[1]]])");
    ASSERT_NE(doc, nullptr);
    json_val *root = json_doc_root(doc.get());
    ASSERT_EQ(json_arr_size(root), 6u);
    EXPECT_EQ(json_get_sint(json_arr_get(root, 0)), 10);
    EXPECT_STREQ(json_get_str(json_arr_get(root, 1)), "x");
    EXPECT_EQ(json_arr_size(json_arr_get(root, 2)), 0u);
    EXPECT_EQ(json_arr_get(json_arr_get(root, 2), 0), nullptr);
    EXPECT_EQ(json_get_bool(json_obj_get(json_arr_get(root, 3), "k")), 1);
    EXPECT_TRUE(json_is_null(json_arr_get(root, 4)));
    // Nested containers must not shift the count or the positions after them.
    EXPECT_EQ(json_arr_size(json_arr_get(root, 5)), 1u);
    for (size_t idx : {size_t{6}, size_t{7}, std::numeric_limits<size_t>::max()}) {
        SCOPED_TRACE(idx);
        EXPECT_EQ(json_arr_get(root, idx), nullptr);
    }
}

TEST(JsonArray, NonArraysHaveNoElements) {
    for (const char *text : {R"({"0":1})", R"("ab")", "1", "null", "true"}) {
        SCOPED_TRACE(text);
        Doc doc = parse_text(text);
        ASSERT_NE(doc, nullptr);
        json_val *root = json_doc_root(doc.get());
        EXPECT_EQ(json_arr_size(root), 0u);
        EXPECT_EQ(json_arr_get(root, 0), nullptr);
    }
}

// json_arr_get resumes from where the previous call on the same value
// stopped; any order of indexes must still give the right elements.
TEST(JsonArray, AnyAccessOrderGivesTheRightElement) {
    Doc doc = parse_text("[0,1,2,3,4,5,6,7,8,9]");
    ASSERT_NE(doc, nullptr);
    json_val *arr = json_doc_root(doc.get());
    const size_t order[] = {3, 4, 4, 9, 2, 0, 0, 7, 10, 8, 5, 11, 1, 9, 0};
    for (size_t idx : order) {
        SCOPED_TRACE(idx);
        json_val *v = json_arr_get(arr, idx);
        if (idx < 10) {
            ASSERT_NE(v, nullptr);
            EXPECT_EQ(json_get_uint(v), idx);
        } else {
            EXPECT_EQ(v, nullptr);
        }
    }
}

TEST(JsonArray, InterleavedWalksOverNestedArrays) {
    Doc doc = parse_text("[[0,1,2],[10,11,12,13],[],[30]]");
    ASSERT_NE(doc, nullptr);
    json_val *outer = json_doc_root(doc.get());
    json_val *again = json_doc_root(doc.get()); // a second handle on the same array
    const size_t sizes[] = {3, 4, 0, 1};
    ASSERT_EQ(json_arr_size(outer), 4u);
    for (size_t i = 0; i < json_arr_size(outer); ++i) {
        json_val *row = json_arr_get(outer, i);
        // Walk the second handle backwards between the forward steps.
        EXPECT_EQ(json_arr_size(json_arr_get(again, 3 - i)), sizes[3 - i]);
        ASSERT_EQ(json_arr_size(row), sizes[i]);
        for (size_t j = 0; j < json_arr_size(row); ++j) {
            SCOPED_TRACE(testing::Message() << i << "," << j);
            EXPECT_EQ(json_get_uint(json_arr_get(row, j)), 10 * i + j);
            EXPECT_EQ(json_get_uint(json_arr_get(json_arr_get(again, i), j)), 10 * i + j);
        }
    }
}

// simdjson keeps an array's count in 24 bits; beyond that it reports
// 0xFFFFFF no matter how many elements follow.
TEST(JsonArray, SizeOfArrayBeyondTwentyFourBitCount) {
    const size_t n = 0xFFFFFF + 2;
    std::string text;
    text.reserve(2 * n + 1);
    text += '[';
    for (size_t i = 0; i + 1 < n; ++i)
        text += "0,";
    text += "7]";
    Doc doc = parse_text(text);
    text = std::string();
    ASSERT_NE(doc, nullptr);
    json_val *arr = json_doc_root(doc.get());
    EXPECT_EQ(json_arr_size(arr), n);
    EXPECT_EQ(json_get_sint(json_arr_get(arr, n - 1)), 7);
    EXPECT_EQ(json_arr_get(arr, n), nullptr);
}

TEST(JsonTypes, PredicatesAndGettersAgreeForEveryKind) {
    constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
    constexpr int64_t kI64Max = std::numeric_limits<int64_t>::max();
    constexpr int64_t kI64Min = std::numeric_limits<int64_t>::min();
    struct Case {
        const char *text;
        // obj arr str bool null int sint uint real
        const char *is;
        int b;
        int64_t s;
        uint64_t u;
        double d;
        const char *str;
    };
    const Case cases[] = {
        {R"("s")", "..S......", 0, 0, 0, 0, "s"},
        {"true", "...B.....", 1, 0, 0, 0, nullptr},
        {"false", "...B.....", 0, 0, 0, 0, nullptr},
        {"null", "....N....", 0, 0, 0, 0, nullptr},
        {"0", ".....ISU.", 0, 0, 0, 0.0, nullptr},
        {"-0", ".....ISU.", 0, 0, 0, 0.0, nullptr},
        {"-1", ".....IS..", 0, -1, 0, -1.0, nullptr},
        {"42", ".....ISU.", 0, 42, 42, 42.0, nullptr},
        {"18446744073709551615", ".....I.U.", 0, 0, kU64Max, 18446744073709551615.0, nullptr},
        {"9223372036854775808", ".....I.U.", 0, 0, uint64_t{1} << 63, 9223372036854775808.0, nullptr},
        {"9223372036854775807", ".....ISU.", 0, kI64Max, uint64_t{kI64Max}, 9223372036854775807.0, nullptr},
        {"-9223372036854775808", ".....IS..", 0, kI64Min, 0, -9223372036854775808.0, nullptr},
        {"1.5", "........R", 0, 0, 0, 1.5, nullptr},
        {"1e3", "........R", 0, 0, 0, 1000.0, nullptr},
        {"2.0", "........R", 0, 0, 0, 2.0, nullptr},
        {"-0.0", "........R", 0, 0, 0, -0.0, nullptr},
        {"{}", "O........", 0, 0, 0, 0, nullptr},
        {R"({"a":1})", "O........", 0, 0, 0, 0, nullptr},
        {"[]", ".A.......", 0, 0, 0, 0, nullptr},
        {"[true]", ".A.......", 0, 0, 0, 0, nullptr},
    };
    int (*const preds[])(json_val *) = {json_is_obj, json_is_arr,  json_is_str,  json_is_bool, json_is_null,
                                        json_is_int, json_is_sint, json_is_uint, json_is_real};
    const char *const names[] = {"obj", "arr", "str", "bool", "null", "int", "sint", "uint", "real"};

    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        Doc doc = parse_text(c.text);
        ASSERT_NE(doc, nullptr);
        json_val *v = json_doc_root(doc.get());
        ASSERT_EQ(std::strlen(c.is), 9u);
        for (size_t p = 0; p < 9; ++p) {
            SCOPED_TRACE(names[p]);
            EXPECT_EQ(preds[p](v), c.is[p] == '.' ? 0 : 1);
        }
        EXPECT_EQ(json_get_bool(v), c.b);
        EXPECT_EQ(json_get_sint(v), c.s);
        EXPECT_EQ(json_get_uint(v), c.u);
        EXPECT_EQ(json_get_real(v), c.d);
        EXPECT_EQ(std::signbit(json_get_real(v)), std::signbit(c.d));
        if (c.str) {
            EXPECT_STREQ(json_get_str(v), c.str);
            EXPECT_EQ(json_get_len(v), std::strlen(c.str));
        } else {
            EXPECT_EQ(json_get_str(v), nullptr);
            EXPECT_EQ(json_get_len(v), 0u);
        }
    }
}

TEST(JsonString, EscapesAreDecoded) {
    struct Case {
        const char *text;
        std::string bytes;
    };
    const Case cases[] = {
        {R"("")", ""},
        {R"("a\nb")", "a\nb"},
        {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
        {R"("\u00e9")", "\xc3\xa9"},
        {R"("caf\u00E9!")", "caf\xc3\xa9!"},
        {R"("\u20ac")", "\xe2\x82\xac"},
        {R"("\ud83d\ude00")", "\xf0\x9f\x98\x80"},
        {"\"\xc3\xa9\"", "\xc3\xa9"},
        {R"("\u0041\u001f")", "A\x1f"},
        {R"("a\u0000b")", std::string("a\0b", 3)},
        {R"("\u0000")", std::string(1, '\0')},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        Doc doc = parse_text(c.text);
        ASSERT_NE(doc, nullptr);
        json_val *v = json_doc_root(doc.get());
        const char *s = json_get_str(v);
        ASSERT_NE(s, nullptr);
        ASSERT_EQ(json_get_len(v), c.bytes.size());
        EXPECT_EQ(std::string(s, json_get_len(v)), c.bytes);
        EXPECT_EQ(s[json_get_len(v)], '\0');
    }
}

TEST(JsonNull, EveryFunctionAcceptsNull) {
    EXPECT_EQ(json_read(nullptr, 0), nullptr);
    EXPECT_EQ(json_read(nullptr, 2), nullptr);
    json_doc_free(nullptr);
    EXPECT_EQ(json_doc_root(nullptr), nullptr);
    EXPECT_EQ(json_obj_get(nullptr, "a"), nullptr);
    EXPECT_EQ(json_obj_get(nullptr, nullptr), nullptr);
    EXPECT_EQ(json_arr_size(nullptr), 0u);
    EXPECT_EQ(json_arr_get(nullptr, 0), nullptr);
    for (int (*pred)(json_val *) : {json_is_obj, json_is_arr, json_is_str, json_is_bool, json_is_null, json_is_int,
                                    json_is_sint, json_is_uint, json_is_real}) {
        EXPECT_EQ(pred(nullptr), 0);
    }
    EXPECT_EQ(json_get_str(nullptr), nullptr);
    EXPECT_EQ(json_get_len(nullptr), 0u);
    EXPECT_EQ(json_get_bool(nullptr), 0);
    EXPECT_EQ(json_get_sint(nullptr), 0);
    EXPECT_EQ(json_get_uint(nullptr), 0u);
    EXPECT_EQ(json_get_real(nullptr), 0.0);
}

} // namespace
