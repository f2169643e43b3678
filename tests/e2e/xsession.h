// An X server of the test's own (Xvfb) and helpers to run programs on it.
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

inline bool have_program(const char* name) {
  std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

class xsession {
 public:
  std::string display;
  pid_t pid = -1;

  bool start() {
    for (int n = 100 + getpid() % 300, tries = 0; tries < 50; n++, tries++) {
      std::string lock = "/tmp/.X" + std::to_string(n) + "-lock";
      struct stat st;
      if (stat(lock.c_str(), &st) == 0) continue;
      display = ":" + std::to_string(n);
      pid = fork();
      if (pid == 0) {
        int null = open("/dev/null", 1);
        dup2(null, 1);
        dup2(null, 2);
        execlp("Xvfb", "Xvfb", display.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp", (char*)nullptr);
        _exit(127);
      }
      for (int i = 0; i < 100; i++) {
        usleep(50000);
        if (run("xdpyinfo >/dev/null 2>&1") == 0 || run("xdotool getmouselocation >/dev/null 2>&1") == 0)
          return true;
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid) break;
      }
      stop();
    }
    return false;
  }

  // Runs a shell command with DISPLAY set to this server.
  int run(const std::string& cmd) {
    std::string full = "DISPLAY=" + display + " " + cmd;
    return std::system(full.c_str());
  }

  std::string output(const std::string& cmd) {
    std::string full = "DISPLAY=" + display + " " + cmd;
    std::string out;
    FILE* f = popen(full.c_str(), "r");
    if (!f) return out;
    char buf[256];
    while (fgets(buf, sizeof buf, f)) out += buf;
    pclose(f);
    return out;
  }

  void stop() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
      pid = -1;
    }
  }

  ~xsession() { stop(); }
};
