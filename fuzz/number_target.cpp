// Differential fuzz target for the number grammar of data fields. An independent
// acceptor decides which fields are numbers and glibc's strtod (correctly rounded)
// gives their values; parse_number and scan_number must agree with both, bit for bit.
//
// The first byte chooses the mode. Even (the seeds start with a space): the rest is
// a raw field. Odd: the rest is turned into a token that the grammar accepts (sign,
// digits, point, exponent, or a word), so that every branch of the conversion is
// reached often, not only by chance.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "readers/number.h"

namespace {

[[noreturn]] void fail(const char* what, std::string_view field) {
    std::fprintf(stderr, "fuzz check failed: %s on field \"", what);
    for (const char c : field) std::fprintf(stderr, (c >= 0x20 && c < 0x7f) ? "%c" : "\\x%02x", c & 0xff);
    std::fprintf(stderr, "\"\n");
    std::abort();
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool is_word(std::string_view text, std::string_view word) {
    if (text.size() != word.size()) return false;
    for (std::size_t k = 0; k < text.size(); ++k)
        if (lower(text[k]) != word[k]) return false;
    return true;
}

// Whether `field` is a decimal number: digits with at most one point, at least
// one digit, then an optional exponent with at least one digit.
bool is_decimal(std::string_view field) {
    std::size_t k = 0, digits = 0;
    while (k < field.size() && is_digit(field[k])) ++k, ++digits;
    if (k < field.size() && field[k] == '.') {
        ++k;
        while (k < field.size() && is_digit(field[k])) ++k, ++digits;
    }
    if (digits == 0) return false;
    if (k < field.size() && (field[k] == 'e' || field[k] == 'E')) {
        ++k;
        if (k < field.size() && (field[k] == '+' || field[k] == '-')) ++k;
        if (k == field.size() || !is_digit(field[k])) return false;
        while (k < field.size() && is_digit(field[k])) ++k;
    }
    return k == field.size();
}

// The reference: the value of `field` if it is a number, from first principles.
std::optional<double> reference_number(std::string_view field) {
    std::string_view body = field;
    bool negative = false;
    if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
        negative = body[0] == '-';
        body.remove_prefix(1);
    }
    double value;
    if (is_word(body, "inf") || is_word(body, "infinity")) {
        value = std::numeric_limits<double>::infinity();
    } else if (is_word(body, "nan")) {
        value = std::numeric_limits<double>::quiet_NaN();
    } else if (is_decimal(body)) {
        // strtod rounds correctly and saturates to infinity or zero like the grammar.
        const std::string text(body);
        char* end = nullptr;
        value = std::strtod(text.c_str(), &end);
        if (end != text.c_str() + text.size()) fail("strtod stopped early", field);
    } else {
        return std::nullopt;
    }
    return negative ? -value : value;
}

std::uint64_t bits(double value) {
    std::uint64_t out;
    std::memcpy(&out, &value, sizeof out);
    return out;
}

void check_value(std::string_view field, const std::optional<double>& got,
                 const std::optional<double>& expected) {
    if (got.has_value() != expected.has_value())
        fail(expected ? "a number was rejected" : "a non-number was accepted", field);
    if (got && bits(*got) != bits(*expected)) fail("wrong value", field);
}

// Checks parse_number on the whole field, and scan_number on it: where the scan
// stops, the prefix read must itself be a number of the same value.
void check_field(std::string_view field) {
    const std::optional<double> expected = reference_number(field);
    check_value(field, quor::parse_number(field), expected);

    double scanned = 0.0;
    const char* const end = field.data() + field.size();
    const char* const stop = quor::scan_number(field.data(), end, scanned);
    if ((stop == end) != expected.has_value()) fail("scan_number disagrees on the whole field", field);
    if (stop != nullptr) {
        if (stop < field.data() || stop > end) fail("scan_number stopped outside the field", field);
        const std::string_view prefix(field.data(), static_cast<std::size_t>(stop - field.data()));
        check_value(prefix, scanned, reference_number(prefix));
    }
}

// Builds a token the grammar accepts from the input bytes.
class token_builder {
public:
    token_builder(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}

    std::string build() {
        std::string token;
        const unsigned shape = next();
        if (shape % 3 == 1) token += '+';
        if (shape % 3 == 2) token += '-';
        switch ((shape / 3) % 8) {
            case 0: return token + mixed_case("inf");
            case 1: return token + mixed_case("infinity");
            case 2: return token + mixed_case("nan");
            default: break;
        }
        const std::size_t integer_digits = next() % 45;
        const bool point = (next() & 1) != 0;
        std::size_t fraction_digits = point ? next() % 45 : 0;
        if (integer_digits + fraction_digits == 0) fraction_digits = 1;
        token += digits(integer_digits);
        if (point || integer_digits == 0) token += '.';
        token += digits(fraction_digits);
        const unsigned exponent = next();
        if (exponent % 4 != 0) {
            token += (exponent & 4) ? 'E' : 'e';
            if (exponent & 8) token += (exponent & 16) ? '-' : '+';
            token += digits(1 + next() % 24, /*exponent=*/true);
        }
        return token;
    }

private:
    unsigned next() { return p_ < end_ ? *p_++ : 0; }

    std::string mixed_case(std::string_view word) {
        const unsigned mask = next();
        std::string out(word);
        for (std::size_t k = 0; k < out.size(); ++k)
            if ((mask >> (k % 8)) & 1) out[k] = static_cast<char>(out[k] - 'a' + 'A');
        return out;
    }

    // Digits drawn from the input, with runs of 0 and 9 common (they reach the
    // halfway and carry cases of rounding) and exponents near the double range.
    std::string digits(std::size_t count, bool exponent = false) {
        std::string out;
        for (std::size_t k = 0; k < count; ++k) {
            const unsigned byte = next();
            char digit;
            if (byte < 64) digit = '0';
            else if (byte < 96) digit = '9';
            else digit = static_cast<char>('0' + byte % 10);
            if (exponent && k == 0 && byte >= 200) {
                out += (byte & 1) ? "30" : "32";  // around the largest and smallest doubles
                continue;
            }
            out += digit;
        }
        return out;
    }

    const std::uint8_t* p_;
    const std::uint8_t* const end_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    if ((data[0] & 1) == 0) {
        check_field(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
        return 0;
    }
    const std::string token = token_builder(data + 1, size - 1).build();
    if (!reference_number(token)) fail("the builder made a non-number", token);
    check_field(token);
    // The scan stops where the token ends when a separator follows it.
    for (const char separator : {' ', ',', '\t', '#'}) {
        const std::string followed = token + separator;
        double value = 0.0;
        const char* const stop = quor::scan_number(followed.data(), followed.data() + followed.size(), value);
        if (stop != followed.data() + token.size()) fail("scan_number did not stop at the separator", followed);
    }
    return 0;
}
