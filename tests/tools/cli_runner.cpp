#include "tools/cli_runner.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace fennic::testing {
namespace {

// A temporary file, removed with the object.
struct TTempFile {
  std::string Path;
  TTempFile() {
    char Name[] = "/tmp/fennic_cli_XXXXXX";
    const int Fd = mkstemp(Name);
    if (Fd < 0) throw std::runtime_error("mkstemp failed");
    close(Fd);
    Path = Name;
  }
  ~TTempFile() { std::remove(Path.c_str()); }
  std::string Read() const {
    std::ifstream In(Path, std::ios::binary);
    std::ostringstream S;
    S << In.rdbuf();
    return S.str();
  }
};

}  // namespace

TCliResult RunCli(const std::vector<std::string>& Args, const std::string& Input) {
  TTempFile In, Out, Err;
  {
    std::ofstream F(In.Path, std::ios::binary);
    F << Input;
  }
  std::vector<std::string> Argv;
  const std::string Runner = FENNIC_RUNNER;
  if (!Runner.empty()) Argv.push_back(Runner);
  Argv.push_back(FENNIC_CLI);
  Argv.insert(Argv.end(), Args.begin(), Args.end());
  std::vector<char*> Ptrs;
  for (std::string& A : Argv) Ptrs.push_back(A.data());
  Ptrs.push_back(nullptr);

  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_addopen(&Actions, 0, In.Path.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&Actions, 1, Out.Path.c_str(), O_WRONLY | O_TRUNC, 0);
  posix_spawn_file_actions_addopen(&Actions, 2, Err.Path.c_str(), O_WRONLY | O_TRUNC, 0);
  pid_t Pid = 0;
  const int Spawned = posix_spawn(&Pid, Ptrs[0], &Actions, nullptr, Ptrs.data(), environ);
  posix_spawn_file_actions_destroy(&Actions);
  TCliResult R;
  if (Spawned != 0) {
    R.Err = "spawn failed";
    return R;
  }
  // A tool that hangs is a failure, not a hanging test.
  int WaitStatus = 0;
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(300);
  while (waitpid(Pid, &WaitStatus, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > Deadline) {
      kill(Pid, SIGKILL);
      waitpid(Pid, &WaitStatus, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (WIFEXITED(WaitStatus)) R.Status = WEXITSTATUS(WaitStatus);
  if (WIFSIGNALED(WaitStatus)) R.Signal = WTERMSIG(WaitStatus);
  R.Out = Out.Read();
  R.Err = Err.Read();
  return R;
}

}  // namespace fennic::testing
