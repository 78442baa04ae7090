// Decimal numbers in text that comes from outside: /proc, the kernel's lists
// of children, the tree listing, the runtime service's requests. One parser
// for all of them, so that all refuse the same things (no Qt, no bus here).
#pragma once

#include <optional>

// The value of the code units [begin, end) when every one is an ASCII digit
// and the number is at most max; nullopt for no units, any other unit (a
// blank, a sign, a digit of another script) or a larger number. Unit is a
// byte or a UTF-16 code unit (QString::utf16()).
template <typename Unit>
std::optional<unsigned long long> parse_decimal(const Unit *begin, const Unit *end,
                                                unsigned long long max = ~0ULL)
{
    if (begin == end)
        return std::nullopt;
    unsigned long long value = 0;
    for (const Unit *p = begin; p != end; ++p) {
        // A signed byte above 0x7f turns into a huge code: no digit either.
        const auto code = static_cast<unsigned long long>(*p);
        if (code < '0' || code > '9')
            return std::nullopt;
        const unsigned long long digit = code - '0';
        // value * 10 + digit <= max, asked without overflowing.
        if (digit > max || value > (max - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}
