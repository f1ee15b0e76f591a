#include "tools/progress_bar.h"

#include <cstdio>

#include <unistd.h>

namespace korvel {

namespace {

constexpr std::int64_t worthWatching = 16 << 20;
constexpr int barWidth = 30;

} // namespace

ProgressBar::ProgressBar(std::string label) : label(std::move(label)), terminal(::isatty(STDERR_FILENO) == 1) {}

ProgressBar::~ProgressBar() {
    if (drawn) {
        std::fputs("\r\033[K", stderr);
    }
}

void ProgressBar::update(const std::string& item, std::int64_t done, std::int64_t total) {
    if (!terminal || total < worthWatching) {
        return;
    }
    const int percent = static_cast<int>(done * 100 / total);
    if (drawn && percent == shownPercent && item == shownItem) {
        return;  // redraw only what a reader can see change
    }
    shownPercent = percent;
    shownItem = item;
    const int filled = static_cast<int>(done * barWidth / total);
    const std::string bar = std::string(static_cast<std::size_t>(filled), '#') +
                            std::string(static_cast<std::size_t>(barWidth - filled), '.');
    std::fprintf(stderr, "\r\033[K%s [%s] %3d%% %s", label.c_str(), bar.c_str(), percent,
                 item.c_str());
    std::fflush(stderr);
    drawn = true;
}

HashProgress ProgressBar::callback() {
    return [this](const std::string& item, std::int64_t done, std::int64_t total) { update(item, done, total); };
}

} // namespace korvel
