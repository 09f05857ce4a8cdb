/* waitexit STATUS-FILE COMMAND-LINE

   Runs COMMAND-LINE in the same console, waits for the process and writes its exit code, in
   decimal, to STATUS-FILE. Under Wine the wait status of a program's Unix process is not a
   sure record of its exit code: once a process has told wineserver that it ends, the server
   gives its Unix side about half a second to be gone and then kills it with SIGKILL, which a
   busy machine can miss. GetExitCodeProcess gives the code the program ended with.

   The console control events are the child's to handle: this process lets them pass and
   stays to see the child end. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

static BOOL WINAPI letPass(DWORD type) {
    (void)type;
    return TRUE;
}

/* The end of the token at `p` (leading blanks skipped): a quoted token runs to the closing
   quote, another to the next blank. */
static const char *tokenEnd(const char *p, const char **start, size_t *length) {
    while (*p == ' ' || *p == '\t') {
        ++p;
    }
    if (*p == '"') {
        const char *close = strchr(p + 1, '"');
        const char *end = close != NULL ? close : p + strlen(p);
        *start = p + 1;
        *length = (size_t)(end - (p + 1));
        return close != NULL ? close + 1 : end;
    }
    *start = p;
    *length = strcspn(p, " \t");
    return p + *length;
}

int main(void) {
    const char *start;
    size_t length;
    const char *rest = tokenEnd(GetCommandLineA(), &start, &length);
    rest = tokenEnd(rest, &start, &length);
    char statusFile[MAX_PATH];
    if (length == 0 || length >= sizeof statusFile) {
        fputs("usage: waitexit STATUS-FILE COMMAND-LINE\n", stderr);
        return 2;
    }
    memcpy(statusFile, start, length);
    statusFile[length] = '\0';
    while (*rest == ' ' || *rest == '\t') {
        ++rest;
    }
    char *commandLine = _strdup(rest);
    if (commandLine == NULL || *commandLine == '\0') {
        fputs("usage: waitexit STATUS-FILE COMMAND-LINE\n", stderr);
        return 2;
    }

    SetConsoleCtrlHandler(letPass, TRUE);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child;
    if (!CreateProcessA(NULL, commandLine, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &child)) {
        fprintf(stderr, "waitexit: cannot start %s: error %lu\n", commandLine, GetLastError());
        return 2;
    }
    DWORD code = 0;
    if (WaitForSingleObject(child.hProcess, INFINITE) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(child.hProcess, &code)) {
        fprintf(stderr, "waitexit: cannot wait for %s: error %lu\n", commandLine, GetLastError());
        return 2;
    }
    FILE *out = fopen(statusFile, "w");
    if (out == NULL || fprintf(out, "%lu\n", code) < 0 || fclose(out) != 0) {
        fprintf(stderr, "waitexit: cannot write %s\n", statusFile);
        return 2;
    }
    return (int)code;
}
