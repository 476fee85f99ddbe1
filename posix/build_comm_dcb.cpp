// BuildCommDCBA: the device-control syntax of the mode command for COM ports,
// with the platform's defaults and rejections. Two forms:
//   new: "baud=9600 parity=N data=8 stop=1 xon=off ..." (space separated)
//   old: "96,N,8,1[,x|p]" (recognised by a comma anywhere)
// The DCB changes only when the whole string is accepted.
#include <windows.h>

#include <cstring>
#include <strings.h>

#include "handle.h"

static const char *skip_spaces(const char *text) {
  while (*text == ' ')
    text++;
  return text;
}

// An optional "COMn:" (or "COMn ") that names the port before the settings.
static const char *after_port_prefix(const char *text) {
  if (strncasecmp(text, "COM", 3) != 0)
    return *text == ' ' ? nullptr : text;
  text += 3;
  if (*text < '1' || *text > '9')
    return nullptr;
  while (*text >= '0' && *text <= '9')
    text++;
  if (*text != ':' && *text != ' ')
    return nullptr;
  text = skip_spaces(text);
  if (*text == ':')
    text = skip_spaces(text + 1);
  return text;
}

// A decimal number, saturating at MAXDWORD as the platform's strtoul does.
static const char *parse_number(const char *text, DWORD *number) {
  if (*text < '0' || *text > '9')
    return nullptr;
  uint64_t value = 0;
  for (; *text >= '0' && *text <= '9'; text++)
    value = value > MAXDWORD ? value : value * 10 + (uint64_t)(*text - '0');
  *number = value > MAXDWORD ? MAXDWORD : (DWORD)value;
  return text;
}

static const char *parse_parity(const char *text, BYTE *parity) {
  static const char LETTERS[] = "noems"; // NOPARITY .. SPACEPARITY, in order
  const char *found = *text == '\0' ? nullptr : strchr(LETTERS, *text | 0x20);
  if (found == nullptr)
    return nullptr;
  *parity = (BYTE)(found - LETTERS);
  return text + 1;
}

static const char *parse_byte_size(const char *text, BYTE *byte_size) {
  DWORD size = 0;
  text = parse_number(text, &size);
  if (text == nullptr || size < 5 || size > 8)
    return nullptr;
  *byte_size = (BYTE)size;
  return text;
}

static const char *parse_stop_bits(const char *text, BYTE *stop_bits) {
  if (strncmp(text, "1.5", 3) == 0) {
    *stop_bits = ONE5STOPBITS;
    return text + 3;
  }
  DWORD count = 0;
  text = parse_number(text, &count);
  if (text == nullptr || (count != 1 && count != 2))
    return nullptr;
  *stop_bits = count == 1 ? ONESTOPBIT : TWOSTOPBITS;
  return text;
}

static const char *parse_on_off(const char *text, DWORD *on) {
  if (strncasecmp(text, "on", 2) == 0) {
    *on = TRUE;
    return text + 2;
  }
  if (strncasecmp(text, "off", 3) == 0) {
    *on = FALSE;
    return text + 3;
  }
  return nullptr;
}

// The two-digit speeds of the old form are abbreviations.
static DWORD expand_old_speed(DWORD speed) {
  switch (speed) {
  case 11:
  case 30:
  case 60:
    return speed * 10;
  case 12:
  case 24:
  case 48:
  case 96:
    return speed * 100;
  case 19:
    return 19200;
  default:
    return speed;
  }
}

static const char *expect_comma(const char *text) {
  text = skip_spaces(text);
  return *text == ',' ? skip_spaces(text + 1) : nullptr;
}

static void set_old_form_flow(DCB *dcb, char last) {
  bool xon = last == 'x' || last == 'X';
  bool hardware = last == 'p' || last == 'P';
  dcb->fInX = xon;
  dcb->fOutX = xon;
  dcb->fOutxCtsFlow = hardware;
  dcb->fOutxDsrFlow = hardware;
  dcb->fDtrControl = hardware ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
  dcb->fRtsControl = hardware ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
}

