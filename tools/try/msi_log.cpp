// Plain searches: std::regex over a log of a few hundred kilobytes takes minutes.
#include "msi_log.h"

#include <fstream>
#include <string>
#include <iterator>

namespace zelk::trytool {
namespace {

constexpr std::string_view kUtf16Mark = "\xFF\xFE";
constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& text, char32_t point) {
    if (point < 0x80) {
        text += static_cast<char>(point);
    } else if (point < 0x800) {
        text += static_cast<char>(0xC0 | (point >> 6));
        text += static_cast<char>(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
        text += static_cast<char>(0xE0 | (point >> 12));
        text += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (point & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | (point >> 18));
        text += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (point & 0x3F));
    }
}

// Code units after the mark, two bytes each; none when a byte is left over.
std::optional<std::string> FromUtf16(std::string_view units) {
    if (units.size() % 2 != 0) {
        return std::nullopt;
    }
    const auto unit = [&](std::size_t at) {
        return static_cast<char32_t>(static_cast<unsigned char>(units[at]) |
                                     static_cast<unsigned char>(units[at + 1]) << 8);
    };
    std::string text;
    text.reserve(units.size() / 2);
    for (std::size_t at = 0; at < units.size(); at += 2) {
        char32_t point = unit(at);
        const bool high = point >= 0xD800 && point <= 0xDBFF;
        const bool lowNext =
            at + 3 < units.size() && unit(at + 2) >= 0xDC00 && unit(at + 2) <= 0xDFFF;
        if (high && lowNext) {
            point = 0x10000 + ((point - 0xD800) << 10) + (unit(at + 2) - 0xDC00);
            at += 2;
        } else if (point >= 0xD800 && point <= 0xDFFF) {
            point = kReplacement;
        }
        if (point != U'\r') {
            AppendUtf8(text, point);
        }
    }
    return text;
}

std::string WithoutCarriageReturns(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (const char c : bytes) {
        if (c != '\r') {
            text += c;
        }
    }
    return text;
}

bool StartsLine(std::string_view log, std::size_t at, std::string_view lead) {
    const auto start = at == 0 ? 0 : log.rfind('\n', at - 1) + 1;
    return log.substr(start, lead.size()) == lead;
}

// The digits at `at`, or "".
std::string DigitsAt(std::string_view text, std::size_t at) {
    const auto end = text.find_first_not_of("0123456789", at);
    return std::string(text.substr(at, (end == std::string_view::npos ? text.size() : end) - at));
}

std::string_view LineAt(std::string_view log, std::size_t at) {
    const auto start = at == 0 ? 0 : log.rfind('\n', at - 1) + 1;
    const auto end = log.find('\n', at);
    return log.substr(start, end == std::string_view::npos ? end : end - start);
}

bool Contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

// The custom action's types an operation of the script names (msidbCustomActionType...).
constexpr unsigned kTypeRollback = 0x100;
constexpr unsigned kTypeCommit = 0x200;
constexpr std::string_view kOp = "Executing op: ";
constexpr std::string_view kContinueMarking = "due to continue marking";
constexpr std::string_view kRemoval = "RemoveExistingProducts";

// "Action start 10:00:01: X." or "Action ended 10:00:01: X. Return value N.": X, or "".
std::string_view ActionLineName(std::string_view line, std::string_view lead) {
    if (line.substr(0, lead.size()) != lead) {
        return {};
    }
    const auto name = line.find(": ", lead.size());
    if (name == std::string_view::npos) {
        return {};
    }
    const auto rest = line.substr(name + 2);
    return rest.substr(0, rest.find('.'));
}

// The value of "Key=" in an operation's line up to the next comma or parenthesis, or "".
std::string OpField(std::string_view line, std::string_view key) {
    const auto at = line.find(key);
    if (at == std::string_view::npos) {
        return "";
    }
    const auto value = line.substr(at + key.size());
    return std::string(value.substr(0, value.find_first_of(",)")));
}

// Windows: "CustomAction X returned actual error code N (note ...)", or "... N but will be
// translated to success due to continue marking". The line, or "".
std::string_view ActualErrorLine(std::string_view log, std::string_view action) {
    const std::string lead = "CustomAction " + std::string(action) + " returned actual error code ";
    const auto at = log.find(lead);
    return at == std::string_view::npos ? std::string_view{} : LineAt(log, at);
}

// Wine: "invalid Return Code N" on the line before the one that names the halted action,
// "... action L"[data]X" returned 1603".
std::string WineInvalidCode(std::string_view errors, std::string_view action) {
    const std::string halted = std::string(action) + "\" returned ";
    const auto at = errors.find(halted);
    if (at == std::string_view::npos) {
        return "";
    }
    const std::string_view before = errors.substr(0, errors.rfind('\n', at) + 1);
    const std::string_view lead = "invalid Return Code ";
    const auto code = before.rfind(lead);
    return code == std::string_view::npos ? "" : DigitsAt(before, code + lead.size());
}

// The package's own lines and each nested product's, in one pass. A nested run is the span of
// the outermost RemoveExistingProducts (its own RemoveExistingProducts lines nest inside), and
// the script operations after another product's "ProductInfo(ProductKey=" until a script's
// header or the package's own ProductInfo.
struct SplitLog {
    std::string own;
    std::vector<ProductRun> nested;
};

SplitLog Split(std::string_view log) {
    SplitLog split;
    const std::string ownCode = LoggedProperty(log, "ProductCode");
    int removalDepth = 0;
    std::string scriptProduct;  // another product's, while its operations execute
    const auto runOf = [&](const std::string& product) -> ProductRun& {
        for (auto& run : split.nested) {
            if (run.product == product) {
                return run;
            }
        }
        return split.nested.emplace_back(ProductRun{product, ""});
    };
    std::size_t start = 0;
    while (start < log.size()) {
        const auto end = log.find('\n', start);
        const auto stop = end == std::string_view::npos ? log.size() : end + 1;
        const std::string_view line = log.substr(start, stop - start);
        start = stop;
        const bool removalStart = ActionLineName(line, "Action start ") == kRemoval;
        const bool removalEnd = ActionLineName(line, "Action ended ") == kRemoval;
        if (removalStart && removalDepth++ == 0) {
            split.own += line;
            split.nested.push_back({});
            continue;
        }
        if (removalEnd && removalDepth > 0 && --removalDepth == 0) {
            split.own += line;
            continue;
        }
        const auto op = line.find(kOp);
        if (removalDepth > 0) {
            auto& run = split.nested.back();
            if (run.product.empty() && op != std::string_view::npos) {
                run.product = OpField(line, "ProductInfo(ProductKey=");
            }
            run.text += line;
            continue;
        }
        if (op != std::string_view::npos) {
            const auto operation = line.substr(op + kOp.size());
            if (operation.rfind("Header(", 0) == 0) {
                scriptProduct.clear();
            } else if (operation.rfind("ProductInfo(", 0) == 0) {
                const std::string product = OpField(operation, "ProductKey=");
                scriptProduct = ownCode.empty() || product == ownCode ? "" : product;
            }
        }
        const bool scriptLine = op != std::string_view::npos || line.rfind("CustomAction ", 0) == 0;
        if (!scriptProduct.empty() && scriptLine) {
            runOf(scriptProduct).text += line;
            continue;
        }
        split.own += line;
    }
    // A removal that removed nothing leaves an empty span.
    std::erase_if(split.nested, [](const ProductRun& run) { return run.text.empty(); });
    return split;
}

// The engine's rollback script starts with a header of script type 2.
bool RolledBackInScript(std::string_view own, std::string_view action) {
    const std::string header = std::string(kOp) + "Header(";
    for (auto at = own.find(header); at != std::string_view::npos; at = own.find(header, at + 1)) {
        if (OpField(LineAt(own, at), "ScriptType=") == "2") {
            return Contains(own.substr(at),
                            std::string(kOp) + "ActionStart(Name=" + std::string(action) + ",");
        }
    }
    return false;
}

}  // namespace

