// printf-style messages written straight into a caller's buffer, with only the conversions the
// actions' messages use: %s, %d and %u. Small on purpose: the runtime's own formatter would
// bring its whole floating-point and wide-character engine into the DLL.
#pragma once

#include <cstddef>
#include <initializer_list>

namespace zelk {

// One argument of FormatText: a NUL-terminated text (null reads as "") or an integer; it
// converts implicitly so that calls read like printf.
class FormatArg {
  public:
    FormatArg(const char* text) : text_(text) {}
    FormatArg(int value) : signed_(value), kind_(Kind::Signed) {}
    FormatArg(unsigned value) : unsigned_(value), kind_(Kind::Unsigned) {}

    enum class Kind { Text, Signed, Unsigned };
    Kind kind() const { return kind_; }
    const char* text() const { return text_ != nullptr ? text_ : ""; }
    int signedValue() const { return signed_; }
    unsigned unsignedValue() const { return unsigned_; }

  private:
    const char* text_ = nullptr;
    int signed_ = 0;
    unsigned unsigned_ = 0;
    Kind kind_ = Kind::Text;
};

// Writes `format` into `buffer` with each %s, %d and %u replaced by the next argument ("%%" is
// one "%"), as snprintf would: at most `size` - 1 characters and a NUL, nothing when `size`
// is 0; a cut that would leave a double-byte character's lead byte alone drops it too.
// Returns the length of the whole message, so a result of `size` or more means it was cut. A
// conversion without an argument, or of another kind, is written as it stands.
size_t FormatTextList(char* buffer, size_t size, const char* format,
                      std::initializer_list<FormatArg> args);

template <typename... Args>
size_t FormatText(char* buffer, size_t size, const char* format, const Args&... args) {
    return FormatTextList(buffer, size, format, {FormatArg(args)...});
}

}  // namespace zelk
