// Exported C versions of the escaping pair, the type-code builder and the
// CSR printer. Each module that links this file owns its own buffers.
#include "cxx_gram.h"

#include <cstdio>
#include <cstring>

namespace {
char escape_buffer[ESCAPE_BUFFER_SIZE];
char unescape_buffer[ESCAPE_BUFFER_SIZE];
}  // namespace

QUORVEX_EXPORT int as_typecode(const char* str, int n) {
    // The letters are read as signed bytes; the sum wraps like 32-bit ints.
    uint32_t code = static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(str[0])));
    code += static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(str[1]))) * 256u;
    code += static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(str[2]))) * 65536u;
    code += static_cast<uint32_t>(n + 48) * 16777216u;
    return static_cast<int>(code);
}

QUORVEX_EXPORT const char* escape_amis(const char* x) {
    std::size_t out = 0;
    const std::size_t limit = ESCAPE_BUFFER_SIZE - 1;  // room for the NUL
    for (const char* p = x; *p; ++p) {
        int code = escape_code(static_cast<unsigned char>(*p));
        if (code < 0) {
            if (out + 1 > limit) break;
            escape_buffer[out++] = *p;
        } else {
            if (out + 2 > limit) break;
            escape_buffer[out++] = 'x';
            escape_buffer[out++] = static_cast<char>('A' + code);
        }
    }
    escape_buffer[out] = '\0';
    return escape_buffer;
}

QUORVEX_EXPORT const char* unescape_amis(const char* x) {
    std::size_t out = 0;
    const std::size_t limit = ESCAPE_BUFFER_SIZE - 1;
    for (const char* p = x; *p && out < limit; ++p) {
        if (p[0] == 'x' && p[1] >= 'A' && p[1] <= 'L') {
            unescape_buffer[out++] = need_escape[p[1] - 'A'];
            ++p;
        } else {
            unescape_buffer[out++] = *p;
        }
    }
    unescape_buffer[out] = '\0';
    return unescape_buffer;
}

QUORVEX_EXPORT void print_csr(CSRMatrix<int>* m) {
    std::printf("%d rows.\n", static_cast<int>(m->num_rows));
    for (coordinate_t i = 0; i < m->num_rows; ++i) {
        std::printf("%d: [%d,%d]|", static_cast<int>(i), m->offsets[i], m->offsets[i + 1] - 1);
        for (int j = m->offsets[i]; j < m->offsets[i + 1]; ++j)
            std::printf(" %d:%d", static_cast<int>(m->rightColumns[j]), m->values[j]);
        std::printf("\n");
    }
    std::fflush(stdout);
}
