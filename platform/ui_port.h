#pragma once
// What engine code asks of the user interface.
//
// The engine never draws anything itself: message boxes, questions and the
// modal choices it needs go through this port. The Qt shell, the console host
// and the tests each implement it (tests answer questions and record texts).
// Every call is made on the user-interface thread.

#include <string>
#include <string_view>
#include <vector>

namespace kestrel::platform {

enum class Answer { Ok, Cancel, Yes, No };

enum class Buttons { Ok, OkCancel, YesNo, YesNoCancel };

class UiPort {
public:
    virtual ~UiPort() = default;

    // A message box with the program's fixed text. Returns the button chosen
    // (Ok for a plain box).
    virtual Answer messageBox(std::string_view text, Buttons buttons = Buttons::Ok) = 0;
};

}  // namespace kestrel::platform
