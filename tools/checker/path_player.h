// The path player: plays a maintenance path (a first installation, a feature added or removed,
// a repair, a major upgrade, the uninstall, a failure and its rollback) over the package's own
// tables, as Windows Installer runs it, on an abstract machine. Feature and component states
// come from the request (ADDLOCAL, REMOVE, REINSTALL), the feature levels and Condition rows,
// the component conditions and what the machine holds; the execute sequence is walked with its
// conditions, Type 51 actions set properties as they go, deferred actions get their data when
// the script is written and take effect when it runs. Each of the nine exports does what its
// page says; of the standard actions those that touch what the invariants look at.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "condition.h"
#include "formatted_text.h"
#include "package_model.h"

namespace zelk::checker::model {

// The products a path meets: the earlier version of the same package, and this one.
constexpr int kEarlierProduct = 0;
constexpr int kThisProduct = 1;

struct Service {
    bool running = false;
    // Deleted while its driver ran: it stays until the machine restarts, and a new service of
    // its name cannot be created before.
    bool marked = false;
    bool operator==(const Service&) const = default;
};

struct Machine {
    // The products holding each component: its files are on the disk while one does.
    std::map<std::string, std::set<int>> clients;
    // The registered products and the features each has installed.
    std::map<int, std::set<std::string>> products;
    std::map<int, std::string> versions;
    // What nothing undoes: driver packages in the driver store (INF names, lower-case) and the
    // publisher's certificate.
    std::set<std::string> staged;
    bool certificateTrusted = false;
    // Root devices by hardware ID, and services by lower-case name.
    std::map<std::string, int> devices;
    std::map<std::string, Service> services;
    // Outcomes recorded in state locations ("key\value", lower-case); each asks for a restart.
    std::set<std::string> stateValues;

    bool Holds(const std::string& component) const;
};

// What the player asks the installer for.
enum class Request { FirstDefault, FirstEvery, Add, Remove, Repair, Uninstall };

// One step of the installation script, or an immediate action the walk ran.
struct Op {
    enum class Kind {
        Action,
        AddFiles,
        RemoveFiles,
        StopServices,
        DeleteServices,
        StartServices,
        Register,
        Unregister,
        DisableRollback,
        Commit,
    };
    Kind kind = Kind::Action;
    std::string name;
    int product = kThisProduct;
    // Components (files), or service names (service steps).
    std::vector<std::string> items;
    std::set<std::string> features;  // Register
    // Actions: the export called (nullptr for the system's service utility), the data read
    // when the script was written, how the installer runs it.
    const DllAction* dll = nullptr;
    std::string data;
    std::string command;       // the service utility's "delete NAME" or "start NAME"
    std::string dllComponent;  // a DLL installed with the product (type 17): its component
    bool immediate = false;
    bool rollback = false;
    bool ignored = false;
    bool impersonated = false;
    bool deferredToEnd = false;  // Return="asyncWait"/"asyncNoWait"
};

// A failure of the walk: the action and the code it returned.
struct Failure {
    std::string action;
    unsigned code = 0;
    std::string why;
};

// What a DLL action saw when it ran, for the invariants on data and order.
struct RunNote {
    std::string action;
    std::string problem;
};

struct SessionResult {
    bool refused = false;  // an error action (type 19) ended it before any change
    std::optional<Failure> failure;
    std::vector<Op> ops;
    // The DLL actions whose condition held, in the order they were reached.
    std::set<std::string> ran;
    std::vector<RunNote> notes;
    std::string reboot;  // REBOOT at the end
    bool rebootScheduled = false;
    bool rebootAskedInitially = false;
    int outcomesRecorded = 0;
    // Each failure put into the script, and the machine its rollback leaves.
    std::vector<std::pair<Failure, Machine>> failures;
    // The action that turned rollback off, if one did.
    std::string rollbackDisabledBy;
    // On a removal: the components of the product it does not remove (a disabled feature's).
    std::set<std::string> kept;
};

struct SessionSpec {
    int product = kThisProduct;
    Request request = Request::FirstDefault;
    std::string feature;  // Add, Remove; FirstDefault: a feature left out
    // Properties of the command line (REBOOT=ReallySuppress, a feature's switch).
    Properties commandLine;
    // A major upgrade: the Upgrade rows are searched for an installed earlier version.
    bool upgrade = false;
    // Inside an upgrade: this product's removal by the newer one.
    bool removedByUpgrade = false;
    // Fail, on a copy of the machine, at each forward action of the script whose failure fails
    // the installation and at the end of the script, with the rollback that follows.
    bool failures = false;
};

// A path played: its name for the findings, what was asked, the machine before and after.
struct Played {
    std::string path;
    SessionSpec spec;
    Machine before;
    Machine after;
    SessionResult result;
    // No invariant failed at its end: a path that goes on from it judges only its own steps.
    bool clean = true;
};

class PathPlayer {
  public:
    PathPlayer(const PackageTables& tables, const std::vector<DllAction>& actions);

