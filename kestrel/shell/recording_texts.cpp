#include "kestrel/shell/recording_texts.h"

#include <cstdio>

namespace kestrel::shell {
namespace {

using engine::ItemState;

constexpr std::int64_t kKiB = 1024;
constexpr std::int64_t kMiB = 1024 * 1024;
constexpr std::int64_t kGiB = 1024 * 1024 * 1024;

// One formatted value; the formats here are short and never truncate.
template <typename... Args>
std::string format(const char* fmt, Args... args) {
    char buffer[128];
    const int n = std::snprintf(buffer, sizeof buffer, fmt, args...);
    if (n < 0) return {};
    const auto length = static_cast<std::size_t>(n);
    return std::string(buffer, length < sizeof buffer ? length : sizeof buffer - 1);
}

double divided(std::int64_t value, std::int64_t unit) {
    return static_cast<double>(value) / static_cast<double>(unit);
}

// value as a share of whole in percent, at most 100.
double percentOf(std::int64_t value, std::int64_t whole) {
    if (value > whole) return 100.0;
    return 100.0 * static_cast<double>(value) / static_cast<double>(whole);
}

// The marker after a row whose recording went wrong: red, short, after
// the usual figures so the row still reads the same.
std::string warning(std::string_view text) {
    std::string out = " <font color=\"#ff7b6b\">";
    out += text;
    out += "</font>";
    return out;
}

}  // namespace

std::string listSize(std::int64_t bytes) {
    if (bytes <= 1023) return format("%lld", static_cast<long long>(bytes));
    if (bytes <= 0xFFFFF) return format("%.2f K", divided(bytes, kKiB));
    if (bytes <= 0x3FFFFFFF) return format("%.2f M", divided(bytes, kMiB));
    return format("%.2f G", divided(bytes, kGiB));
}

std::string librarySize(std::int64_t bytes) {
    if (bytes <= 1024) return format("%lldB", static_cast<long long>(bytes));
    if (bytes <= 0x100000) return format("%.2fKB", divided(bytes, kKiB));
    return format("%.2fMB", divided(bytes, kMiB));
}

std::string rateText(std::int64_t bytesPerSecond) {
    return format("%07.2fKB/S", divided(bytesPerSecond, kKiB));
}

std::string elapsedText(std::int64_t seconds) {
    if (seconds < 0) seconds = 0;
    return format("%02lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
}

std::string displayedName(const engine::RecordItem& item) {
    return item.titleLength > 0 ? item.title.str() : item.outputName.str();
}

std::string receivedText(const engine::RecordItem& item) {
    const std::int64_t expected = item.expectedSize.load();
    const std::int64_t stored = item.storedBytes.load();
    const std::string received = listSize(stored);
    const ItemState state = item.state.load();
    if (state == ItemState::Done || expected < 1) return received;
    // While it is processed, the share is of the file being written.
    const std::int64_t progress = state == ItemState::Processing ? item.processedBytes.load() : stored;
    return format("%s (%0.2f%%)", received.c_str(), percentOf(progress, expected));
}

std::string newRecordingRowText(const engine::RecordItem& item) {
    return "<b>File: </b>" + displayedName(item) + "<br>\t\t\t\t<b>Received: </b>0     <b>Rate: </b>0B/S";
}

std::string recordingRowText(const engine::RecordItem& item, RecordingOutcome outcome) {
    std::string text = "<b>File: </b>" + displayedName(item) + "<br>\t\t\t\t\t<b>Received: </b>" + receivedText(item) +
                       "  <b>Total: </b>" + listSize(item.expectedSize.load());
    const ItemState state = item.state.load();
    if (state == ItemState::Failed) {
        const std::string_view reason = item.failure.view();
        text += warning(reason.empty() ? std::string("failed") : "failed: " + std::string(reason));
    } else if (state == ItemState::Done && outcome == RecordingOutcome::Incomplete) {
        text += warning("gaps");
    }
    return text;
}

std::string libraryRowText(LibraryItem& item) {
    std::string text = "<b>File: </b>" + item.fileName + "<br>\t\t\t\t<b>Used time: </b>" +
                       elapsedText(item.refreshCount / 2) + "<br>\t\t\t\t<b>Received: </b>" + librarySize(item.bytes) +
                       "<br>\t\t\t\t<b>Rate: </b>" + rateText(item.bytes - item.previousBytes) +
                       "<br>\t\t\t\t<b>Handling: </b>N/A";
    ++item.refreshCount;
    item.previousBytes = item.bytes;
    return text;
}

std::string lastCharacters(std::string_view utf8, std::size_t maxChars, std::size_t maxBytes) {
    const auto continuation = [&](std::size_t i) { return (static_cast<unsigned char>(utf8[i]) & 0xC0) == 0x80; };
    std::size_t start = utf8.size();
    std::size_t chars = 0;
    while (start > 0 && chars < maxChars) {
        std::size_t lead = start - 1;
        while (lead > 0 && continuation(lead)) --lead;
        if (utf8.size() - lead > maxBytes) break;
        start = lead;
        ++chars;
    }
    return std::string(utf8.substr(start));
}

bool isPlainFileName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    return name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

}  // namespace kestrel::shell
