#pragma once
// Window messages of the recording list's commands. The context menu sends
// them to the main window, which hands them to RecordingList::handleMessage.
// wParam is a row of the list unless said otherwise; lParam is 0.

#include <cstdint>

namespace kestrel::shell {

inline constexpr std::uint32_t WM_STOP_ITEM = 0x801E;            // stop one row's recording
inline constexpr std::uint32_t WM_REMOVE_ITEM = 0x801F;          // remove one row
inline constexpr std::uint32_t WM_SHOW_PROPERTIES = 0x8051;      // Properties dialog of a row
inline constexpr std::uint32_t WM_ADD_ITEM_TO_PLAYLIST = 0x8052; // add a row's file to the playlist
inline constexpr std::uint32_t WM_OPEN_CONTAINING_FOLDER = 0x8053;
inline constexpr std::uint32_t WM_ITEM_RENAMED = 0x8055;         // wParam: record item index; refresh its row
inline constexpr std::uint32_t WM_RENAME_LOCAL_FILE = 0x8056;    // Rename dialog of a row

// Commands of the list's context menu, in the order they appear.
inline constexpr int ID_STOP_RECORDING_ITEMS = 32784;
inline constexpr int ID_DELETE_ITEMS = 32786;
inline constexpr int ID_ITEM_PROPERTIES = 32798;
inline constexpr int ID_RENAME_LOCAL_FILE = 32802;
inline constexpr int ID_ADD_TO_PLAYLIST = 32799;
inline constexpr int ID_OPEN_CONTAINING_FOLDER = 32800;

}  // namespace kestrel::shell
