#pragma once
// When the body of an answer is reported in transfer events.
//
// Body bytes that arrive close together are reported in one event, at most about one per screen
// refresh: a handler that paints progress for every receive would otherwise cost more than the
// transfer itself. The last bytes of a body are always reported at once. A piece that may be the
// body's last (a chunked body, or one that ends with the connection, shows its end only in the
// next receive) waits, copied, until more of the body arrives or the body ends: the events of an
// answer that then fails never report its last piece, so the count the application sees never
// reaches the end.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace nx::engine {

class TransferPacer {
public:
    using Clock = std::chrono::steady_clock;
    // Raises one transfer event: the body bytes reported so far, and the bytes of this event.
    using Reporter = std::function<void(std::uint64_t total, std::string_view bytes)>;

    static constexpr auto kInterval = std::chrono::milliseconds(16);
    // The most bytes gathered for one event: more are reported before the interval is over. On
    // loopback a body arrives at several hundred MB a second, and a buffer that grew with it
    // would be copied and faulted in anew at every doubling (48 ms for 16 MB to 32 MB under Wine
    // here, with the window not dispatching meanwhile). This one is as large as one receive, and
    // is made with the object, its pages touched then rather than by the first large body:
    // touching a page for the first time costs more than copying it (2.7 ms a MB under Wine here,
    // against 0.2).
    static constexpr std::size_t kMaxGathered = 1024 * 1024;

    explicit TransferPacer(Reporter report);

    // Forgets everything (a new answer).
    void Clear();
    // The body starts: its first bytes are gathered for one interval too, so that a body that
    // arrives within it is reported in a single event.
    void Start();
    // The pieces of one receive, the body going on. `lastMayEnd`: the last of them may end the body.
    void Arrived(const std::vector<std::string_view>& pieces, bool lastMayEnd);
    // Reports what is gathered once the interval since the last event is over.
    void ReportIfDue() { Report(false); }
    // The body ended complete with these pieces: everything still unreported is reported now.
    void Ended(const std::vector<std::string_view>& pieces);
    // How long a wait may last before gathered bytes are due: `longest` when none are.
    std::chrono::milliseconds UntilDue(std::chrono::milliseconds longest) const;

private:
    void Gather(std::string_view bytes);
    void Report(bool now);

    Reporter report_;
    std::string held_;  // a piece that may be the body's last, not yet reported
    bool hasHeld_ = false;
    std::string gathered_;  // body bytes for the next event
    std::uint64_t reported_ = 0;
    Clock::time_point lastEvent_;  // when the last event's handler returned
};

}  // namespace nx::engine
