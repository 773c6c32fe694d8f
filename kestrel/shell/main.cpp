// kestrel: the desktop program. One runs at a time: a later start hands its
// file to the running one and ends.

#include <QApplication>
#include <cstdio>
#include <string>

#include "kestrel/engine/settings.h"
#include "kestrel/shell/app_start.h"
#include "kestrel/shell/main_window.h"
#include "kestrel/shell/single_instance.h"
#include "platform/data_dir.h"

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
    window.show();
    return app.exec();
}
