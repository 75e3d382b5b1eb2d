#include "user_failure.h"

const char* ProductStateLine(ProductState state) {
    switch (state) {
    case ProductState::Unchanged: return "【カレドナ】は変更されていません。";
    case ProductState::Restored: return "【カレドナ】は元の状態に戻しました。";
    case ProductState::NotRestored:
        return "【カレドナ】を元の状態に戻せなかったファイルがあります。このプログラムをもう一度起動すると、元に戻します。";
    }
    return "";
}

std::string FailureText(const UserFailure& failure) {
    std::string text = failure.what;
    const auto line = [&text](const std::string& part) {
        if (part.empty()) return;
        if (!text.empty()) text += '\r';
        text += part;
    };
    line(failure.reason);
    if (failure.state) line(ProductStateLine(*failure.state));
    line(failure.advice);
    return text;
}
