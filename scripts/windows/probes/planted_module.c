/* A DLL that tells when it is loaded: on process attach it creates the file
 * of its own path with ".loaded" appended (C:\planted\module.dll makes
 * C:\planted\module.dll.loaded) holding the loading program's path. The
 * OpenSSL check names it as a provider and an engine in planted
 * configuration files; the exports make it look like both. */
#include <windows.h>

static void tell_loaded(HINSTANCE self)
{
    wchar_t path[MAX_PATH + 8];
    DWORD n = GetModuleFileNameW(self, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return;
    lstrcatW(path, L".loaded");
    HANDLE marker = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, NULL);
    if (marker == INVALID_HANDLE_VALUE)
        return;
    char program[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, program, MAX_PATH);
    DWORD written;
    WriteFile(marker, program, length, &written, NULL);
    CloseHandle(marker);
}

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH)
        tell_loaded(self);
    return TRUE;
}

/* The provider entry: declines, so the loading goes no further. */
__declspec(dllexport) int OSSL_provider_init(const void *handle, const void *in, const void **out,
                                             void **provctx)
{
    (void)handle;
    (void)in;
    (void)out;
    (void)provctx;
    return 0;
}

/* The dynamic engine entries: decline as well. */
__declspec(dllexport) unsigned long v_check(unsigned long version)
{
    (void)version;
    return 0;
}

__declspec(dllexport) int bind_engine(void *engine, const char *id, const void *fns)
{
    (void)engine;
    (void)id;
    (void)fns;
    return 0;
}
