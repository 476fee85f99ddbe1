// The failure rows: each message exactly as scripts match it, and what its
// name stands for.
#include "failures.h"

#include <cstring>

bool failure_values(const failure *what, va_list values, const char **name, unsigned *code) {
  va_list taken;
  va_copy(taken, values);
  *name = what->subject != NAMES_NOTHING ? va_arg(taken, const char *) : NULL;
  bool has_code = strstr(what->message, "%u") != NULL;
  if (has_code)
    *code = va_arg(taken, unsigned);
  va_end(taken);
  return has_code;
}

const failure USAGE = {"Usage: tarvick <COM port> <comSettings> <filename>\n"
                       "  comSettings example: baud=38400 parity=N data=8 stop=1\n",
                       NAMES_NOTHING};
const failure OPEN_PORT_FAILED = {"fail to open %s : %u\n", NAMES_PORT};
const failure GET_TIMEOUTS_FAILED = {"fail to get %s timeouts: %u\n", NAMES_PORT};
const failure SET_TIMEOUTS_FAILED = {"fail to set %s timeouts: %u\n", NAMES_PORT};
const failure GET_CONFIG_FAILED = {"fail to get %s config: %u\n", NAMES_PORT};
const failure CONFIG_ERROR = {"%s config error: %u\n", NAMES_PORT};
const failure SET_CONFIG_FAILED = {"fail to set %s config: %u\n", NAMES_PORT};
const failure WRITE_FAILED = {"fail to write to %s : %u\n", NAMES_PORT};
const failure READ_FAILED = {"fail to read from %s : %u\n", NAMES_PORT};
const failure NOTHING_READ = {"fail to read from %s\n", NAMES_PORT};
const failure SYNC_FAILED = {"synchronization failed\n", NAMES_NOTHING};
const failure OPEN_FILE_FAILED = {"fail to open %s : %u\n", NAMES_FILE};
const failure FILE_INFORMATION_FAILED = {"fail to get file information %s : %u\n", NAMES_FILE};
const failure FILE_TOO_LONG = {"file \"%s\" is to long\n", NAMES_FILE}; // "to": scripts match it
const failure NO_MEMORY = {"insufficient memory !!!\n", NAMES_NOTHING};
const failure READ_FILE_FAILED = {"fail to read from %s : %u\n", NAMES_FILE};
// The options beyond the four arguments: the option or variable as given,
// then why it is refused.
const failure OPTION_REFUSED = {"%s: %s\n", NAMES_OPTION};
const failure NO_MODEM_LINES = {"fail to set %s lines: %u\n", NAMES_PORT};
// A port given by a USB identity that is badly formed, or that more than
// one port has: the port as given, then why.
const failure PORT_REFUSED = {"%s: %s\n", NAMES_PORT};
const failure LINE_IN_HANDSHAKE = {"%s: --reset drives %s, which the settings give to handshake\n",
                                   NAMES_PORT};
