#include "runtime/format_text.h"

#include "runtime/ansi_text.h"

namespace zelk {
namespace {

// Appends to a buffer, cutting at its end but counting every character offered.
class BoundedWriter {
  public:
    BoundedWriter(char* buffer, size_t size) : buffer_(buffer), size_(size) {}

    void Put(char ch) {
        if (length_ + 1 < size_) {
            buffer_[length_] = ch;
        }
        ++length_;
    }
    void Put(const char* text) {
        for (; *text != '\0'; ++text) {
            Put(*text);
        }
    }
    void PutDecimal(unsigned long long value) {
        constexpr unsigned kBase = 10;
        char digits[24];
        size_t count = 0;
        do {
            digits[count++] = static_cast<char>('0' + value % kBase);
            value /= kBase;
        } while (value != 0);
        while (count > 0) {
            Put(digits[--count]);
        }
    }
    size_t Finish() {
        if (size_ > 0) {
            buffer_[length_ < size_ ? length_ : size_ - 1] = '\0';
        }
        return length_;
    }

  private:
    char* buffer_;
    size_t size_;
    size_t length_ = 0;
};

// Writes the argument for `conversion` (the letter after "%"); false when it does not match.
bool PutArg(BoundedWriter& out, char conversion, const FormatArg& arg) {
    if (conversion == 's' && arg.kind() == FormatArg::Kind::Text) {
        out.Put(arg.text());
    } else if (conversion == 'u' && arg.kind() == FormatArg::Kind::Unsigned) {
        out.PutDecimal(arg.unsignedValue());
    } else if (conversion == 'd' && arg.kind() == FormatArg::Kind::Signed) {
        const long long value = arg.signedValue();
        auto magnitude = static_cast<unsigned long long>(value);
        if (value < 0) {
            out.Put('-');
            magnitude = 0 - magnitude;  // also for the lowest value, which has no positive
        }
        out.PutDecimal(magnitude);
    } else {
        return false;
    }
    return true;
}

}  // namespace

size_t FormatTextList(char* buffer, size_t size, const char* format,
                      std::initializer_list<FormatArg> args) {
    BoundedWriter out(buffer, size);
    const FormatArg* next = args.begin();
    for (const char* at = format; *at != '\0'; ++at) {
        const bool conversion = *at == '%' && at[1] != '\0';
        if (conversion && at[1] == '%') {
            out.Put('%');
            ++at;
        } else if (conversion && next != args.end() && PutArg(out, at[1], *next)) {
            ++next;
            ++at;
        } else {
            out.Put(*at);  // plain text, or a conversion written as it stands
        }
    }
    const size_t length = out.Finish();
    if (length >= size) {
        EndOnWholeCharacter(buffer, size);  // a message cut short keeps no half character
    }
    return length;
}

}  // namespace zelk
