#include "update_host.h"

const char* const kUpdateHost = KARUPDT_UPDATE_HOST;
