#pragma once
// setting.ini: the program's settings, section "Normal".

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel::engine {

inline constexpr const char* kSettingsSection = "Normal";
inline constexpr std::int32_t kDefaultNetmask = 16777215;  // 255.255.255.0 as the mask bytes read in memory
inline constexpr std::int32_t kRecordingNumberMax = 2147483639;
inline constexpr std::int32_t kDefaultCaptureBufferMb = 64;
inline constexpr std::int32_t kMaxCaptureBufferMb = 2047;

// What the options dialog edits.
struct SettingsRecord {
    std::string adapterDescription;  // AdapterDescription
    std::string adapterName;         // Adapter
    std::string address;             // IP
    std::string language;            // Language
    std::int32_t netmask = 0;        // Netmask
    std::int32_t diskLimit = 0;      // LimitativeSpace
    std::int32_t maxTasks = 0;       // MaxTasks
    std::int32_t associateFile = 0;  // AssociatedFile
    std::int32_t contextMenu = 0;    // AssociatedMenu
};

// Values the engine keeps beside the record.
struct SettingsGlobals {
    std::string saveFolder;          // SavePath, corrected; always ends with '/'
    std::string captureAdapterName;  // Adapter
    std::string adapterDescription;  // AdapterDescription
    std::string languageFile;        // "eng.ini" or the Language value
    std::int32_t recordSwf = 0;             // RecordSwf
    std::int32_t checkNewVerAtStartup = 1;  // CheckNewVerAtStartup
    std::int32_t recordingNumber = 0;       // TotalRecordCount
    // CaptureBufferMB: the kernel's capture buffer for live adapters, in
    // MiB (1 to 2047). Ours: large enough that loopback and gigabit
    // traffic do not overflow it while the capture thread stores a frame.
    std::int32_t captureBufferMb = kDefaultCaptureBufferMb;
    bool englishDefaulted = false;          // Language was empty: English was set up
};

// The built-in default file, byte for byte.
std::string_view defaultSettingsFile();

// Writes the default file when path does not exist; false when it cannot.
bool ensureSettingsFile(const std::string& path);

// Loads path (writing the default first when missing). Returns 1 when
// Adapter, Language, AdapterDescription and IP were all non-empty, else 0.
int loadSettings(const std::string& path, SettingsRecord& record, SettingsGlobals& globals);

// Writes every key in the fixed order. Returns 1 (the profile writer's
// failures are not reported to the caller, as with the original functions).
int saveSettings(const std::string& path, const SettingsRecord& record, const SettingsGlobals& globals);

// SavePath as the program uses it: the fallback folder for an empty value or
// a lone separator, and a trailing '/' appended when missing.
std::string correctSaveFolder(std::string_view value);

}  // namespace kestrel::engine
