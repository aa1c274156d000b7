#include "runtime/session.h"

#include "runtime/handles.h"

namespace zelk {

bool GetSessionProperty(MSIHANDLE session, const char* name, std::string& value, UINT* status) {
    char buffer[kPropertyBufferSize] = {};
    DWORD size = kPropertyBufferSize;
    UINT result = MsiGetPropertyA(session, name, buffer, &size);
    value = result == ERROR_SUCCESS ? std::string(buffer) : std::string();
    if (status) {
        *status = result;
    }
    return !value.empty();
}

bool SetSessionProperty(MSIHANDLE session, const char* name, const std::string& value,
                        UINT* status) {
    UINT result = ERROR_INVALID_PARAMETER;
    if (value.size() < kPropertyBufferSize) {
        char buffer[kPropertyBufferSize] = {};
        value.copy(buffer, value.size());
        result = MsiSetPropertyA(session, name, buffer);
    }
    if (status) {
        *status = result;
    }
    return result == ERROR_SUCCESS;
}

int PostSessionMessage(MSIHANDLE session, const std::string& text, UINT typeValue) {
    MsiRecord record(MsiCreateRecord(2));
    MsiRecordSetStringA(record.get(), 0, text.c_str());
    const auto type = static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_WARNING + typeValue);
    return MsiProcessMessage(session, type, record.get());
}

}  // namespace zelk
