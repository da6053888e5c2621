// ReadTable over arbitrary bytes, held value by value (bit for bit) against
// the plain model of the reader; and the same bytes read in short stretches
// of rows on two threads, held to the same table, the same report and the
// same stream position as the reader on one thread.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine_check.h"
#include "input/table_reader.h"
#include "input/table_report.h"
#include "model/table.h"
#include "reader_model.h"

namespace {

struct Reading {
    TableData table;
    TableReport report;
    long position;
};

Reading ReadWith(const uint8_t *data, size_t size, bool reporting, bool header, int64_t stretchBytes) {
    std::FILE *stream = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (stream == nullptr) FuzzFailure("fmemopen failed");
    Reading r{};
    r.report.header = header;
    // Row labels asked for on some inputs (the reading with labels is held
    // to itself on one and two threads).
    r.report.labels = reporting && size > 1 && data[1] % 3 == 0;
    r.table = ReadTableInStretches(stream, reporting ? &r.report : nullptr, stretchBytes);
    if (std::ferror(stream)) FuzzFailure("memory stream in error");
    r.position = std::ftell(stream);
    std::fclose(stream);
    return r;
}

void ExpectSameReading(const Reading &a, const Reading &b) {
    const int64_t cells = static_cast<int64_t>(a.table.lines) * a.table.columns;
    if (a.table.lines != b.table.lines || a.table.columns != b.table.columns ||
        (a.table.values == nullptr) != (b.table.values == nullptr) ||
        (cells > 0 && std::memcmp(a.table.values, b.table.values, static_cast<size_t>(cells) * sizeof(float)) != 0))
        FuzzFailure("stretches read another table");
    if (a.position != b.position) FuzzFailure("stretches leave the stream elsewhere");
    const TableReport &r = a.report, &s = b.report;
    if (r.names != s.names || r.byteOrderMark != s.byteOrderMark || r.firstLine != s.firstLine ||
        r.firstCount != s.firstCount || r.rejectedLine != s.rejectedLine || r.rejectedCount != s.rejectedCount ||
        r.noValues != s.noValues || r.rows != s.rows || r.partialTokens != s.partialTokens ||
        r.firstPartial != s.firstPartial || r.firstPartialLine != s.firstPartialLine || r.commaLine != s.commaLine ||
        std::memcmp(&r.firstPartialValue, &s.firstPartialValue, sizeof(float)) != 0 ||
        r.wordsAfterNumbers != s.wordsAfterNumbers || r.firstWordAfterNumber != s.firstWordAfterNumber ||
        r.firstWordAfterNumberLine != s.firstWordAfterNumberLine || r.emptyCells != s.emptyCells ||
        r.firstEmptyCellLine != s.firstEmptyCellLine || r.labelLikeFields != s.labelLikeFields ||
        r.firstLabelLikeField != s.firstLabelLikeField || r.firstLabelLikeLine != s.firstLabelLikeLine ||
        r.splitTokens != s.splitTokens || r.firstSplitLine != s.firstSplitLine ||
        r.firstRowWords != s.firstRowWords || r.rejectedWords != s.rejectedWords)
        FuzzFailure("stretches give another report");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const ModelTable model = ModelReadTable(data, size);

    // With the report, which returns rather than ends the process on an
    // input without any value.
    const bool header = size > 0 && data[0] % 2 == 0;
    const int64_t stretch = 16 + static_cast<int64_t>(size % 113);
    {
        Reading alone = ReadWith(data, size, true, header, 0);
        Reading split = ReadWith(data, size, true, header, stretch);
        ExpectSameReading(split, alone);
        std::free(alone.table.values);
        std::free(split.table.values);
    }

    // Without any value the reader ends the process by design; nothing to see.
    if (model.outcome == ModelOutcome::NoValue) return 0;
    {
        Reading alone = ReadWith(data, size, false, false, 0);
        Reading split = ReadWith(data, size, false, false, stretch);
        ExpectSameReading(split, alone);
        std::free(alone.table.values);
        std::free(split.table.values);
    }

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
