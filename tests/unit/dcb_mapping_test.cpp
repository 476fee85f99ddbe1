// The DCB <-> termios mapping. Data bits, parity and the modem lines cannot
// be seen through a pseudo-terminal, so they are proven here.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>

#include "dcb_tty.h"
#include "divisors.h"

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

// A port that some tool already set up for serial use.
static tty_settings raw_tty() {
  tty_settings tty = cooked_tty();
  tty.lflag = 0;
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

TEST(DcbMapping, FlowControlOfACookedTerminalIsNoChoice) {
  tty_settings flowing = cooked_tty();
  flowing.iflag |= IXOFF;
  flowing.cflag |= CRTSCTS;
  DCB fresh = dcb_of(flowing, TIOCM_DTR | TIOCM_RTS);
  EXPECT_FALSE(fresh.fOutX || fresh.fInX || fresh.fOutxCtsFlow);
  EXPECT_EQ(RTS_CONTROL_ENABLE, fresh.fRtsControl);
  flowing.lflag = 0;
  DCB chosen = dcb_of(flowing, TIOCM_DTR | TIOCM_RTS);
  EXPECT_TRUE(chosen.fOutX && chosen.fInX && chosen.fOutxCtsFlow);
}

TEST(DcbMapping, StopBitsAndFlowControl) {
  DCB dcb = dcb_of(raw_tty());
  EXPECT_EQ(ONESTOPBIT, dcb.StopBits);
  EXPECT_TRUE(dcb.fOutX); // the terminal had IXON
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
  // What a UART can frame: 1.5 stop bits with 5 data bits only, 2 with 6 to 8.
  struct {
    BYTE byte_size;
    BYTE stop_bits;
    bool valid;
  } framings[] = {{5, ONE5STOPBITS, true}, {5, TWOSTOPBITS, false},  {6, TWOSTOPBITS, true},
                  {8, TWOSTOPBITS, true},  {6, ONE5STOPBITS, false}, {8, ONE5STOPBITS, false},
                  {5, ONESTOPBIT, true}};
  for (auto &framing : framings) {
    dcb = good;
    dcb.ByteSize = framing.byte_size;
    dcb.StopBits = framing.stop_bits;
    EXPECT_EQ(framing.valid, dcb_is_valid(&dcb))
        << (int)framing.byte_size << " data bits, stop bits " << (int)framing.stop_bits;
  }
}

TEST(DcbMapping, FiveDataBitsWithTwoStopBitsReadAsOneAndAHalf) {
  tty_settings tty = cooked_tty();
  tty.cflag = (tty.cflag & ~CSIZE) | CS5 | CSTOPB;
  EXPECT_EQ(ONE5STOPBITS, dcb_of(tty).StopBits);
}

TEST(DcbMapping, CtsFlowAloneDecidesCrtscts) {
  tty_settings flowing = raw_tty();
  flowing.cflag |= CRTSCTS;
  DCB dcb = dcb_of(flowing, TIOCM_DTR);
  dcb.fOutxCtsFlow = FALSE; // "octs=off"
  tty_from_dcb(&dcb, &flowing);
  EXPECT_FALSE(flowing.cflag & CRTSCTS);
  EXPECT_EQ(RTS_CONTROL_HANDSHAKE, dcb.fRtsControl);
  EXPECT_TRUE(modem_lines_from_dcb(&dcb, TIOCM_DTR) & TIOCM_RTS) << "RTS is held on";
}

TEST(DcbMapping, WhatTheDeviceHoldsMustBeWhatWasAsked) {
  tty_settings asked = cooked_tty();
  asked.speed = 230400;
  tty_settings held = asked;
  EXPECT_TRUE(tty_holds(&asked, &held, true));
  held.speed = 38400; // the driver kept its old speed
  EXPECT_FALSE(tty_holds(&asked, &held, false));
  held = asked;
  held.cflag = (held.cflag & ~(CSIZE | PARENB)) | CS8;
  asked.cflag = (asked.cflag & ~CSIZE) | CS7 | PARENB;
  EXPECT_FALSE(tty_holds(&asked, &held, true)) << "a serial line must take the framing";
  EXPECT_TRUE(tty_holds(&asked, &held, false)) << "a pseudo-terminal forces 8 bits, no parity";
  // A speed within 1 % of the one asked is taken, as Windows takes it.
  struct {
    uint32_t asked, made;
    bool taken;
  } speeds[] = {{74880, 74418, true},     {74880, 76800, false}, {100000, 115200, false},
                {57600, 57600, true},     {9600, 9696, true},    {9600, 9697, false},
                {3000000, 2970000, true}, {50, 276, false}};
  for (const auto &speed : speeds) {
    asked.speed = speed.asked;
    held = asked;
    held.speed = speed.made;
    EXPECT_EQ(speed.taken, tty_holds(&asked, &held, true))
        << speed.asked << " made as " << speed.made;
  }
}

// What a divisor makes: an 8250's 16-bit latch; an FTDI's 14 bits and
// eighths (1 and 1.5 coded specially, nothing else below 2, the AM with
// fewer fractions, the H, HP and HA families at 12 MHz, the SIO its table of
// speeds); an unknown chip at its word.
TEST(DcbMapping, TheRateADivisorMakes) {
  EXPECT_EQ(2u, uart_rate(115200, 1)) << "the divisor stops at 65535";
  EXPECT_EQ(115200u, uart_rate(115200, 100000));
  struct {
    unsigned release;
    uint32_t speed, made;
  } rates[] = {{0x600, 184, 184},         {0x600, 183, 0},
               {0x600, 1280000, 1263158}, {0x600, 2500000, 0},
               {0x600, 2900000, 3000000}, {0x600, 2000000, 2000000},
               {0x400, 23010, 23011},     {0x200, 23010, 23033},
               {0x700, 115200, 115246},   {0x700, 300, 300},
               {0x2800, 115200, 115246},  {0x100, 19200, 19200},
               {0x100, 14400, 0},         {0x300, 50, 50}};
  for (const auto &rate : rates)
    EXPECT_EQ(rate.made, ftdi_rate(rate.release, rate.speed)) << rate.release << " " << rate.speed;
}
