// settings_doc.cpp - prints the settings table of base/settings.cpp as the Markdown table of docs/settings.md.
// With --storage-root it prints the storage root as the programs find it from the working directory, so
// that a script's own lookup can be compared with it.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "base/settings.h"

namespace {

std::string number(int64_t v) { return std::to_string(static_cast<long long>(v)); }

std::string type_text(settings_type t) {
    switch (t) {
    case SETTINGS_STRING: return "string";
    case SETTINGS_INTEGER: return "whole number, digits only";
    case SETTINGS_SIGNED: return "whole number, may be negative";
    case SETTINGS_SIGNED_TEXT: return "whole number, may be negative or in quotes";
    case SETTINGS_SWITCH: return "switch: true, false or a number (0 is off)";
    case SETTINGS_BOOLEAN: return "true or false";
    }
    return "?";
}

std::string outside_text(settings_bound b) {
    switch (b) {
    case SETTINGS_CLAMP: return "clamped";
    case SETTINGS_USE_DEFAULT: return "ignored";
    case SETTINGS_REFUSE_ALL: return "every request refused";
    }
    return "?";
}

std::string length_text(const settings_entry &e) {
    if (e.min == e.max) return "exactly " + number(e.min) + " bytes";
    if (e.max == INT64_MAX) return "at least " + number(e.min) + (e.min == 1 ? " byte" : " bytes");
    return number(e.min) + " to " + number(e.max) + " bytes";
}

std::string bounds_text(const settings_entry &e) {
    std::string text;
    switch (e.type) {
    case SETTINGS_SWITCH: return "off or on";
    case SETTINGS_BOOLEAN: text = "true or false"; break;
    case SETTINGS_STRING: text = length_text(e); break;
    default:
        if (e.min == INT64_MIN && e.max == INT64_MAX) return "any";
        text = number(e.min) + " to " + number(e.max);
        break;
    }
    text += " (outside: " + outside_text(e.out_of_bounds) + ")";
    if (e.zero_means_default) text += "; 0 reads as the default";
    return text;
}

// A table cell: a '|' would end it.
std::string cell(const std::string &s) {
    std::string out;
    for (char c : s) {
        if (c == '|') out += '\\';
        out += c;
    }
    return out;
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 2 && strcmp(argv[1], "--storage-root") == 0) {
        char root[4096];
        settings_storage_root(root, sizeof root);
        printf("%s\n", root);
        return 0;
    }
    if (argc != 1) {
        fprintf(stderr, "usage: settings-doc [--storage-root]\n");
        return 2;
    }
    printf("| Key | Type | Default | Bounds | Meaning |\n");
    printf("|---|---|---|---|---|\n");
    for (int k = 0; k < SETTINGS_KEY_COUNT; ++k) {
        const settings_entry &e = *settings_entry_of(static_cast<settings_key>(k));
        printf("| `%s` | %s | %s | %s | %s |\n", e.name, cell(type_text(e.type)).c_str(),
               cell(e.fallback_text).c_str(), cell(bounds_text(e)).c_str(), cell(e.meaning).c_str());
    }
    return 0;
}
