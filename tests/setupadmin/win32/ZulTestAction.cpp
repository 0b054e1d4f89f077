// zul-test-action.dll: the test package's custom action. It asks the user
// a yes/no question through the installer (so the answer comes from the
// helper's parent) and fails the install on No or Cancel (1602) or on
// Abort, a failed question, or the property ZULFAIL=1 (1603). Wine's
// installer ignores a Cancel to its standard actions, so this gives the
// tests their real cancel and failure paths.
#include <windows.h>

#include <msi.h>
#include <msiquery.h>

extern "C" __declspec(dllexport) UINT __stdcall ZulAskQuestion(MSIHANDLE install) {
    char value[16] = {};
    DWORD length = sizeof value;
    if (MsiGetPropertyA(install, "ZULFAIL", value, &length) == ERROR_SUCCESS && value[0] == '1')
        return ERROR_INSTALL_FAILURE;
    MSIHANDLE record = MsiCreateRecord(1);
    MsiRecordSetStringA(record, 0, "Install the ZUL test files?");
    int answer = MsiProcessMessage(install, static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_USER | MB_YESNO), record);
    MsiCloseHandle(record);
    switch (answer) {
    case 0: case IDOK: case IDYES: return ERROR_SUCCESS;  // 0: nobody to ask
    case IDNO: case IDCANCEL: return ERROR_INSTALL_USEREXIT;
    default: return ERROR_INSTALL_FAILURE;
    }
}
