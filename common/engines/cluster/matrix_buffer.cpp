#include "engines/cluster/matrix_buffer.h"

#include <cstdlib>
#include <limits>

#if defined(__linux__)
#include <sys/mman.h>
#endif
#if defined(_WIN32)
#include <malloc.h>
#endif

namespace {

constexpr uint64_t kHugePage = uint64_t{2} << 20;

}  // namespace

MatrixBuffer::MatrixBuffer(int64_t values) {
    if (values <= 0) values = 1;
    if (static_cast<uint64_t>(values) > (std::numeric_limits<uint64_t>::max() - kHugePage) / sizeof(double)) return;
    const uint64_t bytes = (static_cast<uint64_t>(values) * sizeof(double) + kHugePage - 1) / kHugePage * kHugePage;
    if (bytes > std::numeric_limits<size_t>::max()) return;
#if defined(_WIN32)
    data_ = static_cast<double *>(_aligned_malloc(static_cast<size_t>(bytes), kHugePage));
#else
    data_ = static_cast<double *>(std::aligned_alloc(kHugePage, static_cast<size_t>(bytes)));
#endif
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (data_ != nullptr) madvise(data_, static_cast<size_t>(bytes), MADV_HUGEPAGE);
#endif
}

MatrixBuffer::~MatrixBuffer() {
#if defined(_WIN32)
    _aligned_free(data_);
#else
    std::free(data_);
#endif
}
