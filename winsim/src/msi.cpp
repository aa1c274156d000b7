// msi.dll: installer sessions with properties and posted messages, and message records.
#include "core.h"

#include <cstring>
#include <map>
#include <memory>

namespace winsim {
namespace {

struct Session {
    SessionView view = SessionView::CustomAction;
    std::map<std::string, std::string> properties;  // names are case-sensitive
    std::vector<PostedMessage> messages;
};

// A message record: fields 0..count.
using Record = std::vector<std::string>;

// Sessions are the installer's own, not handles the product opens: they are numbered as handles
// but kept apart from the handle table.
struct Msi {
    std::map<MSIHANDLE, Session> sessions;
    int response = 1;  // IDOK
};

constexpr auto State = detail::AreaState<Msi>;

Session* FindSession(MSIHANDLE handle) {
    return detail::FindIn(State().sessions, handle);
}

Record* FindRecord(MSIHANDLE handle) {
    return static_cast<Record*>(detail::FindHandle(handle, HandleKind::MsiRecord));
}

}  // namespace

MSIHANDLE OpenSession(SessionView view) {
    const auto handle = static_cast<MSIHANDLE>(detail::NewHandleValue());
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
    const std::string* value = found ? detail::FindIn(found->properties, name) : nullptr;
    return value ? std::optional(*value) : std::nullopt;
}

const std::vector<PostedMessage>& Messages(MSIHANDLE session) {
    static const std::vector<PostedMessage> none;
    Session* found = FindSession(session);
    return found ? found->messages : none;
}

void SetMessageResponse(int response) {
    State().response = response;
}

}  // namespace winsim

using namespace winsim;
using namespace winsim::detail;

UINT WINAPI MsiGetPropertyA(MSIHANDLE install, LPCSTR name, LPSTR value, DWORD* valueSize) {
    return Simulate(
        kInstaller, "MsiGetPropertyA",
        {Num(install), Str(name), Ptr(value), Num(valueSize ? *valueSize : 0)}, [&]() -> UINT {
            Session* session = FindSession(install);
            if (session == nullptr) {
                return ERROR_INVALID_HANDLE;
            }
            if (name == nullptr || (value != nullptr && valueSize == nullptr)) {
                return ERROR_INVALID_PARAMETER;
            }
            const std::string* found = FindIn(session->properties, std::string(name));
            const std::string text = found ? *found : "";
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
        });
}

UINT WINAPI MsiSetPropertyA(MSIHANDLE install, LPCSTR name, LPCSTR value) {
    return Simulate(kInstaller, "MsiSetPropertyA", {Num(install), Str(name), Str(value)},
                    [&]() -> UINT {
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
                    });
}

// Fails with 0, and no last error: the installer's calls have none.
MSIHANDLE WINAPI MsiCreateRecord(UINT fieldCount) {
    return Simulate(
        ValueCall<MSIHANDLE>{0, false}, "MsiCreateRecord", {Num(fieldCount)},
        [&]() -> Result<MSIHANDLE> {
            auto record = std::make_shared<Record>(fieldCount + 1);
            return static_cast<MSIHANDLE>(OpenHandle(HandleKind::MsiRecord, std::move(record)));
        });
}

UINT WINAPI MsiRecordSetStringA(MSIHANDLE record, UINT field, LPCSTR value) {
    return Simulate(kInstaller, "MsiRecordSetStringA", {Num(record), Num(field), Str(value)},
                    [&]() -> UINT {
                        Record* fields = FindRecord(record);
                        if (fields == nullptr) {
                            return ERROR_INVALID_HANDLE;
                        }
                        if (field >= fields->size()) {
                            return ERROR_INVALID_PARAMETER;
                        }
                        (*fields)[field] = value ? value : "";
                        return ERROR_SUCCESS;
                    });
}

int WINAPI MsiProcessMessage(MSIHANDLE install, INSTALLMESSAGE messageType, MSIHANDLE record) {
    return Simulate(ValueCall<int>{-1, false}, "MsiProcessMessage",
                    {Num(install), Num(static_cast<uint32_t>(messageType)), Num(record)},
                    [&]() -> Result<int> {
                        Session* session = FindSession(install);
                        const Record* fields = FindRecord(record);
                        if (session == nullptr || fields == nullptr) {
                            return Error{ERROR_INVALID_HANDLE};
                        }
                        session->messages.push_back(PostedMessage{
                            messageType, (*fields)[0], static_cast<UINT>(fields->size() - 1)});
                        return State().response;
                    });
}

UINT WINAPI MsiCloseHandle(MSIHANDLE handle) {
    return Simulate(kInstaller, "MsiCloseHandle", {Num(handle)}, [&]() -> UINT {
        return ReleaseHandle(handle, HandleKind::MsiRecord) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
    });
}
