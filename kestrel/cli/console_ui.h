#pragma once
// The console host's user interface: message boxes become lines on stderr;
// the modal choices, which a console cannot offer, are explained and
// remembered so the command can ask for --source instead.

#include <cstdio>
#include <string>

#include "kestrel/engine/engine_ui.h"

namespace kestrel::cli {

class ConsoleUi : public engine::EngineUi {
public:
    platform::Answer messageBox(std::string_view text, platform::Buttons buttons) override {
        std::fprintf(stderr, "kestrel-cli: %.*s\n", static_cast<int>(text.size()), text.data());
        lastMessage = std::string(text);
        return buttons == platform::Buttons::YesNo || buttons == platform::Buttons::YesNoCancel ? platform::Answer::No
                                                                                               : platform::Answer::Ok;
    }
    std::string runAddressChooser(engine::AddressChooser& chooser) override {
        dialogNeeded = true;
        std::fprintf(stderr, "kestrel-cli: this machine has %zu usable addresses; choose the adapter with --source:\n",
                     chooser.rows().size());
        for (const auto& row : chooser.rows()) std::fprintf(stderr, "  %s\n", row.c_str());
        return {};
    }
    bool runAdapterList(engine::AdapterListDialog& dialog) override {
        dialogNeeded = true;
        std::fprintf(stderr,
                     "kestrel-cli: no usable address to choose the adapter by; pick one of these with --source:\n");
        for (const auto& row : dialog.rows())
            std::fprintf(stderr, "  %-24s %-15s %s\n", row.interfaceName.c_str(), row.address.c_str(),
                         row.description.c_str());
        return false;
    }
    void showAdapterError() override {
        dialogNeeded = true;
        std::fprintf(stderr, "kestrel-cli: %s\n", engine::AdapterListDialog::kErrorText);
    }
    void setCaptureControls(bool, bool) override {}
    void addRow(int itemIndex) override { std::fprintf(stderr, "kestrel-cli: item %d is receiving data\n", itemIndex); }
    void refreshRow(int) override {}

    bool dialogNeeded = false;
    std::string lastMessage;
};

}  // namespace kestrel::cli
