#pragma once
// The records and texts the library sends its client's window
// (osprey/osprey.h gives their layout), and the sending itself.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "osprey/osprey.h"
#include "osprey/rtmp_commands.h"
#include "platform/message.h"

namespace kestrel::osprey {

// The wParam of the copy-data messages: one value for both HTTP notices,
// one for both RTMP notices.
inline constexpr platform::WParam kHttpNoticeParam = 107;
inline constexpr platform::WParam kRtmpNoticeParam = 108;

using HttpNotice = std::array<std::uint8_t, OSPREY_HTTP_NOTICE_SIZE>;
using RtmpNotice = std::array<std::uint8_t, OSPREY_RTMP_NOTICE_SIZE>;

struct HttpNoticeFields {
    std::uint32_t serverPort = 0;
    std::int32_t siteFlag = 0;
    std::int32_t itemId = 0;
    std::string_view host;
    std::string_view target;
    std::string_view contentType;
    std::string_view referer;
    std::string_view localName;
};

// Every text is copied up to its first NUL and at most to its field's size
// less one, so each field ends with a NUL; the rest is NUL.
HttpNotice buildHttpNotice(const HttpNoticeFields& f);
RtmpNotice buildRtmpNotice(std::uint32_t serverPort, const RtmpStreamTexts& texts);

// The diagnostic line that follows an item notice.
std::string itemDiagnostic(std::string_view localName, std::string_view storedName, std::size_t storedLength);

// Sends OSPREY_WM_COPYDATA synchronously; nothing when window is null.
void sendCopyData(platform::MessageSink* window, platform::WParam wParam, std::uintptr_t dwData,
                  std::span<const std::uint8_t> bytes);
// A text notice: the text and its NUL (cbData = length + 1); a text with
// a NUL inside ends there.
void sendTextNotice(platform::MessageSink* window, std::uintptr_t code, std::string_view text);

}  // namespace kestrel::osprey
