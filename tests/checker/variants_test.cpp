// zelk_ca_check.exe on the sample package and on broken variants of it, made through the
// installer's database API: the sample checks clean, and each variant adds exactly its
// findings and exit code. Placeholders name the sample's actions by what they call, so that its
// names may change:
//   {first:CA_X} {last:CA_X}  the first or last scheduled non-rollback action calling CA_X
//   {rollback:CA_X}           the first scheduled rollback action calling CA_X
//   {set:ACTION}              the Type 51 action scheduled last before ACTION that sets its data
//   {seq:ACTION+N}            ACTION's sequence number plus (or minus) N
// A variant whose placeholder the sample cannot fill is skipped.
#include <gtest/gtest.h>
#include <msi.h>
#include <msiquery.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/machine_probe.h"
#include "support/test_files.h"

namespace zelk::checker {
namespace {

using wine::BesideProgram;
using wine::detail::Handle;

constexpr const char* kSample = "zelk_drivers.msi";
constexpr int kFromFindings = -1;  // 1 with an error among the findings, otherwise 0

// "0123456789" repeated to `count` characters: a name long enough to overflow a buffer.
std::string Digits(std::size_t count) {
    std::string digits;
    while (digits.size() < count) {
        digits += "0123456789";
    }
    return digits.substr(0, count);
}

struct Variant {
    const char* name;
    std::vector<std::string> changes;   // SQL statements; none: the sample as it is
    std::vector<std::string> findings;  // "error: ACTION: fragment" or "warning: ..." it adds
    int exitCode = kFromFindings;
    const char* replacement = nullptr;  // the package replaced by a file holding this text
    const char* package = nullptr;      // another package of the build, checked as it is
};

const Variant kVariants[] = {
    {"sample", {}, {}},
    {"smaller package from the include", {}, {}, kFromFindings, nullptr, "zelk_minimal.msi"},
    {"unreadable", {}, {}, 2, "not an installer package"},
    {"decision deferred",
     {"UPDATE CustomAction SET Type = 3073 WHERE Action = '{first:CA_CheckAndSetRebootStatus}'"},
     {"error: {first:CA_CheckAndSetRebootStatus}: the reboot decision is deferred"}},
    {"decision before the drivers ran",
     {"DELETE FROM InstallExecuteSequence WHERE Action = 'InstallExecute' OR Action = "
      "'InstallExecuteAgain'"},
     {"error: {first:CA_CheckAndSetRebootStatus}: decides before \"{last:CA_InstallDriver}\" has "
      "run"}},
    {"decision after the clearing",
     {"UPDATE InstallExecuteSequence SET Sequence = {seq:InstallExecute-1} WHERE Action = "
      "'{first:CA_ClearInstallDriverRegistryValues}'",
      "UPDATE InstallExecuteSequence SET Sequence = {seq:InstallExecute-2} WHERE Action = "
      "'{set:{first:CA_ClearInstallDriverRegistryValues}}'"},
     {"error: {first:CA_CheckAndSetRebootStatus}: runs after "
      "\"{first:CA_ClearInstallDriverRegistryValues}\""}},
    {"driver before InstallFiles",
     {"UPDATE InstallExecuteSequence SET Sequence = {seq:InstallFiles-1} WHERE Action = "
      "'{last:CA_InstallDriver}'",
      "UPDATE InstallExecuteSequence SET Sequence = {seq:InstallFiles-2} WHERE Action = "
      "'{set:{last:CA_InstallDriver}}'",
      "UPDATE InstallExecuteSequence SET Sequence = {seq:InstallFiles-3} WHERE Action = "
      "'{rollback:CA_ClearInstallDriverRegistryValues}'",
      "UPDATE InstallExecuteSequence SET Sequence = {seq:InstallFiles-4} WHERE Action = "
      "'{set:{rollback:CA_ClearInstallDriverRegistryValues}}'"},
     {"error: {last:CA_InstallDriver}: runs before InstallFiles"}},
    {"immediate action",
     {"UPDATE CustomAction SET Type = 1 WHERE Action = '{first:CA_InstallCertificate}'"},
     {"error: {first:CA_InstallCertificate}: runs as an immediate action"}},
    {"impersonated action",
     {"UPDATE CustomAction SET Type = 1025 WHERE Action = '{first:CA_UninstallVirtualDriver}'"},
     {"error: {first:CA_UninstallVirtualDriver}: is deferred but impersonated"}},
    {"deferred action outside the script",
     {"UPDATE InstallExecuteSequence SET Sequence = {seq:InstallInitialize-1} WHERE Action = "
      "'{first:CA_UninstallOldZuraOem}'"},
     {"error: {first:CA_UninstallOldZuraOem}: is deferred but not scheduled between "
      "InstallInitialize and InstallFinalize"}},
    {"no data set",
     {"DELETE FROM InstallExecuteSequence WHERE Action = '{set:{first:CA_InstallCertificate}}'"},
     {"error: {first:CA_InstallCertificate}: no Type 51 action sets the property "
      "\"{first:CA_InstallCertificate}\" before it"}},
    {"data set after the action",
     {"UPDATE InstallExecuteSequence SET Sequence = {seq:{last:CA_InstallDriver}+1} WHERE Action = "
      "'{set:{last:CA_InstallDriver}}'"},
     {"error: {last:CA_InstallDriver}: no Type 51 action sets the property"}},
    {"rollback after what it undoes",
     {"UPDATE InstallExecuteSequence SET Sequence = {seq:InstallFinalize-1} WHERE Action = "
      "'{rollback:CA_UninstallVirtualDriver}'"},
     {"error: {rollback:CA_UninstallVirtualDriver}: is scheduled after"}},
    {"rollback clearing after the drivers",
     {"UPDATE InstallExecuteSequence SET Sequence = {seq:{last:CA_InstallDriver}+1} WHERE Action = "
      "'{rollback:CA_ClearInstallDriverRegistryValues}'"},
     {"error: {rollback:CA_ClearInstallDriverRegistryValues}: is scheduled after "
      "\"{first:CA_InstallDriver}\""}},
    {"three driver tokens",
     {"UPDATE CustomAction SET Target = 'C:\\Drivers\\zelk_usb.inf@SOFTWARE\\Zelk\\CAN-LIN "
      "Drivers\\InstallState\\Usb@Usb' WHERE Action = '{set:{last:CA_InstallDriver}}'"},
     {"error: {last:CA_InstallDriver}: its data holds 3 \"@\"-separated tokens"}},
    {"no INF",
     {"UPDATE CustomAction SET Target = 'C:\\Drivers\\zelk_usb@SOFTWARE\\Zelk\\CAN-LIN "
      "Drivers\\InstallState\\Usb' WHERE Action = '{set:{last:CA_InstallDriver}}'"},
     {"error: {last:CA_InstallDriver}: its first token \"C:\\Drivers\\zelk_usb\" is not the path "
      "of an INF file"}},
    {"no value name",
     {"UPDATE CustomAction SET Target = 'C:\\Drivers\\zelk_usb.inf@SOFTWARE\\Zelk\\CAN-LIN "
      "Drivers\\InstallState\\' WHERE Action = '{set:{last:CA_InstallDriver}}'"},
     {"error: {last:CA_InstallDriver}: its state location \"SOFTWARE\\Zelk\\CAN-LIN "
      "Drivers\\InstallState\\\" names no value"}},
    {"no key path",
     {"UPDATE CustomAction SET Target = 'C:\\Drivers\\zelk_usb.inf@Usb' WHERE Action = "
      "'{set:{last:CA_InstallDriver}}'"},
     {"error: {last:CA_InstallDriver}: its state location \"Usb\" holds no key path"}},
    {"root key in the path",
     {"UPDATE CustomAction SET Target = 'C:\\Drivers\\zelk_usb.inf@HKLM\\SOFTWARE\\Zelk\\CAN-LIN "
      "Drivers\\InstallState\\Usb' WHERE Action = '{set:{last:CA_InstallDriver}}'"},
     {"error: {last:CA_InstallDriver}: its registry path \"HKLM\\SOFTWARE\\Zelk\\CAN-LIN "
      "Drivers\\InstallState\\Usb\" starts with the root key"}},
    {"clearing without the final backslash",
     {"UPDATE CustomAction SET Target = 'SOFTWARE\\Zelk\\CAN-LIN Drivers\\InstallState' WHERE "
      "Action = '{set:{first:CA_ClearInstallDriverRegistryValues}}'"},
     {"error: {first:CA_ClearInstallDriverRegistryValues}: its data \"SOFTWARE\\Zelk\\CAN-LIN "
      "Drivers\\InstallState\" is the state key without its final backslash"}},
    {"decision without the final backslash",
     {"UPDATE CustomAction SET Target = 'SOFTWARE\\Zelk\\CAN-LIN Drivers\\InstallState' WHERE "
      "Action = '{set:{first:CA_CheckAndSetRebootStatus}}'"},
     {"error: {first:CA_CheckAndSetRebootStatus}: its data \"SOFTWARE\\Zelk\\CAN-LIN "
      "Drivers\\InstallState\" does not end in a backslash"}},
    {"decision reads another key",
     {"UPDATE CustomAction SET Target = 'SOFTWARE\\Zelk\\State\\' WHERE Action = "
      "'{set:{first:CA_CheckAndSetRebootStatus}}'"},
     {"warning: {first:CA_CheckAndSetRebootStatus}: it reads the key \"SOFTWARE\\Zelk\\State\\\", "
      "where no CA_InstallDriver action"}},
    {"service name with a path",
     {"UPDATE CustomAction SET Target = 'C:\\Windows\\system32\\drivers\\zelk_bus' WHERE Action = "
      "'{set:{first:CA_UninstallNonePnPDriver}}'"},
     {"error: {first:CA_UninstallNonePnPDriver}: its service name "
      "\"C:\\Windows\\system32\\drivers\\zelk_bus\" holds a path"}},
    {"empty certificate path",
     {"UPDATE CustomAction SET Target = '[#no_such_file]' WHERE Action = "
      "'{set:{first:CA_InstallCertificate}}'"},
     {"error: {first:CA_InstallCertificate}: its data (set by the Type 51 action "
      "\"{set:{first:CA_InstallCertificate}}\") is empty"}},
    {"data too long under the default folders",
     {"UPDATE CustomAction SET Target = '[INSTALLDIR]Certificates\\Publisher\\" + Digits(220) +
      ".cer' WHERE Action = '{set:{first:CA_InstallCertificate}}'"},
     {"error: {first:CA_InstallCertificate}: its data (set by the Type 51 action "
      "\"{set:{first:CA_InstallCertificate}}\") is 285 characters long"}},
    {"file path too long under the default folders",
     {"UPDATE File SET FileName = 'zelk_publisher_" + Digits(210) +
      ".cer' WHERE FileName = 'zelk_publisher.cer'"},
     {"error: {first:CA_InstallCertificate}: its data (set by the Type 51 action "
      "\"{set:{first:CA_InstallCertificate}}\") is 267 characters long"}},
    {"install action on every installation",
     {"UPDATE InstallExecuteSequence SET Condition = '' WHERE Action = "
      "'{first:CA_InstallCertificate}'"},
     {"error: {first:CA_InstallCertificate}: has no install-only condition"}},
    {"install action on repair",
     {"UPDATE InstallExecuteSequence SET Condition = 'NOT REMOVE' WHERE Action = "
      "'{last:CA_InstallDriver}'"},
     {"warning: {last:CA_InstallDriver}: its condition NOT REMOVE also holds on a repair"}},
    {"uninstall action without REMOVE=\"ALL\"",
     {"UPDATE InstallExecuteSequence SET Condition = 'Installed' WHERE Action = "
      "'{first:CA_UninstallLanDriver}'"},
     {"error: {first:CA_UninstallLanDriver}: has no REMOVE=\"ALL\" in its condition"}},
    {"no reboot decision",
     {"DELETE FROM InstallExecuteSequence WHERE Action = '{first:CA_CheckAndSetRebootStatus}'"},
     {"warning: {first:CA_InstallDriver}: it records its outcome, but no "
      "CA_CheckAndSetRebootStatus action reads it"}},
    {"kernel service rollback after the install",
     {"UPDATE InstallExecuteSequence SET Sequence = {seq:{first:CA_InstallNonePnPDriver}+1} WHERE "
      "Action = '{rollback:CA_UninstallNonePnPDriver}'"},
     {"error: {rollback:CA_UninstallNonePnPDriver}: is scheduled after "
      "\"{first:CA_InstallNonePnPDriver}\""}},
    {"immediate decision with the no-impersonation flag",
     {"UPDATE CustomAction SET Type = 2049 WHERE Action = '{first:CA_CheckAndSetRebootStatus}'"},
     {"warning: {first:CA_CheckAndSetRebootStatus}: the immediate reboot decision carries the "
      "no-impersonation flag"}},
    {"removal's rollback after the removal",
     {"UPDATE InstallExecuteSequence SET Sequence = {seq:{first:CA_UninstallVirtualDriver}+1} "
      "WHERE Action = '{rollback:CA_InstallDriver}'"},
     {"error: {rollback:CA_InstallDriver}: is scheduled after "
      "\"{first:CA_UninstallVirtualDriver}\""}},
    {"removal's rollback on install",
     {"UPDATE InstallExecuteSequence SET Condition = 'NOT Installed' WHERE Action = "
      "'{rollback:CA_InstallNonePnPDriver}'",
      "UPDATE InstallExecuteSequence SET Condition = 'NOT Installed' WHERE Action = "
      "'{set:{rollback:CA_InstallNonePnPDriver}}'"},
     {"error: {rollback:CA_InstallNonePnPDriver}: has no REMOVE=\"ALL\" in its condition",
      "warning: {first:CA_UninstallNonePnPDriver}: has no rollback CA_InstallNonePnPDriver"}},
    {"older version removed outside the transaction",
     {"UPDATE InstallExecuteSequence SET Sequence = {seq:InstallValidate+1} WHERE Action = "
      "'RemoveExistingProducts'"},
     {"warning: RemoveExistingProducts: runs before InstallInitialize"}},
    {"removal without its rollback partner",
     {"DELETE FROM InstallExecuteSequence WHERE Action = '{rollback:CA_InstallNonePnPDriver}'"},
     {"warning: {first:CA_UninstallNonePnPDriver}: has no rollback CA_InstallNonePnPDriver"}},
};

struct MsiCloser {
    void operator()(MSIHANDLE* handle) const {
        MsiCloseHandle(*handle);
        delete handle;
    }
};
// An installer handle; none when the call that should give it failed.
using MsiHandle = std::unique_ptr<MSIHANDLE, MsiCloser>;

// By reference: read after the call that fills it, whatever the order of the arguments.
MsiHandle Own(UINT result, const MSIHANDLE& handle) {
    return result == ERROR_SUCCESS ? MsiHandle(new MSIHANDLE(handle)) : MsiHandle();
}

std::string RecordText(MSIHANDLE record, UINT field) {
    char text[1024] = {};
    DWORD size = sizeof(text);
    return MsiRecordGetStringA(record, field, text, &size) == ERROR_SUCCESS ? text : "";
}

// Every row of a query, each field as text.
std::vector<std::vector<std::string>> Rows(MSIHANDLE database, const char* query, UINT fields) {
    std::vector<std::vector<std::string>> rows;
    MSIHANDLE raw = 0;
    const MsiHandle view = Own(MsiDatabaseOpenViewA(database, query, &raw), raw);
    if (!view || MsiViewExecute(*view, 0) != ERROR_SUCCESS) {
        return rows;
    }
    for (MSIHANDLE record = 0; MsiViewFetch(*view, &record) == ERROR_SUCCESS;) {
        const MsiHandle owner(new MSIHANDLE(record));
        rows.emplace_back();
        for (UINT field = 1; field <= fields; ++field) {
            rows.back().push_back(RecordText(record, field));
        }
    }
    return rows;
}

struct Action {
    int type = 0;
    std::string source;
    std::string target;
    std::optional<int> sequence;
};

// The sample's custom actions and execute sequence, which the placeholders name.
class Sample {
  public:
    Sample() {
        MSIHANDLE raw = 0;
        const MsiHandle database =
            Own(MsiOpenDatabaseA(BesideProgram(kSample).c_str(), MSIDBOPEN_READONLY, &raw), raw);
        if (!database) {
            return;
        }
        for (const auto& row :
             Rows(*database, "SELECT `Action`, `Sequence` FROM `InstallExecuteSequence`", 2)) {
            sequence_[row[0]] = std::stoi(row[1]);
        }
        for (const auto& row : Rows(
                 *database, "SELECT `Action`, `Type`, `Source`, `Target` FROM `CustomAction`", 4)) {
            Action& action = actions_[row[0]];
            action = {std::stoi(row[1]), row[2], row[3], std::nullopt};
            if (sequence_.count(row[0])) {
                action.sequence = sequence_[row[0]];
            }
        }
    }

