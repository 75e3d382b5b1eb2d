#include "transfer_pacer.h"

#include <algorithm>

namespace nx::engine {

TransferPacer::TransferPacer(Reporter report) : report_(std::move(report)) {
    gathered_.assign(kMaxGathered, '\0');
    gathered_.clear();  // the room is kept
}

void TransferPacer::Clear() {
    held_.clear();
    hasHeld_ = false;
    gathered_.clear();
    reported_ = 0;
    lastEvent_ = Clock::time_point{};
}

void TransferPacer::Start() {
    Clear();
    lastEvent_ = Clock::now();
}

void TransferPacer::Arrived(const std::vector<std::string_view>& pieces, bool lastMayEnd) {
    if (pieces.empty()) return;
    if (hasHeld_) {
        hasHeld_ = false;
        Gather(held_);
    }
    const std::size_t now = pieces.size() - (lastMayEnd ? 1 : 0);
    for (std::size_t i = 0; i < now; ++i) Gather(pieces[i]);
    if (lastMayEnd) {
        held_.assign(pieces.back());
        hasHeld_ = true;
    }
    Report(false);
}

void TransferPacer::Ended(const std::vector<std::string_view>& pieces) {
    if (hasHeld_) Gather(held_);
    hasHeld_ = false;
    for (const std::string_view piece : pieces) Gather(piece);
    Report(true);
}

void TransferPacer::Gather(std::string_view bytes) {
    if (!gathered_.empty() && gathered_.size() + bytes.size() > kMaxGathered) Report(true);
    gathered_.append(bytes);
}

void TransferPacer::Report(bool now) {
    if (gathered_.empty()) return;
    if (!now && Clock::now() - lastEvent_ < kInterval) return;
    reported_ += gathered_.size();
    report_(reported_, gathered_);
    gathered_.clear();
    // Counted from the end of the handler, so that a slow handler still leaves the interval to
    // the transfer.
    lastEvent_ = Clock::now();
}

std::chrono::milliseconds TransferPacer::UntilDue(std::chrono::milliseconds longest) const {
    if (gathered_.empty()) return longest;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(lastEvent_ + kInterval - Clock::now());
    return std::clamp(left + std::chrono::milliseconds(1), std::chrono::milliseconds(1), longest);
}

}  // namespace nx::engine
