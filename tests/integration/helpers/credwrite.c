/* Writes or deletes a generic credential, as an operator would with
   cmdkey: credwrite TARGET USER PASSWORD, or credwrite TARGET to delete. */
#include <windows.h>
#include <wincred.h>
#include <string.h>

int main(int argc, char **argv) {
    if (argc == 2) return CredDeleteA(argv[1], CRED_TYPE_GENERIC, 0) ? 0 : 1;
    if (argc != 4) return 2;
    /* cmdkey stores the secret as UTF-16. */
    WCHAR secret[256];
    int n = MultiByteToWideChar(CP_ACP, 0, argv[3], -1, secret, 256);
    if (n <= 0) return 3;
    CREDENTIALA c;
    memset(&c, 0, sizeof c);
    c.Type = CRED_TYPE_GENERIC;
    c.TargetName = argv[1];
    c.UserName = argv[2];
    c.CredentialBlob = (LPBYTE)secret;
    c.CredentialBlobSize = (DWORD)((n - 1) * sizeof(WCHAR));
    c.Persist = CRED_PERSIST_LOCAL_MACHINE;
    return CredWriteA(&c, 0) ? 0 : 4;
}
