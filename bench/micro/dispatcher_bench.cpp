// The packet processor's cost per frame, with references measured on the
// same frames in the same run, so that the figure reads as a ratio:
//
//   dispatch/SEG     PacketDispatcher::process on one recorded download: the
//                    client's GET, the server's response header, body
//                    segments of SEG payload bytes, and frames of an
//                    unrelated connection in between
//   memcpy/SEG       each of the same frames copied into a buffer
//   decode/SEG       decodeTcpSegment alone on each of the same frames
//
// SEG is 1448 (a full Ethernet segment with TCP timestamps) or 65483 (a
// loopback or GRO super-segment); a download is about 1 MB of body either
// way. One iteration is one download. Between downloads, with the clock
// stopped, the item's capture ends (its files are closed, which waits for
// the background writer), its capture data is checked (the whole body must
// be there, else the run stops with an error) and removed, so the disk use
// stays at one download, and the next download moves to a new client port.
// Stopping and starting the clock costs about a microsecond, well under
// 1% of a download; the references do not stop it.
//
// The times are wall-clock times (the capture thread also waits when the
// background writer is behind); the CPU column is the calling thread's.
// Not a test: it prints figures. bench/run runs it with repetitions in
// random interleaving and prints the ratios.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "common/tcp_segment.h"
#include "kestrel/engine/packet_dispatcher.h"
#include "kestrel/engine/record_item_table.h"
#include "tests/support/frame_builder.h"
#include "tests/support/test_files.h"

namespace {

using kestrel::test::buildFrame;
using kestrel::test::FrameSpec;
namespace engine = kestrel::engine;

constexpr std::uint32_t kRequestSeq = 7000;
constexpr std::uint32_t kResponseSeq = 100;
constexpr std::uint16_t kClientPort = 40000;
// One unrelated frame after every this many body segments.
constexpr int kUnrelatedEvery = 4;
// Downloads (each on a client port of its own) a table takes before it is
// replaced, with the clock stopped: the look-up scans every item, so the
// table stays small and alike for every segment size.
constexpr int kItemsPerTable = 16;

const std::string kRequest = "GET /v/clip.flv HTTP/1.1\r\nHost: media.example\r\nAccept: */*\r\n\r\n";

struct Download {
    std::vector<std::vector<std::uint8_t>> frames;
    std::uint64_t frameBytes = 0;
    std::uint64_t bodyBytes = 0;
    std::vector<bool> fromServer;  // frames of the download sent by its server
};

// The frames of one download of `segments` body segments of `segmentSize`
// bytes, to 10.0.0.2:kClientPort from 10.0.0.1:80, with frames of an
// unrelated connection (10.0.0.3:443 to 10.0.0.2:50000, 1448 bytes each)
// in between.
Download makeDownload(std::size_t segmentSize, int segments) {
    Download d;
    auto add = [&](const FrameSpec& s, std::string_view payload) {
        d.frames.push_back(buildFrame(s, payload));
        d.fromServer.push_back(s.sport == 80);
        d.frameBytes += d.frames.back().size();
    };
    FrameSpec client;
    std::memcpy(client.src, "\x0a\x00\x00\x02", 4);
    std::memcpy(client.dst, "\x0a\x00\x00\x01", 4);
    client.sport = kClientPort;
    client.dport = 80;
    client.seq = kRequestSeq;
    client.ack = 1;
    client.tcpOptions = 12;
    add(client, kRequest);

    const std::uint32_t ack = kRequestSeq + static_cast<std::uint32_t>(kRequest.size());
    d.bodyBytes = segmentSize * static_cast<std::size_t>(segments);
    const std::string header = "HTTP/1.1 200 OK\r\nContent-Type: video/x-flv\r\nContent-Length: " +
                               std::to_string(d.bodyBytes) + "\r\n\r\n";
    FrameSpec server;
    server.dport = kClientPort;
    server.seq = kResponseSeq;
    server.ack = ack;
    server.tcpOptions = 12;
    add(server, header);

    FrameSpec other;
    std::memcpy(other.src, "\x0a\x00\x00\x03", 4);
    std::memcpy(other.dst, "\x0a\x00\x00\x02", 4);
    other.sport = 443;
    other.dport = 50000;
    other.seq = 90000;
    other.ack = 3;
    other.tcpOptions = 12;
    const std::string otherPayload(1448, '\x17');

    // Body bytes that look like media and carry no request or status line.
    std::string body(segmentSize, '\0');
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>((i * 131 + 7) & 0xff);
    std::memcpy(body.data(), "FLV\x01\x05", 5);
    std::uint32_t seq = kResponseSeq + static_cast<std::uint32_t>(header.size());
    for (int i = 0; i < segments; ++i) {
        server.seq = seq;
        add(server, body);
        if (i == 0) body[0] = '\x09';  // only the first segment starts like a file
        seq += static_cast<std::uint32_t>(segmentSize);
        if ((i + 1) % kUnrelatedEvery == 0) {
            add(other, otherPayload);
            other.seq += static_cast<std::uint32_t>(otherPayload.size());
        }
    }
    return d;
}

// Body segments per download: about a megabyte either way.
int segmentsFor(std::size_t segmentSize) { return segmentSize >= 10000 ? 16 : 512; }

const Download& downloadFor(std::size_t segmentSize) {
    static const Download small = makeDownload(1448, segmentsFor(1448));
    static const Download large = makeDownload(65483, segmentsFor(65483));
    return segmentSize == 1448 ? small : large;
}

void report(benchmark::State& state, const Download& d) {
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(d.frames.size()));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(d.frameBytes));
    state.counters["frames"] = static_cast<double>(d.frames.size());
    state.counters["frame_bytes"] = static_cast<double>(d.frameBytes);
}

