#include "runtime/ansi_text.h"

#include "platform/win32.h"

#include <algorithm>
#include <vector>

namespace zelk {

size_t LengthWithin(const char* text, size_t limit) {
    return static_cast<size_t>(std::find(text, text + limit, '\0') - text);
}

bool IsDoubleByteAt(const std::string& text, size_t index) {
    return index + 1 < text.size() && IsDBCSLeadByte(static_cast<BYTE>(text[index]));
}

size_t FindLastChar(const std::string& text, char ch) {
    size_t found = kNotFound;
    for (size_t i = 0; i < text.size(); ++i) {
        if (IsDoubleByteAt(text, i)) {
            ++i;
        } else if (text[i] == ch) {
            found = i;
        }
    }
    return found;
}

void EndOnWholeCharacter(char* text, size_t size) {
    if (size == 0) {
        return;
    }
    const std::string filled(text, LengthWithin(text, size));
    if (filled.size() + 1 < size) {
        return;  // not cut: the text ends where it was written
    }
    size_t last = 0;
    for (size_t i = 0; i < filled.size(); i += IsDoubleByteAt(filled, i) ? 2 : 1) {
        last = i;
    }
    if (!filled.empty() && last + 1 == filled.size() &&
        IsDBCSLeadByte(static_cast<BYTE>(filled[last]))) {
        text[last] = '\0';
    }
}

namespace {

std::string MapCase(const std::string& text, DWORD mapping) {
    if (text.empty()) {
        return text;
    }
    const int length = static_cast<int>(text.size());
    int needed = LCMapStringA(LOCALE_SYSTEM_DEFAULT, mapping, text.data(), length, nullptr, 0);
    if (needed <= 0) {
        return text;  // no mapping available: compare and look up as written
    }
    std::vector<char> mapped(static_cast<size_t>(needed));
    int written =
        LCMapStringA(LOCALE_SYSTEM_DEFAULT, mapping, text.data(), length, mapped.data(), needed);
    if (written <= 0) {
        return text;
    }
    return std::string(mapped.data(), static_cast<size_t>(written));
}

}  // namespace

std::string ToLowerAnsi(const std::string& text) {
    return MapCase(text, LCMAP_LOWERCASE);
}

std::string ToUpperAnsi(const std::string& text) {
    return MapCase(text, LCMAP_UPPERCASE);
}

bool EqualsIgnoreCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;  // case mapping in these code pages keeps the byte length
    }
    return a == b || ToUpperAnsi(a) == ToUpperAnsi(b);
}

}  // namespace zelk
