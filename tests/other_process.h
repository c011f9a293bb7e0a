// Another running process, for claims and locks that must hold across
// processes: a forked child runs one step, reports a byte, and stays alive
// (holding whatever the step took) until Finish() lets it exit.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

class OtherProcess {
 public:
  OtherProcess() = default;
  OtherProcess(const OtherProcess&) = delete;
  OtherProcess& operator=(const OtherProcess&) = delete;
  ~OtherProcess() { Finish(); }

  // Runs step() in the child; its result comes back in answer. False when the
  // child could not be started or did not answer.
  template <typename Step>
  bool Start(Step step, char& answer) {
    int toParent[2];
    if (pipe(toParent) != 0) return false;
    if (pipe(toChild_) != 0) return false;
    child_ = fork();
    if (child_ < 0) return false;
    if (child_ == 0) {
      close(toParent[0]);
      close(toChild_[1]);
      const char result = step();
      if (write(toParent[1], &result, 1) != 1) _exit(2);
      char ignored;
      while (read(toChild_[0], &ignored, 1) > 0) {
      }
      _exit(0);  // no cleanup: what the step took goes with the process
    }
    close(toParent[1]);
    close(toChild_[0]);
    const bool answered = read(toParent[0], &answer, 1) == 1;
    close(toParent[0]);
    return answered;
  }

  // Lets the child exit and waits for it. True when it exited with status 0.
  bool Finish() {
    if (child_ <= 0) return false;
    close(toChild_[1]);
    int status = 0;
    const bool waited = waitpid(child_, &status, 0) == child_;
    child_ = -1;
    return waited && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

 private:
  pid_t child_ = -1;
  int toChild_[2] = {-1, -1};
};