    // Plays one installation on the machine, which holds the outcome afterwards (the state
    // before it after a failure's rollback).
    SessionResult Play(const SessionSpec& spec, Machine& machine) const;

    // The feature levels after the Condition rows, as a session with these properties sees
    // them; features installed by default are those from 1 to INSTALLLEVEL.
    std::map<std::string, int> Levels(const ConditionSymbols& symbols) const;
    int InstallLevel() const;

    // The components that carry a driver: an INF the driver actions name, or a kernel image.
    const std::set<std::string>& DriverComponents() const { return driverComponents_; }
    // The root device each component's INF creates ("ROOT\ZELK_VIRTUAL"), where one does.
    const std::map<std::string, std::string>& RootDevices() const { return rootDevices_; }
    // The kernel services the package registers, by lower-case name, and their image's
    // component ("" where the package installs no image for it).
    const std::map<std::string, std::string>& KernelServices() const { return kernelServices_; }
    // INF components (lower-case INF name by component) the driver actions name.
    const std::map<std::string, std::string>& InfComponents() const { return infComponents_; }

    // The properties a session starts with, without the request.
    Properties BaseProperties() const;

    const PackageTables& Tables() const { return tables_; }

  private:
    struct Session;
    struct Undo;

    void Walk(Session& session, Machine& machine, std::vector<Op>* parent) const;
    void Cost(Session& session, const Machine& machine) const;
    void RunRow(Session& session, Machine& machine, const SequenceRow& row,
                std::vector<Op>* parent) const;
    void Queue(Session& session, Op op, std::vector<Op>* parent) const;
    void RunPending(Session& session, Machine& machine) const;
    void Execute(Session& session, Machine& machine, std::size_t index, bool late) const;
    void RunImmediate(Session& session, Machine& machine, const Op& op) const;
    // The effect of one action on the machine; 0 or the code it returns.
    unsigned Apply(Machine& machine, const Op& op, bool failing, std::string& why) const;
    void Roll(Session& session, Machine& machine) const;
    void FailHere(Session& session, const Machine& machine, const Op& op) const;
    // Applies the rollback script so far to the machine.
    void Undone(const Session& session, Machine& machine) const;
    void Keep(Session& session, Undo undo) const;
    void FindRelated(Session& session, const Machine& machine) const;
    void FindServices(Session& session, const Machine& machine) const;
    std::optional<std::string> InfComponentAt(const std::string& path) const;
    bool ImagePresent(const Machine& machine, const std::string& service) const;

    const PackageTables& tables_;
    std::map<std::string, const DllAction*> dll_;
    std::map<std::string, const CustomActionRow*> rows_;
    std::vector<const SequenceRow*> sequence_;
    // Lower-case installed path of each file: its component.
    std::map<std::string, std::string> componentAtPath_;
    std::set<std::string> driverComponents_;
    std::map<std::string, std::string> rootDevices_;
    std::map<std::string, std::string> kernelServices_;
    std::map<std::string, std::string> infComponents_;
    std::map<std::string, std::vector<std::string>> featuresOf_;
};

// Versions compared by their first three fields, as the Upgrade table compares them.
int CompareVersions(const std::string& a, const std::string& b);

}  // namespace zelk::checker::model
