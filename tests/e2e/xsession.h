// An X server of the test's own (Xvfb) and helpers to run programs on it.
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <cstdio>
#include <cstdlib>
#include <string>
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

  // Xvfb picks a free display number itself and writes it to a pipe
  // (-displayfd): tests running side by side can then never end up on one
  // server, where the first to finish would take the other's windows down.
  bool start() {
    int fds[2];
    if (pipe(fds) != 0) return false;
    pid = fork();
    if (pid == 0) {
      close(fds[0]);
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      std::string fd = std::to_string(fds[1]);
      // -noreset: the server would otherwise reset its keymap whenever its
      // last client leaves, and take the keys put on it for a test along.
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-noreset", "-screen", "0", "1024x768x24", "-nolisten",
             "tcp", (char*)nullptr);
      _exit(127);
    }
    close(fds[1]);
    std::string number;
    for (int waited = 0; waited < 10000 && number.find('\n') == std::string::npos;) {
      struct pollfd p = {fds[0], POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) {
        waited += 100;
        continue;
      }
      char c;
      if (read(fds[0], &c, 1) != 1) break;
      number += c;
    }
    close(fds[0]);
    if (number.empty() || number.find('\n') == std::string::npos) {
      stop();
      return false;
    }
    number.erase(number.find('\n'));
    display = ":" + number;
    for (int i = 0; i < 100; i++) {
      if (run("xdpyinfo >/dev/null 2>&1") == 0 || run("xdotool getmouselocation >/dev/null 2>&1") == 0) return true;
      usleep(50000);
    }
    stop();
    return false;
  }

  // Runs a shell command with DISPLAY set to this server.
  int run(const std::string& cmd) {
    std::string full = "DISPLAY=" + display + " " + cmd;
    return std::system(full.c_str());
  }

  // Types UTF-8 text as a keyboard would (tests/e2e/xtype.cpp): every
  // character must stand on a key, which keys() arranges before the program
  // under test starts. xdotool's type rebinds a spare key for a character
  // that is on none, and a busy client that reads the key after the binding
  // changed again loses the character.
  int keys(const std::string& text) { return run(std::string(VESKOR_BIN_DIR) + "/xtype --keys " + quote(text)); }
  int type(const std::string& text, int delay_ms = 30) {
    return run(std::string(VESKOR_BIN_DIR) + "/xtype --delay " + std::to_string(delay_ms) + " " + quote(text));
  }
  static std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
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

// Reads lines from fd until one starts with prefix or ms pass; all collects
// everything read, for the failure message.
inline std::string read_until(int fd, const std::string& prefix, int ms, std::string& all) {
  std::string line;
  for (int waited = 0; waited < ms;) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) {
      waited += 50;
      continue;
    }
    char c;
    if (read(fd, &c, 1) != 1) break;
    all += c;
    if (c != '\n') {
      line += c;
      continue;
    }
    if (line.compare(0, prefix.size(), prefix) == 0) return line;
    line.clear();
  }
  return "";
}

// Starts the probe program `name` of this build on the session's display
// with its standard output on a pipe, whose read end goes to *out.
inline pid_t start_probe(const xsession& x, const char* name, int* out, const char* arg = nullptr) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    setenv("DISPLAY", x.display.c_str(), 1);
    setenv("SDL_VIDEODRIVER", "x11", 1);
    std::string path = std::string(VESKOR_BIN_DIR) + "/" + name;
    execl(path.c_str(), name, arg, (char*)nullptr);
    _exit(127);
  }
  close(fds[1]);
  *out = fds[0];
  return pid;
}
