#include "tests/launcher/fake_game.h"

#include <chrono>
#include <sstream>
#include <thread>

#include <sys/wait.h>

namespace korvel::testing {

namespace fs = std::filesystem;

FakeGame::FakeGame() : executable_(dir / "game") {
    const std::string quotedDir = "'" + dir.path().string() + "'";
    writeFile(executable_, "#!/bin/sh\n"
                           "stdin=$(readlink /proc/$$/fd/0)\n"
                           "stdout=$(readlink /proc/$$/fd/1)\n"
                           "stderr=$(readlink /proc/$$/fd/2)\n"
                           "echo 'game output'\n"
                           "echo 'game errors' >&2\n"
                           "{\n"
                           "  echo \"pid=$$\"; echo \"arguments=$#\"; echo \"cwd=$(pwd)\"\n"
                           "  echo \"stdin=$stdin\"; echo \"stdout=$stdout\"; echo \"stderr=$stderr\"\n"
                           "  tr '\\0' '\\n' </proc/$$/environ | sed 's/^/env:/'\n"
                           "} >" + quotedDir + "/report.tmp\n"
                           "mv " + quotedDir + "/report.tmp " + quotedDir + "/report\n"
                           "i=0\n"
                           "while [ ! -e " + quotedDir + "/release ] && [ $i -lt 1200 ]; do sleep 0.05; i=$((i+1)); done\n");
    fs::permissions(executable_, fs::perms::owner_all);
}

FakeGame::~FakeGame() {
    writeFile(dir / "release", "");
    if (pid > 0) {
        ::waitpid(pid, nullptr, 0);
    }
}

std::optional<FakeGame::Report> FakeGame::waitForReport() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!fs::exists(dir / "report")) {
        if (std::chrono::steady_clock::now() > deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Report report;
    std::istringstream lines(readFile(dir / "report"));
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("env:")) {
            report.environment.push_back(line.substr(4));
        } else if (const auto equals = line.find('='); equals != std::string::npos) {
            report.facts[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    pid = std::stoi(report.facts.at("pid"));
    return report;
}

bool FakeGame::running() const {
    return pid > 0 && ::waitpid(pid, nullptr, WNOHANG) == 0;
}

} // namespace korvel::testing
