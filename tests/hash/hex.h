// Lowercase hexadecimal of raw digest bytes, for comparing with the
// published known answers.
#ifndef TESTS_HASH_HEX_H
#define TESTS_HASH_HEX_H

#include <cstddef>
#include <cstdint>
#include <string>

inline std::string to_hex(const uint8_t *d, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[d[i] >> 4];
        s += digits[d[i] & 15];
    }
    return s;
}

#endif
