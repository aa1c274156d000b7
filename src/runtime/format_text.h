// printf-style messages written straight into a caller's buffer, with only the conversions the
// actions' messages use: %s, %d and %u. Small on purpose: the runtime's own formatter would
// bring its whole floating-point and wide-character engine into the DLL.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <type_traits>

namespace zelk {

// One argument of FormatText: a NUL-terminated text (null reads as "") or an integer. The
// integers are those of the Windows types on either data model: DWORD and LONG are unsigned
// and int on the host, unsigned long and long on Windows.
class FormatArg {
  public:
    enum class Kind { Text, Signed, Unsigned };

    FormatArg(const char* text) : text_(text) {}
    FormatArg(int value) : signed_(value), kind_(Kind::Signed) {}
    FormatArg(long value) : signed_(value), kind_(Kind::Signed) {}
    FormatArg(unsigned value) : unsigned_(value), kind_(Kind::Unsigned) {}
    FormatArg(unsigned long value) : unsigned_(value), kind_(Kind::Unsigned) {}

    Kind kind() const { return kind_; }
    const char* text() const { return text_ != nullptr ? text_ : ""; }
    long long signedValue() const { return signed_; }
    unsigned long long unsignedValue() const { return unsigned_; }

    // The kind an argument of type T takes; no other type is an argument.
    template <typename T>
    static consteval Kind KindOf() {
        using Value = std::decay_t<T>;
        if constexpr (std::is_convertible_v<Value, const char*>) {
            return Kind::Text;
        } else if constexpr (std::is_same_v<Value, int> || std::is_same_v<Value, long>) {
            return Kind::Signed;
        } else {
            static_assert(std::is_same_v<Value, unsigned> || std::is_same_v<Value, unsigned long>,
                          "FormatText takes texts, int, long, unsigned and unsigned long");
            return Kind::Unsigned;
        }
    }

  private:
    const char* text_ = nullptr;
    long long signed_ = 0;
    unsigned long long unsigned_ = 0;
    Kind kind_ = Kind::Text;
};

// True when `format` has exactly one conversion per argument, each of the argument's kind:
// %s a text, %d a signed and %u an unsigned integer ("%%" is one "%").
template <typename... Args>
constexpr bool FormatMatches(const char* format) {
    constexpr FormatArg::Kind kinds[] = {FormatArg::KindOf<Args>()..., FormatArg::Kind::Text};
    size_t next = 0;
    for (const char* at = format; *at != '\0'; ++at) {
        if (*at != '%') {
            continue;
        }
        ++at;
        if (*at == '%') {
            continue;
        }
        const bool known = *at == 's' || *at == 'd' || *at == 'u';
        if (!known || next == sizeof...(Args)) {
            return false;
        }
        const FormatArg::Kind wanted = *at == 's'   ? FormatArg::Kind::Text
                                       : *at == 'd' ? FormatArg::Kind::Signed
                                                    : FormatArg::Kind::Unsigned;
        if (kinds[next++] != wanted) {
            return false;
        }
    }
    return next == sizeof...(Args);
}

// Called only where a format does not match its arguments, which stops the compilation.
void FormatDoesNotMatchItsArguments();

// A format checked against its arguments while compiling.
template <typename... Args>
class FormatString {
  public:
    // Implicit, so that a literal stands where the format is asked for.
    consteval FormatString(const char* format) : format_(format) {
        if (!FormatMatches<Args...>(format)) {
            FormatDoesNotMatchItsArguments();
        }
    }
    const char* get() const { return format_; }

  private:
    const char* format_;
};

// Writes `format` into `buffer` with each %s, %d and %u replaced by the next argument ("%%" is
// one "%"), as snprintf would: at most `size` - 1 characters and a NUL, nothing when `size`
// is 0; a cut that would leave a double-byte character's lead byte alone drops it too.
// Returns the length of the whole message, so a result of `size` or more means it was cut. A
// conversion without an argument, or of another kind, is written as it stands.
size_t FormatTextList(char* buffer, size_t size, const char* format,
                      std::initializer_list<FormatArg> args);

// FormatTextList with a literal format that must match the arguments.
template <typename... Args>
size_t FormatText(char* buffer, size_t size, FormatString<std::type_identity_t<Args>...> format,
                  const Args&... args) {
    return FormatTextList(buffer, size, format.get(), {FormatArg(args)...});
}

}  // namespace zelk
