// The programs' whole pipeline on a table read from the bytes: the column
// distances and both engine forms, every engine at every kernel level
// against the reference engine.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "engine_check.h"
#include "input/table_reader.h"
#include "model/table.h"
#include "reader_model.h"

namespace {
constexpr int32_t kMaxColumns = 64;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Without any value the reader ends the process by design; a ragged
    // table never reaches the engines in the programs.
    if (ModelReadTable(data, size).outcome != ModelOutcome::Cells) return 0;

    std::FILE *stream = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (stream == nullptr) FuzzFailure("fmemopen failed");
    const TableData table = ReadTable(stream);
    std::fclose(stream);
    if (table.values == nullptr) FuzzFailure("table of cells rejected");
    if (table.columns > kMaxColumns) {
        std::free(table.values);
        return 0;
    }

    CheckTableEngines(table);
    std::free(table.values);
    return 0;
}
