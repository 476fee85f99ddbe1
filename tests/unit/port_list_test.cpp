// Which ttys --list names, read from a sysfs tree made for the test: ports
// with a UART or a USB device behind them, with their descriptions and
// stable names; no legacy port without a UART, no virtual console, and
// nothing that has no device node to open.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "../../devices/port_list_linux.h"
#include "../../devices/usb_identity.h"
#include "../../devices/usb_location.h"
#include "../../platform/command_lines.h"
#include "../../station/slots.h"

namespace fs = std::filesystem;

class PortList : public testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/tarvick-sysfs-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    root_ = pattern;
  }
  void TearDown() override { fs::remove_all(root_); }

  void file(const std::string &path, const std::string &content) {
    fs::create_directories(fs::path(root_ + path).parent_path());
    std::ofstream(root_ + path) << content << "\n";
  }
  void link(const std::string &path, const std::string &target) {
    fs::create_directories(fs::path(root_ + path).parent_path());
    fs::create_directory_symlink(target, root_ + path);
  }
  // A tty in /sys/class/tty, with a device behind it when `device` is given.
  void tty(const std::string &name, const std::string &device, const std::string &type = "") {
    fs::create_directories(root_ + "/sys/class/tty/" + name);
    if (!device.empty()) {
      fs::create_directories(root_ + "/sys/devices/" + device);
      link("/sys/class/tty/" + name + "/device", root_ + "/sys/devices/" + device);
    }
    if (!type.empty())
      file("/sys/class/tty/" + name + "/type", type);
    file("/dev/" + name, "");
  }

  std::string root_;
};

TEST_F(PortList, NamesTheRealPortsOnly) {
  tty("tty0", "");                          // a virtual console
  tty("ttyS0", "pnp0/00:01", "4");          // a 16550A
  tty("ttyS2", "platform/serial8250", "0"); // a legacy port, no UART there
  tty("ttyUSB0", "usb1/1-1/1-1:1.0/ttyUSB0");
  file("/sys/devices/usb1/1-1/idVendor", "0403");
  file("/sys/devices/usb1/1-1/idProduct", "6001");
  file("/sys/devices/usb1/1-1/product", "FT232R USB UART");
  file("/sys/devices/usb1/1-1/serial", "A50285BI");
  tty("ttyACM0", "usb1/1-2/1-2:1.0");
  file("/sys/devices/usb1/1-2/idVendor", "2e8a");
  file("/sys/devices/usb1/1-2/idProduct", "000a");
  fs::create_directories(root_ + "/dev/serial/by-id");
  fs::create_symlink("../../ttyUSB0", root_ + "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0");
  tty("ttyS1", "pnp0/00:02", "4"); // a UART that this container's /dev does not have
  fs::remove(root_ + "/dev/ttyS1");
  // A dual-port chip behind a hub: one identity, two interfaces.
  tty("ttyUSB1", "usb1/1-3/1-3.2/1-3.2:1.0/ttyUSB1");
  tty("ttyUSB2", "usb1/1-3/1-3.2/1-3.2:1.1/ttyUSB2");
  file("/sys/devices/usb1/1-3/1-3.2/idVendor", "0403");
  file("/sys/devices/usb1/1-3/1-3.2/idProduct", "6010");

  std::vector<system_port> ports = find_serial_ports(root_ + "/sys", root_ + "/dev");
  settle_own_locations(&ports);
  ASSERT_EQ(5u, ports.size());
  struct {
    const char *location, *interface, *own;
  } places[] = {{"1-2", "1-2:1.0", "1-2"},
                {"", "", ""},
                {"1-1", "1-1:1.0", "1-1"},
                {"1-3.2", "1-3.2:1.0", "1-3.2:1.0"},
                {"1-3.2", "1-3.2:1.1", "1-3.2:1.1"}};
  for (size_t i = 0; i < ports.size(); i++) {
    SCOPED_TRACE(ports[i].name);
    EXPECT_EQ(places[i].location, ports[i].location);
    EXPECT_EQ(places[i].interface, ports[i].interface_location);
    EXPECT_EQ(places[i].own, ports[i].own_location);
  }
  EXPECT_EQ(root_ + "/dev/ttyACM0", ports[0].name);
  EXPECT_EQ("2e8a:000a", ports[0].description);
  EXPECT_EQ(root_ + "/dev/ttyS0", ports[1].name);
  EXPECT_EQ("16550A UART", ports[1].description);
  EXPECT_EQ(root_ + "/dev/ttyUSB0", ports[2].name);
  EXPECT_EQ("usb:0403:6001:A50285BI", identity_text(ports[2].identity));
  EXPECT_EQ("usb:2e8a:000a", identity_text(ports[0].identity));
  EXPECT_FALSE(ports[1].usb);
  EXPECT_EQ("0403:6001 FT232R USB UART, also " + root_ +
                "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0",
            ports[2].description);
}

TEST_F(PortList, NoTtysNoPorts) {
  EXPECT_TRUE(find_serial_ports(root_ + "/sys", root_ + "/dev").empty());
}

