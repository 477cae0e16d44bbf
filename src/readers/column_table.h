// The column table the column readers return: named columns of equal length.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "common/bulk_array.h"

namespace quor {

struct column_table {
    // Header names in header order; a name may repeat (the boundary keeps the
    // first position and the last column for it).
    std::vector<std::string> names;
    // The values of the accepted rows, one array per name: value k of row r is
    // columns[k][r]. Kept by column so that each result list is made from one
    // run of memory.
    std::vector<bulk_array<double>> columns;

    std::size_t row_count() const noexcept { return columns.empty() ? 0 : columns[0].size(); }

    // Sets the names and starts the columns afresh, one empty column per name.
    void start(std::vector<std::string> header_names) {
        names = std::move(header_names);
        columns = std::vector<bulk_array<double>>(names.size());
    }
};

}  // namespace quor
