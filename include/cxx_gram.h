// Shared pieces compiled into both the feature and the learn module:
// the escaped word form used in AMIS forests and text weight files, the
// four-byte type codes of binary files, and the compressed-sparse-row
// matrix record.
//
// The four free functions below are exported from both shared objects
// under their plain (C) names so that other native code and ctypes can
// call them. The escaping pair in C form writes into a static buffer of
// ESCAPE_BUFFER_SIZE bytes per module; results that would not fit are
// truncated at an escape boundary (never overrunning the buffer, never
// splitting an "xA".."xL" pair). C++ callers use the unbounded
// std::string versions instead.
#ifndef QUORVEX_CXX_GRAM_H
#define QUORVEX_CXX_GRAM_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

typedef uint32_t coordinate_t;

// Characters that must be escaped; the position is the escape code:
// character need_escape[i] is written as 'x' followed by 'A' + i.
static const char need_escape[12] = {'x', ':', '(', ')', '{', '}', '$', '#', '=', ' ', '\n', '\\'};
static const std::size_t ESCAPE_BUFFER_SIZE = 8192;

// Escape code of byte c, or -1 when c is copied unchanged.
inline int escape_code(unsigned char c) {
    switch (c) {
    case 'x': return 0;
    case ':': return 1;
    case '(': return 2;
    case ')': return 3;
    case '{': return 4;
    case '}': return 5;
    case '$': return 6;
    case '#': return 7;
    case '=': return 8;
    case ' ': return 9;
    case '\n': return 10;
    case '\\': return 11;
    default: return -1;
    }
}

// Appends the escaped form of the n bytes at p to out.
inline void escape_amis_append(const char* p, std::size_t n, std::string& out) {
    out.reserve(out.size() + n + n / 4 + 1);
    for (std::size_t i = 0; i < n; ++i) {
        int code = escape_code(static_cast<unsigned char>(p[i]));
        if (code < 0) {
            out.push_back(p[i]);
        } else {
            out.push_back('x');
            out.push_back(static_cast<char>('A' + code));
        }
    }
}

// Appends the unescaped form of the n bytes at p to out. An 'x' that ends
// the input, or that is followed by a byte outside 'A'..'L', is copied
// unchanged (such text is never produced by escaping).
inline void unescape_amis_append(const char* p, std::size_t n, std::string& out) {
    out.reserve(out.size() + n);
    for (std::size_t i = 0; i < n; ++i) {
        if (p[i] == 'x' && i + 1 < n && p[i + 1] >= 'A' && p[i + 1] <= 'L') {
            out.push_back(need_escape[p[i + 1] - 'A']);
            ++i;
        } else {
            out.push_back(p[i]);
        }
    }
}

// Compressed-sparse-row matrix: row i holds the entries offsets[i] up to
// (not including) offsets[i+1]; rightColumns and values give each entry's
// column and value.
template <class T>
struct CSRMatrix {
    coordinate_t num_rows;
    int* offsets;
    coordinate_t* rightColumns;
    T* values;

    // Defined by the sparse-matrix component (quorvex.sparsmat).
    void write_binary(std::vector<char>& out) const;
    CSRMatrix<T>* transpose() const;
    std::vector<T> compute_left_marginals() const;
    std::vector<T> compute_right_marginals() const;
    std::vector<T> compute_right_squared_marginals() const;
};

#define QUORVEX_EXPORT extern "C" __attribute__((visibility("default")))

// str[0] + str[1]*256 + str[2]*65536 + (n+48)*16777216, in 32-bit arithmetic.
QUORVEX_EXPORT int as_typecode(const char* str, int n);
// Escaped / unescaped form of a NUL-terminated string, in a static buffer
// of ESCAPE_BUFFER_SIZE bytes that the next call overwrites. Longer
// results are truncated at the last whole character that fits.
QUORVEX_EXPORT const char* escape_amis(const char* x);
QUORVEX_EXPORT const char* unescape_amis(const char* x);
// Prints the matrix to standard output (debugging aid).
QUORVEX_EXPORT void print_csr(CSRMatrix<int>* m);

#endif
