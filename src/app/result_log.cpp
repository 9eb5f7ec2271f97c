// The result log beside the program file (one line per run) and the read-me
// that opens after the first verified interactive run.
#include "app/app.h"

#include <cstring>

shared_atomic<uint8_t> g_readme_opened{0};
shared_atomic<uint64_t> g_result_line{0};
shared_atomic<uint64_t> g_last_line{0};

namespace {

const char* const kReadmeFirst = "readme.mht";
const char* const kReadmeSecond = "readme.docx";

// The log is opened without sharing, and the worker and (in silent mode) the
// time limit may both write to it: a writer that finds it held tries again a
// little later instead of losing its line.
const int kLogOpenTries = 20;
const DWORD kLogRetryMs = 50;
// The ending side looks for the claimed line this often.
const DWORD kClaimPollMs = 10;
static_assert(RESULT_LINE_WAIT_MS > (kLogOpenTries - 1) * kLogRetryMs,
              "the wait outlasts the open's retries");

// Builds the path of `name` beside the program file; false when it does not
// fit into the 256-byte buffer.
bool path_beside_program(char* path, const char* name)
{
    char dir[PROGRAM_DIR_SIZE];
    if (get_program_dir(dir) == PROGRAM_PATH_UNUSABLE)
        return false;
    return join_program_path(path, dir, name);
}

// Opens the log for appending, or creates it; never truncates what another
// writer has put there. INVALID_HANDLE_VALUE when it cannot be had.
HANDLE open_result_log(const char* path)
{
    for (int attempt = 0; attempt < kLogOpenTries; ++attempt) {
        if (attempt > 0)
            Sleep(kLogRetryMs);
        HANDLE file =
            CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            SetFilePointer(file, 0, nullptr, FILE_END);
            return file;
        }
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) {
            // CREATE_NEW fails when another writer created it meanwhile; the
            // next attempt then opens that file.
            file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file != INVALID_HANDLE_VALUE)
                return file;
        } else if (error != ERROR_SHARING_VIOLATION) {
            return INVALID_HANDLE_VALUE;  // no such folder, no access, ...
        }
    }
    return INVALID_HANDLE_VALUE;
}

void open_readme()
{
    char path[PROGRAM_DIR_SIZE];
    INT_PTR opened = 0;
    if (path_beside_program(path, kReadmeFirst))
        opened = (INT_PTR)ShellExecuteA(g_main_wnd, "open", path, nullptr, nullptr, SW_SHOW);
    if (opened <= 32 && path_beside_program(path, kReadmeSecond))
        ShellExecuteA(g_main_wnd, "open", path, nullptr, nullptr, SW_SHOW);
}

}  // namespace

bool split_program_dir(const char* path, char* dir)
{
    memset(dir, 0, PROGRAM_DIR_SIZE);
    const char* slash = strrchr(path, '\\');
    if (!slash)
        return true;  // no directory: the current one
    size_t n = (size_t)(slash - path) + 1;
    if (n >= PROGRAM_DIR_SIZE)
        return false;
    memcpy(dir, path, n);
    return true;
}

bool join_program_path(char* out, const char* dir, const char* name)
{
    size_t d = strlen(dir);
    size_t k = strlen(name);
    if (d + k >= PROGRAM_DIR_SIZE)
        return false;
    memcpy(out, dir, d);
    memcpy(out + d, name, k + 1);
    return true;
}

DWORD get_program_dir(char* dir)
{
    memset(dir, 0, PROGRAM_DIR_SIZE);
    char path[PROGRAM_PATH_SIZE];
    DWORD n = GetModuleFileNameA(g_instance, path, PROGRAM_PATH_SIZE);
    if (n == 0)
        return 0;
    // A full buffer means the path was cut: 300 characters or more.
    if (n >= PROGRAM_PATH_SIZE)
        return PROGRAM_PATH_UNUSABLE;
    path[n] = '\0';
    if (!split_program_dir(path, dir))
        return PROGRAM_PATH_UNUSABLE;
    return n;
}

int format_result_line(char* line, const SYSTEMTIME* time, uint32_t result)
{
    memcpy(line, result == RESULT_VERIFIED ? "OK: " : "NG: ", 4);
    int n = wsprintfA(line + 4, "%04u/%02u/%02u-%02u:%02u:%02u error=%u\r\n", (unsigned)time->wYear,
                      (unsigned)time->wMonth, (unsigned)time->wDay, (unsigned)time->wHour,
                      (unsigned)time->wMinute, (unsigned)time->wSecond, (unsigned)result);
    return 4 + n;
}

void write_result_log()
{
    uint32_t result = g_update_result;
    uint64_t none = 0;
    if (!g_result_line.compare_exchange_strong(none, RESULT_LINE_CLAIMED | result))
        return;
    g_last_line = RESULT_LINE_CLAIMED | result;
    char path[PROGRAM_DIR_SIZE];
    // A program directory too long for the path buffer has no log and no read-me.
    if (!path_beside_program(path, RESULT_LOG_NAME)) {
        g_result_line = RESULT_LINE_WRITTEN | result;
        return;
    }

    HANDLE file = open_result_log(path);
    if (file != INVALID_HANDLE_VALUE) {
        SYSTEMTIME now;
        GetLocalTime(&now);
        char line[64];
        int length = format_result_line(line, &now, result);
        DWORD written = 0;
        trace_text_record("result_line", "text", line);
        // One write: a line is never left half written.
        WriteFile(file, line, (DWORD)length, &written, nullptr);
        CloseHandle(file);
    }
    // Done with the line, written or lost: whoever waits for it may go on.
    g_result_line = RESULT_LINE_WRITTEN | result;

    if (g_silent || result != RESULT_VERIFIED || g_readme_opened)
        return;
    g_readme_opened = 1;  // tried once per process, whatever the outcome
    open_readme();
}

void end_run_now()
{
    write_result_log();
    // The worker may have claimed the line a moment ago and still be waiting
    // for the file (another program holding it): the process ends only once
    // the line is written, or when the wait's bound has passed.
    for (DWORD waited = 0; waited < RESULT_LINE_WAIT_MS; waited += kClaimPollMs) {
        uint64_t line = g_result_line.load();
        if (line == 0 || (line & RESULT_LINE_WRITTEN))
            return;
        Sleep(kClaimPollMs);
    }
}
