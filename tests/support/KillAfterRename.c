// Preloaded into a tagsmith-cli run by the tests: the process is killed right
// after its Nth successful rename onto a file named $TS_KILL_RENAME_NAME (N in
// $TS_KILL_RENAME_AFTER), as a kill -9 or a power cut at that moment would.
#define _GNU_SOURCE
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int g_renames;

int rename(const char* from, const char* to) {
    const int r = renameat(AT_FDCWD, from, AT_FDCWD, to);
    const char* name = getenv("TS_KILL_RENAME_NAME");
    const char* after = getenv("TS_KILL_RENAME_AFTER");
    if (r == 0 && name && after) {
        const char* base = strrchr(to, '/');
        base = base ? base + 1 : to;
        if (strcmp(base, name) == 0 && ++g_renames == atoi(after)) raise(SIGKILL);
    }
    return r;
}
