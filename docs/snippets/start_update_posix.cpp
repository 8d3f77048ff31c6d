#include <spawn.h>
#include <unistd.h>

extern char** environ;

// Starts Kestrin in a session of its own to put launcher.new in place of
// launcher, and exits at once.
void StartUpdateAndExit()
{
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    char kestrin[] = "/opt/acme/Kestrin", launcher[] = "/opt/acme/launcher",
         download[] = "/opt/acme/launcher.new";
    char* arguments[] = {kestrin, launcher, download, NULL};
    pid_t pid;
    if (chdir("/opt/acme") == 0 &&
        posix_spawn(&pid, arguments[0], NULL, &attributes, arguments, environ) == 0) {
        _exit(0); /* not waitpid */
    }
}
