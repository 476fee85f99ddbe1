// Windows: CM_Register_Notification for the arrival and removal of serial
// ports' device interfaces (GUID_DEVINTERFACE_COMPORT), which the system
// calls back on a thread of its own. A port announced may not have its
// driver installed yet: the station asks port_may_be_opened before it
// starts a run. The call is looked up when the station starts (Windows 8
// on; Wine has none), and MinGW's headers do not declare it.
#include <windows.h>

#include "port_watch.h"

typedef HANDLE notification_handle;
enum notify_filter_type { NOTIFY_FILTER_TYPE_DEVICEINTERFACE = 0 };

struct notify_filter {
  DWORD cbSize;
  DWORD Flags;
  notify_filter_type FilterType;
  DWORD Reserved;
  union {
    struct {
      GUID ClassGuid;
    } DeviceInterface;
    struct {
      HANDLE hTarget;
    } DeviceHandle;
    struct {
      WCHAR InstanceId[200];
    } DeviceInstance;
  } u;
};

typedef DWORD(CALLBACK *notify_callback)(notification_handle, void *context, DWORD action,
                                         void *event_data, DWORD event_data_size);
typedef DWORD(WINAPI *register_call)(notify_filter *, void *context, notify_callback,
                                     notification_handle *);
typedef DWORD(WINAPI *unregister_call)(notification_handle);

static const GUID SERIAL_PORTS = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
static const DWORD ARRIVAL = 0, REMOVAL = 1;

static void (*ports_changed)() = NULL;
static notification_handle registered = NULL;
static unregister_call unregister = NULL;

static DWORD CALLBACK port_came_or_went(notification_handle, void *, DWORD action, void *, DWORD) {
  if (action == ARRIVAL || action == REMOVAL)
    ports_changed();
  return ERROR_SUCCESS;
}

const char *start_watching_ports(void (*changed)()) {
  HMODULE library = LoadLibraryA("cfgmgr32.dll");
  register_call subscribe =
      library ? (register_call)(void *)GetProcAddress(library, "CM_Register_Notification") : NULL;
  unregister = library
                   ? (unregister_call)(void *)GetProcAddress(library, "CM_Unregister_Notification")
                   : NULL;
  if (subscribe == NULL || unregister == NULL)
    return NULL;
  ports_changed = changed;
  notify_filter filter = {};
  filter.cbSize = sizeof filter;
  filter.FilterType = NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
  filter.u.DeviceInterface.ClassGuid = SERIAL_PORTS;
  if (subscribe(&filter, NULL, port_came_or_went, &registered) != 0 /* CR_SUCCESS */)
    return NULL;
  return "the system's device notifications";
}

void stop_watching_ports() {
  if (registered != NULL)
    unregister(registered);
  registered = NULL;
}
