#include "condition.h"

#include <cctype>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace zelk::checker {
namespace {

enum class Kind { Value, Open, Close, Compare, Not, And, Or, Xor, Eqv, Imp, End };

enum class Op { Equal, NotEqual, Less, Greater, LessEqual, GreaterEqual, Contains, Starts, Ends };

struct Operand {
    bool integer = false;
    long long number = 0;
    std::string text;
    // A property or a state, whose text is compared as a number when it reads as one.
    bool symbol = false;
    // A property's bare name; empty for literals, states and environment variables.
    std::string name;
};

struct Token {
    Kind kind = Kind::End;
    Operand value;
    Op op = Op::Equal;
    bool caseBlind = false;
};

bool IsNameStart(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) != 0 || c == '_';
}

bool IsNameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '.';
}

std::string Upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

std::optional<long long> AsNumber(const std::string& text) {
    std::size_t digits = text.size() > 0 && text[0] == '-' ? 1 : 0;
    if (digits == text.size() || text.size() > 18) {
        return std::nullopt;
    }
    for (std::size_t i = digits; i < text.size(); ++i) {
        if (std::isdigit(static_cast<unsigned char>(text[i])) == 0) {
            return std::nullopt;
        }
    }
    long long number = 0;
    const char* end = text.data() + text.size();
    const auto [stop, failure] = std::from_chars(text.data(), end, number);
    if (failure != std::errc() || stop != end) {
        return std::nullopt;
    }
    return number;
}

class Lexer {
  public:
    Lexer(const std::string& text, const ConditionSymbols& symbols)
        : text_(text), symbols_(symbols) {}

    // Every token up to End; nothing for a text that holds no valid token sequence.
    std::optional<std::vector<Token>> Tokens() {
        std::vector<Token> tokens;
        for (;;) {
            std::optional<Token> token = Next();
            if (!token) {
                return std::nullopt;
            }
            tokens.push_back(*token);
            if (token->kind == Kind::End) {
                return tokens;
            }
        }
    }

  private:
    char Peek(std::size_t ahead = 0) const {
        return at_ + ahead < text_.size() ? text_[at_ + ahead] : '\0';
    }

    std::string Name() {
        const std::size_t start = at_;
        while (IsNameChar(Peek())) {
            ++at_;
        }
        return text_.substr(start, at_ - start);
    }

    static Token Word(Kind kind) { return Token{kind, {}, Op::Equal, false}; }

    static Token Value(Operand operand) {
        return Token{Kind::Value, std::move(operand), Op::Equal, false};
    }

    std::optional<Token> Comparison(bool caseBlind) {
        static const std::pair<const char*, Op> kOperators[] = {
            {"<>", Op::NotEqual}, {"<=", Op::LessEqual}, {">=", Op::GreaterEqual},
            {"><", Op::Contains}, {"<<", Op::Starts},    {">>", Op::Ends},
            {"=", Op::Equal},     {"<", Op::Less},       {">", Op::Greater},
        };
        for (const auto& [spelling, op] : kOperators) {
            const std::string_view text(spelling);
            if (text_.compare(at_, text.size(), text) == 0) {
                at_ += text.size();
                return Token{Kind::Compare, {}, op, caseBlind};
            }
        }
        return std::nullopt;
    }

    std::optional<Token> Symbol(char prefix) {
        if (!IsNameStart(Peek())) {
            return std::nullopt;
        }
        const std::string name = Name();
        Operand operand;
        operand.symbol = true;
        if (prefix == '%') {
            return Value(operand);
        }
        const auto state = symbols_.states.find(std::string(1, prefix) + name);
        if (state != symbols_.states.end()) {
            operand.integer = true;
            operand.number = state->second;
        }
        return Value(operand);
    }

