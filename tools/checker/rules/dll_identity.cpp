// Rules: which DLL an action calls, and whether it exports the entry point.
#include "package_model.h"

namespace zelk::checker::model {

// The DLL's actions are known by their source: the entry of an action of this DLL must be
// one of its exports. Where the DLL cannot be read, by their entry as before.
void PackageChecker::CollectDllActions() {
    for (const CustomActionRow& row : tables_.customActions) {
        const int kind = row.type & kBaseAndSourceMask;
        const SequenceRow* scheduled = Scheduled(row.action);
        if ((kind != kDllInBinary && kind != kDllInFile) || scheduled == nullptr ||
            scheduled->sequence <= 0) {
            continue;
        }
        const ExportRule* rule = RuleOf(row.target);
        const CalledDll& dll = DllOf(row);
        if (dll.kind == DllKind::OtherDll || (dll.kind == DllKind::Unread && rule == nullptr)) {
            continue;
        }
        if (dll.kind == DllKind::Unread) {
            ReportUnread(row, dll);
        } else if (!Exports(*dll.image, row.target)) {
            ReportNoExport(row, *dll.image);
            continue;
        }
        if (rule == nullptr) {
            continue;
        }
        const std::optional<Installations> runs = InstallationsOf(scheduled->condition, symbols_);
        actions_.push_back({row.action, rule, row.type, scheduled->sequence, scheduled->condition,
                            runs.value_or(kEveryInstallation), runs.has_value()});
    }
    std::sort(actions_.begin(), actions_.end(),
              [](const DllAction& a, const DllAction& b) { return a.sequence < b.sequence; });
}

bool PackageChecker::InBinary(const CustomActionRow& row) {
    return (row.type & kBaseAndSourceMask) == kDllInBinary;
}

// Read once per Binary row or file, with its version said once.
const CalledDll& PackageChecker::DllOf(const CustomActionRow& row) {
    const std::string key = (InBinary(row) ? "Binary:" : "File:") + row.source;
    const auto known = called_.find(key);
    if (known != called_.end()) {
        return known->second;
    }
    const CalledDll& dll = called_[key] = ReadCalledDll(row);
    if (dll.kind == DllKind::ThisDll) {
        ReportVersion(row, *dll.image);
    }
    return dll;
}

CalledDll PackageChecker::ReadCalledDll(const CustomActionRow& row) const {
    const auto& stored = InBinary(row) ? tables_.binaries : tables_.installedDlls;
    const auto bytes = stored.find(row.source);
    if (bytes == stored.end()) {
        return {DllKind::Unread, std::nullopt,
                InBinary(row) ? "there is no such row"
                              : "the file is neither beside the package nor where the "
                                "package installs it"};
    }
    std::string why;
    std::optional<DllImage> image = ReadDllImage(bytes->second, why);
    if (!image) {
        return {DllKind::Unread, std::nullopt, why};
    }
    const DllKind kind = IsThisDll(*image) ? DllKind::ThisDll : DllKind::OtherDll;
    return {kind, std::move(image), ""};
}

void PackageChecker::ReportVersion(const CustomActionRow& row, const DllImage& image) {
    const std::string version =
        image.fileVersion.empty() ? "without a version resource" : "version " + image.fileVersion;
    findings_.push_back({"ZCA004", Severity::Info, row.source,
                         std::string("holds ") + kDllFileName + " " + version + ".",
                         InBinary(row) ? "Binary" : "File", InBinary(row) ? "Name" : "File"});
}

void PackageChecker::ReportNoExport(const CustomActionRow& row, const DllImage& image) {
    findings_.push_back(
        {"ZCA005", Severity::Error, row.action,
         "its entry point " + Quoted(row.target) + " is not an export of " + kDllFileName + " (" +
             (InBinary(row) ? "Binary row " : "file ") + Quoted(row.source) +
             "): the installer finds nothing to call and the action never does its job "
             "(Windows Installer fails it with error 1723); did you mean " +
             Quoted(NearestExport(image, row.target)) + "?",
         "CustomAction", "Target"});
}

// A DLL in the Binary table the installer cannot load fails every action; a file the
// checker cannot reach may be fine on the machine.
void PackageChecker::ReportUnread(const CustomActionRow& row, const CalledDll& dll) {
    if (!unreadReported_.insert(InBinary(row) ? "Binary:" + row.source : row.source).second) {
        return;
    }
    if (InBinary(row)) {
        findings_.push_back({"ZCA006", Severity::Error, row.action,
                             "its Binary row " + Quoted(row.source) +
                                 " holds no DLL that can be read: " + dll.why +
                                 "; the installer cannot load it, so the action never runs.",
                             "CustomAction", "Source"});
        return;
    }
    findings_.push_back({"ZCA007", Severity::Warning, row.action,
                         "the DLL it calls (File row " + Quoted(row.source) +
                             ") cannot be read: " + dll.why +
                             "; the checker takes its entry point for the export of that "
                             "name without seeing the DLL's exports.",
                         "CustomAction", "Source"});
}

}  // namespace zelk::checker::model
