#pragma once
// The properties that the front writes into one engine object and reads back: texts (ANSI bytes
// as the front gives them) and integers, each integer checked against its range when written.
// Connected and Idle are not stored here: the Get session answers them from its state.

#include <cstdint>
#include <map>
#include <string>

namespace nx::engine {

class Properties {
public:
    Properties();

    static bool IsText(int id);
    static bool IsInteger(int id);
    static bool Exists(int id) { return IsText(id) || IsInteger(id); }

    // Writes a text (a pointer to ANSI bytes, null for "") or an integer. Returns 0, or an error
    // code with the user's text in `error`. The read-only properties are refused by the caller.
    int Set(int id, std::intptr_t value, std::string& error);

    // A text as a pointer to its bytes, valid until the property is written again, or an integer.
    std::intptr_t Value(int id) const;
    const std::string& text(int id) const { return texts_.at(id); }
    std::int32_t integer(int id) const { return integers_.at(id); }

private:
    std::map<int, std::string> texts_;
    std::map<int, std::int32_t> integers_;
};

}  // namespace nx::engine
