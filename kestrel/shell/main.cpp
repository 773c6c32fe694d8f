// kestrel: the desktop program. One runs at a time: a later start hands its
// file to the running one and ends.

#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <string>

#include "kestrel/engine/settings.h"
#include "kestrel/shell/app_start.h"
#include "kestrel/shell/main_window.h"
#include "kestrel/shell/single_instance.h"
#include "platform/data_dir.h"

namespace {

int g_stopWrite = -1;

// SIGTERM and SIGINT end the program as Exit does: only a byte goes through
// a socket here; the window does the rest on its own thread.
void onStopSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(g_stopWrite, &byte, 1);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kestrel;
    const shell::CommandLine commandLine = shell::parseCommandLine(argc, argv);
    if (commandLine.help) {
        std::fputs(std::string(shell::usageText()).c_str(), stdout);
        return 0;
    }
    if (!commandLine.error.empty()) {
        std::fprintf(stderr, "kestrel: %s\n\n%s", commandLine.error.c_str(), std::string(shell::usageText()).c_str());
        return 2;
    }

    shell::SingleInstance instance;
    switch (instance.start(commandLine.file)) {
    case shell::SingleInstance::Role::Second:
        return 0;
    case shell::SingleInstance::Role::Failed:
        std::fprintf(stderr, "kestrel: %s; running without the one-instance rule\n", instance.error().c_str());
        break;
    default:
        break;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kestrel"));
    QApplication::setDesktopFileName(QStringLiteral("kestrel.flv"));

    // The settings (the built-in default when there are none), the language
    // file, and the registrations the settings ask for, before the window.
    const std::string dataFolder = platform::dataFolder();
    engine::SettingsRecord record;
    engine::SettingsGlobals globals;
    engine::loadSettings(dataFolder + "setting.ini", record, globals);
    if (!shell::setUpLanguage(dataFolder, record))
        std::fprintf(stderr, "kestrel: the language file could not be written in %sLanguage/\n", dataFolder.c_str());
    const std::string failed = shell::associateAtStart(record, platform::executableFolder() + "kestrel");
    if (!failed.empty()) std::fprintf(stderr, "kestrel: registering for .flv files failed (%s)\n", failed.c_str());

    shell::MainWindowOptions options;
    options.session.dataFolder = dataFolder;
    options.source = commandLine.source;
    options.save = commandLine.save;
    options.start = commandLine.start;
    options.file = commandLine.file;
    shell::MainWindow window(std::move(options));
    if (instance.role() == shell::SingleInstance::Role::First) window.attachSingleInstance(instance);

    int stopPair[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> stopNotifier;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, stopPair) == 0) {
        g_stopWrite = stopPair[1];
        stopNotifier = std::make_unique<QSocketNotifier>(stopPair[0], QSocketNotifier::Read);
        QObject::connect(stopNotifier.get(), &QSocketNotifier::activated, &window, [&window, &stopPair] {
            char byte = 0;
            [[maybe_unused]] const auto n = ::read(stopPair[0], &byte, 1);
            window.exitWithoutQuestion();
        });
        struct sigaction sa {};
        sa.sa_handler = onStopSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        ::sigaction(SIGTERM, &sa, nullptr);
        ::sigaction(SIGINT, &sa, nullptr);
    }
    window.show();
    return app.exec();
}
