// The checked delete of an instance directory: never outside the manager's directory.
#include <gtest/gtest.h>

#include "fakes.h"
#include "instance_directory.h"
#include "run_time_error.h"

namespace {

TEST(InstanceDirectory, DeletesTheDirectoryInsideTheManagerDirectory) {
  FakeFileSystem fs;
  EXPECT_EQ(DeleteInstanceDirectory(fs, "C:\\VMDS", "Lab 1"), 0);
  EXPECT_EQ(DeleteInstanceDirectory(fs, "C:\\VMDS\\", "Dock"), 0);
  EXPECT_EQ(fs.deletedTrees, (std::vector<std::string>{"C:\\VMDS\\Lab 1", "C:\\VMDS\\Dock"}));
}

TEST(InstanceDirectory, RefusesNamesThatLeadOutside) {
  FakeFileSystem fs;
  for (const char* name : {"", " ", ".", "..", ". .", "..\\Windows", "a/b", "C:\\x", "C:",
                           "\\\\server\\share", "*", "a?b", "a\"b", "a<b", "a|b", "a\tb", "Dock.", "Dock ", "Dock. ."}) {
    EXPECT_EQ(DeleteInstanceDirectory(fs, "C:\\VMDS", name), kErrBadFileNameOrNumber) << name;
  }
  EXPECT_EQ(DeleteInstanceDirectory(fs, "", "Lab"), kErrBadFileNameOrNumber);
  EXPECT_EQ(DeleteInstanceDirectory(fs, "\\", "Lab"), kErrBadFileNameOrNumber);
  EXPECT_TRUE(fs.deletedTrees.empty());
}

TEST(InstanceDirectory, FileSystemErrorsBecomeTheRemoveMessagesNumbers) {
  FakeFileSystem fs;
  fs.errors["C:\\VMDS\\Gone"] = 3;
  fs.errors["C:\\VMDS\\Busy"] = 32;
  fs.errors["C:\\VMDS\\Locked"] = 5;
  EXPECT_EQ(DeleteInstanceDirectory(fs, "C:\\VMDS", "Gone"), kErrPathNotFound);
  EXPECT_EQ(DeleteInstanceDirectory(fs, "C:\\VMDS", "Busy"), kErrPermissionDenied);
  EXPECT_EQ(DeleteInstanceDirectory(fs, "C:\\VMDS", "Locked"), kErrPathFileAccess);
}

}  // namespace
