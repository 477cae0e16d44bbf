// Reader of volume.dat and density.dat: the value of the first data row.
#include <string>

#include "readers/fields.h"
#include "readers/line_reader.h"
#include "readers/number.h"
#include "readers/readers.h"

namespace quor {

outcome<double> parse_volume_density(std::string_view path) {
    auto opened = line_reader::open(path);
    if (!opened.ok()) return opened.failure();
    line_reader& lines = opened.value();

    lines.skip();  // two header lines, whatever they hold
    lines.skip();
    std::string_view line;
    while (lines.next(line)) {
        // The timestep field is never examined; '#' is an ordinary character here.
        field_cursor fields(line);
        std::string_view timestep, value;
        if (!fields.next(timestep) || !fields.next(value)) continue;
        const auto number = parse_number(value);
        if (!number) continue;
        if (lines.finish()) return *lines.failure();
        return *number;
    }
    return lines.failure_or(value_error("No numeric data found in " + std::string(path)));
}

}  // namespace quor
