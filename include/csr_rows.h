// CsrRows: the rows of a compressed-sparse-row matrix, appended one at a
// time into plain malloc'd arrays, so that the finished arrays can be handed
// to their final owner (a NumPy array, through quorvex.sparsmat) without
// another copy.
//
// Row i holds the entries indptr[i] up to (not including) indptr[i + 1];
// indices and data give each entry's column and value. Plain C++: running
// out of memory throws std::bad_alloc and leaves the rows appended so far.
#ifndef QUORVEX_CSR_ROWS_H
#define QUORVEX_CSR_ROWS_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "sparse_accum.h"

template <class T>
struct CsrRows {
    int64_t* indptr = nullptr;        // rows + 1 offsets (indptr[0] = 0) once reserved
    coordinate_t* indices = nullptr;  // nnz columns
    T* data = nullptr;                // nnz values
    std::size_t rows = 0, nnz = 0;
    std::size_t rows_cap = 0, nnz_cap = 0;
    std::size_t expected_rows = 0;  // rows the caller means to append in all (0: unknown)
    coordinate_t max_column = 0;    // largest column of any entry (0 when none)

    CsrRows() = default;
    CsrRows(const CsrRows&) = delete;
    CsrRows& operator=(const CsrRows&) = delete;
    ~CsrRows() { release(); }

    void release() {
        std::free(indptr);
        std::free(indices);
        std::free(data);
        indptr = nullptr;
        indices = nullptr;
        data = nullptr;
        rows = nnz = rows_cap = nnz_cap = 0;
        max_column = 0;
    }

    // Room for `more_rows` further rows holding `more_entries` further
    // entries in all (a hint: appending beyond it grows the arrays). With
    // more_rows known and the entries not, the entry arrays are sized from
    // the rows appended so far once some are in, instead of by doubling
    // (each doubling of a large array is a copy and fresh pages).
    void reserve(std::size_t more_rows, std::size_t more_entries) {
        expected_rows = rows + more_rows;
        grow_rows(rows + more_rows);
        grow_entries(nnz + more_entries);
    }

    // Appends one row: n entries in ascending column order, unique columns
    // (the entries of a compacted accumulator or of a sparse vector).
    void append_row(const coordinate_t* cols, const T* vals, std::size_t n) {
        grow_rows(rows + 1);
        grow_entries(nnz + n);
        // Through locals: the members would be read again after every store.
        coordinate_t* const out_cols = indices + nnz;
        T* const out_vals = data + nnz;
        for (std::size_t i = 0; i < n; ++i) {
            out_cols[i] = cols[i];
            out_vals[i] = vals[i];
        }
        finish_row(n);
    }
    void append_row(const AccumEntry<T>* entries, std::size_t n) {
        grow_rows(rows + 1);
        grow_entries(nnz + n);
        coordinate_t* const out_cols = indices + nnz;
        T* const out_vals = data + nnz;
        for (std::size_t i = 0; i < n; ++i) {
            out_cols[i] = entries[i].idx;
            out_vals[i] = entries[i].val;
        }
        finish_row(n);
    }

    // Room for `n` entries in all, the rows so far kept: the caller may
    // write entries at [nnz, n) and append them as rows with
    // append_written_row. Throws std::bad_alloc.
    void reserve_entries(std::size_t n) { grow_entries(n); }
    // Gives back the entry arrays' room beyond nnz (the arrays keep at
    // least one entry).
    void shrink_to_fit() {
        const std::size_t keep = nnz ? nnz : 1;
        if (!indices || keep >= nnz_cap) return;
        if (void* p = std::realloc(indices, keep * sizeof(coordinate_t))) indices = static_cast<coordinate_t*>(p);
        if (void* p = std::realloc(data, keep * sizeof(T))) data = static_cast<T*>(p);
        nnz_cap = keep;
    }
    // Appends the n entries already written at [nnz, nnz + n) as one row.
    // Throws std::bad_alloc.
    void append_written_row(std::size_t n) {
        grow_rows(rows + 1);
        finish_row(n);
    }

private:
    void finish_row(std::size_t n) {
        if (n && indices[nnz + n - 1] > max_column) max_column = indices[nnz + n - 1];
        nnz += n;
        indptr[++rows] = static_cast<int64_t>(nnz);
    }

    template <class U>
    static void grow(U*& p, std::size_t& cap, std::size_t want) {
        const std::size_t ncap = std::max(cap ? 2 * cap : 64, want);
        if (ncap > SIZE_MAX / sizeof(U)) throw std::bad_alloc();
        void* q = std::realloc(p, ncap * sizeof(U));
        if (!q) throw std::bad_alloc();
        p = static_cast<U*>(q);
        cap = ncap;
    }
    void grow_rows(std::size_t want_rows) {
        const bool fresh = indptr == nullptr;
        if (fresh || want_rows + 1 > rows_cap) grow(indptr, rows_cap, want_rows + 1);
        if (fresh) indptr[0] = 0;
    }
    void grow_entries(std::size_t want) {
        if (want > nnz_cap && rows >= 16 && expected_rows > rows) {
            // The mean row so far, for the rows still to come, with a tenth to spare.
            const std::size_t estimate = nnz + (nnz / rows + 1) * (expected_rows - rows) * 11 / 10;
            want = std::max(want, estimate);
        }
        if (want > nnz_cap || !indices) {
            std::size_t cap_i = nnz_cap, cap_d = nnz_cap;
            grow(indices, cap_i, want ? want : 1);
            grow(data, cap_d, want ? want : 1);
            nnz_cap = std::min(cap_i, cap_d);
        }
    }
};

#endif
