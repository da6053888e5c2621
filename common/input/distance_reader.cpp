#include "input/distance_reader.h"

#include <cmath>
#include <cstdlib>

#include "base/utils.h"
#include "input/numeric_token.h"
#include "input/value_storage.h"

DistanceMatrix ReadDistances(std::FILE *stream) {
    ValueStorage storage = NewValueStorage();
    char *token = static_cast<char *>(monmalloc(TOKEN_BUFFER_BYTES));
    StreamBytes in(stream);
    int c = in.Next();
    while (c != EOF) {
        while (SeparatorClasses(c) & WhiteSeparatorClass) c = in.Next();
        float v;
        if (ReadNumericPiece(in, c, token, WhiteSeparatorClass, &v)) StoreValue(storage, v);
    }
    std::free(token);
    // n is the largest whole number with n(n-1)/2 <= k; 8k + 1 is formed in
    // 64 bits so that long streams do not overflow it.
    const int64_t k = storage.count;
    const int64_t n = static_cast<int64_t>(std::floor((1.0 + std::sqrt(static_cast<double>(8 * k + 1))) / 2.0));
    storage.data = static_cast<float *>(monrealloc(storage.data, PairCount(n) * static_cast<int64_t>(sizeof(float))));
    return DistanceMatrix{static_cast<int32_t>(n), storage.data};
}
