// The parse floor of the reader benchmark: the time fast_float takes to turn every
// field of a table already in memory into a double, with the simplest possible
// field splitting (ASCII blanks and line feeds; lines starting with '#' skipped).
// Built by bench_parse_quor_file.py when the fast_float headers are installed.
//
// Usage: parse_floor FILE REPEATS   prints the best wall and CPU times in seconds,
// the field count and a checksum.
#include <fast_float/fast_float.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    std::ifstream in(argv[1], std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const int repeats = std::atoi(argv[2]);
    const auto cpu_seconds = [] {
        timespec now{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
        return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
    };
    double best = 1e300, best_cpu = 1e300, checksum = 0;
    long fields = 0;
    for (int r = 0; r < repeats; ++r) {
        const double cpu_start = cpu_seconds();
        const auto start = std::chrono::steady_clock::now();
        const char* p = text.data();
        const char* const end = p + text.size();
        double sum = 0;
        long count = 0;
        while (p < end) {
            if (*p == '#') {
                while (p < end && *p != '\n') ++p;
                continue;
            }
            if (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t') {
                ++p;
                continue;
            }
            double value;
            const auto parsed = fast_float::from_chars(p, end, value);
            if (parsed.ec != std::errc()) return 1;
            sum += value;
            ++count;
            p = parsed.ptr;
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double cpu = cpu_seconds() - cpu_start;
        if (seconds < best) best = seconds;
        if (cpu < best_cpu) best_cpu = cpu;
        checksum = sum;
        fields = count;
    }
    std::printf("%.6f %.6f %ld %.17g\n", best, best_cpu, fields, checksum);
    return 0;
}
