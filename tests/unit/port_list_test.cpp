// Which ttys --list names, read from a sysfs tree made for the test: ports
// with a UART or a USB device behind them, with their descriptions and
// stable names; no legacy port without a UART, no virtual console, and
// nothing that has no device node to open.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "../../program/port_list_linux.h"
#include "../../program/usb_identity.h"

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

  std::vector<listed_port> ports = find_serial_ports(root_ + "/sys", root_ + "/dev");
  ASSERT_EQ(3u, ports.size());
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
  for (const char *matching : {"usb:0403:6001", "usb:403:6001:A50285BI", "usb::A50285BI"})
    EXPECT_TRUE(read_usb_identity(matching, &asked, &refused) && identity_matches(asked, port))
        << matching;
  for (const char *other : {"usb:0403:6015", "usb:0403:6001:A50285BJ", "usb::a50285bi"})
    EXPECT_FALSE(read_usb_identity(other, &asked, &refused) && identity_matches(asked, port))
        << other;
}

// A Windows port's identity as SetupAPI's instance IDs tell it.
TEST(UsbIdentity, WindowsInstanceIds) {
  struct {
    const char *instance, *parent, *identity; // null: no USB device
  } rows[] = {
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
}
