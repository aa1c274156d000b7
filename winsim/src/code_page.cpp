#include "code_page.h"

#include "core.h"

namespace winsim::detail {
namespace {

using Byte = unsigned char;

// 1252 letters outside ASCII whose other case is also in 1252: Š Œ Ž Ÿ and À-Þ (not ×).
int Fold1252(Byte c, bool upper) {
    static const Byte pairs[][2] = {{0x8A, 0x9A}, {0x8C, 0x9C}, {0x8E, 0x9E}, {0x9F, 0xFF}};
    for (const auto& pair : pairs) {
        if (c == pair[upper ? 1 : 0]) {
            return pair[upper ? 0 : 1];
        }
    }
    if (!upper && c >= 0xC0 && c <= 0xDE && c != 0xD7) {
        return c + 0x20;
    }
    if (upper && c >= 0xE0 && c <= 0xFE && c != 0xF7) {
        return c - 0x20;
    }
    return c;
}

// A 932 letter's trail byte in the other case: full-width A-Z (0x8260-0x8279) and a-z
// (0x8281-0x829A); Greek capitals (0x839F-0x83B6) and small letters (0x83BF-0x83D6).
int Fold932(Byte lead, Byte trail, bool upper) {
    // Lead byte, trail bytes of the first and last capital, distance to the small letters.
    static const Byte ranges[][4] = {{0x82, 0x60, 0x79, 0x21}, {0x83, 0x9F, 0xB6, 0x20}};
    for (const auto& [rangeLead, first, last, distance] : ranges) {
        const int from = upper ? first + distance : first;
        if (lead == rangeLead && trail >= from && trail <= from + (last - first)) {
            return upper ? trail - distance : trail + distance;
        }
    }
    return trail;
}

// The length of the character at `index`: 2 for a lead byte with its trail byte, else 1.
size_t CharacterLength(const std::string& text, size_t index, bool doubleByte) {
    return doubleByte && index + 1 < text.size() && IsLeadByte(static_cast<Byte>(text[index])) ? 2
                                                                                               : 1;
}

std::string Fold(const std::string& text, bool upper) {
    const UINT codePage = CodePage();
    const bool doubleByte = codePage == 932;
    std::string folded = text;
    for (size_t i = 0; i < folded.size(); i += CharacterLength(text, i, doubleByte)) {
        auto first = static_cast<Byte>(folded[i]);
        if (CharacterLength(text, i, doubleByte) == 2) {
            folded[i + 1] =
                static_cast<char>(Fold932(first, static_cast<Byte>(folded[i + 1]), upper));
        } else if (upper && first >= 'a' && first <= 'z') {
            folded[i] = static_cast<char>(first - 0x20);
        } else if (!upper && first >= 'A' && first <= 'Z') {
            folded[i] = static_cast<char>(first + 0x20);
        } else if (codePage == 1252) {
            folded[i] = static_cast<char>(Fold1252(first, upper));
        }
    }
    return folded;
}

}  // namespace

std::vector<std::string> Characters(const std::string& text) {
    const bool doubleByte = CodePage() == 932;
    std::vector<std::string> characters;
    for (size_t i = 0; i < text.size();) {
        const size_t length = CharacterLength(text, i, doubleByte);
        characters.push_back(text.substr(i, length));
        i += length;
    }
    return characters;
}

std::vector<std::string> Components(const std::string& text, const std::string& separators) {
    const bool doubleByte = CodePage() == 932;
    std::vector<std::string> components(1);
    for (size_t i = 0; i < text.size();) {
        const size_t length = CharacterLength(text, i, doubleByte);
        if (length == 1 && separators.find(text[i]) != std::string::npos) {
            components.emplace_back();
        } else {
            components.back().append(text, i, length);
        }
        i += length;
    }
    return components;
}

std::string Upper(const std::string& text) {
    return Fold(text, true);
}

std::string Lower(const std::string& text) {
    return Fold(text, false);
}

size_t Utf16Length(const std::string& text) {
    return Characters(text).size();
}

}  // namespace winsim::detail
