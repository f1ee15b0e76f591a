#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <sys/types.h>

namespace korvel {

// The calling process's environment as "NAME=value" entries, in the order the process holds them.
std::vector<std::string> processEnvironment();

// How a child started by startProcess is set up.
struct ProcessOptions {
    static constexpr int nullDevice = -1;

    const std::vector<std::string>* environment = nullptr;  // nullptr: the caller's own
    int standardOutput = nullDevice;  // a descriptor of the caller's that becomes the child's output
    int standardError = nullDevice;   // likewise for standard error
    bool searchPath = false;          // a program name without a slash is looked up in PATH
};

// While it lives, every child that startProcess starts holds fd as well, under the lowest
// numbers after its standard streams (on Linux; under its own number elsewhere). For a lock
// that must stay taken for as long as a child of its holder still works on what the lock
// guards, even when the holder dies first. Safe to create and destroy on any thread; fd must
// stay open for the object's lifetime.
class InheritedByChildren {
public:
    explicit InheritedByChildren(int fd);
    ~InheritedByChildren();
    InheritedByChildren(const InheritedByChildren&) = delete;
    InheritedByChildren& operator=(const InheritedByChildren&) = delete;

private:
    int fd;
};

// Starts program directly, never through a shell, so every argument arrives as it is, blanks
// and quotes included. argv[0] is the program's path, followed by arguments. The child gets
// the caller's standard input and working directory, the streams and environment options
// name, and every signal at its default with none blocked: whatever the caller or a library
// in it ignores or blocks must not change how the child runs. Of the caller's other
// descriptors it gets only those InheritedByChildren names, whatever the caller's own parent
// left open and whether or not they are close-on-exec. Does not wait. A child that cannot be
// started, an exec failure included, throws std::filesystem::filesystem_error with the errno
// and the program's path.
pid_t startProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                   const ProcessOptions& options = {});

// Waits for the child's end, retrying when a signal interrupts the wait, and answers its raw
// wait status. A failure of the wait throws std::system_error.
int waitForExit(pid_t child);

} // namespace korvel
