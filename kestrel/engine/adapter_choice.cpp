#include "kestrel/engine/adapter_choice.h"

#include "common/adapter_text.h"

namespace kestrel::engine {

AddressChooser::AddressChooser(std::string_view text) {
    int parts = 0;
    while (parts < kMaxParts) {
        const std::size_t bar = text.find('|');
        std::string_view part = text.substr(0, bar);
        ++parts;
        if (!part.empty()) rows_.insert(rows_.begin(), std::string(part));
        if (bar == std::string_view::npos) break;
        text.remove_prefix(bar + 1);
    }
}

void AddressChooser::click(int row) {
    const bool onRow = row >= 0 && static_cast<std::size_t>(row) < rows_.size();
    okEnabled_ = onRow;
    if (onRow) lastClicked_ = row;
}

std::string AddressChooser::result() const {
    return lastClicked_ >= 0 ? rows_[static_cast<std::size_t>(lastClicked_)] : std::string();
}

std::string matchAdapter(std::string_view addressWithBar, std::string_view adapterList) {
    static constexpr std::string_view kSeparator = "<|>";
    static constexpr int kMaxEntries = 20;
    std::string name;
    std::string_view rest = adapterList;
    for (int i = 0; i < kMaxEntries; ++i) {
        const std::size_t sep = rest.find(kSeparator);
        if (sep == std::string_view::npos) break;
        const std::string_view entry = rest.substr(0, sep);
        std::string withBar(entry);
        withBar.push_back('|');
        if (withBar.find(addressWithBar) != std::string::npos) name = std::string(entry.substr(0, entry.find('|')));
        rest.remove_prefix(sep + kSeparator.size());
    }
    return name;
}

bool AdapterListDialog::enumerate() {
    std::vector<platform::AdapterInfo> adapters;
    std::string error;
    if (!platform::listAdapters(adapters, error)) return false;
    setAdapters(adapters);
    return true;
}

void AdapterListDialog::setAdapters(const std::vector<platform::AdapterInfo>& adapters) {
    rows_.clear();
    selected_ = -1;
    for (const auto& a : adapters) {
        AdapterRow row;
        for (const auto& ip : a.ipv4) {
            row.address = dottedAddress(ip.address);
            row.netmask = dottedAddress(ip.netmask);
            row.itemData = netmaskValue(ip.netmask);
        }
        row.description = shortenAdapterDescription(a.description);
        row.interfaceName = a.name;
        rows_.push_back(std::move(row));
    }
}

void AdapterListDialog::click(int row) {
    selected_ = row >= 0 && static_cast<std::size_t>(row) < rows_.size() ? row : -1;
}

bool AdapterListDialog::accept() {
    if (selected_ < 0) return false;
    const AdapterRow& row = rows_[static_cast<std::size_t>(selected_)];
    interfaceName = row.interfaceName;
    netmask = row.itemData;
    description = row.description;
    address = row.address;
    return true;
}

}  // namespace kestrel::engine