std::optional<std::string> DecodeLog(std::string_view bytes) {
    if (bytes.substr(0, kUtf16Mark.size()) == kUtf16Mark) {
        return FromUtf16(bytes.substr(kUtf16Mark.size()));
    }
    if (bytes.substr(0, kUtf8Mark.size()) == kUtf8Mark) {
        bytes.remove_prefix(kUtf8Mark.size());
    }
    // A NUL byte in a text log is a wide text without its mark, or not a log at all.
    if (bytes.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    return WithoutCarriageReturns(bytes);
}

LogText ReadLog(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return {"", "msiexec wrote no log " + path};
    }
    const std::string bytes((std::istreambuf_iterator<char>(file)),
                            std::istreambuf_iterator<char>());
    if (bytes.empty()) {
        return {"", "the log " + path + " is empty"};
    }
    auto text = DecodeLog(bytes);
    if (!text) {
        return {"", "the log " + path +
                        " is neither UTF-16LE after a byte-order mark nor single-byte text"};
    }
    return {std::move(*text), ""};
}

bool WrittenByWindows(std::string_view log) {
    for (const std::string_view lead : {"MSI (s) (", "MSI (c) ("}) {
        const auto at = log.find(lead);
        if (at != std::string_view::npos && StartsLine(log, at, lead)) {
            return true;
        }
    }
    return false;
}

