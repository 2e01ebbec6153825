// The system folder picker, opened on an initial path.
#include "installsupport.h"
#include <shlobj.h>
#include <stdlib.h>

static const size_t pickerResultSize = MAX_PATH;

// What the picker's callback needs: the initial path, and whether the picker has selected it.
struct InitialSelection {
    const char *path;
    bool selected;
};

// Wine's picker finds the folder to select by comparing each level of the path, as it read it
// just before, with the folder as its tree read it, access time included; reading the path moves
// the access times of folders not read since their last change (or for a day), so the first try
// can miss. A second try meets the times the first reading left. Windows takes the first.
static void selectInitialPath(HWND picker, InitialSelection *initial)
{
    // Only a selection made during the request counts, not one the picker made before.
    initial->selected = false;
    for (int attempt = 0; attempt < 3 && !initial->selected; attempt++)
        SendMessageA(picker, BFFM_SETSELECTIONA, TRUE, reinterpret_cast<LPARAM>(initial->path));
}

int CALLBACK browseCallback(HWND picker, UINT notification, LPARAM item, LPARAM data)
{
    InitialSelection *initial = reinterpret_cast<InitialSelection *>(data);
    if (notification == BFFM_INITIALIZED) {
        selectInitialPath(picker, initial);
        return 0;
    }
    // Sent while the picker selects an item, whoever asked; the dialog's own answer to
    // BFFM_SETSELECTION says nothing.
    if (notification == BFFM_SELCHANGED && item)
        initial->selected = true;
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
    InitialSelection initial = {initialPath, false};
    if (initialPath) {
        browse.lpfn = browseCallback;
        browse.lParam = reinterpret_cast<LPARAM>(&initial);
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
