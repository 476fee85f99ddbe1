// Fuzzes the settings-syntax parser: whatever the string, it must not crash,
// a rejection must leave the DCB as it was (with ERROR_INVALID_PARAMETER),
// and an acceptance may change only the members the syntax sets, to values
// a DCB can hold.
#include <windows.h>

#include <cstring>
#include <string>

#include "../tests/unit/settings_vectors.h"

// The DCB with every member the syntax may set taken from `from`.
static DCB with_settable_members(DCB dcb, const DCB &from) {
  dcb.BaudRate = from.BaudRate;
  dcb.Parity = from.Parity;
  dcb.ByteSize = from.ByteSize;
  dcb.StopBits = from.StopBits;
  dcb.fOutX = from.fOutX;
  dcb.fInX = from.fInX;
  dcb.fOutxCtsFlow = from.fOutxCtsFlow;
  dcb.fOutxDsrFlow = from.fOutxDsrFlow;
  dcb.fDtrControl = from.fDtrControl;
  dcb.fRtsControl = from.fRtsControl;
  dcb.fDsrSensitivity = from.fDsrSensitivity;
  return dcb;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string settings(reinterpret_cast<const char *>(data), size);
  settings.resize(strlen(settings.c_str())); // a C string ends at its first NUL
  const DCB before = base_dcb();
  DCB dcb = before;
  if (!BuildCommDCBA(settings.c_str(), &dcb)) {
    if (memcmp(&dcb, &before, sizeof dcb) != 0 || GetLastError() != ERROR_INVALID_PARAMETER)
      __builtin_trap();
    return 0;
  }
  DCB expected = with_settable_members(before, dcb);
  if (memcmp(&dcb, &expected, sizeof dcb) != 0)
    __builtin_trap(); // a member outside the syntax changed
  if (dcb.Parity > SPACEPARITY || dcb.ByteSize < 5 || dcb.ByteSize > 8 ||
      dcb.StopBits > TWOSTOPBITS)
    __builtin_trap();
  DCB again = before;
  if (!BuildCommDCBA(settings.c_str(), &again) || memcmp(&again, &dcb, sizeof dcb) != 0)
    __builtin_trap(); // the same string must give the same DCB
  return 0;
}
