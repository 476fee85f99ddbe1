// Windows: the ports in the SERIALCOMM map of the registry, joined with the
// COM names the system knows (QueryDosDevice), with the friendly names, the
// USB identities and the places that SetupAPI has for them. Under Wine, the COM links
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

#include "port_list.h"
#include "usb_location.h"

static const DWORD NAME_SIZE = 256;

// What the system says of a COM port.
struct com_port {
  std::string friendly;
  bool usb = false;
  usb_identity identity = {};
  std::string location; // short, with the interface where the path names one
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

// Gives the place of a device node from its location paths (several
// strings, one after another), the first that leads to a USB device.
static std::string location_of_node(DEVINST node) {
  // Two NULs stay at the end, whatever the system writes: the list ends.
  char paths[4096] = {};
  ULONG size = sizeof paths - 2, type = 0;
  if (CM_Get_DevNode_Registry_PropertyA(node, CM_DRP_LOCATION_PATHS, &type, paths, &size, 0) !=
      CR_SUCCESS)
    return "";
  for (const char *path = paths; *path != '\0'; path += strlen(path) + 1) {
    std::string place = location_of_path(path);
    if (!place.empty())
      return place;
  }
  return "";
}

// A port's place: its own node's, or where that tells none (a port under
// FTDI's own driver), its parent's, the USB device.
static std::string location_of_device(SP_DEVINFO_DATA *device) {
  std::string place = location_of_node(device->DevInst);
  DEVINST parent = 0;
  if (place.empty() && CM_Get_Parent(&parent, device->DevInst, 0) == CR_SUCCESS)
    place = location_of_node(parent);
  return place;
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
    found.location = found.usb ? location_of_device(&device) : "";
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

std::vector<system_port> system_serial_ports() {
  std::vector<system_port> found;
  for (const auto &port : all_ports()) {
    const com_port &facts = port.second;
    system_port listed = {};
    listed.name = name_of(port.first);
    listed.description = listed.adapter = facts.friendly;
    listed.usb = facts.usb;
    listed.identity = facts.identity;
    listed.serial = facts.identity.serial;
    size_t colon = facts.location.find(':');
    listed.location = facts.location.substr(0, colon);
    if (colon != std::string::npos)
      listed.interface_location = facts.location;
    found.push_back(listed);
  }
  return found;
}
