// The environment the tests start the programs in. The program chooses its face
// and its colours from its environment, so a test passes on nothing of its own
// (a CI's QT_QPA_PLATFORM or DISPLAY, the user's NO_COLOR or locale) but what finds
// programs and what the sanitizers are told, and adds what it means to set.
#pragma once

#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

// "NAME=value" entries.
inline std::vector<std::string> ProgramEnvironment(std::initializer_list<std::string> set = {}) {
  std::vector<std::string> environment;
  for (const char* name : {"PATH", "HOME", "TMPDIR", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name)) environment.push_back(std::string(name) + "=" + value);
  }
  environment.insert(environment.end(), set);
  return environment;
}

// The same as the start of a shell command: "env -i 'PATH=...' ... ".
inline std::string ProgramEnvironmentCommand(std::initializer_list<std::string> set = {}) {
  std::string command = "env -i";
  for (const std::string& entry : ProgramEnvironment(set)) {
    command += " '";
    for (char c : entry) command += c == '\'' ? std::string("'\\''") : std::string(1, c);
    command += "'";
  }
  return command + " ";
}
