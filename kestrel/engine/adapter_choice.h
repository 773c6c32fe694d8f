#pragma once
// Choosing the adapter to capture on: the address chooser, the adapter list
// dialog's data model, and the match of a usable address against the
// recording library's adapter list. The dialogs themselves are drawn by the
// user interface, which drives these models.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/capture.h"

namespace kestrel::engine {

struct ListColumn {
    const char* title;
    int width;
};

// The address chooser: one row per address of a "|"-separated text.
class AddressChooser {
public:
    static constexpr ListColumn kColumn{"IP", 150};
    static constexpr int kMaxParts = 20;

    // Splits at each "|"; every non-empty part of the first 20 becomes a row,
    // each inserted at the top, so the last address is listed first.
    explicit AddressChooser(std::string_view text);

    const std::vector<std::string>& rows() const { return rows_; }
    // A click on row (or -1 beside the rows).
    void click(int row);
    bool okEnabled() const { return okEnabled_; }
    // The text of the row last clicked; empty when no row was clicked.
    std::string result() const;

private:
    std::vector<std::string> rows_;
    int lastClicked_ = -1;
    bool okEnabled_ = false;
};

// The capture adapter name for a usable address: walks at most 20 entries of
// the adapter list text ("NAME|DESC|MASK|ADDR<|>..."), and for each entry
// whose text followed by "|" contains addressWithBar, takes the part before
// the entry's first "|". A later match wins; empty when none matches.
std::string matchAdapter(std::string_view addressWithBar, std::string_view adapterList);

struct AdapterRow {
    std::string description;  // shortened
    std::string address;      // dotted, or empty
    std::string netmask;      // dotted, or empty
    std::string interfaceName;
    std::uint32_t itemData = 0xFFFFFF;  // netmask value
};

// The adapter list dialog's model.
class AdapterListDialog {
public:
    static constexpr const char* kTitle = "Adapter List";
    static constexpr ListColumn kColumns[4] = {
        {"Description", 350}, {"Address", 80}, {"NetMark", 100}, {"Interface", 300}};
    static constexpr const char* kErrorTitle = "Error";
    static constexpr const char* kErrorText =
        "Error: can not find any adapter. If you are running Vista OS, please run this program as an administrator .";

    // Enumerates the machine's adapters; false when they cannot be listed
    // (the user interface shows the error dialog instead).
    bool enumerate();
    // Builds the rows from a given list (enumerate() uses this).
    void setAdapters(const std::vector<platform::AdapterInfo>& adapters);

    const std::vector<AdapterRow>& rows() const { return rows_; }
    void click(int row);  // -1: a click that hit no row
    bool okEnabled() const { return selected_ >= 0; }
    // OK or double-click: copies the selected row to the results; false when
    // no row is selected (the dialog stays open).
    bool accept();

    // Results, valid after accept() returned true.
    std::string interfaceName;
    std::uint32_t netmask = 0;
    std::string description;
    std::string address;

private:
    std::vector<AdapterRow> rows_;
    int selected_ = -1;
};

}  // namespace kestrel::engine