// A save folder of its own under the temp folder, removed at the end.
class SaveFolder {
public:
    SaveFolder() : path_(kestrel::test::tempFolder("kestrel-micro")) {
        if (!path_.empty()) std::filesystem::create_directories(path_ + "Temp");
    }
    ~SaveFolder() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    SaveFolder(const SaveFolder&) = delete;
    SaveFolder& operator=(const SaveFolder&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

struct Session {
    explicit Session(const std::string& save) { dispatcher.beginCapture(save, false); }
    engine::RecordItemTable table;
    engine::PacketDispatcher dispatcher{table};
};

// Moves a download to another client port, so that it becomes a new
// connection and a new recording.
void setClientPort(Download& d, std::uint16_t port) {
    // No IP options in these frames: TCP starts at byte 34.
    constexpr std::size_t kTcp = 34;
    for (std::size_t i = 0; i < d.frames.size(); ++i) {
        auto& f = d.frames[i];
        const std::size_t at = d.fromServer[i] ? kTcp + 2 : (i == 0 ? kTcp : 0);
        if (at == 0) continue;
        f[at] = static_cast<std::uint8_t>(port >> 8);
        f[at + 1] = static_cast<std::uint8_t>(port);
    }
}

void BM_Dispatch(benchmark::State& state) {
    const auto segmentSize = static_cast<std::size_t>(state.range(0));
    Download d = downloadFor(segmentSize);
    SaveFolder save;
    if (save.path().empty()) {
        state.SkipWithError("cannot make a temp folder");
        return;
    }
    auto session = std::make_unique<Session>(save.path());
    engine::Outbox outbox;
    for (auto _ : state) {
        for (const auto& f : d.frames) {
            outbox.clear();
            session->dispatcher.process(f, outbox);
        }
        state.PauseTiming();
        // The download must have become one recording holding the whole
        // body, else the figure would be that of some other path.
        const int n = session->table.count();
        engine::RecordItem* item = session->table.at(n);
        const bool ended = item && item->endCapture();
        const std::string data = save.path() + "Temp/" + (item ? std::string(item->dataFileName.view()) : "");
        std::error_code ec;
        const auto size = std::filesystem::file_size(data, ec);
        if (!ended || ec || size != 5 + d.bodyBytes || session->dispatcher.writeFailures() != 0) {
            state.SkipWithError(("the download was not recorded whole (" + data + ")").c_str());
            break;
        }
        std::filesystem::remove(data, ec);
        std::filesystem::remove(data + ".idx", ec);
        if (n >= kItemsPerTable) {
            session = std::make_unique<Session>(save.path());
            setClientPort(d, kClientPort);
        } else {
            setClientPort(d, static_cast<std::uint16_t>(kClientPort + n));
        }
        state.ResumeTiming();
    }
    report(state, d);
}

void BM_Memcpy(benchmark::State& state) {
    const Download& d = downloadFor(static_cast<std::size_t>(state.range(0)));
    std::vector<std::uint8_t> buffer(256 * 1024);
    for (auto _ : state) {
        for (const auto& f : d.frames) {
            std::memcpy(buffer.data(), f.data(), f.size());
            benchmark::ClobberMemory();
        }
    }
    report(state, d);
}

void BM_Decode(benchmark::State& state) {
    const Download& d = downloadFor(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        for (const auto& f : d.frames) {
            kestrel::TcpSegment s;
            benchmark::DoNotOptimize(kestrel::decodeTcpSegment(f, s));
            benchmark::DoNotOptimize(s);
        }
    }
    report(state, d);
}

}  // namespace

BENCHMARK(BM_Dispatch)->Name("dispatch")->Arg(1448)->Arg(65483)->UseRealTime();
BENCHMARK(BM_Memcpy)->Name("memcpy")->Arg(1448)->Arg(65483)->UseRealTime();
BENCHMARK(BM_Decode)->Name("decode")->Arg(1448)->Arg(65483)->UseRealTime();

BENCHMARK_MAIN();
