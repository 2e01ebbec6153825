// The system folder picker, opened on an initial path.
#include "installsupport.h"
#include <shlobj.h>
#include <stdlib.h>

static const size_t pickerResultSize = MAX_PATH;

int CALLBACK browseCallback(HWND picker, UINT notification, LPARAM, LPARAM data)
{
    if (notification == BFFM_INITIALIZED) {
        SendMessageA(picker, BFFM_SETSELECTIONA, TRUE, data);
        return 0;
    }
    return notification == BFFM_VALIDATEFAILEDA ? 1 : 0;
}

// The system folder picker without edit box or new-folder button; the initial path, when
// given, is selected once the picker has opened.
char *chooseDirectory(HWND owner, const char *title, const char *initialPath)
{
    char *result = static_cast<char *>(malloc(pickerResultSize));
    if (!result)
        return nullptr;
    result[0] = '\0';
    BROWSEINFOA browse = {};
    browse.hwndOwner = owner;
    browse.pidlRoot = nullptr;
    browse.pszDisplayName = result;
    browse.lpszTitle = title;
    browse.ulFlags = BIF_RETURNONLYFSDIRS;
    if (initialPath) {
        browse.lpfn = browseCallback;
        browse.lParam = reinterpret_cast<LPARAM>(initialPath);
    }
    // The picker needs COM in a single-threaded apartment on its thread, and the updater opens it
    // on its installation worker, which has none of its own.
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    LPITEMIDLIST item = SHBrowseForFolderA(&browse);
    BOOL converted = item && SHGetPathFromIDListA(item, result);
    CoTaskMemFree(item);
    if (SUCCEEDED(com))
        CoUninitialize();
    if (!converted) {
        free(result);
        return nullptr;
    }
    return result;
}
