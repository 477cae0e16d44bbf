// The five simulation-output readers. Each reads one whole file by path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/outcome.h"
#include "readers/column_table.h"

namespace quor {

// Receives the rows of a transport-output table while its file is read. start()
// comes with the names of every header line (what was taken before it is dropped);
// take() comes with the next run of rows accepted under it, by column (block[k][r]
// is value k of row r), and an estimate of how many rows the table will have in
// all, from the share of the file read so far. The file is read to its end
// whatever the sink does, since a read error anywhere decides the result.
class row_sink {
public:
    virtual void start(std::span<const std::string> names) = 0;
    virtual void take(std::span<const bulk_array<double>> block, std::size_t rows_expected) = 0;

protected:
    ~row_sink() = default;
};

// Reads the transport-output table at `path` into `sink`; returns the names of
// its header, or the error that the module's parse_quor_file raises.
outcome<std::vector<std::string>> read_quor_file(std::string_view path, row_sink& sink);

// A transport-output table that its caller reads straight into objects of its
// own with read_quor_file: the path, borrowed for the call.
struct quor_file_rows {
    std::string_view path;
};
inline quor_file_rows stream_quor_file(std::string_view path) { return {path}; }

outcome<column_table> parse_thermoprop(std::string_view path);
outcome<double> parse_volume_density(std::string_view path);
outcome<column_table> parse_bond_angle(std::string_view path);
outcome<std::uint64_t> read_group_count(std::string_view log_path, std::string_view group_name);

}  // namespace quor
