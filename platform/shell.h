#pragma once
// Opening documents, folders and web pages with the desktop's own
// programs. Behind an interface so that tests record what would be opened
// instead of starting a browser or a file manager.

#include <string>
#include <string_view>
#include <vector>

namespace kestrel::platform {

class Shell {
public:
    virtual ~Shell() = default;
    // Opens a file, a folder or a web address with its default program.
    // False when the program could not be started.
    virtual bool open(std::string_view target) = 0;
    // Shows a file selected in its folder; opens the folder when the file
    // manager cannot select.
    virtual bool showInFolder(std::string_view path) = 0;
};

// The desktop's programs: xdg-open, and the file manager's ShowItems call
// over D-Bus (gdbus) for selecting a file. Started without a shell and not
// waited for.
class DesktopShell final : public Shell {
public:
    bool open(std::string_view target) override;
    bool showInFolder(std::string_view path) override;
};

// The process-wide shell, a DesktopShell unless a test set another.
Shell& shell();
void setShell(Shell* replacement);  // nullptr: back to the desktop's

// Starts a program with arguments (argv[0] looked up in PATH), without a
// shell, without waiting; the child is reaped when it ends. False when it
// could not be started.
bool spawnDetached(const std::vector<std::string>& argv);

}  // namespace kestrel::platform
