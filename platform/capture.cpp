#include "platform/capture.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kestrel::platform {

namespace {
constexpr const char* kRpcapPrefix = "rpcap://";
constexpr const char* kFilePrefix = "file://";
constexpr std::size_t kFileReadBuffer = 1 << 20;

bool startsWith(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}
}  // namespace

PacketSource::~PacketSource() {
    close();
}

void PacketSource::parseSourceName(const std::string& source, std::string& target, bool& isFile) {
    isFile = false;
    if (startsWith(source, kFilePrefix)) {
        isFile = true;
        target = source.substr(std::strlen(kFilePrefix));
    } else if (startsWith(source, kRpcapPrefix)) {
        target = source.substr(std::strlen(kRpcapPrefix));
    } else {
        target = source;
    }
}

bool PacketSource::open(const std::string& source, const CaptureOptions& options) {
    close();
    error_.clear();
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    std::string target;
    parseSourceName(source, target, isFile_);
    if (target.empty()) {
        error_ = "no capture source given";
        return false;
    }
    if (isFile_) {
        // Read through a large buffer: a capture file is read once, front to
        // back, and small reads would cost a system call every few frames.
        std::FILE* file = std::fopen(target.c_str(), "rb");
        if (!file) {
            error_ = target + ": " + std::strerror(errno);
            return false;
        }
        std::setvbuf(file, nullptr, _IOFBF, kFileReadBuffer);
        handle_ = pcap_fopen_offline(file, errbuf);
        if (!handle_) {
            std::fclose(file);
            error_ = errbuf;
            return false;
        }
        return true;
    }
    handle_ = pcap_create(target.c_str(), errbuf);
    if (!handle_) {
        error_ = errbuf;
        return false;
    }
    pcap_set_snaplen(handle_, options.snapLength);
    pcap_set_promisc(handle_, options.promiscuous ? 1 : 0);
    pcap_set_timeout(handle_, options.kernelDeliveryMs > 0 ? options.kernelDeliveryMs : options.readTimeoutMs);
    if (options.kernelBufferBytes > 0) pcap_set_buffer_size(handle_, options.kernelBufferBytes);
    int rc = pcap_activate(handle_);
    if (rc < 0) {
        // pcap_geterr gives the detail for generic errors; the status text
        // names the rest (no such device, permission denied, ...).
        std::string detail = pcap_geterr(handle_);
        error_ = (rc == PCAP_ERROR && !detail.empty()) ? detail : std::string(pcap_statustostr(rc));
        if (rc != PCAP_ERROR && !detail.empty()) error_ += ": " + detail;
        pcap_close(handle_);
        handle_ = nullptr;
        return false;
    }
    // libpcap's own wait on Linux does not return while an adapter stays
    // silent, so a stop request would wait for the next frame. Read without
    // blocking and wait on the descriptor ourselves, for at most the time-out.
    readTimeoutMs_ = options.readTimeoutMs;
    selectableFd_ = pcap_get_selectable_fd(handle_);
    if (selectableFd_ >= 0 && pcap_setnonblock(handle_, 1, errbuf) != 0) selectableFd_ = -1;
    return true;
}

int PacketSource::dataLink() const {
    return handle_ ? pcap_datalink(handle_) : -1;
}

bool PacketSource::setFilter(const std::string& expression, bool optimize, std::uint32_t netmask) {
    if (!handle_) return false;
    bpf_program program{};
    if (pcap_compile(handle_, &program, expression.c_str(), optimize ? 1 : 0, netmask) < 0) {
        error_ = pcap_geterr(handle_);
        return false;
    }
    bool ok = pcap_setfilter(handle_, &program) == 0;
    if (!ok) error_ = pcap_geterr(handle_);
    pcap_freecode(&program);
    return ok;
}

int PacketSource::next(Frame& frame) {
    if (!handle_) return -1;
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    int rc = pcap_next_ex(handle_, &header, &data);
    if (rc == 0 && !isFile_ && selectableFd_ >= 0) {
        pollfd p{selectableFd_, POLLIN, 0};
        if (::poll(&p, 1, readTimeoutMs_) > 0) rc = pcap_next_ex(handle_, &header, &data);
    }
    if (rc == 1) {
        frame.bytes = {data, header->caplen};
        frame.wireLength = header->len;
        frame.seconds = header->ts.tv_sec;
        frame.microseconds = header->ts.tv_usec;
    } else if (rc == PCAP_ERROR) {
        error_ = pcap_geterr(handle_);
    }
    return rc;
}

CaptureCounters PacketSource::counters() const {
    CaptureCounters c;
    if (!handle_ || isFile_) return c;
    pcap_stat st{};
    if (pcap_stats(handle_, &st) != 0) return c;
    c.known = true;
    c.received = st.ps_recv;
    c.dropped = st.ps_drop;
    c.interfaceDropped = st.ps_ifdrop;
    return c;
}

void PacketSource::close() {
    if (handle_) {
        pcap_close(handle_);
        handle_ = nullptr;
    }
    selectableFd_ = -1;
}

bool listAdapters(std::vector<AdapterInfo>& out, std::string& error) {
    out.clear();
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_if_t* devices = nullptr;
    if (pcap_findalldevs(&devices, errbuf) != 0) {
        error = errbuf;
        return false;
    }
    for (pcap_if_t* d = devices; d; d = d->next) {
        AdapterInfo info;
        info.name = std::string(kRpcapPrefix) + d->name;
        // The listings cut the wrapping text off again; wrapping keeps every
        // adapter's description in the one shape those cuts expect.
        std::string desc = (d->description && *d->description) ? d->description : d->name;
        info.description = "Network adapter '" + desc + "' on local host";
        for (pcap_addr_t* a = d->addresses; a; a = a->next) {
            if (!a->addr || a->addr->sa_family != AF_INET) continue;
            AdapterAddress addr;
            const auto* sin = reinterpret_cast<const sockaddr_in*>(a->addr);
            std::memcpy(addr.address, &sin->sin_addr, 4);
            if (a->netmask && a->netmask->sa_family == AF_INET) {
                const auto* mask = reinterpret_cast<const sockaddr_in*>(a->netmask);
                std::memcpy(addr.netmask, &mask->sin_addr, 4);
            }
            info.ipv4.push_back(addr);
        }
        out.push_back(std::move(info));
    }
    pcap_freealldevs(devices);
    return true;
}

bool listUsableAddresses(std::vector<std::array<std::uint8_t, 4>>& out) {
    out.clear();
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return false;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        const unsigned flags = i->ifa_flags;
        if (!(flags & IFF_UP) || !(flags & IFF_RUNNING) || (flags & IFF_LOOPBACK)) continue;
        std::array<std::uint8_t, 4> a{};
        std::memcpy(a.data(), &reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr, 4);
        out.push_back(a);
    }
    ::freeifaddrs(list);
    return true;
}

}  // namespace kestrel::platform
