// A program with one child that both just wait: what ending a frame driver
// by name must end. The child runs another program, so that only its place
// in the process tree, not its name, gets it ended. Prints the child's
// process ID.
#include <cstdio>

#include <unistd.h>

int main()
{
    const pid_t child = fork();
    if (child == 0) {
        execlp("sleep", "sleep", "3600", static_cast<char *>(nullptr));
        for (;;)
            pause();
    }
    std::printf("%d\n", int(child));
    std::fflush(stdout);
    for (;;)
        pause();
}
