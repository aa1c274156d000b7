// Text in the system's ANSI code page: searches that treat a double-byte character as one
// character, and case mapping through the system's tables.
#pragma once

#include <cstddef>
#include <string>

namespace zelk {

constexpr size_t kNotFound = static_cast<size_t>(-1);

// Byte index of the last `ch` that is a character of its own (not the trail byte of a
// double-byte character), or kNotFound.
size_t FindLastChar(const std::string& text, char ch);

// Length of the text at `text`, looking no further than `limit` bytes.
size_t LengthWithin(const char* text, size_t limit);

// True when the byte at `index` starts a double-byte character that has its trail byte.
bool IsDoubleByteAt(const std::string& text, size_t index);

// Drops a lead byte left alone at the end of a text that fills its `size`-byte buffer, so that
// a message cut short there ends on a whole character.
void EndOnWholeCharacter(char* text, size_t size);

std::string ToLowerAnsi(const std::string& text);
std::string ToUpperAnsi(const std::string& text);

// Equality without regard to case, in the system's ANSI code page.
bool EqualsIgnoreCase(const std::string& a, const std::string& b);

}  // namespace zelk
