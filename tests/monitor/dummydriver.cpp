// A program with one child that both just wait: what ending a frame driver
// by name must end. The child runs another program, so that only its place
// in the process tree, not its name, gets it ended. Prints the child's
// process ID. With "tidy" it answers a terminate request by printing
// "tidied" and ending normally, as a driver giving the desktop back does;
// with "stubborn" it ignores such requests.
#include <csignal>
#include <cstdio>
#include <cstring>

#include <unistd.h>

namespace {

void tidyUp(int)
{
    static const char kTidied[] = "tidied\n";
    (void)!write(STDOUT_FILENO, kTidied, sizeof kTidied - 1);
    _exit(0);
}

} // namespace

int main(int argc, char *argv[])
{
    const pid_t child = fork();
    if (child == 0) {
        execlp("sleep", "sleep", "3600", static_cast<char *>(nullptr));
        for (;;)
            pause();
    }
    if (argc > 1 && std::strcmp(argv[1], "tidy") == 0)
        std::signal(SIGTERM, tidyUp);
    else if (argc > 1 && std::strcmp(argv[1], "stubborn") == 0)
        std::signal(SIGTERM, SIG_IGN);
    std::printf("%d\n", int(child));
    std::fflush(stdout);
    for (;;)
        pause();
}
