#include "tests/support/fake_game.h"

#include <sstream>

#include "tests/support/eventually.h"
#include "tests/support/temp_dir.h"

namespace korvel::testing {

namespace fs = std::filesystem;

std::string fakeGameScript(const fs::path& report) {
    // A brace group's redirection moves the shell's own output, so the streams are read first.
    return "#!/bin/sh\n"
           "stdin=$(readlink /proc/$$/fd/0) stdout=$(readlink /proc/$$/fd/1) stderr=$(readlink /proc/$$/fd/2)\n"
           "echo 'game output'; echo 'game errors' >&2\n"
           "report='" + report.string() + "'\n"
           "{\n"
           "  printf '%s\\n' \"program=$0\" \"pid=$$\" \"arguments=$#\" \"cwd=$(pwd)\" \\\n"
           "    \"stdin=$stdin\" \"stdout=$stdout\" \"stderr=$stderr\"\n"
           "  tr '\\0' '\\n' </proc/$$/environ | sed 's/^/env:/'\n"
           "} >\"$report.tmp\"\n"
           "mv \"$report.tmp\" \"$report\"\n"
           "exec sleep 60\n";
}

std::optional<GameReport> waitForGameReport(const fs::path& report) {
    if (!eventually([&] { return fs::exists(report); })) {
        return std::nullopt;
    }
    GameReport result;
    std::istringstream lines(readFile(report));
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("env:")) {
            result.environment.push_back(line.substr(4));
        } else if (const auto equals = line.find('='); equals != std::string::npos) {
            result.facts[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return result;
}

} // namespace korvel::testing
