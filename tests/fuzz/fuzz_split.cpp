// split and the piece count on arbitrary text and separators: split yields
// exactly the runs between separators, never an empty piece or one holding a
// separator, never writes past the pieces it reports, and the count agrees
// with the occurrences.
#include "text_util.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // First byte: separator length (0..3); then the separators; then the text.
    const size_t sep_len = std::min<size_t>(data[0] % 4, size - 1);
    const std::string separator(reinterpret_cast<const char *>(data + 1), sep_len);
    std::string text(reinterpret_cast<const char *>(data + 1 + sep_len), size - 1 - sep_len);
    const std::string original = text;

    // Room for the worst case, plus a guard entry that must stay untouched.
    std::vector<char *> dest(text.size() / 2 + 2, nullptr);
    char guard_value = 0;
    dest.back() = &guard_value;
    const int n = split_pieces(text.data(), separator.c_str(), dest.data());
    if (n < 0 || size_t(n) > text.size() / 2 + 1)
        abort();
    for (int i = 0; i < n; ++i) {
        const char *piece = dest[size_t(i)];
        if (piece < text.data() || piece >= text.data() + text.size() || *piece == '\0')
            abort();
        for (const char *p = piece; *p; ++p) {
            if (std::strchr(separator.c_str(), *p) != nullptr)
                abort();
        }
    }
    if (dest.back() != &guard_value)
        abort();

    // Worked out apart: the pieces are the runs of non-separator bytes, in
    // order, of the text up to its first NUL (where C strings end).
    const std::string seps(separator.c_str());
    const std::string c_text(original.c_str());
    std::vector<size_t> starts;
    for (size_t i = 0; !seps.empty() && i < c_text.size(); ++i)
        if (seps.find(c_text[i]) == std::string::npos &&
            (i == 0 || seps.find(c_text[i - 1]) != std::string::npos))
            starts.push_back(i);
    if (size_t(n) != starts.size())
        abort();
    for (size_t i = 0; i < starts.size(); ++i) {
        const size_t length = c_text.find_first_of(seps, starts[i]) == std::string::npos
                                  ? c_text.size() - starts[i]
                                  : c_text.find_first_of(seps, starts[i]) - starts[i];
        if (dest[i] != text.data() + starts[i] || std::strlen(dest[i]) != length)
            abort();
    }

    const QString src = QString::fromLatin1(original.data(), int(original.size()));
    const QString sep = QString::fromLatin1(separator.data(), int(separator.size()));
    const int count = count_pieces(src, sep);
    if (!sep.isEmpty()) {
        int occurrences = 0; // without overlaps, as splitting consumes them
        for (int at = src.indexOf(sep); at >= 0; at = src.indexOf(sep, at + sep.size()))
            ++occurrences;
        if (count != occurrences + 1)
            abort();
    }
    if (count < 1)
        abort();
    return 0;
}
