#include "osprey/notices.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace kestrel::osprey {

namespace {

void putLe32(std::uint8_t* at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

template <std::size_t N>
void putText(std::array<std::uint8_t, N>& record, std::size_t offset, std::size_t size, std::string_view text) {
    std::size_t n = text.find('\0');
    if (n == std::string_view::npos) n = text.size();
    if (n > size - 1) n = size - 1;
    if (n > 0) std::memcpy(record.data() + offset, text.data(), n);  // an empty view may have no data at all
    std::memset(record.data() + offset + n, 0, size - n);
}

}  // namespace

HttpNotice buildHttpNotice(const HttpNoticeFields& f) {
    HttpNotice n{};
    putLe32(n.data() + OSPREY_HTTP_SERVER_PORT, f.serverPort);
    putLe32(n.data() + OSPREY_HTTP_SITE_FLAG, static_cast<std::uint32_t>(f.siteFlag));
    putLe32(n.data() + OSPREY_HTTP_ITEM_ID, static_cast<std::uint32_t>(f.itemId));
    putText(n, OSPREY_HTTP_HOST, 300, f.host);
    putText(n, OSPREY_HTTP_TARGET, 1300, f.target);
    putText(n, OSPREY_HTTP_CONTENT_TYPE, 200, f.contentType);
    putText(n, OSPREY_HTTP_REFERER, 500, f.referer);
    putText(n, OSPREY_HTTP_LOCAL_NAME, 100, f.localName);
    return n;
}

RtmpNotice buildRtmpNotice(std::uint32_t serverPort, const RtmpStreamTexts& texts) {
    RtmpNotice n{};
    putLe32(n.data() + OSPREY_RTMP_SERVER_PORT, serverPort);
    putText(n, OSPREY_RTMP_TC_URL, 500, texts.tcUrl);
    putText(n, OSPREY_RTMP_APP, 200, texts.app);
    putText(n, OSPREY_RTMP_STREAM, 500, texts.streamName);
    putText(n, OSPREY_RTMP_SWF_URL, 1000, texts.swfUrl);
    putText(n, OSPREY_RTMP_PAGE_URL, 500, texts.pageUrl);
    return n;
}

std::string itemDiagnostic(std::string_view localName, std::string_view storedName, std::size_t storedLength) {
    std::string text = "l_LocalFile = ";
    text += localName;
    text += ", file name = ";
    text += storedName;
    text += ", len = ";
    text += std::to_string(storedLength);
    return text;
}

void sendCopyData(platform::MessageSink* window, platform::WParam wParam, std::uintptr_t dwData,
                  std::span<const std::uint8_t> bytes) {
    if (!window) return;
    OspreyCopyData data{dwData, static_cast<std::uint32_t>(bytes.size()), bytes.data()};
    window->send(OSPREY_WM_COPYDATA, wParam, reinterpret_cast<platform::LParam>(&data));
}

void sendTextNotice(platform::MessageSink* window, std::uintptr_t code, std::string_view text) {
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    const auto nul = std::find(bytes.begin(), bytes.end(), std::uint8_t{0});
    bytes.erase(nul, bytes.end());
    bytes.push_back(0);
    sendCopyData(window, static_cast<platform::WParam>(code), code, bytes);
}

}  // namespace kestrel::osprey
