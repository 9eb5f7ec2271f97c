// tessel-deploy: the one place where a deployment's outcome is decided. It
// runs the installed tool with -check, and with -silent only when the update
// applies; maps what happened to an installer's exit code; records it under
// HKLM\SOFTWARE\Orvex\Tessel Keyboard Updater (64-bit view) and in
// update-result.txt beside the tool.
//
// Built twice from this file: tessel-deploy.exe (run by the NSIS installer:
// tessel-deploy.exe [FOLDER], FOLDER defaulting to its own) and
// tessel-deploy.dll, whose DeployUpdate and DeployForget are the MSI's
// deferred custom actions (the folder comes as CustomActionData).
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#ifdef TESSEL_DEPLOY_DLL
#include <msi.h>
#include <msiquery.h>
#endif
#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <initializer_list>

namespace {

const wchar_t kKey[] = L"SOFTWARE\\Orvex\\Tessel Keyboard Updater";
// The tests under Wine install side by side in one prefix: each names a key
// of its own in TESSEL_DEPLOY_KEY (under HKLM). Installers never set it.
const wchar_t* result_key()
{
    static wchar_t key[256];
    DWORD n = GetEnvironmentVariableW(L"TESSEL_DEPLOY_KEY", key, 256);
    return n > 0 && n < 256 ? key : kKey;
}
const wchar_t kVendorKey[] = L"SOFTWARE\\Orvex";
// The tool bounds itself: -check within 10 s, -silent within 45 s. These
// bounds only guard against a tool that hangs.
const DWORD kCheckWaitMs = 60000;
const DWORD kUpdateWaitMs = 180000;
const DWORD kNotStarted = 0xFFFFFFFF;
const DWORD kRestartDue = 3010;      // ERROR_SUCCESS_REBOOT_REQUIRED
const DWORD kAnotherCopy = 1618;     // ERROR_INSTALL_ALREADY_RUNNING
const DWORD kInstallFailure = 1603;  // ERROR_INSTALL_FAILURE

struct Result {
    const wchar_t* outcome;
    DWORD code;
    const char* words;
    char nxp[8], bt[8], package_nxp[8], package_bt[8];
};

// Runs "folder\tessel-updater.exe args" in `folder`; its exit code, or
// kNotStarted. With `out`, its standard output (up to n - 1 bytes) too.
DWORD run_tool(const wchar_t* folder, const wchar_t* args, char* out, size_t n, DWORD wait_ms)
{
    wchar_t command[1200];
    _snwprintf(command, 1200, L"\"%ls\\tessel-updater.exe\" %ls", folder, args);
    command[1199] = 0;
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    STARTUPINFOW si;
    memset(&si, 0, sizeof(si));
    si.cb = sizeof(si);
    if (out && CreatePipe(&read_end, &write_end, &sa, 0)) {
        SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = write_end;
        si.hStdError = write_end;
    }
    PROCESS_INFORMATION pi;
    BOOL started = CreateProcessW(nullptr, command, nullptr, nullptr, TRUE, 0, nullptr, folder, &si, &pi);
    if (write_end)
        CloseHandle(write_end);
    DWORD code = kNotStarted;
    if (started) {
        if (WaitForSingleObject(pi.hProcess, wait_ms) != WAIT_OBJECT_0)
            TerminateProcess(pi.hProcess, kNotStarted);
        else if (!GetExitCodeProcess(pi.hProcess, &code))
            code = kNotStarted;
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    if (out) {
        // The tool has ended: what it wrote waits in the pipe.
        size_t got = 0;
        DWORD avail = 0, r = 0;
        while (read_end && got + 1 < n && PeekNamedPipe(read_end, nullptr, 0, nullptr, &avail, nullptr) &&
               avail && ReadFile(read_end, out + got, (DWORD)(n - 1 - got), &r, nullptr) && r)
            got += r;
        out[got] = 0;
    }
    if (read_end)
        CloseHandle(read_end);
    return code;
}

// The value of `key=` in -check's line (four hex digits), or "".
void field(const char* line, const char* key, char* value)
{
    value[0] = 0;
    size_t k = strlen(key);
    for (const char* p = line; *p; ++p) {
        if ((p == line || p[-1] == ' ') && strncmp(p, key, k) == 0 && p[k] == '=') {
            int i = 0;
            for (p += k + 1; i < 4 && *p > ' '; ++p)
                value[i++] = *p;
            value[i] = 0;
            return;
        }
    }
}

const char* failure_words(DWORD code)
{
    switch (code) {
    case 1: return "The update did not start in time (or the keyboard changed meanwhile). Run it again.";
    case 2:
        return "The Bluetooth firmware was not confirmed by the keyboard. Detach and re-attach the keyboard, "
               "then run the update again.";
    case 3:
        return "The update stopped while the keyboard switched to its update mode. Detach and re-attach the "
               "keyboard, then run the update again.";
    case 4:
        return "The USB firmware was not installed: the download did not complete or the keyboard did not "
               "come back. Detach and re-attach the keyboard, then run the update again.";
    case 5:
    case 6:
        return "The keyboard did not finish the update. Detach and re-attach the keyboard, then run the "
               "update again.";
    case 7:
        return "After the update the keyboard reported other versions than expected. Contact support with "
               "the file LogfileKarstDFU.txt.";
    case 13: return "The updater carries no readable update package. Contact support.";
    default: return "The updater could not be run. Contact support with the file LogfileKarstDFU.txt.";
    }
}

Result deploy(const wchar_t* folder)
{
    Result r;
    memset(&r, 0, sizeof(r));
    char line[512];
    DWORD check = run_tool(folder, L"-check", line, sizeof(line), kCheckWaitMs);
    field(line, "nxp", r.nxp);
    field(line, "bt", r.bt);
    field(line, "package_nxp", r.package_nxp);
    field(line, "package_bt", r.package_bt);
    switch (check) {
    case 0:
        r.outcome = L"up-to-date";
        r.code = 0;
        r.words = "The keyboard already has this firmware. Nothing to do.";
        return r;
    case 11:
        r.outcome = L"no-keyboard";
        r.code = 11;
        r.words =
            "No keyboard is attached: nothing was updated. Attach the keyboard and run the installer again.";
        return r;
    case 12:
        r.outcome = L"not-applicable";
        r.code = 12;
        r.words =
            "This keyboard cannot take this firmware (it has newer firmware or another Bluetooth model). "
            "Nothing was changed.";
        return r;
    case 2:
        r.outcome = L"another-copy";
        r.code = kAnotherCopy;
        r.words = "Another copy of the updater is running. Let it finish, then run the installer again.";
        return r;
    case 10: break;
    default:
        r.outcome = L"failed";
        r.code = check == kNotStarted ? kInstallFailure : check;
        r.words = failure_words(check);
        return r;
    }
    DWORD update = run_tool(folder, L"-silent", nullptr, 0, kUpdateWaitMs);
    if (update == 0) {
        r.outcome = L"verified";
        r.code = kRestartDue;
        r.words = "The keyboard firmware was updated and verified. Restart Windows to finish.";
        memcpy(r.nxp, r.package_nxp, sizeof(r.nxp));
        memcpy(r.bt, r.package_bt, sizeof(r.bt));
        return r;
    }
    r.outcome = L"failed";
    r.code = update == kNotStarted ? kInstallFailure : update;
    r.words = failure_words(update);
    return r;
}

void set_string(HKEY key, const wchar_t* name, const wchar_t* value)
{
    RegSetValueExW(key, name, 0, REG_SZ, (const BYTE*)value, (DWORD)((wcslen(value) + 1) * sizeof(wchar_t)));
}

void set_ascii(HKEY key, const wchar_t* name, const char* value)
{
    wchar_t wide[16];
    int i = 0;
    for (; value[i] && i < 15; ++i)
        wide[i] = (wchar_t)(unsigned char)value[i];
    wide[i] = 0;
    set_string(key, name, wide);
}

void record(const wchar_t* folder, const Result& r)
{
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, result_key(), 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                        nullptr, &key, nullptr) == ERROR_SUCCESS) {
        SYSTEMTIME t;
        GetSystemTime(&t);
        wchar_t when[32];
        _snwprintf(when, 32, L"%04u-%02u-%02uT%02u:%02u:%02uZ", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                   t.wSecond);
        when[31] = 0;
        set_string(key, L"Outcome", r.outcome);
        RegSetValueExW(key, L"ExitCode", 0, REG_DWORD, (const BYTE*)&r.code, sizeof(DWORD));
        set_string(key, L"Time", when);
        set_ascii(key, L"NxpVersion", r.nxp);
        set_ascii(key, L"BtVersion", r.bt);
        set_ascii(key, L"PackageNxpVersion", r.package_nxp);
        set_ascii(key, L"PackageBtVersion", r.package_bt);
        RegCloseKey(key);
    }
    wchar_t path[1100];
    _snwprintf(path, 1100, L"%ls\\update-result.txt", folder);
    path[1099] = 0;
    HANDLE f = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f != INVALID_HANDLE_VALUE) {
        // The code, its words, the outcome: one line each.
        char text[600];
        int n =
            snprintf(text, sizeof(text), "%lu\r\n%s\r\n%ls\r\n", (unsigned long)r.code, r.words, r.outcome);
        DWORD written;
        WriteFile(f, text, (DWORD)n, &written, nullptr);
        CloseHandle(f);
    }
}

