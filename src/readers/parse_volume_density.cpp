// Reader of volume.dat and density.dat: the value of the first data row.
#include <string>

#include "readers/lines.h"
#include "readers/number.h"
#include "readers/readers.h"
#include "readers/text_file.h"

namespace quor {

outcome<double> parse_volume_density(std::string_view path) {
    auto read = read_text_file(path);
    if (!read.ok()) return read.failure();

    line_cursor lines(read.value().view());
    lines.skip();  // two header lines, whatever they hold
    lines.skip();
    std::string_view line;
    while (lines.next(line)) {
        // The timestep field is never examined; '#' is an ordinary character here.
        field_cursor fields(line);
        std::string_view timestep, value;
        if (!fields.next(timestep) || !fields.next(value)) continue;
        if (const auto number = parse_number(value)) return *number;
    }
    std::string message = "No numeric data found in ";
    message += path;
    return value_error(std::move(message));
}

}  // namespace quor
