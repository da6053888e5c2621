// ReadDistances over arbitrary bytes, held bit for bit against the plain
// model of the reader; a small matrix then goes through every engine of the
// minimum-link form (distances as read: negative, infinite or NaN ones too).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine_check.h"
#include "input/distance_reader.h"
#include "model/distance_matrix.h"
#include "reader_model.h"

namespace {
constexpr int32_t kMaxEngineObjects = 64;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const ModelDistances model = ModelReadDistances(data, size);
    // Without any value the reader ends the process by design; nothing to see.
    if (model.outcome == ModelOutcome::NoValue) return 0;

    std::FILE *stream = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (stream == nullptr) FuzzFailure("fmemopen failed");
    const DistanceMatrix matrix = ReadDistances(stream);
    std::fclose(stream);

    if (matrix.count != model.count)
        FuzzFailure("count " + std::to_string(matrix.count) + ", model " + std::to_string(model.count));
    for (size_t k = 0; k < model.values.size(); ++k)
        if (std::memcmp(&matrix.values[k], &model.values[k], sizeof(float)) != 0)
            FuzzFailure("value " + std::to_string(k) + " is " + std::to_string(matrix.values[k]) + ", model " +
                        std::to_string(model.values[k]));
    if (matrix.count <= kMaxEngineObjects) CheckMatrixEngines(matrix);
    std::free(matrix.values);
    return 0;
}
