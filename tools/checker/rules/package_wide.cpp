// Rules about the whole package rather than one action of the DLL: how it installs, how its
// conditions survive the build, how it finds the versions it replaces.
#include "package_model.h"

namespace zelk::checker::model {
namespace {

// The first component that the condition compares as a bare name ("C=3", "C = 2"): the
// operator that would make it a state ($ ? & !) is missing. "" when none.
std::string BareComponent(const std::string& condition, const PackageTables& tables) {
    for (const PropertyRead& read : PropertiesRead(condition)) {
        if (read.compared && tables.componentDirectories.count(read.name) != 0 &&
            tables.properties.count(read.name) == 0) {
            return read.name;
        }
    }
    return "";
}

}  // namespace

void PackageChecker::ReportNoAction() {
    findings_.push_back(
        {"ZCA001", Severity::Error, "InstallExecuteSequence",
         "no scheduled custom action calls one of the nine exports of zelk_ca.dll (a "
         "DLL action, type 1 or 17, whose entry point is CA_InstallDriver, "
         "CA_InstallNonePnPDriver or another of them): the package never runs the DLL, "
         "so there is nothing to check.",
         "InstallExecuteSequence", ""});
}

void PackageChecker::CheckNesting() {
    for (const SequenceRow& row : tables_.installExecuteSequence) {
        if (NestsTooDeep(row.condition)) {
            findings_.push_back({"ZCA002", Severity::Error, row.action,
                                 "its condition nests parentheses or NOTs more than " +
                                     std::to_string(kMaxConditionNesting) +
                                     " deep: the checker does not judge it; write it flat.",
                                 "InstallExecuteSequence", "Condition"});
        }
    }
    for (const CustomActionRow& row : tables_.customActions) {
        if ((row.type & kTypeMask) == kSetProperty &&
            ResolveFormatted(tables_, row.target).tooDeep) {
            findings_.push_back({"ZCA003", Severity::Error, row.action,
                                 "its formatted value nests brackets more than " +
                                     std::to_string(kMaxFormattedNesting) +
                                     " deep: the checker does not resolve it; write it flat.",
                                 "CustomAction", "Target"});
        }
    }
}

// Drivers and services serve the machine: the package must install per machine.
void PackageChecker::CheckPerMachine() {
    const auto value = [&](const char* name) {
        const auto property = tables_.properties.find(name);
        return property == tables_.properties.end() ? std::string() : property->second;
    };
    const std::string allUsers = value("ALLUSERS");
    if (allUsers == "1" || (allUsers == "2" && value("MSIINSTALLPERUSER") != "1")) {
        return;
    }
    findings_.push_back(
        {"ZCA097", Severity::Error, "ALLUSERS",
         "the package installs per user (ALLUSERS is " +
             (allUsers.empty() ? std::string("not set") : Quoted(allUsers)) +
             "): the installer does not ask for administrator rights, so the actions that "
             "change drivers and services fail, and the product is registered for one user "
             "while its drivers serve every user; set ALLUSERS to 1 (WiX: "
             "InstallScope=\"perMachine\").",
         "Property", "Value"});
}

void PackageChecker::CheckLostActionState() {
    for (const SequenceRow& row : tables_.installExecuteSequence) {
        if (row.sequence <= 0 || NestsTooDeep(row.condition)) {
            continue;
        }
        const std::string component = BareComponent(row.condition, tables_);
        if (component.empty()) {
            continue;
        }
        findings_.push_back(
            {"ZCA111", Severity::Error, row.action,
             Text("its condition ", Quoted(row.condition), " compares ", Quoted(component),
                  ", a component, as a property, which is never set: wixl turns \"$", component,
                  "\" into \"", component,
                  "\" in an author's own conditions, so the action follows no component state; "
                  "write the $ through a preprocessor variable (<?define ActionState = \"$\"?>, "
                  "then $(var.ActionState)",
                  component, "=3)."),
             "InstallExecuteSequence", "Condition"});
    }
}

}  // namespace zelk::checker::model
