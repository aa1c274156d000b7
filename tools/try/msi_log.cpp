// Plain searches: std::regex over a log of a few hundred kilobytes takes minutes.
#include "msi_log.h"

#include <fstream>
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

// Windows: "CustomAction X returned actual error code N (note ...)".
std::string ActualErrorCode(std::string_view log, std::string_view action) {
    const std::string lead = "CustomAction " + std::string(action) + " returned actual error code ";
    const auto at = log.find(lead);
    return at == std::string_view::npos ? "" : DigitsAt(log, at + lead.size());
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

std::string ActionResult(std::string_view log, std::string_view action) {
    const std::string ending = ": " + std::string(action) + ". Return value ";
    std::string result = "-";
    for (auto at = log.find(ending); at != std::string_view::npos; at = log.find(ending, at + 1)) {
        if (StartsLine(log, at, "Action ended ")) {
            const auto value = at + ending.size();
            result = std::string(log.substr(value, log.find('.', value) - value));
        }
    }
    return result;
}

int TimesEnded(std::string_view log, std::string_view action) {
    const std::string ending = ": " + std::string(action) + ". Return value ";
    int times = 0;
    for (auto at = log.find(ending); at != std::string_view::npos; at = log.find(ending, at + 1)) {
        times += StartsLine(log, at, "Action ended ") ? 1 : 0;
    }
    return times;
}

bool ActionStarted(std::string_view log, std::string_view namePrefix) {
    constexpr std::string_view lead = "Action start ";
    for (auto at = log.find(lead); at != std::string_view::npos; at = log.find(lead, at + 1)) {
        const auto name = log.find(": ", at);
        if (StartsLine(log, at, lead) && name != std::string_view::npos &&
            log.substr(name + 2, namePrefix.size()) == namePrefix) {
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
    DeferredOutcome outcome;
    const int ended = TimesEnded(log, action);
    outcome.scheduled = ended > 0;
    if (auto code = ActualErrorCode(log, action); !code.empty()) {
        outcome.run = ScriptRun::Failed;
        outcome.code = std::move(code);
        return outcome;
    }
    // Wine's second line is the run's; the first, like Windows' only one, is the scheduling.
    if (ended >= 2) {
        const bool succeeded = ActionResult(log, action) == "1";
        outcome.run = succeeded ? ScriptRun::Succeeded : ScriptRun::Failed;
        outcome.code = succeeded ? "" : WineInvalidCode(wineErrors, action);
        return outcome;
    }
    const std::string executed =
        "Executing op: CustomActionSchedule(Action=" + std::string(action) + ",";
    if (log.find(executed) != std::string_view::npos) {
        outcome.run = ScriptRun::Succeeded;
    }
    return outcome;
}

std::string DescribeOutcome(const DeferredOutcome& outcome) {
    switch (outcome.run) {
        case ScriptRun::Succeeded:
            return "1";
        case ScriptRun::Failed:
            return outcome.code.empty() ? "failed" : "failed (returned " + outcome.code + ")";
        case ScriptRun::NotRun:
            break;
    }
    return outcome.scheduled ? "- (scheduled, not run)" : "-";
}

bool RolledBack(std::string_view log, std::string_view rollbackAction) {
    if (TimesEnded(log, rollbackAction) >= 2) {
        return true;
    }
    const std::string action(rollbackAction);
    if (HasLine(log, "Rollback: " + action)) {
        return true;
    }
    const auto failure = log.find(" returned actual error code ");
    return failure != std::string_view::npos &&
           log.find("Executing op: ActionStart(Name=" + action + ",", failure) !=
               std::string_view::npos;
}

}  // namespace zelk::trytool