// `folder` without a trailing backslash.
void trim(wchar_t* folder)
{
    size_t n = wcslen(folder);
    while (n > 3 && (folder[n - 1] == L'\\' || folder[n - 1] == L'/'))
        folder[--n] = 0;
}

}  // namespace

#ifdef TESSEL_DEPLOY_DLL

// MSI: the update as a deferred custom action. Up to date, no keyboard and
// not applicable succeed; a verified update asks for a restart at the end
// (msiexec then ends with 3010); another copy and failures fail the action
// (msiexec ends with 1603), the tool's code is in the registry.
extern "C" __declspec(dllexport) UINT __stdcall DeployUpdate(MSIHANDLE install)
{
    wchar_t folder[1024];
    DWORD size = 1024;
    if (MsiGetPropertyW(install, L"CustomActionData", folder, &size) != ERROR_SUCCESS || !folder[0])
        return ERROR_INSTALL_FAILURE;
    trim(folder);
    Result r = deploy(folder);
    record(folder, r);
    if (r.code == kRestartDue) {
        MsiSetMode(install, MSIRUNMODE_REBOOTATEND, TRUE);
        return ERROR_SUCCESS;
    }
    return r.code == 0 || r.code == 11 || r.code == 12 ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// MSI: on removal, what the tool and the update left behind: the result files
// beside the tool and the registry key.
extern "C" __declspec(dllexport) UINT __stdcall DeployForget(MSIHANDLE install)
{
    wchar_t folder[1024];
    DWORD size = 1024;
    if (MsiGetPropertyW(install, L"CustomActionData", folder, &size) == ERROR_SUCCESS && folder[0]) {
        trim(folder);
        for (const wchar_t* name : {L"update-result.txt", L"LogfileKarstDFU.txt"}) {
            wchar_t path[1100];
            _snwprintf(path, 1100, L"%ls\\%ls", folder, name);
            path[1099] = 0;
            DeleteFileW(path);
        }
    }
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, result_key(), KEY_WOW64_64KEY, 0);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kVendorKey, KEY_WOW64_64KEY, 0);  // only when empty
    return ERROR_SUCCESS;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}

#else

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    wchar_t folder[1024];
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv && argc > 1) {
        wcsncpy(folder, argv[1], 1023);
    } else {
        // Its own folder.
        DWORD n = GetModuleFileNameW(nullptr, folder, 1024);
        while (n > 0 && folder[n - 1] != L'\\')
            --n;
        folder[n] = 0;
    }
    folder[1023] = 0;
    if (argv)
        LocalFree(argv);
    trim(folder);
    Result r = deploy(folder);
    record(folder, r);
    return (int)r.code;
}

#endif
