// The DCB <-> termios mapping. Data bits, parity and the modem lines cannot
// be seen through a pseudo-terminal, so they are proven here.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>

#include "dcb_tty.h"

static tty_settings cooked_tty() {
  tty_settings tty = {};
  tty.iflag = ICRNL | IXON | IMAXBEL;
  tty.oflag = OPOST | ONLCR;
  tty.cflag = CS8 | CREAD | HUPCL;
  tty.lflag = ICANON | ECHO | ECHOE | ISIG | IEXTEN;
  tty.cc[VSTART] = 0x11;
  tty.cc[VSTOP] = 0x13;
  tty.cc[VMIN] = 1;
  tty.speed = 38400;
  return tty;
}

static DCB dcb_of(const tty_settings &tty, int modem_lines = -1) {
  DCB dcb;
  dcb_from_tty(&tty, modem_lines, &dcb);
  return dcb;
}

TEST(DcbMapping, DataBitsBothWays) {
  for (BYTE size = 5; size <= 8; size++) {
    DCB dcb = dcb_of(cooked_tty());
    dcb.ByteSize = size;
    tty_settings tty = cooked_tty();
    tty_from_dcb(&dcb, &tty);
    EXPECT_EQ(size, dcb_of(tty).ByteSize);
  }
  tty_settings seven = cooked_tty();
  seven.cflag = (seven.cflag & ~CSIZE) | CS7;
  EXPECT_EQ(7, dcb_of(seven).ByteSize);
}

TEST(DcbMapping, EveryParityBothWays) {
  struct {
    BYTE parity;
    uint32_t bits;
  } cases[] = {{NOPARITY, 0},
               {ODDPARITY, PARENB | PARODD},
               {EVENPARITY, PARENB},
               {MARKPARITY, PARENB | PARODD | CMSPAR},
               {SPACEPARITY, PARENB | CMSPAR}};
  for (auto &expected : cases) {
    SCOPED_TRACE((int)expected.parity);
    DCB dcb = dcb_of(cooked_tty());
    dcb.Parity = expected.parity;
    tty_settings tty = cooked_tty();
    tty_from_dcb(&dcb, &tty);
    EXPECT_EQ(expected.bits, tty.cflag & (PARENB | PARODD | CMSPAR));
    EXPECT_EQ(expected.parity, dcb_of(tty).Parity);
  }
}

TEST(DcbMapping, ParityCheckingFollowsFParity) {
  DCB dcb = dcb_of(cooked_tty());
  dcb.Parity = EVENPARITY;
  dcb.fParity = TRUE;
  tty_settings tty = cooked_tty();
  tty_from_dcb(&dcb, &tty);
  EXPECT_TRUE(tty.iflag & INPCK);
  EXPECT_TRUE(dcb_of(tty).fParity);
  dcb.fParity = FALSE;
  tty_from_dcb(&dcb, &tty);
  EXPECT_FALSE(tty.iflag & INPCK);
}

TEST(DcbMapping, StopBitsAndFlowControl) {
  DCB dcb = dcb_of(cooked_tty());
  EXPECT_EQ(ONESTOPBIT, dcb.StopBits);
  EXPECT_TRUE(dcb.fOutX); // the cooked terminal had IXON
  EXPECT_FALSE(dcb.fInX);
  dcb.StopBits = ONE5STOPBITS;
  dcb.fOutX = FALSE;
  dcb.fInX = TRUE;
  dcb.fOutxCtsFlow = TRUE;
  tty_settings tty = cooked_tty();
  tty_from_dcb(&dcb, &tty);
  EXPECT_TRUE(tty.cflag & CSTOPB) << "termios has no 1.5: two stop bits, as Wine maps it";
  EXPECT_FALSE(tty.iflag & IXON);
  EXPECT_TRUE(tty.iflag & IXOFF);
  EXPECT_TRUE(tty.cflag & CRTSCTS);
  DCB back = dcb_of(tty);
  EXPECT_EQ(TWOSTOPBITS, back.StopBits);
  EXPECT_TRUE(back.fOutxCtsFlow);
  EXPECT_EQ(RTS_CONTROL_HANDSHAKE, back.fRtsControl);
}

TEST(DcbMapping, AlwaysRawBinary) {
  DCB dcb = dcb_of(cooked_tty());
  tty_settings tty = cooked_tty();
  tty_from_dcb(&dcb, &tty);
  EXPECT_EQ(0u, tty.lflag & (ICANON | ECHO | ECHOE | ISIG | IEXTEN));
  EXPECT_EQ(0u, tty.oflag & OPOST);
  EXPECT_EQ(0u, tty.iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IMAXBEL));
  EXPECT_EQ(uint32_t(CLOCAL | CREAD), tty.cflag & (CLOCAL | CREAD));
  EXPECT_EQ(1, tty.cc[VMIN]) << "a read returns with the first byte";
  EXPECT_EQ(0, tty.cc[VTIME]);
  EXPECT_EQ(38400u, tty.speed);
}

TEST(DcbMapping, SpeedIsAPlainNumber) {
  DCB dcb = dcb_of(cooked_tty());
  dcb.BaudRate = 250000;
  tty_settings tty = cooked_tty();
  tty_from_dcb(&dcb, &tty);
  EXPECT_EQ(250000u, tty.speed);
  EXPECT_EQ(250000u, dcb_of(tty).BaudRate);
}

TEST(DcbMapping, ModemLinesFollowDtrAndRtsControl) {
  DCB dcb = dcb_of(cooked_tty(), TIOCM_DTR | TIOCM_RTS);
  EXPECT_EQ(DTR_CONTROL_ENABLE, dcb.fDtrControl);
  EXPECT_EQ(RTS_CONTROL_ENABLE, dcb.fRtsControl);
  EXPECT_EQ(TIOCM_DTR | TIOCM_RTS, modem_lines_from_dcb(&dcb, TIOCM_DTR | TIOCM_RTS))
      << "a round trip leaves the lines as they were";
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  EXPECT_EQ(TIOCM_CD, modem_lines_from_dcb(&dcb, TIOCM_DTR | TIOCM_RTS | TIOCM_CD));
  DCB low = dcb_of(cooked_tty(), 0);
  EXPECT_EQ(DTR_CONTROL_DISABLE, low.fDtrControl);
  EXPECT_EQ(RTS_CONTROL_DISABLE, low.fRtsControl);
  low.fDtrControl = DTR_CONTROL_ENABLE;
  EXPECT_EQ(TIOCM_DTR, modem_lines_from_dcb(&low, 0));
}

TEST(DcbMapping, ImpossibleSettingsAreRefused) {
  DCB good = dcb_of(cooked_tty());
  EXPECT_TRUE(dcb_is_valid(&good));
  DCB dcb = good;
  dcb.BaudRate = 0;
  EXPECT_FALSE(dcb_is_valid(&dcb));
  dcb = good;
  dcb.ByteSize = 4;
  EXPECT_FALSE(dcb_is_valid(&dcb));
  dcb.ByteSize = 9;
  EXPECT_FALSE(dcb_is_valid(&dcb));
  dcb = good;
  dcb.Parity = 5;
  EXPECT_FALSE(dcb_is_valid(&dcb));
  dcb = good;
  dcb.StopBits = 3;
  EXPECT_FALSE(dcb_is_valid(&dcb));
}
