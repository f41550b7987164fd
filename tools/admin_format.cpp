// admin_format.cpp - byte units, ages and aligned tables for the admin tool's output.
#include "tools/admin_format.h"

#include <algorithm>

#include "base/qf_str.h"

std::string human_bytes(int64_t bytes) {
    static const char *const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024) return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024.0 && unit < 6) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    qf_snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

std::string human_age(int64_t seconds) {
    if (seconds < 0) return "?";
    if (seconds < 60) return std::to_string(seconds) + " s";
    if (seconds < 3600) return std::to_string(seconds / 60) + " min";
    if (seconds < 86400) return std::to_string(seconds / 3600) + " h";
    return std::to_string(seconds / 86400) + " d";
}

std::string human_duration_ms(int64_t ms) {
    if (ms < 0) ms = 0;
    char text[48];
    if (ms < 1000)
        qf_snprintf(text, sizeof text, "%lld ms", static_cast<long long>(ms));
    else if (ms < 60000)
        qf_snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
    else
        qf_snprintf(text, sizeof text, "%lld min %02lld s", static_cast<long long>(ms / 60000),
                    static_cast<long long>(ms / 1000 % 60));
    return text;
}

table::table(std::vector<std::string> headers, std::vector<bool> numeric)
    : headers_(std::move(headers)), numeric_(std::move(numeric)) {
    numeric_.resize(headers_.size(), false);
}

void table::add(std::vector<std::string> row) {
    row.resize(headers_.size());
    rows_.push_back(std::move(row));
}

void table::print(FILE *out) const {
    std::vector<size_t> width(headers_.size());
    for (size_t c = 0; c < headers_.size(); ++c) {
        width[c] = headers_[c].size();
        for (const auto &row : rows_)
            width[c] = std::max(width[c], row[c].size());
    }
    auto line = [&](const std::vector<std::string> &cells) {
        std::string text;
        for (size_t c = 0; c < cells.size(); ++c) {
            std::string pad(width[c] - cells[c].size(), ' ');
            bool last = c + 1 == cells.size();
            text += numeric_[c] ? pad + cells[c] : (last ? cells[c] : cells[c] + pad);
            if (!last) text += "  ";
        }
        fprintf(out, "%s\n", text.c_str());
    };
    line(headers_);
    for (const auto &row : rows_)
        line(row);
}
