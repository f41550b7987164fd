// admin_format.h - how the admin tool shows numbers to people: byte units, ages, aligned tables.
#ifndef ADMIN_FORMAT_H
#define ADMIN_FORMAT_H

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

// "512 B", "1.5 KiB", "3.0 MiB", ... in powers of 1024.
std::string human_bytes(int64_t bytes);
// "45 s", "12 min", "5 h", "3 d"; "?" for a negative (unknown) age.
std::string human_age(int64_t seconds);
// "850 ms", "3.2 s", "4 min 05 s".
std::string human_duration_ms(int64_t ms);

// Columns padded to their widest cell; columns marked numeric are right-aligned.
class table {
public:
    table(std::vector<std::string> headers, std::vector<bool> numeric);
    void add(std::vector<std::string> row);
    bool empty() const { return rows_.empty(); }
    void print(FILE *out) const;

private:
    std::vector<std::string> headers_;
    std::vector<bool> numeric_;
    std::vector<std::vector<std::string>> rows_;
};

#endif
