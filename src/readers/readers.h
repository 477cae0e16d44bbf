// The five simulation-output readers. Each reads one whole file by path.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/outcome.h"
#include "readers/column_table.h"

namespace quor {

outcome<column_table> parse_quor_file(std::string_view path);
outcome<column_table> parse_thermoprop(std::string_view path);
outcome<double> parse_volume_density(std::string_view path);
outcome<column_table> parse_bond_angle(std::string_view path);
outcome<std::uint64_t> read_group_count(std::string_view log_path, std::string_view group_name);

}  // namespace quor
