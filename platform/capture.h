#pragma once
// Packet sources and the adapter listing, over libpcap.
//
// Source names: "rpcap://DEV" or "DEV" open the live device DEV;
// "file://PATH" replays a pcap or pcapng file, whose end behaves like the end
// of capture (next() returns a negative value).

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

struct pcap;

namespace kestrel::platform {

inline constexpr int kLinkTypeEthernet = 1;

struct CaptureOptions {
    int snapLength = 65536;
    bool promiscuous = false;
    // How long next() waits for a frame before it returns 0.
    int readTimeoutMs = 1000;
    // Live sources: how long the kernel may hold captured frames back to
    // fill a block before it hands them over (0: readTimeoutMs). Frames it
    // still holds when capture stops never reach the recorder, so a live
    // capture keeps this short.
    int kernelDeliveryMs = 0;
    // The kernel's capture buffer for live sources, in bytes; 0 keeps
    // libpcap's default (2 MB on Linux, which overflows at loopback speed).
    int kernelBufferBytes = 0;
};

// What the kernel says about a live capture (pcap_stats).
struct CaptureCounters {
    bool known = false;            // false for file sources, or when the kernel gave nothing
    std::uint64_t received = 0;    // packets that passed the filter
    std::uint64_t dropped = 0;     // dropped because the capture buffer was full
    std::uint64_t interfaceDropped = 0;
};

struct Frame {
    std::span<const std::uint8_t> bytes;  // the captured bytes
    std::uint32_t wireLength = 0;         // length on the wire
    std::int64_t seconds = 0;
    std::int64_t microseconds = 0;
};

class PacketSource {
public:
    PacketSource() = default;
    ~PacketSource();
    PacketSource(const PacketSource&) = delete;
    PacketSource& operator=(const PacketSource&) = delete;

    // Opens a source by name; on failure returns false and error() holds
    // libpcap's text.
    bool open(const std::string& source, const CaptureOptions& options);
    bool isOpen() const { return handle_ != nullptr; }
    bool isFile() const { return isFile_; }
    int dataLink() const;
    // Compiles and installs a filter; false with error() on failure.
    bool setFilter(const std::string& expression, bool optimize, std::uint32_t netmask);
    // 1: a frame was read; 0: the read time-out passed; negative: error or end of source.
    int next(Frame& frame);
    // The kernel's counters of a live source since it was opened.
    CaptureCounters counters() const;
    void close();
    const std::string& error() const { return error_; }

    // Parses a source name: sets path and isFile for "file://" sources, or the
    // device name for "rpcap://" and bare names.
    static void parseSourceName(const std::string& source, std::string& target, bool& isFile);

private:
    pcap* handle_ = nullptr;
    bool isFile_ = false;
    int selectableFd_ = -1;
    int readTimeoutMs_ = 1000;
    std::string error_;
};

struct AdapterAddress {
    // Both as the four bytes stand in the IP header / in memory.
    std::uint8_t address[4] = {};
    std::uint8_t netmask[4] = {};
};

struct AdapterInfo {
    std::string name;         // "rpcap://DEV"
    std::string description;  // "Network adapter 'DESC' on local host"
    std::vector<AdapterAddress> ipv4;  // in the order libpcap lists them
};

// Lists the capture devices. False (with error) when libpcap cannot list them;
// an empty list is a success.
bool listAdapters(std::vector<AdapterInfo>& out, std::string& error);

// The IPv4 addresses of interfaces that are up, running and not loopback,
// each as four bytes in network order. False when the table cannot be read.
bool listUsableAddresses(std::vector<std::array<std::uint8_t, 4>>& out);

}  // namespace kestrel::platform
