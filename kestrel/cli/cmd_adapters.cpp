// kestrel-cli adapters: the capture adapters and usable addresses, as the
// engine sees them through the recording library.

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "kestrel/cli/cli_command.h"
#include "kestrel/engine/osprey_module.h"

namespace kestrel::cli {
namespace {

std::vector<std::string_view> split(std::string_view text, std::string_view sep) {
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t at = text.find(sep);
        if (at == std::string_view::npos) {
            parts.push_back(text);
            return parts;
        }
        parts.push_back(text.substr(0, at));
        text.remove_prefix(at + sep.size());
    }
}

int run(int argc, char** argv) {
    if (wantsHelp(argc, argv)) {
        std::printf("usage: kestrel-cli adapters\n\n"
                    "Lists the capture adapters (source name, description, netmask, IPv4 address)\n"
                    "and the usable local addresses, as reported by libosprey.so.\n");
        return kExitOk;
    }
    if (argc > 1) {
        std::fprintf(stderr, "kestrel-cli adapters: unexpected argument '%s'\n", argv[1]);
        return kExitUsage;
    }
    const auto osprey = engine::OspreyModule::loadByName();
    if (!osprey.loaded() || !osprey.adapterList() || !osprey.usableIpInfo()) {
        std::fprintf(stderr, "kestrel-cli: can not find libosprey.so file\n");
        return kExitFailure;
    }
    const std::string list = osprey.adapterList()(nullptr);
    const std::string usable = osprey.usableIpInfo()(nullptr);

    std::printf("%-28s %-15s %-12s %s\n", "SOURCE", "ADDRESS", "NETMASK", "DESCRIPTION");
    int count = 0;
    for (std::string_view entry : split(list, "<|>")) {
        if (entry.empty()) continue;
        auto f = split(entry, "|");
        f.resize(4);
        std::printf("%-28.*s %-15.*s %-12.*s %.*s\n", static_cast<int>(f[0].size()), f[0].data(),
                    static_cast<int>(f[3].size()), f[3].data(), static_cast<int>(f[2].size()), f[2].data(),
                    static_cast<int>(f[1].size()), f[1].data());
        ++count;
    }
    if (count == 0) std::printf("(no capture adapters; capturing may need root or CAP_NET_RAW)\n");
    std::printf("\nUSABLE ADDRESSES\n");
    int addresses = 0;
    for (std::string_view a : split(usable, "|")) {
        if (a.empty()) continue;
        std::printf("%.*s\n", static_cast<int>(a.size()), a.data());
        ++addresses;
    }
    if (addresses == 0) std::printf("(none)\n");
    return kExitOk;
}

const CliRegistrar reg{{"adapters", "list capture adapters and usable addresses", &run}};

}  // namespace
}  // namespace kestrel::cli
