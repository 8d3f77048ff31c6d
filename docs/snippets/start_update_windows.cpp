#include <windows.h>

// Starts Kestrin in a console of its own to put Launcher.exe.new in place
// of Launcher.exe, and exits at once.
void StartUpdateAndExit()
{
    wchar_t command[] = L"\"C:\\Games\\Acme\\Kestrin.exe\" \"C:\\Games\\Acme\\Launcher.exe\" "
                        L"\"C:\\Games\\Acme\\Launcher.exe.new\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (CreateProcessW(L"C:\\Games\\Acme\\Kestrin.exe", command, NULL, NULL,
                       FALSE /* inherit no handles */, CREATE_NEW_CONSOLE, NULL,
                       L"C:\\Games\\Acme", &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        ExitProcess(0); /* not WaitForSingleObject */
    }
}
