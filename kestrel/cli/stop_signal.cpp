#include "kestrel/cli/stop_signal.h"

#include <atomic>
#include <csignal>

namespace kestrel::cli {
namespace {

std::atomic<int> g_signal{0};

void onSignal(int sig) {
    if (g_signal.exchange(sig) != 0) {
        ::signal(sig, SIG_DFL);
        ::raise(sig);
    }
}

}  // namespace

void installStopSignals() {
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}

int stopSignal() { return g_signal.load(); }

}  // namespace kestrel::cli
