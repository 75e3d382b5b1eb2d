#pragma once
// Runs an action when the scope ends, however it ends: the one shape of the program's one-off
// clean-ups (a flag reset, a window enabled again). The action must not throw.

#include <utility>

template <typename Action>
class [[nodiscard]] ScopeExit {
public:
    explicit ScopeExit(Action action) : action_(std::move(action)) {}
    ~ScopeExit() { action_(); }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

private:
    Action action_;
};
