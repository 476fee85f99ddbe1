// Which ttys --list names, read from a sysfs tree made for the test: ports
// with a UART or a USB device behind them, with their descriptions and
// stable names; no legacy port without a UART, no virtual console, and
// nothing that has no device node to open.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "../../program/port_list_linux.h"

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
  EXPECT_EQ("0403:6001 FT232R USB UART, also " + root_ +
                "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0",
            ports[2].description);
}

TEST_F(PortList, NoTtysNoPorts) {
  EXPECT_TRUE(find_serial_ports(root_ + "/sys", root_ + "/dev").empty());
}
