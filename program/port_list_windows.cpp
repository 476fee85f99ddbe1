// Windows: the ports in the SERIALCOMM map of the registry, joined with the
// COM names the system knows (QueryDosDevice), with the friendly names and
// the USB identities that SetupAPI has for them. Under Wine, the COM links
// made in its dosdevices folder are added (Wine tells no USB identity).
#include <windows.h>
// clang-format off
#include <initguid.h>
#include <devguid.h>
#include <setupapi.h>
#include <cfgmgr32.h>
// clang-format on

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "../base/run_record.h"
#include "port_list.h"

static const DWORD NAME_SIZE = 256;

// What the system says of a COM port.
struct com_port {
  std::string friendly;
  bool usb = false;
  usb_identity identity = {};
};
typedef std::map<unsigned, com_port> com_ports;

// Gives the number of "COM12", or 0 for any other name.
static unsigned com_number(const char *name) {
  if (_strnicmp(name, "COM", 3) != 0 || name[3] < '1' || name[3] > '9')
    return 0;
  char *end = NULL;
  unsigned long number = strtoul(name + 3, &end, 10);
  return *end == '\0' ? (unsigned)number : 0;
}

static void add_registry_ports(com_ports *ports) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS)
    return;
  for (DWORD index = 0;; index++) {
    char value_name[NAME_SIZE], data[NAME_SIZE] = "";
    DWORD name_size = sizeof value_name, data_size = sizeof data - 1, type = 0;
    if (RegEnumValueA(key, index, value_name, &name_size, NULL, &type, (BYTE *)data, &data_size) !=
        ERROR_SUCCESS)
      break;
    if (type == REG_SZ && com_number(data) != 0)
      (*ports)[com_number(data)];
  }
  RegCloseKey(key);
}

static void add_dos_device_ports(com_ports *ports) {
  std::vector<char> names(1 << 16);
  while (QueryDosDeviceA(NULL, names.data(), (DWORD)names.size()) == 0) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || names.size() > (1u << 24))
      return;
    names.resize(names.size() * 2);
  }
  for (const char *name = names.data(); *name != '\0'; name += strlen(name) + 1)
    if (com_number(name) != 0)
      (*ports)[com_number(name)];
}

// Wine keeps COM ports as links in its prefix's dosdevices folder (where
// drive C: is a link too), and its QueryDosDevice does not report them: the
// folder is read, which opens no port. Windows has no such folder.
typedef char *(CDECL *unix_name_of)(LPCWSTR dos_name);
typedef WCHAR *(CDECL *dos_name_of)(const char *unix_name);

static void add_wine_links(com_ports *ports) {
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  auto to_unix = (unix_name_of)(void *)GetProcAddress(kernel, "wine_get_unix_file_name");
  auto to_dos = (dos_name_of)(void *)GetProcAddress(kernel, "wine_get_dos_file_name");
  char *drive = to_unix && to_dos ? to_unix(L"C:\\") : NULL;
  if (drive == NULL)
    return;
  std::string folder = drive;
  HeapFree(GetProcessHeap(), 0, drive);
  folder = folder.substr(0, folder.rfind("/c:")) + "/";
  WCHAR *dos_folder = to_dos(folder.c_str());
  if (dos_folder == NULL)
    return;
  std::wstring pattern = std::wstring(dos_folder) + L"com*";
  HeapFree(GetProcessHeap(), 0, dos_folder);
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE)
    return;
  do {
    char name[NAME_SIZE];
    WideCharToMultiByte(CP_ACP, 0, found.cFileName, -1, name, sizeof name, NULL, NULL);
    // A link to a folder or to a file with content is no port. Wine tells a
    // device from an empty file only once it is opened, which --list never
    // does: an empty file still shows.
    bool no_port = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || found.nFileSizeLow != 0 ||
                   found.nFileSizeHigh != 0;
    if (com_number(name) != 0 && !no_port)
      (*ports)[com_number(name)];
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

// Reads the device instance IDs of a port's device and of its parent,
// which tell its USB identity (usb_identity.h).
static bool identity_of_device(HDEVINFO devices, SP_DEVINFO_DATA *device, usb_identity *identity) {
  char instance[MAX_DEVICE_ID_LEN] = "", parent[MAX_DEVICE_ID_LEN] = "";
  if (!SetupDiGetDeviceInstanceIdA(devices, device, instance, sizeof instance, NULL))
    return false;
  DEVINST parent_instance = 0;
  if (CM_Get_Parent(&parent_instance, device->DevInst, 0) == CR_SUCCESS)
    CM_Get_Device_IDA(parent_instance, parent, sizeof parent, 0);
  return identity_of_instance(instance, parent, identity);
}

static void add_friendly_names(com_ports *ports) {
  HDEVINFO devices = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, NULL, NULL, DIGCF_PRESENT);
  if (devices == INVALID_HANDLE_VALUE)
    return;
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); index++) {
    HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE)
      continue;
    char port[NAME_SIZE] = "";
    DWORD size = sizeof port - 1;
    RegQueryValueExA(key, "PortName", NULL, NULL, (BYTE *)port, &size);
    RegCloseKey(key);
    if (com_number(port) == 0)
      continue;
    com_port &found = (*ports)[com_number(port)];
    char friendly[NAME_SIZE] = "";
    if (SetupDiGetDeviceRegistryPropertyA(devices, &device, SPDRP_FRIENDLYNAME, NULL,
                                          (BYTE *)friendly, sizeof friendly - 1, NULL))
      found.friendly = friendly;
    found.usb = identity_of_device(devices, &device, &found.identity);
  }
  SetupDiDestroyDeviceInfoList(devices);
}

static com_ports all_ports() {
  com_ports ports;
  add_registry_ports(&ports);
  add_dos_device_ports(&ports);
  add_wine_links(&ports);
  add_friendly_names(&ports);
  return ports;
}

// From COM10 on, only the device form opens.
static std::string name_of(unsigned number) {
  return (number < 10 ? "COM" : "\\\\.\\COM") + std::to_string(number);
}

int list_serial_ports() {
  com_ports ports = all_ports();
  for (const auto &port : ports) {
    const com_port &facts = port.second;
    std::string line = name_of(port.first);
    if (!facts.friendly.empty())
      line += "  " + facts.friendly;
    if (facts.usb)
      line += "  " + identity_text(facts.identity);
    printf("%s\n", line.c_str());
  }
  return (int)ports.size();
}

std::vector<system_port> serial_ports_now() {
  std::vector<system_port> found;
  for (const auto &port : all_ports())
    found.push_back({name_of(port.first), port.second.usb, port.second.identity});
  return found;
}

// Notes what Device Manager calls the port, found by its COM number.
void note_adapter(const char *port) {
  if (!recording())
    return;
  const char DEVICE_PREFIX[] = "\\\\.\\";
  if (strncmp(port, DEVICE_PREFIX, sizeof DEVICE_PREFIX - 1) == 0)
    port += sizeof DEVICE_PREFIX - 1;
  com_ports ports;
  add_friendly_names(&ports);
  auto found = ports.find(com_number(port));
  if (found == ports.end() || found->second.friendly.empty())
    return;
  snprintf(facts.adapter, sizeof facts.adapter, "%s", found->second.friendly.c_str());
  if (found->second.usb)
    snprintf(facts.adapter_serial, sizeof facts.adapter_serial, "%s",
             found->second.identity.serial.c_str());
  trace("adapter: %s", found->second.friendly.c_str());
}
