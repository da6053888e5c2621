// Storage for a packed matrix of distances, left uninitialised. The chain
// and the generic algorithm read it one value per row along a column, far
// apart: on Linux it asks for huge pages, so that those reads do not each
// miss the address translation cache as well as the data caches.
#pragma once

#include <cstdint>

class MatrixBuffer {
public:
    // Room for `values` doubles; data() is null when it cannot be had.
    explicit MatrixBuffer(int64_t values);
    ~MatrixBuffer();
    MatrixBuffer(const MatrixBuffer &) = delete;
    MatrixBuffer &operator=(const MatrixBuffer &) = delete;
    double *data() const { return data_; }

private:
    double *data_ = nullptr;
};
