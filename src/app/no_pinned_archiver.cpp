#include "pinned_archiver.h"

// Built without a pinned archiver library: none is ever copied.
const char* const kPinnedArchivers = "";
