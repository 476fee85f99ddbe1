// Settings strings and what the platform's parser makes of them, checked
// against our parser natively and against Windows' own under Wine.
//
// Each vector starts from `base_dcb()`; `changes` lists the members the string
// sets ("Member=value", space separated). Every other byte of the DCB must
// stay as it was, and a rejected string must leave the DCB untouched.
#pragma once

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

struct syntax_vector {
  const char *settings;
  bool accepted;
  const char *changes;
  bool wine_rejects = false; // Wine's parser stops at trailing spaces; Windows does not
};

static const syntax_vector SYNTAX_VECTORS[] = {
    // New form.
    {"baud=9600 parity=e data=5 stop=1 xon=on odsr=off octs=off dtr=on rts=on idsr=on", true,
     "BaudRate=9600 Parity=2 ByteSize=5 StopBits=0 fOutX=1 fInX=1 fOutxDsrFlow=0 "
     "fOutxCtsFlow=0 fDtrControl=1 fRtsControl=1 fDsrSensitivity=1"},
    {"baud=0 parity=M data=6 stop=1.5 xon=off odsr=on octs=ON dtr=off rts=off idsr=OFF", true,
     "BaudRate=0 Parity=3 ByteSize=6 StopBits=1 fOutX=0 fInX=0 fOutxDsrFlow=1 "
     "fOutxCtsFlow=1 fDtrControl=0 fRtsControl=0 fDsrSensitivity=0"},
    {"BAUD=4000000000 parity=n data=7 stop=2 to=off", true,
     "BaudRate=4000000000 Parity=0 ByteSize=7 StopBits=2"},
    {"Baud=115200 Parity=O Data=8 To=On", true, "BaudRate=115200 Parity=1 ByteSize=8 StopBits=0"},
    {"PaRiTy=s           Data=7          DTR=on", true,
     "Parity=4 ByteSize=7 StopBits=0 fDtrControl=1"},
    {"baud=38400 parity=N data=8 stop=1", true, "BaudRate=38400 Parity=0 ByteSize=8 StopBits=0"},
    {"baud=9600", true, "BaudRate=9600 StopBits=0"},
    {"baud=110", true, "BaudRate=110 StopBits=2"},
    {"baud=110 stop=1", true, "BaudRate=110 StopBits=0"},
    {"data=7", true, "ByteSize=7 StopBits=0"},
    {"baud=9600  ", true, "BaudRate=9600 StopBits=0", true},
    {"", true, "StopBits=0"},
    {"baud=57600 baud=1200", true, "BaudRate=1200 StopBits=0"},
    {"octs=on rts=on", true, "fOutxCtsFlow=1 fRtsControl=1 StopBits=0"},
    {"COM1: baud=2400", true, "BaudRate=2400 StopBits=0"},
    {"com12:baud=2400", true, "BaudRate=2400 StopBits=0"},
    {"COM3 baud=4800 data=8", true, "BaudRate=4800 ByteSize=8 StopBits=0"},
    {"data=4", false, ""},
    {"data=9", false, ""},
    {"parity=no", false, ""},
    {"parity=x", false, ""},
    {"stop=0", false, ""},
    {"stop=1.501", false, ""},
    {"stop=3", false, ""},
    {"to=foobar", false, ""},
    {" baud=9600", false, ""},
    {"baud= 9600", false, ""},
    {"baud=", false, ""},
    {"baud=9600\tdata=8", false, ""},
    {"baud=9600,data=8", false, ""},
    {"dtr=hs", false, ""},
    {"rts=hs", false, ""},
    {"rts=tg", false, ""},
    {"speed=9600", false, ""},
    {"baud=9600 data=8x", false, ""},
    {"COM0: baud=9600", false, ""},
    // Old form.
    {"11,n,8,1", true,
     "BaudRate=110 Parity=0 ByteSize=8 StopBits=0 fOutX=0 fInX=0 fOutxCtsFlow=0 "
     "fOutxDsrFlow=0 fDtrControl=1 fRtsControl=1"},
    {"30 ,E, 5,1.5", true,
     "BaudRate=300 Parity=2 ByteSize=5 StopBits=1 fOutX=0 fInX=0 fOutxCtsFlow=0 "
     "fOutxDsrFlow=0 fDtrControl=1 fRtsControl=1"},
    {"60, m, 6, 2 ", true,
     "BaudRate=600 Parity=3 ByteSize=6 StopBits=2 fOutX=0 fInX=0 fOutxCtsFlow=0 "
     "fOutxDsrFlow=0 fDtrControl=1 fRtsControl=1"},
    {"12 , o , 7 , 1", true,
     "BaudRate=1200 Parity=1 ByteSize=7 StopBits=0 fOutX=0 fInX=0 fOutxCtsFlow=0 "
     "fOutxDsrFlow=0 fDtrControl=1 fRtsControl=1"},
    {"24,s,8,1.5", true,
     "BaudRate=2400 Parity=4 ByteSize=8 StopBits=1 fOutX=0 fInX=0 fOutxCtsFlow=0 "
     "fOutxDsrFlow=0 fDtrControl=1 fRtsControl=1"},
    {"48,n,8,1,p", true,
     "BaudRate=4800 Parity=0 ByteSize=8 StopBits=0 fOutX=0 fInX=0 fOutxCtsFlow=1 "
     "fOutxDsrFlow=1 fDtrControl=2 fRtsControl=2"},
    {"96,N,8,1 , x ", true,
     "BaudRate=9600 Parity=0 ByteSize=8 StopBits=0 fOutX=1 fInX=1 fOutxCtsFlow=0 "
     "fOutxDsrFlow=0 fDtrControl=1 fRtsControl=1"},
    {"19, e, 7, 1, x", true,
     "BaudRate=19200 Parity=2 ByteSize=7 StopBits=0 fOutX=1 fInX=1 fOutxCtsFlow=0 "
     "fOutxDsrFlow=0 fDtrControl=1 fRtsControl=1"},
    {"0,M,7,1,P", true,
     "BaudRate=0 Parity=3 ByteSize=7 StopBits=0 fOutX=0 fInX=0 fOutxCtsFlow=1 "
     "fOutxDsrFlow=1 fDtrControl=2 fRtsControl=2"},
    {"4000000000,O,7,1.5,X", true,
     "BaudRate=4000000000 Parity=1 ByteSize=7 StopBits=1 fOutX=1 fInX=1 fOutxCtsFlow=0 "
     "fOutxDsrFlow=0 fDtrControl=1 fRtsControl=1"},
    {"38400,n,8,1", true,
     "BaudRate=38400 Parity=0 ByteSize=8 StopBits=0 fOutX=0 fInX=0 fOutxCtsFlow=0 "
     "fOutxDsrFlow=0 fDtrControl=1 fRtsControl=1"},
    {"96,N,8,1 to=on", false, ""},
    {"96,NO,8,1", false, ""},
    {"96,N,4,1", false, ""},
    {"96,N,8,0", false, ""},
    {"96,N,8,1,q", false, ""},
    {"96,N,8", false, ""},
    {"96,N,8,1,x,", false, ""},
    {"96,,8,1", false, ""},
};

