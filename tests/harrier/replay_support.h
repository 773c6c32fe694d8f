#pragma once
// Running a recorder's live capture over a capture file.

#include <cstdint>
#include <string>
#include <vector>

#include "harrier/recorder.h"
#include "harrier_test_support.h"

namespace kestrel::harrier::test {

struct ReplayResult {
    int startup = 0;
    std::vector<Report> started;  // HARRIER_CAPTURE_STARTED, in order
    std::vector<Report> ended;    // the end reports, in the order of started
    HarrierCaptureStats stats{};
};

// Starts the capture on file://pcap, waits for its end, then ends every
// item still recording (as a host would when a replay is over) and waits
// for every end report.
ReplayResult replay(Recorder& recorder, TestHost& host, const std::string& pcap, const std::string& folder,
                    int packetType = 2, const char* hostFilter = "N/A");

}  // namespace kestrel::harrier::test
