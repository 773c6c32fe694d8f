#pragma once
// The engine's fixed tables: GET requests waiting for their response, RTMP
// connections between connect and play, and the record items.

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "common/capture_files.h"
#include "common/tcp_segment.h"
#include "osprey/body_coverage.h"
#include "platform/fixed_text.h"

namespace kestrel::osprey {

inline constexpr int kMaxItems = 1000;
inline constexpr std::size_t kRequestEntries = 200;
inline constexpr std::size_t kRtmpConnections = 500;

// The two ends of a TCP connection, named by who serves.
struct Connection {
    std::uint8_t client[4] = {};
    std::uint8_t server[4] = {};
    std::uint16_t clientPort = 0;
    std::uint16_t serverPort = 0;

    static Connection fromClient(const TcpSegment& s) {
        Connection c;
        std::memcpy(c.client, s.sourceAddress, 4);
        std::memcpy(c.server, s.destinationAddress, 4);
        c.clientPort = s.sourcePort;
        c.serverPort = s.destinationPort;
        return c;
    }
    static Connection fromServer(const TcpSegment& s) {
        Connection c;
        std::memcpy(c.server, s.sourceAddress, 4);
        std::memcpy(c.client, s.destinationAddress, 4);
        c.serverPort = s.sourcePort;
        c.clientPort = s.destinationPort;
        return c;
    }
    bool operator==(const Connection& o) const {
        return clientPort == o.clientPort && serverPort == o.serverPort && std::memcmp(client, o.client, 4) == 0 &&
               std::memcmp(server, o.server, 4) == 0;
    }
};

struct RequestEntry {
    bool free = true;
    Connection connection;
    std::uint32_t sequence = 0;  // of the GET segment: a copy sent again is the same request
    FixedText<1300> target;
    FixedText<300> host;
    FixedText<200> contentType;
    FixedText<300> referer;
};

struct RtmpConnection {
    bool free = true;
    Connection connection;
    std::array<std::uint8_t, 1500> connect{};
    std::size_t connectLength = 0;
    // A connect longer than its segment: how many bytes the whole message
    // takes on the wire (capped at the 1500 kept), and the sequence number
    // where the client's next segment goes on with it.
    std::size_t connectWanted = 0;
    std::uint32_t connectNext = 0;
    std::array<std::uint8_t, 500> play{};
    std::size_t playLength = 0;
};

enum ItemState : int {
    kStateEmpty = 0,
    kStateRecording = 1,
    kStateDone = 2,
    kStateFailed = 3,
    kStateCancelled = 4,
    kStateWaiting = 6,
    kStateConverting = 7,
};

// One recording. The capture thread fills and stores into items in state
// Recording (under the packet lock); the worker takes items in Waiting and
// owns them while Converting; the state, written last with release order,
// hands an item over. Queries read the atomics and, under the engine's name
// lock, the local name.
struct RecordItem {
    std::atomic<int> state{kStateEmpty};
    int position = 0;  // 1 to 1000
    std::int32_t id = 0;
    int siteFlag = 0;
    Connection connection;
    std::uint32_t expectedAck = 0;
    FixedText<1000> url;
    FixedText<16> numberName;
    FixedText<50> dataFileName;
    FixedText<50> indexFileName;
    // Guarded by the engine's name lock: the worker replaces it with the
    // name the file really got.
    FixedText<128> localName;  // up to 100 characters, and room for the "(k)" of the final name
    bool renameFailed = false;  // name lock
    // The save folder when the item was made: its files stay there.
    std::shared_ptr<const std::string> folder;

    // Capture side (packet lock).
    bool filesOpen = false;
    std::int32_t headerWritten = 0;
    std::int64_t headBodyLength = 0;
    bool hasLength = false;
    std::int64_t contentLength = 0;
    // Where the body starts: known once the end of the response header was
    // seen. While it is not, the sequence number where the header goes on
    // and the last three bytes seen of it (the empty line may be split).
    bool bodyStartKnown = false;
    std::uint32_t headerContinues = 0;
    std::array<std::uint8_t, 3> headerTail{};
    std::size_t headerTailLength = 0;
    SequenceUnwrapper offsets;
    // Without a Content-Length: where the server's FIN put the body's end.
    bool finKnown = false;
    std::int64_t finOffset = 0;
    BodyCoverage coverage;
    capture_files::CaptureFileWriter files;

    // Read by the queries from any thread.
    std::atomic<std::int64_t> received{0};  // body bytes that arrived, each once
    std::atomic<std::int64_t> expected{0};  // Content-Length raised to received
    std::atomic<std::int64_t> written{0};   // body bytes the worker wrote

    bool is(int s) const { return state.load(std::memory_order_acquire) == s; }
    std::string dataPath() const { return *folder + "Temp/" + dataFileName.str(); }
    std::string indexPath() const { return *folder + "Temp/" + indexFileName.str(); }
    std::string outputPath() const { return *folder + numberName.str(); }
};

}  // namespace kestrel::osprey