// Distinct from every value a vector sets, so that any change shows.
inline DCB base_dcb() {
  DCB dcb;
  memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = 4321;
  dcb.fBinary = 1;
  dcb.fParity = 1;
  dcb.fOutxCtsFlow = 1;
  dcb.fOutxDsrFlow = 0;
  dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
  dcb.fDsrSensitivity = 1;
  dcb.fOutX = 1;
  dcb.fInX = 0;
  dcb.fRtsControl = RTS_CONTROL_TOGGLE;
  dcb.XonLim = 2048;
  dcb.XoffLim = 512;
  dcb.ByteSize = 6;
  dcb.Parity = ODDPARITY;
  dcb.StopBits = ONE5STOPBITS;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  return dcb;
}

inline bool set_member(DCB *dcb, const std::string &name, unsigned long value) {
  if (name == "BaudRate")
    dcb->BaudRate = (DWORD)value;
  else if (name == "Parity")
    dcb->Parity = (BYTE)value;
  else if (name == "ByteSize")
    dcb->ByteSize = (BYTE)value;
  else if (name == "StopBits")
    dcb->StopBits = (BYTE)value;
  else if (name == "fOutX")
    dcb->fOutX = value;
  else if (name == "fInX")
    dcb->fInX = value;
  else if (name == "fOutxCtsFlow")
    dcb->fOutxCtsFlow = value;
  else if (name == "fOutxDsrFlow")
    dcb->fOutxDsrFlow = value;
  else if (name == "fDtrControl")
    dcb->fDtrControl = value;
  else if (name == "fRtsControl")
    dcb->fRtsControl = value;
  else if (name == "fDsrSensitivity")
    dcb->fDsrSensitivity = value;
  else
    return false;
  return true;
}

// The base DCB with the vector's changes; false if a change is misspelt.
inline bool expected_dcb(const syntax_vector &vector, DCB *dcb) {
  *dcb = base_dcb();
  std::istringstream changes(vector.changes);
  std::string change;
  while (changes >> change) {
    size_t equals = change.find('=');
    if (equals == std::string::npos ||
        !set_member(dcb, change.substr(0, equals), strtoul(change.c_str() + equals + 1, 0, 10)))
      return false;
  }
  return true;
}

inline std::string describe_dcb(const DCB &dcb) {
  std::ostringstream text;
  text << "BaudRate=" << dcb.BaudRate << " Parity=" << (int)dcb.Parity
       << " ByteSize=" << (int)dcb.ByteSize << " StopBits=" << (int)dcb.StopBits
       << " fOutX=" << dcb.fOutX << " fInX=" << dcb.fInX << " fOutxCtsFlow=" << dcb.fOutxCtsFlow
       << " fOutxDsrFlow=" << dcb.fOutxDsrFlow << " fDtrControl=" << dcb.fDtrControl
       << " fRtsControl=" << dcb.fRtsControl << " fDsrSensitivity=" << dcb.fDsrSensitivity
       << " fParity=" << dcb.fParity;
  return text.str();
}
