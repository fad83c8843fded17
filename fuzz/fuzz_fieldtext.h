// What the field-record readers do to a written name or value, for the oracles of the field and
// configuration fuzz targets: blanks (bytes 0 to 32, and 127) around it are not part of it.
#pragma once

#include <string>

inline bool fuzz_blank(unsigned char c) { return c <= 32 || c == 127; }

inline std::string fuzz_trimmed(const std::string& s) {
    size_t a = 0, b = s.size();
    while (a < b && fuzz_blank(static_cast<unsigned char>(s[a]))) ++a;
    while (b > a && fuzz_blank(static_cast<unsigned char>(s[b - 1]))) --b;
    return s.substr(a, b - a);
}

// A name written at the start of a record is found again only when no blank leads it and it does
// not make the record a comment.
inline bool fuzz_findable_name(const std::string& n) {
    if (!n.empty() && fuzz_blank(static_cast<unsigned char>(n[0]))) return false;
    return n.compare(0, 1, "#") != 0 && n.compare(0, 2, "//") != 0;
}
