#pragma once
// The installation of a downloaded update, with no window of its own: expands the components,
// checks everything and saves every file it will replace, replaces the product's files in one
// transaction (all or nothing), installs and registers the ImageKit controls that are due,
// replaces the product's executable keeping the one it replaces as karemain.old, cleans up and
// writes the update log. What it shows and asks goes through InstallationView.

#include "staging.h"
#include "transaction.h"

#include <string>

// What the installation shows and asks while it runs.
class InstallationView {
public:
    virtual ~InstallationView() = default;
    virtual void ShowMessage(const std::string& text) = 0;  // the message line
    virtual void ShowStep(int step) = 0;                    // the installation has reached `step`
    // Asks the user to end the product while its window is open; false when the user stops.
    virtual bool ProductEnded() = 0;
};

// The installation that the start-up checks found.
struct InstallationTarget {
    std::string installPath;  // the product folder, ending with "\"
    std::string workPath;     // its work folder, ending with "\"
    std::string oldVersion;   // the version installed now
    std::string imageKit5Path;
    std::string imageKit6Path;
    bool imageKit5Current = false;  // nothing to install for ImageKit 5
    bool imageKit6Present = false;  // nothing to install for ImageKit 6
};

class Installation {
public:
    // The downloaded files are in `staging`, which records what the run wrote there.
    Installation(InstallationTarget target, StagingFolder& staging, InstallationView& view);

    struct Result {
        bool cancelled = false;  // the user stopped it before anything was changed
        std::string notSaved;    // the update is complete but its log could not be written: why
    };
    // The whole installation. A failure throws Exception with the message the user reads: what
    // failed, why, and what became of the product.
    Result Run();

    // What an installation into `target` may replace and create, for checking a journal left by
    // an installation that was cut short.
    static JournalScope Scope(const InstallationTarget& target);

private:
    struct InstallPlan;

    std::string InstallComponents();
    // Checks everything the installation needs, takes the ImageKit controls out of their archives
    // into the work folder and saves every file that will be replaced; changes nothing in the
    // product. Throws the failure of the step that cannot be done.
    void PlanInstallation(InstallPlan& plan, FileTransaction& transaction);
    // Replaces the files of the plan, registers the controls and replaces the executable, keeping
    // the old one as karemain.old. Throws the failure; the caller undoes the transaction.
    void InstallFiles(const InstallPlan& plan, FileTransaction& transaction);
    [[noreturn]] void CreateError(const std::string& message);
    // Records what the run wrote into a file of the staging folder; in a build for a pinned package
    // it must be the vendor's. Throws the mismatch.
    void RecordStaged(const std::string& path, const FileDigest& digest);
    // What the run recorded for a file of the staging folder; throws when it wrote no such file.
    FileDigest Expected(const std::string& path) const;
    // Extracts an LHA archive into `folder` (given without its trailing "\") through the archiver;
    // returns the archiver's result (0 when it succeeded).
    int ExtractArchive(const std::string& archive, const std::string& folder, const std::string& options);
    // Runs the downloaded registration tool silently on a control file and waits for its end;
    // throws when it cannot start, does not end in time or ends with a failure.
    void RegisterControl(const std::string& controlFile);
    static constexpr DWORD kRegistrationTimeoutMs = 120000;

    InstallationTarget target_;
    StagingFolder& staging_;
    InstallationView& view_;
};