std::string LanguageProblem(std::string_view log) {
    for (const std::string_view lead : {"Action start ", "Action ended "}) {
        for (auto at = log.find(lead); at != std::string_view::npos; at = log.find(lead, at + 1)) {
            if (StartsLine(log, at, lead)) {
                return "";
            }
        }
    }
    if (!WrittenByWindows(log)) {
        return "";
    }
    return "the log is not in English (Windows translates its \"Action ended ... Return value\" "
           "lines), so the results of the actions that run when the sequence reaches them cannot "
           "be judged from it; msiexec's exit code and the script's untranslated operations stand "
           "for the run";
}

std::string OwnRun(std::string_view log) {
    return Split(log).own;
}

std::vector<ProductRun> NestedRuns(std::string_view log) {
    return Split(log).nested;
}

std::string ActionResult(std::string_view log, std::string_view action) {
    const std::string own = OwnRun(log);
    const std::string ending = ": " + std::string(action) + ". Return value ";
    std::string result = "-";
    for (auto at = own.find(ending); at != std::string::npos; at = own.find(ending, at + 1)) {
        if (StartsLine(own, at, "Action ended ")) {
            const auto value = at + ending.size();
            result = own.substr(value, own.find('.', value) - value);
        }
    }
    return result;
}

int TimesEnded(std::string_view log, std::string_view action) {
    const std::string own = OwnRun(log);
    const std::string ending = ": " + std::string(action) + ". Return value ";
    int times = 0;
    for (auto at = own.find(ending); at != std::string::npos; at = own.find(ending, at + 1)) {
        times += StartsLine(own, at, "Action ended ") ? 1 : 0;
    }
    return times;
}

bool ActionStarted(std::string_view log, std::string_view namePrefix) {
    const std::string own = OwnRun(log);
    constexpr std::string_view lead = "Action start ";
    for (auto at = own.find(lead); at != std::string::npos; at = own.find(lead, at + 1)) {
        if (StartsLine(own, at, lead) &&
            ActionLineName(LineAt(own, at), lead).substr(0, namePrefix.size()) == namePrefix) {
            return true;
        }
    }
    // The engine's own lines, which Windows writes in English whatever its language.
    for (const std::string& engine :
         {"Doing action: " + std::string(namePrefix),
          std::string(kOp) + "ActionStart(Name=" + std::string(namePrefix)}) {
        if (Contains(own, engine)) {
            return true;
        }
    }
    return false;
}

