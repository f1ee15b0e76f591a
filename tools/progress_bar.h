#pragma once

#include <cstdint>
#include <string>

#include "transport/bundle_listing.h"

namespace korvel {

// One self-rewriting line on standard error while a bundle is hashed: a bar, the percentage
// and the file being read. Drawn only when standard error is a terminal and the job is big
// enough to be worth watching, so redirected output and scripts see nothing of it. The line
// is erased when the bar goes away.
class ProgressBar {
public:
    explicit ProgressBar(std::string label);
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void update(const std::string& item, std::int64_t done, std::int64_t total);

    // A HashProgress that draws on this bar; the bar must outlive it.
    HashProgress callback();

private:
    std::string label;
    bool terminal;
    bool drawn = false;
    int shownPercent = -1;
    std::string shownItem;
};

} // namespace korvel
