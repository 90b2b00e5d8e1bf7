/* Asks the system's trust provider about one file and prints its verdict, as
   the code WinVerifyTrust returns and the name of that code when it is one the
   signing test tells apart (tests/check_signing.sh). Never shows any UI and
   checks no revocation, so it runs offline and unattended. */
#include <windows.h>
#include <softpub.h>
#include <stdio.h>
#include <wintrust.h>

static const char* verdict_name(LONG code) {
  switch (code) {
    case ERROR_SUCCESS: return "trusted";
    case TRUST_E_NOSIGNATURE: return "no-signature";
    case TRUST_E_BAD_DIGEST: return "bad-digest";
    case CERT_E_UNTRUSTEDROOT: return "untrusted-root";
    case CERT_E_CHAINING: return "chaining";
    case TRUST_E_SUBJECT_FORM_UNKNOWN: return "form-unknown";
    case TRUST_E_PROVIDER_UNKNOWN: return "provider-unknown";
    default: return "other";
  }
}

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: verify_trust FILE\n");
    return 2;
  }
  WINTRUST_FILE_INFO file = {sizeof file};
  file.pcwszFilePath = argv[1];
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  WINTRUST_DATA data = {sizeof data};
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  LONG code = WinVerifyTrust((HWND)INVALID_HANDLE_VALUE, &action, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust((HWND)INVALID_HANDLE_VALUE, &action, &data);
  printf("0x%08lX %s\n", (unsigned long)code, verdict_name(code));
  return 0;
}
