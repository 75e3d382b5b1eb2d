#pragma once
// How a Get fails inside the engine: thrown from where the failure is seen, caught at the Get's
// entry, and returned there as the error code with its text (HTTP_GetLastError).

#include <string>

namespace nx::engine {

struct Failure {
    int code;          // an ErrorCode of engine.h, or the status of an answer that is not 2xx
    std::string text;  // UTF-8; converted to ANSI at the entry
};

}  // namespace nx::engine
