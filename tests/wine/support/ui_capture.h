// Records what the installer hands to an external user interface while it is installed.
#pragma once

#include <windows.h>
#include <msi.h>

#include <string>
#include <vector>

namespace zelk::wine {

struct UiMessage {
    UINT type = 0;
    std::string text;
};

// The handler is process-wide in the installer; one capture at a time, restored on destruction.
class ExternalUiCapture {
  public:
    explicit ExternalUiCapture(DWORD logModes) {
        MsiSetExternalUIA(&ExternalUiCapture::Receive, logModes, this);
    }
    ~ExternalUiCapture() { MsiSetExternalUIA(nullptr, 0, nullptr); }
    ExternalUiCapture(const ExternalUiCapture&) = delete;
    ExternalUiCapture& operator=(const ExternalUiCapture&) = delete;

    const std::vector<UiMessage>& Messages() const { return messages_; }

  private:
    static int WINAPI Receive(LPVOID context, UINT type, LPCSTR text) {
        static_cast<ExternalUiCapture*>(context)->messages_.push_back({type, text ? text : ""});
        return IDOK;
    }

    std::vector<UiMessage> messages_;
};

// The installer renders a record whose template (field 0) is empty as its field labels alone,
// "1:  2:  " for two empty fields. True when `text` is that rendering or "".
inline bool IsEmptyRecordRendering(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t digits = text.find_first_not_of("0123456789", i);
        if (digits == i || digits == std::string::npos || text[digits] != ':') {
            return false;
        }
        i = text.find_first_not_of(' ', digits + 1);
        if (i == std::string::npos) {
            return true;
        }
    }
    return true;
}

}  // namespace zelk::wine