    std::optional<Token> Next() {
        while (std::isspace(static_cast<unsigned char>(Peek())) != 0) {
            ++at_;
        }
        const char c = Peek();
        if (c == '\0') {
            return Word(Kind::End);
        }
        if (c == '(' || c == ')') {
            ++at_;
            return Word(c == '(' ? Kind::Open : Kind::Close);
        }
        if (c == '~') {
            ++at_;
            return Comparison(true);
        }
        if (c == '=' || c == '<' || c == '>') {
            return Comparison(false);
        }
        if (c == '"') {
            const std::size_t close = text_.find('"', at_ + 1);
            if (close == std::string::npos) {
                return std::nullopt;
            }
            Operand literal;
            literal.text = text_.substr(at_ + 1, close - at_ - 1);
            at_ = close + 1;
            return Value(literal);
        }
        if (std::isdigit(static_cast<unsigned char>(c)) != 0 ||
            (c == '-' && std::isdigit(static_cast<unsigned char>(Peek(1))) != 0)) {
            const std::size_t start = at_++;
            while (std::isdigit(static_cast<unsigned char>(Peek())) != 0) {
                ++at_;
            }
            const std::optional<long long> number = AsNumber(text_.substr(start, at_ - start));
            if (!number) {
                return std::nullopt;
            }
            Operand literal;
            literal.integer = true;
            literal.number = *number;
            return Value(literal);
        }
        if (c == '%' || c == '$' || c == '?' || c == '&' || c == '!') {
            ++at_;
            return Symbol(c);
        }
        if (!IsNameStart(c)) {
            return std::nullopt;
        }
        const std::string name = Name();
        const std::string word = Upper(name);
        static const std::pair<const char*, Kind> kKeywords[] = {
            {"NOT", Kind::Not}, {"AND", Kind::And}, {"OR", Kind::Or},
            {"XOR", Kind::Xor}, {"EQV", Kind::Eqv}, {"IMP", Kind::Imp},
        };
        for (const auto& [keyword, kind] : kKeywords) {
            if (word == keyword) {
                return Word(kind);
            }
        }
        Operand property;
        property.symbol = true;
        property.name = name;
        const auto value = symbols_.properties.find(name);
        if (value != symbols_.properties.end()) {
            property.text = value->second;
        }
        return Value(property);
    }

    const std::string& text_;
    const ConditionSymbols& symbols_;
    std::size_t at_ = 0;
};

std::string Folded(std::string text, bool caseBlind) {
    return caseBlind ? Upper(std::move(text)) : text;
}

bool Ordered(Op op, int order) {
    switch (op) {
        case Op::Equal:
            return order == 0;
        case Op::NotEqual:
            return order != 0;
        case Op::Less:
            return order < 0;
        case Op::Greater:
            return order > 0;
        case Op::LessEqual:
            return order <= 0;
        case Op::GreaterEqual:
            return order >= 0;
        default:
            return false;
    }
}

template <typename T>
int OrderOf(const T& left, const T& right) {
    return left < right ? -1 : right < left ? 1 : 0;
}

// The number an operand stands for in a comparison with an integer: a property's or state's
// value is converted, a quoted literal never is.
std::optional<long long> NumberOf(const Operand& operand) {
    if (operand.integer) {
        return operand.number;
    }
    return operand.symbol ? AsNumber(operand.text) : std::nullopt;
}

// Between two integers the substring operators test bits: "><" any bit in common, "<<" the
// high 16 bits of the left equal to the right, ">>" its low 16 bits.
bool CompareBits(long long left, Op op, long long right) {
    const auto bits = static_cast<std::uint32_t>(left);
    switch (op) {
        case Op::Contains:
            return (left & right) != 0;
        case Op::Starts:
            return static_cast<long long>(bits >> 16) == right;
        default:
            return static_cast<long long>(bits & 0xFFFFU) == right;
    }
}

bool CompareNumbers(long long left, Op op, long long right) {
    if (op == Op::Contains || op == Op::Starts || op == Op::Ends) {
        return CompareBits(left, op, right);
    }
    return Ordered(op, OrderOf(left, right));
}

bool CompareTexts(const std::string& left, Op op, bool caseBlind, const std::string& right) {
    const std::string whole = Folded(left, caseBlind);
    const std::string part = Folded(right, caseBlind);
    switch (op) {
        case Op::Contains:
            return whole.find(part) != std::string::npos;
        case Op::Starts:
            return part.size() <= whole.size() && whole.compare(0, part.size(), part) == 0;
        case Op::Ends:
            return part.size() <= whole.size() &&
                   whole.compare(whole.size() - part.size(), part.size(), part) == 0;
        default:
            return Ordered(op, OrderOf(whole, part));
    }
}

bool Compare(const Operand& left, Op op, bool caseBlind, const Operand& right) {
    // An integer meets a value as a number when the value is a property's that reads as one;
    // against anything else (a quoted literal too) only "<>" holds.
    if (left.integer || right.integer) {
        const std::optional<long long> a = NumberOf(left);
        const std::optional<long long> b = NumberOf(right);
        if (a && b) {
            return CompareNumbers(*a, op, *b);
        }
        return op == Op::NotEqual;
    }
    // Two texts compare as numbers when a property is involved and both read as one.
    if (left.symbol || right.symbol) {
        const std::optional<long long> a = AsNumber(left.text);
        const std::optional<long long> b = AsNumber(right.text);
        if (a && b) {
            return CompareNumbers(*a, op, *b);
        }
    }
    return CompareTexts(left.text, op, caseBlind, right.text);
}

bool Truth(const Operand& operand) {
    return operand.integer ? operand.number != 0 : !operand.text.empty();
}

// Recursive descent, lowest precedence first; nothing for a syntax error.
class Parser {
  public:
    explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

