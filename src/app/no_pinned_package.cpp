#include "pinned_package.h"

// Built without a pinned package: every file is taken as it comes.
const char* const kPinnedPackage = "";
