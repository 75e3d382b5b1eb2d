#pragma once
// A failure as the user reads it: what failed, the reason, and what became of the product, each on
// a line of its own. Every message about a failure of the run is put together by FailureText, and
// each line about the product's state is written once, here.

#include <optional>
#include <string>
#include <utility>

// What became of the product: the last line of a message about a failure.
enum class ProductState {
    Unchanged,    // the run stopped before it changed anything
    Restored,     // the installation failed, and every file it had changed is back
    NotRestored,  // some files could not be put back; the next start of the program does it
};

// The line that says it.
const char* ProductStateLine(ProductState state);

struct UserFailure {
    UserFailure(std::string what, std::string reason = "", std::optional<ProductState> state = std::nullopt,
                std::string advice = "")
        : what(std::move(what)), reason(std::move(reason)), state(state), advice(std::move(advice)) {}

    std::string what;    // what failed ("コンポーネントの展開(6)に失敗しました。終了します。")
    std::string reason;  // why, when known: the system's, the server's or the program's words
    // What became of the product, where the part of the run that reports the failure knows it.
    std::optional<ProductState> state;
    std::string advice;  // what the user can do, when there is something to say
};

// The message: what failed, the reason, the state and the advice, those that are not empty, each
// on a line of its own ("\r").
// A step of the run throws Exception(FailureText({what, reason})); the part that knows what became
// of the product adds the state to the text it caught (FailureText({error.what(), "", state})).
std::string FailureText(const UserFailure& failure);
