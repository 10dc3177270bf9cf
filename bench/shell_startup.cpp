// Start-up time of the wizard: runs the program N times with
// VTRLCFG_EXIT_AFTER_SHOW=1 (it ends once the first page is shown) on the
// offscreen platform and prints the median wall time per run.
//   bench_startup [path/to/vtrlcfg] [runs]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

int main(int argc, char* argv[])
{
    const std::string program = argc > 1 ? argv[1] : VTRLCFG_PATH;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;

    std::vector<std::string> env = {"VTRLCFG_EXIT_AFTER_SHOW=1", "QT_QPA_PLATFORM=offscreen"};
    for (char** e = environ; *e; ++e) {
        const std::string s = *e;
        if (s.rfind("VTRLCFG_EXIT_AFTER_SHOW=", 0) != 0 && s.rfind("QT_QPA_PLATFORM=", 0) != 0)
            env.push_back(s);
    }
    std::vector<char*> envp;
    for (auto& s : env)
        envp.push_back(s.data());
    envp.push_back(nullptr);

    std::string arg0 = program;
    char* childArgv[] = {arg0.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);

    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        pid_t pid = 0;
        if (posix_spawn(&pid, program.c_str(), &actions, nullptr, childArgv, envp.data()) != 0) {
            std::perror("posix_spawn");
            return 1;
        }
        int status = 0;
        waitpid(pid, &status, 0);
        const auto took = std::chrono::steady_clock::now() - start;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "run %d: the wizard did not end cleanly (status %d)\n", i, status);
            return 1;
        }
        ms.push_back(std::chrono::duration<double, std::milli>(took).count());
    }
    posix_spawn_file_actions_destroy(&actions);
    std::sort(ms.begin(), ms.end());
    std::printf("vtrlcfg start-up to first page shown, %d runs: median %.1f ms (min %.1f, max %.1f)\n",
                runs, ms[ms.size() / 2], ms.front(), ms.back());
    return 0;
}