    // The text with its placeholders filled, innermost first; nothing when one cannot be.
    std::optional<std::string> Resolve(std::string text) const {
        for (auto close = text.find('}'); close != std::string::npos; close = text.find('}')) {
            const auto open = text.rfind('{', close);
            const auto value = Evaluate(text.substr(open + 1, close - open - 1));
            if (!value) {
                return std::nullopt;
            }
            text.replace(open, close - open + 1, *value);
        }
        return text;
    }

  private:
    std::optional<std::string> Evaluate(const std::string& inner) const {
        const auto colon = inner.find(':');
        const std::string kind = inner.substr(0, colon);
        const std::string operand = inner.substr(colon + 1);
        if (kind == "set") {
            return SetterOf(operand);
        }
        if (kind == "seq") {
            const auto sign = operand.find_last_of("+-");
            const std::string name = operand.substr(0, sign);
            if (!sequence_.count(name)) {
                return std::nullopt;
            }
            const int offset = sign == std::string::npos ? 0 : std::stoi(operand.substr(sign));
            return std::to_string(sequence_.at(name) + offset);
        }
        return Calling(kind, operand);
    }

    // The scheduled DLL action calling `entry`: the first or last non-rollback one, or the
    // first rollback one.
    std::optional<std::string> Calling(const std::string& kind, const std::string& entry) const {
        constexpr int kDllAction = 1;
        constexpr int kRollbackBits = 0x700;
        constexpr int kRollback = 0x500;
        std::optional<std::string> best;
        for (const auto& [name, action] : actions_) {
            const bool rollback = (action.type & kRollbackBits) == kRollback;
            if (action.target != entry || !action.sequence || (action.type & 7) != kDllAction ||
                rollback != (kind == "rollback")) {
                continue;
            }
            const int current = best ? *actions_.at(*best).sequence : 0;
            if (!best ||
                (kind == "last" ? *action.sequence > current : *action.sequence < current)) {
                best = name;
            }
        }
        return best;
    }

