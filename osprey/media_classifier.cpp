#include "osprey/media_classifier.h"

#include <sys/stat.h>

#include <cctype>
#include <fstream>

#include "common/url_text.h"

namespace kestrel::osprey {

namespace {

constexpr std::string_view kMediaTypes[] = {
    "application/download", "application/flv", "application/octet-stream", "application/qmx", "application/sdp",
    "application/smil", "application/vnd.rn-realmedia", "application/x-amf", "application/x-fcs",
    "application/x-mms-framed", "application/x-octet-stream", "application/x-pn-realaudio",
    "application/x-pn-realmedia", "application/x-rhapsodycontent", "video/x-ms-wvx", "audio/mp3", "audio/mp4",
    "audio/mp4a-latm", "audio/mpeg", "audio/mpeg3", "audio/vnd.rn-realaudio", "audio/x-mpeg", "audio/x-ms-wma",
    "audio/x-pn-realaudio", "audio/x-pn-realaudio-plugin", "flv-application/octet-stream", "misc/ultravox",
    "rhapsody/rad", "rtmp", "video/3gpp", "video/divx", "video/x-flv", "video/flv", "video/mp4", "video/mpeg",
    "video/quicktime", "video/vnd.divx", "video/vnd.rn-realvideo", "video/x-flash-video", "video/flash",
    "video/x-m4v", "video/x-ms-asf", "video/x-ms-flv", "video/x-msvideo", "video/x-ms-video", "video/x-ms-wma",
    "video/x-ms-wmv", "video/x-ms-wmx", "application/smil;charset=utf-8",
};

constexpr std::string_view kMediaExtensions[] = {
    ".flv",  ".f4v", ".hlv", ".mov",  ".qt",   ".mp4", ".m4v", ".m4p",  ".m4b",  ".mpeg4", ".dat", ".m1v",
    ".m2p",  ".m2ts", ".m2v", ".mp2v", ".mpe",  ".mpeg", ".mpg", ".mpv2", ".pss",  ".pva",   ".ram", ".rm",
    ".rmvb", ".rp",  ".rpm", ".rt",   ".smi",  ".smil", ".asf", ".avi",  ".wm",   ".wmp",   ".wmv", ".3g2",
    ".3gp",  ".3gp2", ".3gpp", ".vob", ".amv",  ".bik",  ".csf", ".divx", ".evo",  ".ivm",   ".mkv", ".mod",
    ".mts",  ".ogm", ".pmp", ".scm",  ".tod",  ".vp6",  ".aac", ".ac3",  ".amr",  ".ape",   ".cda", ".dts",
    ".flac", ".m1a", ".m2a", ".m4a",  ".mid",  ".midi", ".mka", ".mp2",  ".mp3",  ".mpa",   ".ogg", ".ra",
    ".tta",  ".wav", ".wma", ".wv",   ".asx",  ".cue",  ".kpl", ".m3u",  ".pls",  ".qpl",   ".smpl", ".fla",
};

constexpr std::string_view kPageExtensions[] = {
    ".htm",  ".shtm", ".shtml", ".html", ".hta",  ".htc",  ".stm",  ".ssi",  ".js",  ".as",    ".asc",
    ".asr",  ".xml",  ".xsl",   ".xsd",  ".dtd",  ".xslt", ".lbi",  ".dwt",  ".asp", ".aspx",  ".ascx",
    ".asmx", ".config", ".cs",  ".css",  ".inc",  ".vb",   ".cfm",  ".cfml", ".cfc", ".txt",   ".ini",
    ".php3", ".php4", ".jsp",   ".jst",  ".jsf",  ".java", ".vbs",  ".wml",  ".ico", ".jpg",   ".gif",
    ".bmp",  ".jpeg", ".jpe",   ".tif",  ".tiff", ".png",  ".php",  ".dll",  ".ocx",
};

static_assert(std::size(kMediaTypes) == 49);
static_assert(std::size(kMediaExtensions) == 84);
static_assert(std::size(kPageExtensions) == 53);

constexpr TextTable kMediaTypeTable(kMediaTypes, std::size(kMediaTypes));
constexpr TextTable kMediaExtensionTable(kMediaExtensions, std::size(kMediaExtensions));
constexpr TextTable kPageExtensionTable(kPageExtensions, std::size(kPageExtensions));

bool isBlank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s;
}

std::string lowerAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

}  // namespace

bool TextTable::contains(std::string_view probe, bool emptyAnswer) const {
    if (trim(probe).empty()) return emptyAnswer;
    for (std::size_t i = 0; i < count_; ++i)
        if (trim(slots_[i]) == probe) return true;
    return false;
}

const TextTable& mediaTypeTable() {
    return kMediaTypeTable;
}
const TextTable& mediaExtensionTable() {
    return kMediaExtensionTable;
}
const TextTable& pageExtensionTable() {
    return kPageExtensionTable;
}

bool isMediaType(std::string_view mime) {
    return kMediaTypeTable.contains(mime, false);
}
bool isMediaExtension(std::string_view extension) {
    return kMediaExtensionTable.contains(extension, true);
}
bool isPageExtension(std::string_view extension) {
    return kPageExtensionTable.contains(extension, false);
}

std::string lowerUrlExtension(std::string_view url) {
    // UTF-8 bytes above 0x7F are left as they are: only ASCII letters have case here.
    return lowerAscii(urlExtension(url));
}

bool isMediaDownload(std::string_view urlOrPath, std::string_view mime) {
    const std::string extension = lowerUrlExtension(urlOrPath);
    if (extension.empty()) return isMediaType(mime);
    if (isMediaExtension(extension)) return true;
    return isMediaType(mime) && !isPageExtension(extension);
}

bool SiteList::load(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::size_t filled = 0;
    std::string line;
    while (filled < kSlots && std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() < kSlotSize) {
            slots_[filled].assign(line);
        } else {
            slots_[filled].clear();
        }
        ++filled;
    }
    for (std::size_t i = filled; i < kSlots; ++i) slots_[i].clear();
    return true;
}

bool SiteList::matches(std::string_view host, std::string_view referer) const {
    const std::string h = lowerAscii(host);
    const std::string r = lowerAscii(referer);
    for (const auto& slot : slots_) {
        if (slot.empty()) continue;
        const std::string entry = lowerAscii(slot.view());
        if (h.find(entry) != std::string::npos || r.find(entry) != std::string::npos) return true;
    }
    return false;
}

void SiteList::clear() {
    for (auto& s : slots_) s.clear();
}

}  // namespace kestrel::osprey
