// Runs a program with its standard output and error in pipes, for end-to-end tests.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace qarn::testing {

class ChildProcess {
 public:
  // With `pipe_input` the child's standard input is a pipe that Send writes to. `env` holds
  // "NAME=value" settings for the child, made after the display variables are cleared.
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               const std::string& cwd, bool pipe_input = false,
               const std::vector<std::string>& env = {}) {
    int out[2], err[2], in[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
    if (pipe_input && pipe2(in, O_CLOEXEC) != 0) return;
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
      if (pipe_input) dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(err[1], 2);
      // A test or benchmark that dies takes its programs with it: a driver left behind
      // would open the next test's pseudo-terminal of the same name.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(125);  // the parent is gone already
      if (chdir(cwd.c_str()) != 0) _exit(126);
      // Signals blocked by the parent (gtest does not) must not leak into the child.
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(program.c_str()));
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      unsetenv("DISPLAY");
      unsetenv("WAYLAND_DISPLAY");
      unsetenv("QT_QPA_PLATFORM");
      for (const auto& setting : env) {
        const size_t eq = setting.find('=');
        setenv(setting.substr(0, eq).c_str(), setting.substr(eq + 1).c_str(), 1);
      }
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    close(out[1]);
    close(err[1]);
    if (pipe_input) {
      close(in[0]);
      in_ = in[1];
    }
    out_ = out[0];
    err_ = err[0];
  }

  ~ChildProcess() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      Wait();
    }
    if (out_ >= 0) close(out_);
    if (err_ >= 0) close(err_);
    CloseInput();
  }

  // Writes to the child's standard input (made with `pipe_input`); false when it failed.
  bool Send(const std::string& text) {
    return in_ >= 0 && write(in_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }
  void CloseInput() {
    if (in_ >= 0) close(in_);
    in_ = -1;
  }

  // Reads both streams until `text` appears in `which` (1 out, 2 err) or the time runs out.
  bool WaitFor(int which, const std::string& text, int timeout_ms = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while ((which == 1 ? stdout_ : stderr_).find(text) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !Pump(static_cast<int>(left.count()))) return false;
    }
    return true;
  }

  void Signal(int sig) { kill(pid_, sig); }
  pid_t pid() const { return pid_; }

  // Closes our end of the child's standard output: its writes there fail from now on.
  void CloseOutput() {
    if (out_ >= 0) close(out_);
    out_ = -1;
  }

  // The exit status, or -1 after a signal.
  int Wait() {
    int status = 0;
    while (Pump(100)) {
    }
    waitpid(pid_, &status, 0);
    while (Pump(0)) {  // what it printed while a pause in its output outlasted the wait above
    }
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  const std::string& out() const { return stdout_; }
  const std::string& err() const { return stderr_; }

 private:
  // False when both streams are closed or nothing came within the time.
  bool Pump(int timeout_ms) {
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (out_ < 0 && err_ < 0) return false;
    if (poll(fds, 2, timeout_ms) <= 0) return false;
    bool any = false;
    for (int i = 0; i < 2; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buf[4096];
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? stdout_ : stderr_).append(buf, static_cast<size_t>(n));
        any = true;
      } else {
        close(fds[i].fd);
        (i == 0 ? out_ : err_) = -1;
      }
    }
    return any || out_ >= 0 || err_ >= 0;
  }

  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
  bool exited_ = false;
  std::string stdout_;
  std::string stderr_;
};

}  // namespace qarn::testing
