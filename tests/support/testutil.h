// Small helpers shared by the test programs.
#pragma once

#include <string>
#include <vector>

// A fresh folder under the system's temporary folder, removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
bool fileExists(const std::string& path);
unsigned fileMode(const std::string& path); // permission bits, 0 when missing
std::vector<std::string> splitLines(const std::string& text);

struct RunResult {
    int exitStatus = -1; // exit code, or -1 when the program did not exit normally
    std::string out;     // standard output
};

// Starts argv[0] with HOME set to home and its standard output on a pipe whose reading
// end is stored in outFd; returns the process id (throws when the pipe or fork fails).
int spawnWithHome(const std::vector<std::string>& argv, const std::string& home, int& outFd);

// Runs a program with HOME set to home and waits at most timeoutSeconds (then kills
// it). Standard error goes where the program sends it.
RunResult runProgram(const std::vector<std::string>& argv, const std::string& home, int timeoutSeconds = 30);
