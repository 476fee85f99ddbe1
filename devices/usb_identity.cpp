// The USB identity of a port: its grammar, its matching, and how Windows'
// instance IDs tell it.
#include "usb_identity.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static const char PREFIX[] = "usb:";
static const char FORM[] =
    "a USB identity is usb:VID:PID, usb:VID:PID:SERIAL or usb::SERIAL, VID and PID in hex";

// One to four hex digits, all of `part`.
static bool read_hex(const std::string &part, unsigned *number) {
  if (part.empty() || part.size() > 4)
    return false;
  for (char c : part)
    if (!isxdigit((unsigned char)c))
      return false;
  *number = (unsigned)strtoul(part.c_str(), nullptr, 16);
  return true;
}

bool read_usb_identity(const char *text, usb_identity *identity, const char **refused) {
  if (strncmp(text, PREFIX, sizeof PREFIX - 1) != 0)
    return false;
  *identity = usb_identity{};
  *refused = nullptr;
  std::string rest = text + sizeof PREFIX - 1;
  size_t first = rest.find(':');
  if (first == 0) { // usb::SERIAL
    identity->any_product = true;
    identity->serial = rest.substr(1);
    if (identity->serial.empty())
      *refused = FORM;
    return true;
  }
  size_t second = first == std::string::npos ? first : rest.find(':', first + 1);
  std::string vendor = rest.substr(0, first);
  std::string product =
      first == std::string::npos ? "" : rest.substr(first + 1, second - first - 1);
  if (second != std::string::npos)
    identity->serial = rest.substr(second + 1);
  if (!read_hex(vendor, &identity->vendor) || !read_hex(product, &identity->product) ||
      (second != std::string::npos && identity->serial.empty()))
    *refused = FORM;
  return true;
}

// Windows writes serial numbers upper case in its instance IDs: one copied
// from another system's list must still match.
static bool same_serial(const std::string &asked, const std::string &port) {
  if (asked.size() != port.size())
    return false;
  for (size_t i = 0; i < asked.size(); i++)
    if (toupper((unsigned char)asked[i]) != toupper((unsigned char)port[i]))
      return false;
  return true;
}

bool identity_matches(const usb_identity &asked, const usb_identity &port) {
  bool product =
      asked.any_product || (asked.vendor == port.vendor && asked.product == port.product);
  return product && (asked.serial.empty() || same_serial(asked.serial, port.serial));
}

std::string identity_text(const usb_identity &identity) {
  char text[32] = "usb:";
  if (!identity.any_product)
    snprintf(text, sizeof text, "usb:%04x:%04x", identity.vendor, identity.product);
  return identity.serial.empty() ? text : std::string(text) + ":" + identity.serial;
}

// Reads the vendor and the product from "VID_0403" and "PID_6001" in `text`.
static bool read_ids(const std::string &text, usb_identity *identity) {
  size_t vendor = text.find("VID_"), product = text.find("PID_");
  return vendor != std::string::npos && product != std::string::npos &&
         read_hex(text.substr(vendor + 4, 4), &identity->vendor) &&
         read_hex(text.substr(product + 4, 4), &identity->product);
}

// An instance part that the system made up, where the device gave no
// serial number, has '&' in it: never a serial.
static std::string given_serial(const std::string &part) {
  return part.find('&') == std::string::npos ? part : "";
}

// Gives the serial of a USB\VID_...&PID_...\SERIAL instance, where the
// device gave one.
static std::string usb_serial(const std::string &instance) {
  if (instance.compare(0, 4, "USB\\") != 0 || instance.find("&MI_") != std::string::npos)
    return "";
  size_t last = instance.rfind('\\');
  return given_serial(last != std::string::npos && last > 3 ? instance.substr(last + 1) : "");
}

bool identity_of_instance(const std::string &instance, const std::string &parent,
                          usb_identity *identity) {
  *identity = usb_identity{};
  if (instance.compare(0, 4, "USB\\") == 0) {
    if (!read_ids(instance, identity))
      return false;
    identity->serial = usb_serial(instance);
    if (instance.find("&MI_") != std::string::npos)
      identity->serial = usb_serial(parent);
    return true;
  }
  // FTDIBUS\VID_0403+PID_6001+A50285BIA\0000: the parent, where it is the
  // USB device, knows the serial without the port's letter.
  if (instance.compare(0, 8, "FTDIBUS\\") != 0 || !read_ids(instance, identity))
    return false;
  identity->serial = usb_serial(parent);
  size_t plus = instance.rfind('+'), slash = instance.rfind('\\');
  if (identity->serial.empty() && plus != std::string::npos && slash != std::string::npos &&
      slash > plus + 2)
    identity->serial = given_serial(instance.substr(plus + 1, slash - plus - 2));
  return true;
}
