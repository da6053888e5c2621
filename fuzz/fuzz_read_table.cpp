// ReadTable over arbitrary bytes, held value by value (bit for bit) against
// the plain model of the reader.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine_check.h"
#include "reader_model.h"
#include "table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const ModelTable model = ModelReadTable(data, size);
    // Without any value the reader ends the process by design; nothing to see.
    if (model.outcome == ModelOutcome::NoValue) return 0;

    std::FILE *stream = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (stream == nullptr) FuzzFailure("fmemopen failed");
    const TableData table = ReadTable(stream);
    if (std::ferror(stream)) FuzzFailure("memory stream in error");
    std::fclose(stream);

    if (model.outcome == ModelOutcome::Rejected) {
        if (table.lines != 0 || table.columns != 0 || table.values != nullptr)
            FuzzFailure("ragged table not rejected: " + std::to_string(table.lines) + " x " +
                        std::to_string(table.columns));
        return 0;
    }
    if (table.lines != model.lines || table.columns != model.columns)
        FuzzFailure("table is " + std::to_string(table.lines) + " x " + std::to_string(table.columns) +
                    ", model " + std::to_string(model.lines) + " x " + std::to_string(model.columns));
    if (std::memcmp(table.values, model.values.data(), model.values.size() * sizeof(float)) != 0) {
        for (size_t k = 0; k < model.values.size(); ++k)
            if (std::memcmp(&table.values[k], &model.values[k], sizeof(float)) != 0)
                FuzzFailure("value " + std::to_string(k) + " is " + std::to_string(table.values[k]) + ", model " +
                            std::to_string(model.values[k]));
    }
    std::free(table.values);
    return 0;
}