// A port given by the USB device behind it, each form taken or refused, and
// matched against ports: a refusal says what the forms are.
TEST(UsbIdentity, TheGrammarAndWhatMatches) {
  struct {
    const char *given, *taken; // as read back, or "" for a refusal
  } rows[] = {{"usb:0403:6001", "usb:0403:6001"},
              {"usb:0403:6001:A50285BI", "usb:0403:6001:A50285BI"},
              {"USB:0403:6001", nullptr}, // no identity: a name
              {"usb:2E8A:a", "usb:2e8a:000a"},
              {"usb::A50285BI", "usb::A50285BI"},
              {"usb::AB:CD", "usb::AB:CD"},
              {"usb:0403:6001:a:b", "usb:0403:6001:a:b"},
              {"usb:", ""},
              {"usb::", ""},
              {"usb:0403", ""},
              {"usb:0403:", ""},
              {"usb:0403:6001:", ""},
              {"usb:04g3:6001", ""},
              {"usb:10403:6001", ""},
              {"/dev/ttyUSB0", nullptr}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.given);
    usb_identity identity;
    const char *refused = nullptr;
    bool is_identity = read_usb_identity(row.given, &identity, &refused);
    EXPECT_EQ(row.taken != nullptr, is_identity);
    if (row.taken != nullptr && *row.taken == '\0') {
      EXPECT_STREQ("a USB identity is usb:VID:PID, usb:VID:PID:SERIAL or usb::SERIAL, VID and "
                   "PID in hex",
                   refused);
    } else if (row.taken != nullptr) {
      EXPECT_EQ(row.taken, identity_text(identity));
    }
  }
  usb_identity port = {false, 0x0403, 0x6001, "A50285BI"}, asked;
  const char *refused = nullptr;
  for (const char *matching :
       {"usb:0403:6001", "usb:403:6001:A50285BI", "usb::A50285BI", "usb::a50285bi"})
    EXPECT_TRUE(read_usb_identity(matching, &asked, &refused) && identity_matches(asked, port))
        << matching;
  for (const char *other : {"usb:0403:6015", "usb:0403:6001:A50285BJ", "usb::A50285B"})
    EXPECT_FALSE(read_usb_identity(other, &asked, &refused) && identity_matches(asked, port))
        << other;
}

// A port given by its place, each form taken or refused, and which places
// lie within it: the socket itself, its interfaces, and the sockets behind
// a hub there.
TEST(UsbLocation, TheGrammarAndWhatLiesWithin) {
  struct {
    const char *given, *taken; // as read, or "" for a refusal; null: no place
  } rows[] = {{"usb@1-1.4", "1-1.4"},
              {"usb@1-1.4:1.1", "1-1.4:1.1"},
              {"usb@0.1C04.0000-2:1", "0.1c04.0000-2:1"},
              {"usb@14-1.3", "14-1.3"},
              {"usb@", ""},
              {"usb@1", ""},
              {"usb@1-", ""},
              {"usb@1-1..4", ""},
              {"usb@1-1.4:", ""},
              {"usb@1-1.4:1.x", ""},
              {"usb@1-1:1.0:2", ""},
              {"usb@1-1-2", ""},
              {"USB@1-1", nullptr},
              {"/dev/ttyUSB0", nullptr}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.given);
    std::string location;
    const char *refused = nullptr;
    EXPECT_EQ(row.taken != nullptr, read_usb_location(row.given, &location, &refused));
    if (row.taken != nullptr && *row.taken == '\0') {
      EXPECT_THAT(refused, testing::StartsWith("a USB location is usb@"));
    } else if (row.taken != nullptr) {
      EXPECT_EQ(row.taken, location);
    }
  }
  struct {
    const char *place, *asked;
    bool within;
  } places[] = {{"1-1.4", "1-1.4", true},       {"1-1.4:1.1", "1-1.4", true},
                {"1-1.4.2:1.0", "1-1.4", true}, {"1-1.4:1.1", "1-1.4:1.1", true},
                {"1-1.40", "1-1.4", false},     {"1-1.4:1.0", "1-1.4:1.1", false},
                {"1-1", "1-1.4", false},        {"2-1.4", "1-1.4", false}};
  for (const auto &row : places)
    EXPECT_EQ(row.within, place_is_within(row.place, row.asked))
        << row.place << " in " << row.asked;
  EXPECT_EQ("14-1.3", location_of_id(0x14130000));
  EXPECT_EQ("fa-2.f.1", location_of_id(0xFA2F1000));
  EXPECT_EQ("", location_of_id(0x14000000));
}

