// Enumeration buffers byte for byte: layout, offsets, size negotiation and
// partial fill, and which entries count as drivers, queues and monitors.
#include "queueadmin/enumerate.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/testing/scratch_dir.h"
#include "protocol/kqsids.h"
#include "queueadmin/lppaths.h"

namespace kqs {
namespace {

uint32_t BE32(const std::vector<unsigned char>& b, size_t at) {
  return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

std::string StringAt(const std::vector<unsigned char>& b, uint32_t offset) {
  return reinterpret_cast<const char*>(b.data() + 4 + offset);
}

using EnumFn = uint32_t (*)(unsigned char*, uint32_t*);

// Calls fn with a buffer of size bytes (0xEE-filled); null when size is 0.
std::vector<unsigned char> Call(EnumFn fn, uint32_t* size, uint32_t* rc) {
  std::vector<unsigned char> buf(*size, 0xEE);
  *rc = fn(*size == 0 ? nullptr : buf.data(), size);
  return buf;
}

class EnumerateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* d : {"opt/qvnx/sh", "usr/lib/lp/model/subdir", "etc/lp/interfaces/model.orig"})
      std::filesystem::create_directories(dir_ / d);
    ASSERT_TRUE(ScratchDir::WriteFile(dir_ / "opt/qvnx/sh/qvnx.model", "#!/bin/sh\n"));
    ASSERT_TRUE(ScratchDir::WriteFile(dir_ / "usr/lib/lp/model/abc", "#!/bin/sh\n"));
    ASSERT_EQ(SetLpRoot(dir_.path().c_str()), 0);
  }
  void TearDown() override { SetLpRoot(""); }
  ScratchDir dir_;
};

TEST_F(EnumerateTest, LaysDriversOutExactlyAndFillsWhatFits) {
  uint32_t size = 0;
  uint32_t rc = 0;
  Call(DriverEnumUX, &size, &rc);
  ASSERT_EQ(rc, KQS_INSUFFICIENT_BUFFER);
  ASSERT_EQ(size, 28u);
  std::vector<unsigned char> buf = Call(DriverEnumUX, &size, &rc);
  EXPECT_EQ(rc, KQS_SUCCESS);
  EXPECT_EQ(size, 28u);
  EXPECT_EQ(buf, (std::vector<unsigned char>{0, 0, 0, 1, 0, 0, 0, 20, 0, 0, 0, 20, 0, 0, 0, 0,
                                             0, 0, 0, 0, 0, 0, 0, 0, 'a', 'b', 'c', 0}));

  // Product models come first; the wrapper template is no driver, nor is a
  // name that could not be added.
  ASSERT_TRUE(ScratchDir::WriteFile(dir_ / "opt/qvnx/sh/de", ""));
  for (const char* unsafe : {".hidden", "two words", "ctl\x01"})
    ASSERT_TRUE(ScratchDir::WriteFile(dir_ / (std::string("usr/lib/lp/model/") + unsafe), ""));
  size = 40;
  buf = Call(DriverEnumUX, &size, &rc);
  EXPECT_EQ(rc, KQS_INSUFFICIENT_BUFFER);
  EXPECT_EQ(size, 4u + 23 + 24);
  EXPECT_EQ(BE32(buf, 0), 1u);
  EXPECT_EQ(BE32(buf, 8), 40u - 3 - 4);
  EXPECT_EQ(StringAt(buf, BE32(buf, 8)), "de");
  EXPECT_EQ(buf[24], 0xEE) << "the gap between records and strings is left alone";

  size = 60;
  buf = Call(DriverEnumUX, &size, &rc);
  EXPECT_EQ(rc, KQS_SUCCESS);
  EXPECT_EQ(size, 60u);
  EXPECT_EQ(StringAt(buf, BE32(buf, 28)), "abc");

  std::filesystem::remove_all(dir_ / "usr/lib/lp/model");
  size = 60;
  Call(DriverEnumUX, &size, &rc);
  EXPECT_EQ(rc, KQS_FAILURE);
  EXPECT_EQ(size, 60u);
}

TEST_F(EnumerateTest, ListsOnlyLpOwnedUndottedRegularFilesAsQueues) {
  const std::string ifdir = dir_ / "etc/lp/interfaces";
  for (const char* f : {"q1", "other", "a.b"}) ASSERT_TRUE(ScratchDir::WriteFile(ifdir + "/" + f, ""));
  ASSERT_EQ(chown((ifdir + "/q1").c_str(), 7, 7), 0);
  ASSERT_EQ(chown((ifdir + "/a.b").c_str(), 7, 7), 0);
  ASSERT_EQ(chown((ifdir + "/model.orig").c_str(), 7, 7), 0);
  uid_t saved = lpid;
  lpid = 7;
  uint32_t size = 0;
  uint32_t rc = 0;
  Call(QueueEnumUX, &size, &rc);
  EXPECT_EQ(rc, KQS_INSUFFICIENT_BUFFER);
  std::vector<unsigned char> buf = Call(QueueEnumUX, &size, &rc);
  lpid = saved;
  EXPECT_EQ(rc, KQS_SUCCESS);
  ASSERT_EQ(size, 4u + 24 + 3 + ifdir.size() + 1);
  EXPECT_EQ(BE32(buf, 0), 1u);
  EXPECT_EQ(BE32(buf, 4), 24u);
  EXPECT_EQ(BE32(buf, 8), size - 3 - 4);
  EXPECT_EQ(StringAt(buf, BE32(buf, 8)), "q1");
  EXPECT_EQ(BE32(buf, 12) | BE32(buf, 16) | BE32(buf, 24), 0u);
  EXPECT_EQ(BE32(buf, 20), 24u);
  EXPECT_EQ(StringAt(buf, BE32(buf, 20)), ifdir);
}

TEST_F(EnumerateTest, MonitorComesFromTheVersionFile) {
  uint32_t size = 0;
  uint32_t rc = 0;
  Call(MonitorEnumUX, &size, &rc);
  EXPECT_EQ(rc, KQS_INSUFFICIENT_BUFFER);
  ASSERT_EQ(size, 4u);
  std::vector<unsigned char> buf = Call(MonitorEnumUX, &size, &rc);
  EXPECT_EQ(rc, KQS_SUCCESS);
  EXPECT_EQ(BE32(buf, 0), 0u);

  struct Case {
    const char* first_line;
    uint32_t major, minor;
  } cases[] = {{"Revision C.02.15\n", 67 * 100 + 2, 15}, {"Version 3\n", 0, 0}};
  for (const Case& c : cases) {
    ASSERT_TRUE(ScratchDir::WriteFile(dir_ / "opt/qvnx/version", c.first_line));
    size = 0;
    Call(MonitorEnumUX, &size, &rc);
    ASSERT_EQ(size, 4u + 20 + 5 + 21);
    buf = Call(MonitorEnumUX, &size, &rc);
    EXPECT_EQ(rc, KQS_SUCCESS);
    EXPECT_EQ(BE32(buf, 0), 1u);
    EXPECT_EQ(StringAt(buf, BE32(buf, 8)), "QVNX");
    EXPECT_EQ(BE32(buf, 8), size - 5 - 4);
    EXPECT_EQ(StringAt(buf, BE32(buf, 12)), "QV Tarlomin for UNIX");
    EXPECT_EQ(BE32(buf, 16), c.major) << c.first_line;
    EXPECT_EQ(BE32(buf, 20), c.minor) << c.first_line;
  }
}

}  // namespace
}  // namespace kqs
