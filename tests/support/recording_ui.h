#pragma once
// An engine user interface for tests: records message boxes and rows,
// cancels every dialog.

#include <string>
#include <vector>

#include "kestrel/engine/engine_ui.h"

namespace kestrel::test {

class RecordingUi : public engine::EngineUi {
public:
    platform::Answer messageBox(std::string_view text, platform::Buttons) override {
        messages.emplace_back(text);
        return platform::Answer::Ok;
    }
    std::string runAddressChooser(engine::AddressChooser&) override { return {}; }
    bool runAdapterList(engine::AdapterListDialog&) override { return false; }
    void showAdapterError() override {}
    void setCaptureControls(bool, bool) override {}
    void addRow(int index) override { rows.push_back(index); }
    void refreshRow(int) override {}

    std::vector<std::string> messages;
    std::vector<int> rows;
};

}  // namespace kestrel::test
