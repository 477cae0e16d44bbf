// The column table the column readers return: named columns of equal length.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "common/bulk_array.h"

namespace quor {

struct column_table {
    // Header names in header order; a name may repeat (the boundary keeps the
    // first position and the last column for it).
    std::vector<std::string> names;
    // Accepted rows, row-major: value k of row r is values[r * names.size() + k].
    bulk_array<double> values;

    std::size_t row_count() const noexcept { return names.empty() ? 0 : values.size() / names.size(); }
};

}  // namespace quor
