// Small helpers of the device server: the close command, the instance directory from the
// registered program path, and the serial settings helpers.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "serial_port.h"
#include "service.h"
#include "session.h"

namespace {

bool IsClose(const std::string& text) {
  return IsCloseCommand(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// ---- close command -----------------------------------------------------------------------------

TEST(CloseCommand, ExactlySsspEqualsZero) { EXPECT_TRUE(IsClose("SSSP=0")); }

TEST(CloseCommand, AnythingMoreOrLessIsData) {
  EXPECT_FALSE(IsClose("SSSP=0\r\n"));
  EXPECT_FALSE(IsClose("SSSP=0\n"));
  EXPECT_FALSE(IsClose(" SSSP=0"));
  EXPECT_FALSE(IsClose("xSSSP=0"));
  EXPECT_FALSE(IsClose("SSSP=00"));
  EXPECT_FALSE(IsClose("SSSP=1"));
  EXPECT_FALSE(IsClose("SSSP="));
  EXPECT_FALSE(IsClose("sssp=0"));
  EXPECT_FALSE(IsClose("Sssp=0"));
  EXPECT_FALSE(IsClose(""));
  EXPECT_FALSE(IsClose("SSSP=0SSSP=0"));
}

TEST(CloseCommand, ReadAsTextUpToTheFirstZeroByte) {
  EXPECT_TRUE(IsClose(std::string("SSSP=0\0junk", 11)));
  EXPECT_TRUE(IsClose(std::string("SSSP=0\0", 7)));
  EXPECT_FALSE(IsClose(std::string("\0SSSP=0", 7)));
  EXPECT_FALSE(IsClose(std::string("SSSP\0=0", 7)));
}

TEST(CloseCommand, DoesNotReadPastTheChunk) {
  // Only the first five bytes belong to the chunk.
  const std::uint8_t buffer[] = {'S', 'S', 'S', 'P', '=', '0'};
  EXPECT_FALSE(IsCloseCommand(buffer, 5));
  EXPECT_TRUE(IsCloseCommand(buffer, 6));
}

// ---- instance directory ------------------------------------------------------------------------

TEST(InstanceDirectory, PlainImagePath) {
  EXPECT_EQ(InstanceDirectoryFromImagePath("C:\\Program Files\\Daltrimore\\Lab 2\\vmds.exe"),
            "C:\\Program Files\\Daltrimore\\Lab 2\\");
  EXPECT_EQ(InstanceDirectoryFromImagePath("C:\\VMDS\\vmds.exe"), "C:\\VMDS\\");
}

TEST(InstanceDirectory, QuotedImagePath) {
  EXPECT_EQ(InstanceDirectoryFromImagePath("\"C:\\Program Files\\Daltrimore\\vmds.exe\""),
            "C:\\Program Files\\Daltrimore\\");
}

TEST(InstanceDirectory, QuotedImagePathWithArguments) {
  EXPECT_EQ(InstanceDirectoryFromImagePath("\"C:\\Program Files\\VMDS\\vmds.exe\" -service"),
            "C:\\Program Files\\VMDS\\");
  // A separator in the arguments must not be taken for the program's directory.
  EXPECT_EQ(InstanceDirectoryFromImagePath("\"C:\\VMDS\\vmds.exe\" /log C:\\Temp\\x"),
            "C:\\VMDS\\");
}

TEST(InstanceDirectory, ForwardSlashes) {
  EXPECT_EQ(InstanceDirectoryFromImagePath("/opt/vmds/Lab 1/vmds"), "/opt/vmds/Lab 1/");
  EXPECT_EQ(InstanceDirectoryFromImagePath("/tmp/vmds-it-abc/vmds"), "/tmp/vmds-it-abc/");
  EXPECT_EQ(InstanceDirectoryFromImagePath("C:/VMDS/vmds.exe"), "C:/VMDS/");
}

TEST(InstanceDirectory, NoDirectoryAtAll) {
  EXPECT_EQ(InstanceDirectoryFromImagePath("vmds.exe"), "");
  EXPECT_EQ(InstanceDirectoryFromImagePath(""), "");
}

// ---- serial settings ---------------------------------------------------------------------------

os::LineSettings Line(std::uint32_t rate, std::uint8_t bits, std::uint8_t parity,
                      std::uint8_t stopBits) {
  os::LineSettings line;
  line.baudRate = rate;
  line.byteSize = bits;
  line.parity = parity;
  line.stopBits = stopBits;
  return line;
}

TEST(SerialSettingsLine, Format) {
  EXPECT_EQ(SerialSettingsLine(Line(9600, 8, 0, 0)),
            "Bit Rate = 9600 Data Bits = 8 Parity = None Stop Bits = 1");
  EXPECT_EQ(SerialSettingsLine(Line(115200, 7, 2, 2)),
            "Bit Rate = 115200 Data Bits = 7 Parity = Even Stop Bits = 2");
}

TEST(SerialSettingsLine, ParityNames) {
  const char* names[] = {"None", "Odd", "Even", "Mark", "Space"};
  for (std::uint8_t p = 0; p < 5; ++p) {
    EXPECT_EQ(SerialSettingsLine(Line(1200, 8, p, 0)),
              std::string("Bit Rate = 1200 Data Bits = 8 Parity = ") + names[p] + " Stop Bits = 1");
  }
  EXPECT_EQ(SerialSettingsLine(Line(1200, 8, 5, 0)),
            "Bit Rate = 1200 Data Bits = 8 Parity = Unknown Stop Bits = 1");
  EXPECT_EQ(SerialSettingsLine(Line(1200, 8, 255, 0)),
            "Bit Rate = 1200 Data Bits = 8 Parity = Unknown Stop Bits = 1");
}

TEST(SerialSettingsLine, StopBitNames) {
  EXPECT_EQ(SerialSettingsLine(Line(1200, 8, 0, 1)),
            "Bit Rate = 1200 Data Bits = 8 Parity = None Stop Bits = 1.5");
  EXPECT_EQ(SerialSettingsLine(Line(1200, 8, 0, 2)),
            "Bit Rate = 1200 Data Bits = 8 Parity = None Stop Bits = 2");
  EXPECT_EQ(SerialSettingsLine(Line(1200, 8, 0, 3)),
            "Bit Rate = 1200 Data Bits = 8 Parity = None Stop Bits = Unknown");
  EXPECT_EQ(SerialSettingsLine(Line(1200, 8, 0, 200)),
            "Bit Rate = 1200 Data Bits = 8 Parity = None Stop Bits = Unknown");
}

TEST(SerialSettingsLine, LargeBitRate) {
  EXPECT_EQ(SerialSettingsLine(Line(4000000000u, 8, 0, 0)),
            "Bit Rate = 4000000000 Data Bits = 8 Parity = None Stop Bits = 1");
}

struct ParityCase {
  const char* token;
  std::uint8_t parity;
  bool check;
};

TEST(ParityToken, Mapping) {
  const ParityCase cases[] = {{"NOPARITY", 0, false},   {"ODDPARITY", 1, true},
                              {"EVENPARITY", 2, true},  {"MARKPARITY", 3, true},
                              {"SPACEPARITY", 4, true}, {"evenparity", 0, false},
                              {"", 0, false},           {"PARITY", 0, false}};
  for (const ParityCase& c : cases) {
    // Start from a different setting so that every field is seen to be written.
    os::LineSettings line = Line(1200, 8, 3, 0);
    line.parityCheck = !c.check;
    if (c.parity == 3) line.parity = 1;
    ApplyParityToken(c.token, line);
    EXPECT_EQ(line.parity, c.parity) << c.token;
    EXPECT_EQ(line.parityCheck, c.check) << c.token;
  }
}

TEST(StopBitsToken, Mapping) {
  EXPECT_EQ(StopBitsFromToken("ONESTOPBIT"), 0);
  EXPECT_EQ(StopBitsFromToken("ONE5STOPBITS"), 1);
  EXPECT_EQ(StopBitsFromToken("TWOSTOPBITS"), 2);
  EXPECT_EQ(StopBitsFromToken("twostopbits"), 0);
  EXPECT_EQ(StopBitsFromToken("2"), 0);
  EXPECT_EQ(StopBitsFromToken(""), 0);
}

}  // namespace
