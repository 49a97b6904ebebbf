// The TLS keys of the startup file: which files an instance uses, or why it must not start.
#include <gtest/gtest.h>

#include <string>

#include "settings.h"
#include "tls.h"

namespace {

TEST(TlsKeys, AbsentBothOnlyOneRelativeAbsoluteAndCutLines) {
  const std::string longName(157 - 15, 'c');  // "TLSCertificate=" and the name fill a piece
  struct Case {
    std::string content;  // startup-file text
    bool tls;
    TlsFiles files;
    const char* error;
  };
  const Case cases[] = {
      {"", false, {}, ""},
      {"TLSCertificate=\nTLSKey=\nTLSClientCA=\n", false, {}, ""},
      {"TLSCertificate=server.pem\r\nTLSKey=tls\\server.key\r\n", true,
       {"/inst/server.pem", "/inst/tls\\server.key", ""}, ""},
      {"TLSCertificate=/etc/vmds/c.pem\nTLSKey=C:\\keys\\k.pem\nTLSClientCA=\\\\host\\ca.pem\n",
       true, {"/etc/vmds/c.pem", "C:\\keys\\k.pem", "\\\\host\\ca.pem"}, ""},
      {"TLSCertificate=a.pem\nTLSKey=a.key\nTLSClientCA=ca.pem\nTLSCertificate=b.pem\n", true,
       {"/inst/b.pem", "/inst/a.key", "/inst/ca.pem"}, ""},
      {"TLSKey=server.key\n", false, {}, "TLSKey is set but TLSCertificate is not"},
      {"TLSCertificate=server.pem\n", false, {}, "TLSCertificate is set but TLSKey is not"},
      {"TLSClientCA=ca.pem\n", false, {}, "TLSClientCA is set but TLSCertificate is not"},
      {"TLSCertificate=server.pem\nTLSKey=\n", false, {},
       "TLSCertificate is set but TLSKey is not"},
      // A name that fills a piece of a line exactly is whole; one more character cuts it.
      {"TLSCertificate=" + longName.substr(1) + "\nTLSKey=k\n", true,
       {"/inst/" + longName.substr(1), "/inst/k", ""}, ""},
      {"TLSCertificate=" + longName + "\nTLSKey=k\n", false, {},
       "TLSCertificate is longer than a line of the startup file may be"},
      {"TLSCertificate=" + longName + "x\nTLSKey=k\n", false, {},
       "TLSCertificate is longer than a line of the startup file may be"},
      {std::string("TLSCertificate=c.pem\nTLSKey=k\0.pem\n", 35), false, {},
       "TLSKey holds a NUL character"},
  };
  for (const Case& c : cases) {
    ServiceSettings service;
    SerialSettings serial;
    LogSettings log;
    struct Target {
      ServiceSettings& service;
      SerialSettings& serial;
      LogSettings& log;
    } target{service, serial, log};
    SplitStartupLines(
        c.content,
        [](const std::string& line, void* raw) {
          auto* t = static_cast<Target*>(raw);
          EXPECT_TRUE(ApplyStartupLine(line, t->service, t->serial, t->log)) << line;
        },
        &target);
    std::string error;
    std::optional<TlsFiles> files = TlsFilesOf(service, "/inst/", &error);
    EXPECT_EQ(files.has_value(), c.tls) << c.content;
    if (files) {
      EXPECT_EQ(*files, c.files) << c.content;
    }
    EXPECT_EQ(error, c.error) << c.content;
  }
  // Without an instance directory a relative name stays relative (the current directory).
  EXPECT_EQ(ResolveTlsPath("", "server.pem"), "server.pem");
}

}  // namespace