static bool parse_old_form(const char *text, DCB *dcb) {
  DWORD speed = 0;
  if (!(text = parse_number(text, &speed)) || !(text = expect_comma(text)) ||
      !(text = parse_parity(text, &dcb->Parity)) || !(text = expect_comma(text)) ||
      !(text = parse_byte_size(text, &dcb->ByteSize)) || !(text = expect_comma(text)) ||
      !(text = parse_stop_bits(text, &dcb->StopBits)))
    return false;
  dcb->BaudRate = expand_old_speed(speed);
  char last = '\0';
  text = skip_spaces(text);
  if (*text == ',') {
    text = skip_spaces(text + 1);
    if (*text != '\0')
      last = *text++;
    text = skip_spaces(text);
  }
  if (last != '\0' && !strchr("xXpP", last))
    return false;
  set_old_form_flow(dcb, last);
  return *text == '\0';
}

// One "key=value" of the new form; returns what follows it, or null.
static const char *parse_setting(const char *text, DCB *dcb, bool *baud_given, bool *stop_given) {
  DWORD on = FALSE;
  const char *value;
  if (strncasecmp(text, "baud=", 5) == 0) {
    *baud_given = true;
    return parse_number(text + 5, &dcb->BaudRate);
  }
  if (strncasecmp(text, "parity=", 7) == 0)
    return parse_parity(text + 7, &dcb->Parity);
  if (strncasecmp(text, "data=", 5) == 0)
    return parse_byte_size(text + 5, &dcb->ByteSize);
  if (strncasecmp(text, "stop=", 5) == 0) {
    *stop_given = true;
    return parse_stop_bits(text + 5, &dcb->StopBits);
  }
  // Time-outs are no part of a DCB: "to=" is checked and ignored.
  if (strncasecmp(text, "to=", 3) == 0)
    return parse_on_off(text + 3, &on);
  if (strncasecmp(text, "xon=", 4) == 0 && (value = parse_on_off(text + 4, &on))) {
    dcb->fOutX = on;
    dcb->fInX = on;
  } else if (strncasecmp(text, "odsr=", 5) == 0 && (value = parse_on_off(text + 5, &on)))
    dcb->fOutxDsrFlow = on;
  else if (strncasecmp(text, "octs=", 5) == 0 && (value = parse_on_off(text + 5, &on)))
    dcb->fOutxCtsFlow = on;
  else if (strncasecmp(text, "dtr=", 4) == 0 && (value = parse_on_off(text + 4, &on)))
    dcb->fDtrControl = on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
  else if (strncasecmp(text, "rts=", 4) == 0 && (value = parse_on_off(text + 4, &on)))
    dcb->fRtsControl = on ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
  else if (strncasecmp(text, "idsr=", 5) == 0 && (value = parse_on_off(text + 5, &on)))
    dcb->fDsrSensitivity = on;
  else
    return nullptr;
  return value;
}

static bool parse_new_form(const char *text, DCB *dcb) {
  bool baud_given = false;
  bool stop_given = false;
  while (*(text = skip_spaces(text)) != '\0') {
    text = parse_setting(text, dcb, &baud_given, &stop_given);
    if (text == nullptr || (*text != '\0' && *text != ' '))
      return false;
  }
  // Without "stop=" the stop bits are still set: two at 110 baud, else one.
  if (!stop_given)
    dcb->StopBits = baud_given && dcb->BaudRate == 110 ? TWOSTOPBITS : ONESTOPBIT;
  return true;
}

BOOL BuildCommDCBA(LPCSTR lpDef, LPDCB lpDCB) {
  const char *text = lpDef == nullptr ? nullptr : after_port_prefix(lpDef);
  if (text == nullptr || lpDCB == nullptr)
    return fail_with(ERROR_INVALID_PARAMETER);
  DCB edited = *lpDCB;
  bool ok = strchr(text, ',') ? parse_old_form(text, &edited) : parse_new_form(text, &edited);
  if (!ok)
    return fail_with(ERROR_INVALID_PARAMETER);
  *lpDCB = edited;
  return TRUE;
}
