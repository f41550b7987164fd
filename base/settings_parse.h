// settings_parse.h - a strict reading of a settings file's text as one JSON object.
// The lookups of settings.h scan the text for a key and forgive anything around
// it; the access check must instead know that the file says what its reader
// meant, so it takes the text through this parser and refuses on any fault.
#ifndef REG_SETTINGS_PARSE_H
#define REG_SETTINGS_PARSE_H

#include <string>
#include <string_view>
#include <vector>

#include "base/settings.h"

enum class setting_type { string, number, boolean, null, other };

// One member of the top-level object. A string's value is decoded (escapes
// applied); a number, true, false or null keeps its text; an object or an
// array is `other` with its text left out.
struct setting_member {
    std::string key;
    setting_type type = setting_type::null;
    std::string value;
};

// Parses text as exactly one JSON object (white space around it allowed) and
// lists its members in order. False with `error` saying what is wrong and at
// which byte offset, for anything that is not well-formed JSON or not an
// object, or for a key that stands twice.
bool settings_parse(std::string_view text, std::vector<setting_member> &members, std::string &error);

// The first member named as key in the settings table, or nullptr.
const setting_member *settings_find(const std::vector<setting_member> &members, settings_key key);

#endif
