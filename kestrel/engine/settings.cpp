#include "kestrel/engine/settings.h"

#include <string>

#include "platform/data_dir.h"
#include "platform/profile.h"

namespace kestrel::engine {

using platform::ProfileFile;

std::string correctSaveFolder(std::string_view value) {
    if (value.empty() || value == "/") return platform::homeFolder() + "Kestrel/";
    std::string folder(value);
    if (folder.back() != '/') folder.push_back('/');
    return folder;
}

bool ensureSettingsFile(const std::string& path) {
    if (platform::fileExists(path)) return true;
    return platform::writeFileAtomically(path, defaultSettingsFile());
}

int loadSettings(const std::string& path, SettingsRecord& record, SettingsGlobals& globals) {
    ensureSettingsFile(path);
    const ProfileFile file = ProfileFile::load(path);
    const char* s = kSettingsSection;
    int result = 1;

    record.netmask = file.getInt(s, "Netmask", 0);
    if (record.netmask == 0) record.netmask = kDefaultNetmask;
    record.diskLimit = file.getInt(s, "LimitativeSpace", 0);
    if (record.diskLimit == 0) record.diskLimit = 20;
    record.maxTasks = file.getInt(s, "MaxTasks", 0);
    if (record.maxTasks < 1 || record.maxTasks > 9) record.maxTasks = 5;
    globals.recordSwf = file.getInt(s, "RecordSwf", 0);
    globals.checkNewVerAtStartup = file.getInt(s, "CheckNewVerAtStartup", 1);
    record.associateFile = file.getInt(s, "AssociatedFile", 0);
    record.contextMenu = file.getInt(s, "AssociatedMenu", 0);

    record.adapterName = file.getString(s, "Adapter", "");
    globals.captureAdapterName = record.adapterName;
    if (record.adapterName.empty()) result = 0;

    record.language = file.getString(s, "Language", "");
    globals.languageFile = record.language.empty() ? "eng.ini" : record.language;
    if (record.language.empty()) result = 0;

    record.adapterDescription = file.getString(s, "AdapterDescription", "");
    globals.adapterDescription = record.adapterDescription;
    if (record.adapterDescription.empty()) result = 0;
    record.address = file.getString(s, "IP", "");
    if (record.address.empty()) result = 0;

    globals.englishDefaulted = false;
    if (file.getString(s, "Language", "").empty()) {
        record.language = "English";
        globals.englishDefaulted = true;
    }

    globals.saveFolder = correctSaveFolder(file.getString(s, "SavePath", ""));

    globals.recordingNumber = file.getInt(s, "TotalRecordCount", 0);
    if (globals.recordingNumber < 0 || globals.recordingNumber > kRecordingNumberMax) globals.recordingNumber = 0;

    globals.captureBufferMb = file.getInt(s, "CaptureBufferMB", kDefaultCaptureBufferMb);
    if (globals.captureBufferMb < 1) globals.captureBufferMb = kDefaultCaptureBufferMb;
    if (globals.captureBufferMb > kMaxCaptureBufferMb) globals.captureBufferMb = kMaxCaptureBufferMb;

    if (!platform::folderExists(globals.saveFolder)) platform::makeFolders(globals.saveFolder);
    return result;
}

int saveSettings(const std::string& path, const SettingsRecord& record, const SettingsGlobals& globals) {
    ProfileFile file = ProfileFile::load(path);
    const char* s = kSettingsSection;
    auto putInt = [&](const char* key, std::int32_t v) { file.setString(s, key, std::to_string(v)); };
    file.setString(s, "SavePath", globals.saveFolder);
    file.setString(s, "Adapter", record.adapterName);
    file.setString(s, "AdapterDescription", record.adapterDescription);
    file.setString(s, "IP", record.address);
    file.setString(s, "Language", record.language);
    putInt("Netmask", record.netmask);
    putInt("LimitativeSpace", record.diskLimit);
    putInt("MaxTasks", record.maxTasks);
    putInt("RecordSwf", globals.recordSwf);
    putInt("CheckNewVerAtStartup", globals.checkNewVerAtStartup);
    putInt("AssociatedFile", record.associateFile);
    putInt("AssociatedMenu", record.contextMenu);
    putInt("TotalRecordCount", globals.recordingNumber);
    putInt("CaptureBufferMB", globals.captureBufferMb);
    file.save(path);
    return 1;
}

}  // namespace kestrel::engine
