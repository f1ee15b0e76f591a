#include "installer/parallel_digest.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <numeric>
#include <system_error>
#include <thread>

#include <fcntl.h>

#include "base/sha256.h"
#include "base/system_error.h"
#include "base/unique_fd.h"

namespace korvel {

namespace {

// The checks in the order they are worked on: largest first, ties in list order.
std::vector<std::size_t> largestFirst(const std::vector<DigestCheck>& checks) {
    std::vector<std::size_t> order(checks.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&checks](std::size_t a, std::size_t b) { return checks[a].bytes > checks[b].bytes; });
    return order;
}

// Shared by the threads of one checkDigests call. Each verdict and descriptor is touched by
// the one thread that took its check; the threads are joined before the verdicts are read.
class DigestWork {
public:
    explicit DigestWork(const std::vector<DigestCheck>& checks)
        : checks(checks),
          order(largestFirst(checks)),
          verdicts(checks.size()),
          files(checks.size()),
          firstFailure(checks.size()) {}

    // Runs on the calling thread before any other starts: every open happens there, in list
    // order, as in a file-by-file pass, so tracing and fault injection, which count system
    // calls per thread, see the same opens in the same order. Stops at the first failure.
    void openInListOrder() {
        for (std::size_t index = 0; index < checks.size(); ++index) {
            files[index] = UniqueFd(::open(checks[index].path.c_str(), O_RDONLY | O_CLOEXEC));
            if (!files[index]) {
                const int error = errno;
                try {
                    throwSystemError(error, "open", checks[index].path);
                } catch (...) {
                    fail(index, std::current_exception());
                }
                return;
            }
        }
    }

    void run() {
        for (std::size_t taken = next++; taken < order.size(); taken = next++) {
            const std::size_t index = order[taken];
            // A failure earlier in the list decides the outcome, whatever this file holds.
            if (index < firstFailure.load()) {
                check(index);
            }
            files[index].reset();
        }
    }

    std::vector<DigestVerdict> takeVerdicts() { return std::move(verdicts); }

private:
    void check(std::size_t index) {
        try {
            if (digestToEnd(files[index].get(), checks[index].path) == checks[index].sha256) {
                verdicts[index].outcome = DigestVerdict::Outcome::matched;
            } else {
                fail(index, nullptr);
            }
        } catch (...) {
            fail(index, std::current_exception());
        }
    }

    void fail(std::size_t index, std::exception_ptr error) {
        verdicts[index].outcome = error ? DigestVerdict::Outcome::failed : DigestVerdict::Outcome::mismatched;
        verdicts[index].error = std::move(error);
        std::size_t earliest = firstFailure.load();
        while (index < earliest && !firstFailure.compare_exchange_weak(earliest, index)) {
        }
    }

    const std::vector<DigestCheck>& checks;
    const std::vector<std::size_t> order;
    std::vector<DigestVerdict> verdicts;
    std::vector<UniqueFd> files;
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> firstFailure;
};

} // namespace

std::vector<DigestVerdict> checkDigests(const std::vector<DigestCheck>& checks) {
    DigestWork work(checks);
    work.openInListOrder();
    {
        const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
        const std::size_t wanted = std::min(cores, checks.size());
        std::vector<std::jthread> helpers;
        helpers.reserve(wanted);
        for (std::size_t i = 1; i < wanted; ++i) {
            try {
                helpers.emplace_back([&work] { work.run(); });
            } catch (const std::system_error&) {
                break;
            }
        }
        work.run();
    }  // joins the helpers
    return work.takeVerdicts();
}

} // namespace korvel
