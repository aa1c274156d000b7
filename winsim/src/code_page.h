// Names as Windows reads them: ANSI text is taken character by character in the process's code
// page (Windows converts it to UTF-16 before it parses anything), so a double-byte character is
// never split, its trail byte is no separator and no ASCII letter, and case folding covers the
// letters of the code page. Registry keys, files and the test helpers all parse through here.
// Internal to winsim.
#pragma once

#include <string>
#include <vector>

namespace winsim::detail {

// The process's ANSI code page, and whether a byte leads a double-byte character in it.
unsigned CodePage();
bool IsLeadByte(unsigned char c);

// The characters of `text`: one or two bytes each (a lead byte with its trail byte).
std::vector<std::string> Characters(const std::string& text);

// `text` cut at every character that is one of `separators`; empty components are kept.
std::vector<std::string> Components(const std::string& text, const std::string& separators);

// Upper- or lower-case letters of the code page (ASCII, and the letters of 1252; in 932 the
// full-width Latin and Greek letters); every other character is left as it is.
std::string Upper(const std::string& text);
std::string Lower(const std::string& text);

// Length of `text` in UTF-16 code units, as the registry stores it.
size_t Utf16Length(const std::string& text);

}  // namespace winsim::detail
