/* Stands in for icacls.exe and cacls.exe in the installer check's Wine
 * prefix: every call is appended, with its command line, to
 * C:\permission-tool-calls.txt, and nothing is changed. The check fails when
 * that file exists after an install or a removal. */
#include <windows.h>

int main(void)
{
    HANDLE log = CreateFileW(L"C:\\permission-tool-calls.txt", FILE_APPEND_DATA, FILE_SHARE_READ,
                             NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (log != INVALID_HANDLE_VALUE) {
        const char *line = GetCommandLineA();
        DWORD written;
        WriteFile(log, line, (DWORD)lstrlenA(line), &written, NULL);
        WriteFile(log, "\r\n", 2, &written, NULL);
        CloseHandle(log);
    }
    return 0;
}
