#pragma once
// What the capture engine needs from its user interface beyond message
// boxes: the two modal choices of the adapter, the Start/Stop controls and
// the rows of the recording list. The Qt shell, the console host and the
// tests implement it. Every call is made on the user-interface thread.

#include <string>

#include "kestrel/engine/adapter_choice.h"
#include "platform/ui_port.h"

namespace kestrel::engine {

class EngineUi : public platform::UiPort {
public:
    // The address chooser, modal. Returns chooser.result() after OK, or an
    // empty text after Cancel.
    virtual std::string runAddressChooser(AddressChooser& chooser) = 0;
    // The adapter list dialog, modal, over an enumerated model. True after
    // OK with dialog.accept() done; false after Cancel.
    virtual bool runAdapterList(AdapterListDialog& dialog) = 0;
    // The error dialog shown instead of the adapter list when the adapters
    // cannot be listed (AdapterListDialog::kErrorTitle / kErrorText, buttons
    // "More Details" and "Cancel").
    virtual void showAdapterError() = 0;

    virtual void setCaptureControls(bool startEnabled, bool stopEnabled) = 0;

    // Recording list rows, named by record item index.
    virtual void addRow(int itemIndex) = 0;
    virtual void refreshRow(int itemIndex) = 0;
};

}  // namespace kestrel::engine