// A Windows port's identity as SetupAPI's instance IDs tell it, and its
// place as the location paths of its device or its parent tell it.
TEST(UsbIdentity, WindowsInstanceIds) {
  struct {
    const char *instance, *parent, *identity; // null: no USB device
  } rows[] = {
      {"FTDIBUS\\VID_0403+PID_6001+5&2A1E5E3&0&3A\\0000", "USB\\VID_0403&PID_6001\\5&2A1E5E3&0&3",
       "usb:0403:6001"},
      {"USB\\VID_0403&PID_6001\\A50285BI", "USB\\ROOT_HUB30\\4&1A2B3C&0&0",
       "usb:0403:6001:A50285BI"},
      {"USB\\VID_2341&PID_8036&MI_00\\6&2C1F8B3&0&0000", "USB\\VID_2341&PID_8036\\85736323",
       "usb:2341:8036:85736323"},
      {"USB\\VID_2341&PID_8036&MI_00\\6&2C1F8B3&0&0000", "USB\\VID_2341&PID_8036\\5&1F&0&2",
       "usb:2341:8036"},
      {"USB\\VID_1A86&PID_7523\\5&2A1E5E3&0&3", "USB\\ROOT_HUB30\\4&1A2B3C&0&0", "usb:1a86:7523"},
      {"FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", "USB\\VID_0403&PID_6001\\A50285BI",
       "usb:0403:6001:A50285BI"},
      {"FTDIBUS\\VID_0403+PID_6010+FT4KX1B\\0000", "", "usb:0403:6010:FT4KX1"},
      {"ACPI\\PNP0501\\1", "ACPI\\PNP0A08\\0", nullptr},
      {"FTDIBUS\\COMPORT&VID_0403", "", nullptr},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.instance);
    usb_identity identity;
    bool usb = identity_of_instance(row.instance, row.parent, &identity);
    EXPECT_EQ(row.identity != nullptr, usb);
    if (usb && row.identity != nullptr) {
      EXPECT_EQ(row.identity, identity_text(identity));
    }
  }
  struct {
    const char *path, *location; // "": no USB device's place
  } paths[] = {
      {"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(4)", "0.1400-1.4"},
      {"PCIROOT(0)#PCI(1C04)#PCI(0000)#USBROOT(0)#USB(2)#USB(3)#USBMI(1)", "0.1c04.0000-2.3:1"},
      {"PCIROOT(1)#PCI(0801)#USBROOT(0)#USB(12)", "1.0801-12"},
      {"ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)#ACPI(RHUB)#ACPI(HS04)", ""},
      {"PCIROOT(0)#PCI(1400)#USBROOT(0)", ""},
      {"PCIROOT(0)#PCI(1F00)#ACPI(PNP0501)", ""},
  };
  for (const auto &row : paths)
    EXPECT_EQ(row.location, location_of_path(row.path)) << row.path;
}

// A station's patterns against the ports there: each USB port in the slot
// of its place, asked for where an identity or a place takes it (a boot
// loader at a place not asked for is seen, not taken), and each name that
// is there.
TEST(StationSlots, EachBoardInTheSlotOfItsPlace) {
  std::vector<port_wanted> patterns =
      read_slot_patterns("usb:0403:6001,usb@1-4,/dev/tarvick-no-such-tty");
  auto usb = [](const char *name, unsigned vendor, unsigned product, const char *place) {
    system_port port = {};
    port.name = name;
    port.usb = *place != '\0';
    port.identity = {false, vendor, product, "S1"};
    port.location = port.own_location = place;
    return port;
  };
  std::vector<system_port> ports = {
      usb("/dev/ttyUSB0", 0x0403, 0x6001, "1-1"), usb("/dev/ttyUSB1", 0x1a86, 0x7523, "1-4.2"),
      usb("/dev/ttyACM0", 0x2341, 0x0036, "1-3"), usb("/dev/ttyS0", 0, 0, "")};
  std::vector<board_seen> seen = boards_now(patterns, ports, [](const std::string &name) {
    return name.find("no-such") != std::string::npos;
  });
  std::vector<std::string> taken;
  for (const board_seen &board : seen)
    taken.push_back(board.slot + " " + board.device + " " + board.identity +
                    (board.asked ? " asked" : ""));
  EXPECT_EQ((std::vector<std::string>{"usb@1-1 /dev/ttyUSB0 usb:0403:6001:S1 asked",
                                      "usb@1-4.2 /dev/ttyUSB1 usb:1a86:7523:S1 asked",
                                      "usb@1-3 /dev/ttyACM0 usb:2341:0036:S1",
                                      "/dev/tarvick-no-such-tty /dev/tarvick-no-such-tty  asked"}),
            taken);
  EXPECT_TRUE(watches_usb(patterns));
  EXPECT_FALSE(watches_usb(read_slot_patterns("/dev/ttyS0")));
}

// A station's runs on Windows get their arguments back as they were given,
// whatever blanks, quotes and backslashes they hold.
TEST(StationSlots, WindowsCommandLines) {
  struct {
    std::vector<std::string> args;
    const char *line;
  } rows[] = {
      {{"tarvick.exe", "--report=C:\\Temp\\b 1.json"},
       "tarvick.exe \"--report=C:\\Temp\\b 1.json\""},
      {{"a", "baud=9600 parity=N"}, "a \"baud=9600 parity=N\""},
      {{"a", ""}, "a \"\""},
      {{"a", "say \"hi\""}, "a \"say \\\"hi\\\"\""},
      {{"a", "C:\\dir with space\\"}, "a \"C:\\dir with space\\\\\""},
      {{"a", "\\\\.\\COM10"}, "a \\\\.\\COM10"},
  };
  for (const auto &row : rows)
    EXPECT_EQ(row.line, windows_command_line(row.args));
}
