#include "replay_support.h"

#include <algorithm>
#include <chrono>
#include <thread>


namespace kestrel::harrier::test {

ReplayResult replay(Recorder& recorder, TestHost& host, const std::string& pcap, const std::string& folder,
                    int packetType, const char* hostFilter) {
    ReplayResult r;
    const std::size_t first = host.reports().size();  // earlier reports are not this replay's
    r.startup = recorder.startup(folder.c_str(), ("file://" + pcap).c_str(), 0, packetType, hostFilter, 9);
    if (r.startup != HARRIER_STARTED) return r;
    host.waitFor([&](const auto&) { return !recorder.captureRunning(); }, std::chrono::minutes(5));
    r.stats = recorder.captureStats();
    auto isEnd = [](const Report& x) {
        return x.msg == HARRIER_MSG_CAPTURE &&
               (x.wParam == HARRIER_CAPTURE_ENDED || x.wParam == HARRIER_CAPTURE_DELETED || x.wParam == HARRIER_CAPTURE_LOST);
    };
    // Items that saw no play stop end now; their queues are written first.
    host.pumpFor(std::chrono::milliseconds(50));
    std::vector<Report> started;
    for (std::size_t i = first; i < host.reports().size(); ++i) {
        const Report& x = host.reports()[i];
        if (x.msg == HARRIER_MSG_CAPTURE && x.wParam == HARRIER_CAPTURE_STARTED) started.push_back(x);
    }
    for (const auto& s : started) recorder.endRecord(0, s.block.index, false);
    host.waitFor(
        [&](const std::vector<Report>& rs) {
            return static_cast<std::size_t>(std::count_if(rs.begin() + static_cast<std::ptrdiff_t>(first), rs.end(),
                                                          isEnd)) >= started.size();
        },
        std::chrono::minutes(2));
    r.started = started;
    for (const auto& s : started) {
        for (std::size_t i = first; i < host.reports().size(); ++i) {
            const Report& x = host.reports()[i];
            if (isEnd(x) && std::string(x.block.fileName) == s.block.fileName) {
                r.ended.push_back(x);
                break;
            }
        }
    }
    return r;
}

}  // namespace kestrel::harrier::test
