#pragma once
// The update package's 19 files as the tests know them, written out here and nowhere else in the
// tests. Kept apart from the package's manifest (package-components.txt), from which the program's
// tables and the package scripts are made, so that a wrong line there fails a test: the downloads
// and the installation are compared with this list, and so are the program's tables.

#include <string>
#include <vector>

namespace expected {

// When the updater fetches the file.
enum class Fetched { Always, RegistrationTool, ImageKit5, ImageKit6 };
// Where what it expands to goes.
enum class Into {
    Product,      // the product folder
    GroupFolder,  // the product's グループマスタ folder
    Seed,         // the product folder, only when the file is missing there
    Executable,   // replaces the product's program
    WorkFolder,   // stays in the work folder (the registration tool)
    ImageKit5,    // the control's folder
    ImageKit6,
};

struct Component {
    const char* served;  // on the server and in the work folder
    Fetched fetched;
    const char* expanded;   // what it expands to; for an archive, the control it holds
    int expansion;          // its place in the order of expansion; 0 for the archives
    int step;               // the progress step shown when its expansion starts; 0: none
    Into into;
    const char* installed;  // its name where it is installed ("" for the registration tool)
    const char* number;     // the number of its installation step in failure messages; "" none
};

// In download order.
const std::vector<Component>& PackageComponents();

// The served names in download order, for a selection of 16, 18 (ImageKit 6 missing) or 19.
std::vector<std::string> ExpectedDownloads(bool imageKit5Current, bool imageKit6Present);

}  // namespace expected
