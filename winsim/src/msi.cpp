// msi.dll: installer sessions with properties and posted messages, and message records.
#include "machine.h"

#include <cstring>
#include <map>

namespace winsim {
namespace {

struct Session {
    SessionView view = SessionView::CustomAction;
    std::map<std::string, std::string> properties;  // names are case-sensitive
    std::vector<PostedMessage> messages;
};

struct Msi {
    std::map<MSIHANDLE, Session> sessions;
    std::map<MSIHANDLE, std::vector<std::string>> records;  // fields 0..count
    MSIHANDLE next = 1;
    int response = 1;  // IDOK
};

Msi& State() {
    static Msi msi;
    return msi;
}

Session* FindSession(MSIHANDLE handle) {
    auto found = State().sessions.find(handle);
    return found == State().sessions.end() ? nullptr : &found->second;
}

}  // namespace

MSIHANDLE OpenSession(SessionView view) {
    MSIHANDLE handle = State().next++;
    State().sessions[handle] = Session{view, {}, {}};
    return handle;
}

void SetProperty(MSIHANDLE session, const std::string& name, const std::string& value) {
    if (Session* found = FindSession(session)) {
        found->properties[name] = value;
    }
}

std::optional<std::string> Property(MSIHANDLE session, const std::string& name) {
    Session* found = FindSession(session);
    if (found == nullptr || found->properties.count(name) == 0) {
        return std::nullopt;
    }
    return found->properties[name];
}

const std::vector<PostedMessage>& Messages(MSIHANDLE session) {
    static const std::vector<PostedMessage> none;
    Session* found = FindSession(session);
    return found ? found->messages : none;
}

void SetMessageResponse(int response) {
    State().response = response;
}

namespace detail {
void ResetMsi() {
    State() = Msi{};
}
}  // namespace detail

}  // namespace winsim

using winsim::Num;
using winsim::Str;
using winsim::detail::Enter;

UINT WINAPI MsiGetPropertyA(MSIHANDLE install, LPCSTR name, LPSTR value, DWORD* valueSize) {
    using namespace winsim;
    auto failure = Enter("MsiGetPropertyA", {Num(install), Str(name), detail::Ptr(value),
                                             Num(valueSize ? *valueSize : 0)});
    if (failure) {
        return failure->error;
    }
    Session* session = FindSession(install);
    if (session == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if (name == nullptr || (value != nullptr && valueSize == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    std::string text;
    if (auto found = session->properties.find(name); found != session->properties.end()) {
        text = found->second;
    }
    if (valueSize == nullptr) {
        return ERROR_SUCCESS;
    }
    const DWORD capacity = *valueSize;
    // A size that is not the length of a copied text is in bytes in a custom action.
    const DWORD unit = session->view == SessionView::CustomAction ? 2 : 1;  // UTF-16 units
    *valueSize = static_cast<DWORD>(text.size()) * unit;
    if (value == nullptr) {
        return ERROR_SUCCESS;
    }
    if (capacity <= text.size()) {
        // The installer fills what fits, terminated, and reports the size it needs.
        if (capacity > 0) {
            std::memcpy(value, text.data(), capacity - 1);
            value[capacity - 1] = '\0';
        }
        return ERROR_MORE_DATA;
    }
    std::memcpy(value, text.c_str(), text.size() + 1);
    *valueSize = static_cast<DWORD>(text.size());
    return ERROR_SUCCESS;
}

UINT WINAPI MsiSetPropertyA(MSIHANDLE install, LPCSTR name, LPCSTR value) {
    using namespace winsim;
    auto failure = Enter("MsiSetPropertyA", {Num(install), Str(name), Str(value)});
    if (failure) {
        return failure->error;
    }
    Session* session = FindSession(install);
    if (session == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if (name == nullptr || *name == '\0') {
        return ERROR_INVALID_PARAMETER;
    }
    if (value == nullptr || *value == '\0') {
        session->properties.erase(name);
    } else {
        session->properties[name] = value;
    }
    return ERROR_SUCCESS;
}

MSIHANDLE WINAPI MsiCreateRecord(UINT fieldCount) {
    using namespace winsim;
    auto failure = Enter("MsiCreateRecord", {Num(fieldCount)});
    if (failure) {
        return static_cast<MSIHANDLE>(failure->result.value_or(0));
    }
    MSIHANDLE handle = State().next++;
    State().records[handle] = std::vector<std::string>(fieldCount + 1);
    detail::CountOpen(HandleKind::MsiRecord);
    return handle;
}

UINT WINAPI MsiRecordSetStringA(MSIHANDLE record, UINT field, LPCSTR value) {
    using namespace winsim;
    auto failure = Enter("MsiRecordSetStringA", {Num(record), Num(field), Str(value)});
    if (failure) {
        return failure->error;
    }
    auto found = State().records.find(record);
    if (found == State().records.end()) {
        return ERROR_INVALID_HANDLE;
    }
    if (field >= found->second.size()) {
        return ERROR_INVALID_PARAMETER;
    }
    found->second[field] = value ? value : "";
    return ERROR_SUCCESS;
}

int WINAPI MsiProcessMessage(MSIHANDLE install, INSTALLMESSAGE messageType, MSIHANDLE record) {
    using namespace winsim;
    auto failure = Enter("MsiProcessMessage",
                         {Num(install), Num(static_cast<uint32_t>(messageType)), Num(record)});
    if (failure) {
        return static_cast<int>(failure->result.value_or(-1));
    }
    Session* session = FindSession(install);
    auto fields = State().records.find(record);
    if (session == nullptr || fields == State().records.end()) {
        return -1;
    }
    session->messages.push_back(PostedMessage{messageType, fields->second[0],
                                              static_cast<UINT>(fields->second.size() - 1)});
    return State().response;
}

UINT WINAPI MsiCloseHandle(MSIHANDLE handle) {
    using namespace winsim;
    auto failure = Enter("MsiCloseHandle", {Num(handle)});
    if (failure) {
        return failure->error;
    }
    if (State().records.erase(handle) == 0) {
        return ERROR_INVALID_HANDLE;
    }
    detail::CountClose(HandleKind::MsiRecord);
    return ERROR_SUCCESS;
}