bool HasLine(std::string_view text, std::string_view line) {
    for (auto at = text.find(line); at != std::string_view::npos; at = text.find(line, at + 1)) {
        const auto end = at + line.size();
        if ((at == 0 || text[at - 1] == '\n') && (end == text.size() || text[end] == '\n')) {
            return true;
        }
    }
    return false;
}

std::string LoggedProperty(std::string_view log, std::string_view name) {
    const std::string start = "Property(S): " + std::string(name) + " = ";
    for (auto at = log.rfind(start); at != std::string_view::npos;
         at = at == 0 ? std::string_view::npos : log.rfind(start, at - 1)) {
        if (StartsLine(log, at, start)) {
            const auto value = at + start.size();
            const auto end = log.find('\n', value);
            return std::string(
                log.substr(value, end == std::string_view::npos ? end : end - value));
        }
    }
    return "";
}

DeferredOutcome DeferredResult(std::string_view log, std::string_view wineErrors,
                               std::string_view action) {
    const std::string own = OwnRun(log);
    const std::string name(action);
    DeferredOutcome outcome;
    const int ended = TimesEnded(own, action);
    const auto schedule = own.find(std::string(kOp) + "CustomActionSchedule(Action=" + name + ",");
    outcome.scheduled = ended > 0 || schedule != std::string::npos;
    if (const auto failure = ActualErrorLine(own, action); !failure.empty()) {
        const std::string_view lead = " returned actual error code ";
        outcome.run = ScriptRun::Failed;
        outcome.code = DigitsAt(failure, failure.find(lead) + lead.size());
        outcome.ignored = Contains(failure, kContinueMarking);
        return outcome;
    }
    if (!WrittenByWindows(own)) {
        // Wine's second line is the run's; the first, like Windows' only one, is the scheduling.
        if (ended >= 2) {
            const bool succeeded = ActionResult(own, action) == "1";
            outcome.run = succeeded ? ScriptRun::Succeeded : ScriptRun::Failed;
            outcome.code = succeeded ? "" : WineInvalidCode(wineErrors, action);
        }
        return outcome;
    }
    if (schedule == std::string::npos) {
        return outcome;
    }
    // The forward script runs a deferred action, and only records a rollback or commit one.
    const std::string type = OpField(LineAt(own, schedule), "ActionType=");
    const unsigned bits = type.empty() ? 0 : static_cast<unsigned>(std::stoul(type));
    bool ran = true;
    if ((bits & kTypeRollback) != 0) {
        ran = RolledBack(own, action);
    } else if ((bits & kTypeCommit) != 0) {
        ran = Contains(own, std::string(kOp) + "CustomActionCommit(Action=" + name + ",");
    }
    outcome.run = ran ? ScriptRun::Succeeded : ScriptRun::NotRun;
    return outcome;
}

std::string DescribeOutcome(const DeferredOutcome& outcome) {
    switch (outcome.run) {
        case ScriptRun::Succeeded:
            return "1";
        case ScriptRun::Failed: {
            const std::string failed =
                outcome.code.empty() ? "failed" : "failed (returned " + outcome.code + ")";
            return outcome.ignored ? failed + ", ignored" : failed;
        }
        case ScriptRun::NotRun:
            break;
    }
    return outcome.scheduled ? "- (scheduled, not run)" : "-";
}

bool RolledBack(std::string_view log, std::string_view rollbackAction) {
    const std::string own = OwnRun(log);
    if (!WrittenByWindows(own)) {
        return TimesEnded(own, rollbackAction) >= 2;
    }
    const std::string action(rollbackAction);
    return Contains(own, std::string(kOp) + "CustomActionRollback(Action=" + action + ",") ||
           HasLine(own, "Rollback: " + action) || RolledBackInScript(own, rollbackAction);
}

}  // namespace zelk::trytool
