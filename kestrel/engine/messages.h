#pragma once
// Window messages to the main window. The values are fixed: other programs
// and libraries post some of them.

#include <cstdint>

namespace kestrel::engine {

inline constexpr std::uint32_t WM_CAPTURE_ENDED = 0x8001;
inline constexpr std::uint32_t WM_START_CAPTURE = 0x8002;
inline constexpr std::uint32_t WM_STOP_CAPTURE = 0x8003;
inline constexpr std::uint32_t WM_ITEM_RECEIVING = 0x8004;
inline constexpr std::uint32_t WM_STREAM_ENDED = 0x8006;
inline constexpr std::uint32_t WM_ITEM_STATE_CHANGED = 0x8007;
inline constexpr std::uint32_t WM_VERSION_CHECKED = 0x800A;
inline constexpr std::uint32_t WM_HARRIER_CAPTURE_REPORT = 0x8020;
inline constexpr std::uint32_t WM_HARRIER_DOWNLOAD_REPORT = 0x8021;
inline constexpr std::uint32_t WM_ITEM_FINISHED = 0x8054;
inline constexpr std::uint32_t WM_REPAIR_FLV = 0x8057;
inline constexpr std::uint32_t WM_PROCESS_ITEMS = 0x805A;
inline constexpr std::uint32_t WM_PROCESS_ITEMS_BUILTIN = 0x805B;
inline constexpr std::uint32_t WM_CONVERT_RTMP_ONLY = 0x805C;
inline constexpr std::uint32_t WM_SECOND_INSTANCE = 0x83EB;

}  // namespace kestrel::engine
