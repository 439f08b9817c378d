#pragma once
// pelmora-flash: program, read back, reset and watch boards from a terminal, every board at once.

enum FlashExit {
    kFlashOk = 0,
    kFlashFailed = 1,       // a chosen board failed
    kFlashUsage = 2,        // usage, or a file that cannot be used
    kFlashNoBoard = 3,      // no board found (or not the one asked for)
    kFlashInterrupted = 130 // Ctrl-C during a job (128 + SIGINT; other signals give 128 + theirs)
};

int pelmoraFlashMain(int argc, char **argv);
