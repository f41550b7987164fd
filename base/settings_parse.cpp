// settings_parse.cpp - recursive descent over JSON, keeping the top-level members.
#include "base/settings_parse.h"

#include <stdint.h>

namespace {

// Nesting deeper than this is not a settings file.
constexpr int kMaxDepth = 64;

bool has_key(const std::vector<setting_member> &members, const std::string &key) {
    for (const setting_member &m : members)
        if (m.key == key) return true;
    return false;
}

struct parser {
    std::string_view text;
    size_t pos = 0;
    std::string error;

    bool fail(const char *what) {
        if (error.empty()) error = std::string(what) + " at byte " + std::to_string(pos);
        return false;
    }
    bool at_end() const { return pos >= text.size(); }
    char peek() const { return at_end() ? '\0' : text[pos]; }
    void skip_space() {
        while (!at_end() && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\n' || text[pos] == '\r'))
            ++pos;
    }
    bool literal(std::string_view word) {
        if (text.substr(pos, word.size()) != word) return fail("unexpected text");
        pos += word.size();
        return true;
    }

    bool hex4(uint32_t &v) {
        v = 0;
        for (int i = 0; i < 4; ++i, ++pos) {
            char c = peek();
            int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (d < 0) return fail("broken \\u escape");
            v = v * 16 + static_cast<uint32_t>(d);
        }
        return true;
    }

    static void append_utf8(std::string &out, uint32_t cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    bool escape(std::string &out) {
        char c = peek();
        ++pos;
        switch (c) {
        case '"': out += '"'; return true;
        case '\\': out += '\\'; return true;
        case '/': out += '/'; return true;
        case 'b': out += '\b'; return true;
        case 'f': out += '\f'; return true;
        case 'n': out += '\n'; return true;
        case 'r': out += '\r'; return true;
        case 't': out += '\t'; return true;
        case 'u': break;
        default: --pos; return fail("unknown escape");
        }
        uint32_t cp = 0;
        if (!hex4(cp)) return false;
        if (cp >= 0xD800 && cp < 0xDC00) {
            uint32_t low = 0;
            if (!literal("\\u") || !hex4(low) || low < 0xDC00 || low >= 0xE000) return fail("broken surrogate pair");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        } else if (cp >= 0xDC00 && cp < 0xE000) {
            return fail("broken surrogate pair");
        }
        append_utf8(out, cp);
        return true;
    }

    bool string(std::string &out) {
        out.clear();
        if (peek() != '"') return fail("expected a string");
        ++pos;
        for (;;) {
            if (at_end()) return fail("unterminated string");
            unsigned char c = static_cast<unsigned char>(text[pos]);
            if (c == '"') {
                ++pos;
                return true;
            }
            if (c < 0x20) return fail("control byte in a string");
            if (c == '\\') {
                ++pos;
                if (!escape(out)) return false;
                continue;
            }
            out += static_cast<char>(c);
            ++pos;
        }
    }

    bool digits() {
        size_t start = pos;
        while (peek() >= '0' && peek() <= '9')
            ++pos;
        return pos > start ? true : fail("expected a digit");
    }

    bool number(std::string &out) {
        size_t start = pos;
        if (peek() == '-') ++pos;
        if (peek() == '0') {
            ++pos;
        } else if (!digits()) {
            return false;
        }
        if (peek() == '.') {
            ++pos;
            if (!digits()) return false;
        }
        if (peek() == 'e' || peek() == 'E') {
            ++pos;
            if (peek() == '+' || peek() == '-') ++pos;
            if (!digits()) return false;
        }
        out = std::string(text.substr(start, pos - start));
        return true;
    }

    bool value(setting_type &type, std::string &out, int depth) {
        if (depth > kMaxDepth) return fail("nested too deeply");
        skip_space();
        char c = peek();
        out.clear();
        if (c == '"') {
            type = setting_type::string;
            return string(out);
        }
        if (c == '{' || c == '[') {
            type = setting_type::other;
            return c == '{' ? object(nullptr, depth + 1) : array(depth + 1);
        }
        if (c == 't' || c == 'f') {
            type = setting_type::boolean;
            out = c == 't' ? "true" : "false";
            return literal(out);
        }
        if (c == 'n') {
            type = setting_type::null;
            out = "null";
            return literal(out);
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            type = setting_type::number;
            return number(out);
        }
        return fail(at_end() ? "unexpected end" : "unexpected character");
    }

    bool array(int depth) {
        ++pos; // '['
        skip_space();
        if (peek() == ']') {
            ++pos;
            return true;
        }
        for (;;) {
            setting_type type;
            std::string ignored;
            if (!value(type, ignored, depth)) return false;
            skip_space();
            if (peek() == ',') {
                ++pos;
                continue;
            }
            if (peek() == ']') {
                ++pos;
                return true;
            }
            return fail(at_end() ? "unexpected end" : "expected ',' or ']'");
        }
    }

    // members is null for nested objects, whose keys are checked but not kept.
    bool object(std::vector<setting_member> *members, int depth) {
        if (peek() != '{') return fail("expected an object");
        ++pos;
        skip_space();
        if (peek() == '}') {
            ++pos;
            return true;
        }
        for (;;) {
            skip_space();
            setting_member m;
            size_t key_at = pos;
            if (!string(m.key)) return false;
            skip_space();
            if (peek() != ':') return fail("expected ':'");
            ++pos;
            if (!value(m.type, m.value, depth)) return false;
            if (members) {
                if (has_key(*members, m.key)) {
                    pos = key_at;
                    return fail(("the key \"" + m.key + "\" stands twice").c_str());
                }
                members->push_back(std::move(m));
            }
            skip_space();
            if (peek() == ',') {
                ++pos;
                continue;
            }
            if (peek() == '}') {
                ++pos;
                return true;
            }
            return fail(at_end() ? "unexpected end" : "expected ',' or '}'");
        }
    }
};

} // namespace

bool settings_parse(std::string_view text, std::vector<setting_member> &members, std::string &error) {
    members.clear();
    error.clear();
    parser p{text, 0, {}};
    p.skip_space();
    bool ok = p.object(&members, 0);
    if (ok) {
        p.skip_space();
        if (!p.at_end()) ok = p.fail("text after the object");
    }
    if (!ok) {
        members.clear();
        error = p.error;
    }
    return ok;
}

const setting_member *settings_find(const std::vector<setting_member> &members, settings_key key) {
    if (!settings_entry_of(key)) return nullptr;
    const std::string_view name = settings_name(key);
    for (const setting_member &m : members)
        if (m.key == name) return &m;
    return nullptr;
}