    // The Type 51 action scheduled last before `target` that sets its data.
    std::optional<std::string> SetterOf(const std::string& target) const {
        constexpr int kSetProperty = 51;
        constexpr int kPropertyIsName = 0x400;  // a deferred action reads its own property
        if (!actions_.count(target) || !actions_.at(target).sequence) {
            return std::nullopt;
        }
        const Action& of = actions_.at(target);
        const std::string property = (of.type & kPropertyIsName) ? target : "CustomActionData";
        std::optional<std::string> best;
        for (const auto& [name, action] : actions_) {
            if (action.source != property || !action.sequence ||
                (action.type & 63) != kSetProperty || *action.sequence >= *of.sequence) {
                continue;
            }
            if (!best || *action.sequence > *actions_.at(*best).sequence) {
                best = name;
            }
        }
        return best;
    }

    std::map<std::string, int> sequence_;
    std::map<std::string, Action> actions_;
};

// Applies the statements to a copy of the sample and commits it; "" or what failed.
std::string BuildVariant(const std::string& path, const std::vector<std::string>& statements) {
    if (!CopyFileA(BesideProgram(kSample).c_str(), path.c_str(), FALSE)) {
        return "the sample could not be copied: error " + std::to_string(GetLastError());
    }
    MSIHANDLE raw = 0;
    const MsiHandle database = Own(MsiOpenDatabaseA(path.c_str(), MSIDBOPEN_TRANSACT, &raw), raw);
    if (!database) {
        return "the copy does not open as a database";
    }
    for (const auto& statement : statements) {
        const MsiHandle view = Own(MsiDatabaseOpenViewA(*database, statement.c_str(), &raw), raw);
        if (!view || MsiViewExecute(*view, 0) != ERROR_SUCCESS) {
            return "the statement failed: " + statement;
        }
    }
    return MsiDatabaseCommit(*database) == ERROR_SUCCESS ? "" : "the commit failed";
}

struct Checked {
    DWORD exitCode = 0;
    std::vector<std::string> findings;  // the "error: " and "warning: " lines
};

// zelk_ca_check.exe on the package, its output kept beside it as NAME.txt.
Checked RunChecker(const std::string& name) {
    constexpr DWORD kTimeoutMs = 120000;
    const std::string output = BesideProgram(name + ".txt");
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    const HANDLE file = CreateFileA(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    Checked checked{ERROR_INVALID_FUNCTION, {}};
    if (file == INVALID_HANDLE_VALUE) {
        return checked;
    }
    {
        const Handle fileOwner(file);
        STARTUPINFOA startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = file;
        startup.hStdError = file;
        PROCESS_INFORMATION process = {};
        std::string line = "\"" + BesideProgram("zelk_ca_check.exe") + "\" \"" +
                           BesideProgram(name + ".msi") + "\"";
        if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                            &startup, &process)) {
            return checked;
        }
        const Handle processOwner(process.hProcess);
        const Handle threadOwner(process.hThread);
        if (WaitForSingleObject(process.hProcess, kTimeoutMs) != WAIT_OBJECT_0) {
            TerminateProcess(process.hProcess, ERROR_TIMEOUT);
        }
        GetExitCodeProcess(process.hProcess, &checked.exitCode);
    }
    std::string text = wine::ReadFileBytes(output).value_or("");
    for (std::string::size_type start = 0, end = 0; start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end;
        std::string finding = text.substr(start, end - start);
        if (!finding.empty() && finding.back() == '\r') {
            finding.pop_back();
        }
        if (finding.rfind("error: ", 0) == 0 || finding.rfind("warning: ", 0) == 0) {
            checked.findings.push_back(finding);
        }
    }
    return checked;
}

const Sample& TheSample() {
    static const Sample sample;
    return sample;
}

// The sample's own findings are the baseline of every variant.
const Checked& SampleChecked() {
    static const Checked checked = [] {
        CopyFileA(BesideProgram(kSample).c_str(), BesideProgram("sample.msi").c_str(), FALSE);
        return RunChecker("sample");
    }();
    return checked;
}

bool HasError(const std::vector<std::string>& findings) {
    for (const auto& finding : findings) {
        if (finding.rfind("error: ", 0) == 0) {
            return true;
        }
    }
    return false;
}

// The variant's name as a test and file name.
std::string Slug(const char* name) {
    std::string slug;
    for (; *name != '\0'; ++name) {
        slug += std::isalnum(static_cast<unsigned char>(*name)) ? *name : '_';
    }
    return slug;
}

class PackageChecker : public testing::TestWithParam<Variant> {};

TEST_P(PackageChecker, AddsItsFindings) {
    const Variant& variant = GetParam();
    std::vector<std::string> statements;
    std::vector<std::string> wanted;
    for (const auto* list : {&variant.changes, &variant.findings}) {
        for (const auto& text : *list) {
            const auto resolved = TheSample().Resolve(text);
            if (!resolved) {
                GTEST_SKIP() << "the sample has no action for a placeholder of this change";
            }
            (list == &variant.changes ? statements : wanted).push_back(*resolved);
        }
    }
    const std::string name = "variant-" + Slug(variant.name);
    const std::string path = BesideProgram(name + ".msi");
    if (variant.replacement) {
        ASSERT_TRUE(wine::WriteTextFile(path, variant.replacement));
    } else if (variant.package) {
        ASSERT_TRUE(CopyFileA(BesideProgram(variant.package).c_str(), path.c_str(), FALSE));
    } else {
        ASSERT_EQ(BuildVariant(path, statements), "");
    }
    const Checked& sample = SampleChecked();
    const Checked checked = RunChecker(name);
    std::vector<std::string> added;
    for (const auto& finding : checked.findings) {
        const bool inSample = std::find(sample.findings.begin(), sample.findings.end(), finding) !=
                              sample.findings.end();
        if (variant.changes.empty() || !inSample) {
            added.push_back(finding);
        }
    }
    // A variant keeps the sample's own errors.
    const int exitCode =
        variant.exitCode != kFromFindings ? variant.exitCode
        : HasError(wanted) || (!variant.changes.empty() && HasError(sample.findings)) ? 1
                                                                                      : 0;
    ASSERT_EQ(checked.exitCode, static_cast<DWORD>(exitCode)) << "output: " << name << ".txt";
    for (const auto& line : wanted) {
        const auto severityEnd = line.find(": ");
        const auto actionEnd = line.find(": ", severityEnd + 2);
        const std::string lead = line.substr(0, actionEnd + 2);
        const std::string fragment = line.substr(actionEnd + 2);
        EXPECT_TRUE(std::any_of(added.begin(), added.end(),
                                [&](const std::string& finding) {
                                    return finding.rfind(lead, 0) == 0 &&
                                           finding.find(fragment) != std::string::npos;
                                }))
            << "missing finding: " << line;
    }
    EXPECT_EQ(added.size(), wanted.size()) << testing::PrintToString(added);
}

std::string TestName(const testing::TestParamInfo<Variant>& info) {
    return Slug(info.param.name);
}

INSTANTIATE_TEST_SUITE_P(Sample, PackageChecker, testing::ValuesIn(kVariants), TestName);

}  // namespace
}  // namespace zelk::checker
