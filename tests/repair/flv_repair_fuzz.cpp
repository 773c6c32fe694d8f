// libFuzzer target: the repair on arbitrary input files (clang builds only).
// Inputs are capped at 1 MiB; every copy written must take apart cleanly.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kestrel/files/flv_repair.h"
#include "platform/ui_port.h"

namespace {

class SilentUi final : public kestrel::platform::UiPort {
public:
    kestrel::platform::Answer messageBox(std::string_view, kestrel::platform::Buttons) override {
        return kestrel::platform::Answer::Ok;
    }
};

const std::string& inputPath() {
    static const std::string path = "/tmp/kestrel-repair-fuzz-" + std::to_string(::getpid()) + ".flv";
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > (1u << 20)) return -1;
    std::FILE* f = std::fopen(inputPath().c_str(), "wb");
    if (!f) return 0;
    if (size > 0) std::fwrite(data, 1, size, f);
    std::fclose(f);
    SilentUi ui;
    auto report = kestrel::files::repairFlvFile(inputPath(), ui);
    // The copy never outgrows its input by more than the final size field.
    if (report.wroteCopy() && report.outputBytes > size + 4) std::abort();
    ::unlink(report.outputPath.c_str());
    return 0;
}