    // Whether the text nests parentheses and NOTs past kMaxConditionNesting, which stops it.
    bool TooDeep() const { return tooDeep_; }

    std::optional<bool> Whole() {
        const std::optional<bool> value = Expression();
        if (!value || Current().kind != Kind::End) {
            return std::nullopt;
        }
        return value;
    }

  private:
    const Token& Current() const { return tokens_[at_]; }

    bool Accept(Kind kind) {
        if (Current().kind != kind) {
            return false;
        }
        ++at_;
        return true;
    }

    static bool Combine(Kind kind, bool a, bool b) {
        switch (kind) {
            case Kind::And:
                return a && b;
            case Kind::Or:
                return a || b;
            case Kind::Xor:
                return a != b;
            case Kind::Eqv:
                return a == b;
            default:
                return !a || b;
        }
    }

    // The binary operators from the loosest (IMP) to the tightest (AND).
    static constexpr Kind kLevels[] = {Kind::Imp, Kind::Eqv, Kind::Xor, Kind::Or, Kind::And};

    std::optional<bool> Expression(std::size_t level = 0) {
        if (level == std::size(kLevels)) {
            return Factor();
        }
        std::optional<bool> value = Expression(level + 1);
        while (value && Accept(kLevels[level])) {
            const std::optional<bool> right = Expression(level + 1);
            value =
                right ? std::optional<bool>(Combine(kLevels[level], *value, *right)) : std::nullopt;
        }
        return value;
    }

    // Counts one level of nesting while it lives.
    class Nesting {
      public:
        explicit Nesting(Parser& parser) : parser_(parser) {
            ++parser_.depth_;
            parser_.tooDeep_ = parser_.tooDeep_ || parser_.depth_ > kMaxConditionNesting;
        }
        ~Nesting() { --parser_.depth_; }
        Nesting(const Nesting&) = delete;
        Nesting& operator=(const Nesting&) = delete;

      private:
        Parser& parser_;
    };

    std::optional<bool> Factor() {
        if (Accept(Kind::Not)) {
            const Nesting nesting(*this);
            const std::optional<bool> value = tooDeep_ ? std::nullopt : Factor();
            return value ? std::optional<bool>(!*value) : std::nullopt;
        }
        if (Accept(Kind::Open)) {
            const Nesting nesting(*this);
            const std::optional<bool> value = tooDeep_ ? std::nullopt : Expression();
            return value && Accept(Kind::Close) ? value : std::nullopt;
        }
        if (Current().kind != Kind::Value) {
            return std::nullopt;
        }
        const Operand left = tokens_[at_++].value;
        if (Current().kind != Kind::Compare) {
            return Truth(left);
        }
        const Token comparison = tokens_[at_++];
        if (Current().kind != Kind::Value) {
            return std::nullopt;
        }
        const Operand right = tokens_[at_++].value;
        return Compare(left, comparison.op, comparison.caseBlind, right);
    }

    std::vector<Token> tokens_;
    std::size_t at_ = 0;
    int depth_ = 0;
    bool tooDeep_ = false;
};

ConditionValue Evaluate(const std::string& condition, const ConditionSymbols& symbols,
                        bool& tooDeep) {
    std::optional<std::vector<Token>> tokens = Lexer(condition, symbols).Tokens();
    if (!tokens) {
        return ConditionValue::Error;
    }
    if (tokens->size() == 1) {
        return ConditionValue::True;
    }
    Parser parser(std::move(*tokens));
    const std::optional<bool> value = parser.Whole();
    tooDeep = parser.TooDeep();
    if (!value) {
        return ConditionValue::Error;
    }
    return *value ? ConditionValue::True : ConditionValue::False;
}

}  // namespace

ConditionValue EvaluateCondition(const std::string& condition, const ConditionSymbols& symbols) {
    bool tooDeep = false;
    return Evaluate(condition, symbols, tooDeep);
}

bool NestsTooDeep(const std::string& condition) {
    bool tooDeep = false;
    Evaluate(condition, {}, tooDeep);
    return tooDeep;
}

std::vector<PropertyRead> PropertiesRead(const std::string& condition) {
    std::vector<PropertyRead> read;
    const std::optional<std::vector<Token>> tokens = Lexer(condition, {}).Tokens();
    if (!tokens) {
        return read;
    }
    for (std::size_t i = 0; i < tokens->size(); ++i) {
        const Token& token = (*tokens)[i];
        if (token.kind == Kind::Value && !token.value.name.empty()) {
            const bool compared = i + 1 < tokens->size() && (*tokens)[i + 1].kind == Kind::Compare;
            read.push_back({token.value.name, compared});
        }
    }
    return read;
}

}  // namespace zelk::checker
