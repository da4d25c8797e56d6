// Reading and writing single values and keys on the simulated machine.
#include <gtest/gtest.h>

#include "forwarding_registry.h"
#include "platform/raised_error.h"
#include "platform/sim/machine.h"
#include "registry/modRegAccess.h"

namespace dravlin {
namespace {

using platform::HKEY_LOCAL_MACHINE;
using sim::RegValue;
using namespace std::string_literals;

constexpr const char* kKey = "SOFTWARE\\Test";

class RegAccess : public ::testing::Test {
 protected:
  void SetUp() override {
    m.Boot();
    m.CreateKey(HKEY_LOCAL_MACHINE, kKey);
  }
  void TearDown() override {
    if (checkHandles) {
      EXPECT_EQ(m.OpenKeyHandles(), 0u) << "a key was left open";
    }
  }

  std::optional<RegValue> Stored(const std::string& name) {
    return m.GetValue(HKEY_LOCAL_MACHINE, kKey, name);
  }
  std::int16_t Write(const std::string& name, const RegData& data, std::uint32_t type) {
    return acc.WriteRegValue(HKEY_LOCAL_MACHINE, kKey, name, data, type);
  }
  RegData Read(const std::string& name, std::uint32_t* type = nullptr) {
    return acc.ReadRegValue(HKEY_LOCAL_MACHINE, kKey, name, type);
  }

  sim::TempFolder dir;
  sim::Machine m{dir.path() / "c"};
  modRegAccess acc{m.services().registry};
  bool checkHandles = true;
};

TEST_F(RegAccess, WritesTextWithItsTerminatingZero) {
  EXPECT_EQ(Write("abc", RegData::Str("abc"), 1), 1);
  EXPECT_EQ(Stored("abc"), (RegValue{1, "abc\0"s}));
  // The empty text is zero-length data, not a lone zero byte.
  EXPECT_EQ(Write("empty", RegData::Str(""), 1), 1);
  EXPECT_EQ(Stored("empty"), (RegValue{1, ""}));
  EXPECT_EQ(Write("none", RegData::Empty(), 1), 1);
  EXPECT_EQ(Stored("none"), (RegValue{1, ""}));
  // NULs inside the text are written too.
  EXPECT_EQ(Write("bin", RegData::Str("a\0b"s), 3), 1);
  EXPECT_EQ(Stored("bin"), (RegValue{3, "a\0b\0"s}));
  EXPECT_EQ(Write("num", RegData::Int(42), 1), 1);
  EXPECT_EQ(Stored("num"), (RegValue{1, "42\0"s}));
  const std::string longName(300, 'v');
  EXPECT_EQ(Write(longName, RegData::Str("x"), 1), 1);
  EXPECT_EQ(Read(longName), RegData::Str("x\0 "s));
}

TEST_F(RegAccess, WritesDwordsOnlyFromNumbers) {
  EXPECT_EQ(Write("d", RegData::Str("12"), 4), 1);
  EXPECT_EQ(Stored("d"), (RegValue{4, "\x0c\0\0\0"s}));
  EXPECT_EQ(Write("d", RegData::Str(" -7 "), 4), 1);
  EXPECT_EQ(Stored("d"), (RegValue{4, "\xf9\xff\xff\xff"s}));
  EXPECT_EQ(Write("d", RegData::Int(0x01020304), 4), 1);
  EXPECT_EQ(Stored("d"), (RegValue{4, "\x04\x03\x02\x01"s}));

  for (const char* text : {"12x", "", "  ", "1 2", "+", "&H10", "1.5", "x12"}) {
    EXPECT_EQ(Write("d", RegData::Str(text), 4), 2) << text;
  }
  EXPECT_EQ(Write("d", RegData::Str("99999999999"), 4), 0);
  EXPECT_EQ(Stored("d"), (RegValue{4, "\x04\x03\x02\x01"s})) << "a refused write changed it";
}

TEST_F(RegAccess, WriteFailuresLeaveNothingBehind) {
  EXPECT_EQ(acc.WriteRegValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Missing", "v", RegData::Str("x"), 1),
            0);
  EXPECT_FALSE(m.KeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Missing"));

  EXPECT_EQ(Write("multi", RegData::Str("x"), 7), 1);
  EXPECT_FALSE(Stored("multi"));

  m.FailCall("RegSetValueExA", 1, platform::ERROR_ACCESS_DENIED);
  EXPECT_EQ(Write("v", RegData::Str("x"), 1), 0);
  m.ClearFaults();
  EXPECT_EQ(m.OpenKeyHandles(), 0u);
  m.FailCall("RegCloseKey", 1, platform::ERROR_INVALID_HANDLE);
  checkHandles = false;  // the failed close leaves its key open
  EXPECT_EQ(Write("v", RegData::Str("x"), 1), 0) << "a failed close must be told";
}

TEST_F(RegAccess, ReadsTheWholeBufferOfAString) {
  m.SetString(HKEY_LOCAL_MACHINE, kKey, "abc", "abc");
  std::uint32_t type = 0xdeadbeef;
  EXPECT_EQ(Read("abc", &type), RegData::Str("abc\0 "s));
  EXPECT_EQ(type, 1u);

  // Hidden text after a NUL stays in the result.
  m.SetValue(HKEY_LOCAL_MACHINE, kKey, "two", 1, "a.dll\0b.dll\0"s);
  EXPECT_EQ(Read("two"), RegData::Str("a.dll\0b.dll\0 "s));
  m.SetValue(HKEY_LOCAL_MACHINE, kKey, "zero", 1, "");
  EXPECT_EQ(Read("zero"), RegData::Str(" "));
  m.SetValue(HKEY_LOCAL_MACHINE, kKey, "multi", 7, "x\0y\0\0"s);
  EXPECT_EQ(Read("multi", &type), RegData::Str("x\0y\0\0 "s));
  EXPECT_EQ(type, 7u);

  std::string big(5u << 20, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31 % 256);
  m.SetValue(HKEY_LOCAL_MACHINE, kKey, "big", 3, big);
  const RegData read = Read("big");
  ASSERT_EQ(read.text.size(), big.size() + 1);
  EXPECT_TRUE(read.text == big + " ");
}

TEST_F(RegAccess, ReadsIntegersAsStored) {
  m.SetValue(HKEY_LOCAL_MACHINE, kKey, "d", 4, "\x0c\0\0\0"s);
  EXPECT_EQ(Read("d"), RegData::Int(12));
  m.SetValue(HKEY_LOCAL_MACHINE, kKey, "be", 5, "\0\0\0\x01"s);
  EXPECT_EQ(Read("be"), RegData::Int(0x01000000)) << "big-endian words are not swapped";
  // Data of another length than four bytes must not spill over the integer.
  m.SetValue(HKEY_LOCAL_MACHINE, kKey, "long", 4, "\x01\x02\x03\x04\x05\x06\x07\x08"s);
  EXPECT_EQ(Read("long"), RegData::Int(0x04030201));
  m.SetValue(HKEY_LOCAL_MACHINE, kKey, "short", 4, "\x01\x02"s);
  EXPECT_EQ(Read("short"), RegData::Int(0x0201));
}

TEST_F(RegAccess, UnknownTypesAreEmptyAndFailuresAreError) {
  m.SetValue(HKEY_LOCAL_MACHINE, kKey, "t9", 9, "abc");
  std::uint32_t type = 0xdeadbeef;
  EXPECT_EQ(Read("t9", &type), RegData::Empty());
  EXPECT_EQ(type, 9u);
  m.SetValue(HKEY_LOCAL_MACHINE, kKey, "neg", 0x80000000u, "abc");
  EXPECT_EQ(Read("neg", &type), RegData::Empty());

  type = 0xdeadbeef;
  EXPECT_EQ(Read("missing", &type), RegData::Str("Error"));
  EXPECT_EQ(type, 0u);
  type = 0xdeadbeef;
  EXPECT_EQ(acc.ReadRegValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nope", "", &type),
            RegData::Str("Error"));
  EXPECT_EQ(type, 0u);

  m.SetString(HKEY_LOCAL_MACHINE, kKey, "abc", "abc");
  m.FailCall("RegQueryValueExA", 2, platform::ERROR_ACCESS_DENIED);
  EXPECT_EQ(Read("abc", &type), RegData::Str("Error"));
  EXPECT_EQ(type, 0u);
}

// A registry that reports more bytes than it then delivers.
class OverstatingRegistry : public test::ForwardingRegistry {
 public:
  OverstatingRegistry(platform::Registry& inner, std::uint32_t extra)
      : ForwardingRegistry(inner), extra_(extra) {}
  platform::Status RegQueryValueExA(platform::HKey k, const std::string& n, std::uint32_t* t,
                                    std::uint8_t* d, std::uint32_t* c) override {
    const platform::Status s = inner_.RegQueryValueExA(k, n, t, d, c);
    if (d == nullptr && s == platform::ERROR_SUCCESS) *c += extra_;
    return s;
  }

 private:
  std::uint32_t extra_;
};

TEST_F(RegAccess, ReadKeepsTheBlanksTheQueryLeaves) {
  m.SetString(HKEY_LOCAL_MACHINE, kKey, "abc", "abc");
  OverstatingRegistry overstating(m.services().registry, 3);
  EXPECT_EQ(modRegAccess(overstating).ReadRegValue(HKEY_LOCAL_MACHINE, kKey, "abc"),
            RegData::Str("abc\0    "s));
  // An absurd size is refused like memory that cannot be had, not reserved.
  OverstatingRegistry absurd(m.services().registry, 0xFFFFFF00u);
  try {
    modRegAccess(absurd).ReadRegValue(HKEY_LOCAL_MACHINE, kKey, "abc");
    ADD_FAILURE() << "nothing was raised";
  } catch (const RaisedError& e) {
    EXPECT_EQ(e.number(), 7);
  }
}

TEST_F(RegAccess, CreatesTestsAndDeletes) {
  EXPECT_EQ(acc.CreateRegKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\New\\Deep"), 1);
  EXPECT_TRUE(m.KeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\New\\Deep"));
  m.SetString(HKEY_LOCAL_MACHINE, "SOFTWARE\\New\\Deep", "v", "keep");
  EXPECT_EQ(acc.CreateRegKey(HKEY_LOCAL_MACHINE, "software\\NEW\\deep"), 2);
  EXPECT_EQ(m.ListValues(HKEY_LOCAL_MACHINE, "SOFTWARE\\New\\Deep").size(), 1u);

  m.FailCall("RegFlushKey", 1, platform::ERROR_CANTWRITE);
  EXPECT_EQ(acc.CreateRegKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Flush"), 1);
  m.FailCall("RegCreateKeyExA", 1, platform::ERROR_ACCESS_DENIED);
  EXPECT_EQ(acc.CreateRegKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Refused"), 0);
  EXPECT_FALSE(m.KeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Refused"));

  EXPECT_TRUE(acc.RegKeyExists(HKEY_LOCAL_MACHINE, ""));
  EXPECT_TRUE(acc.RegKeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\New"));
  EXPECT_FALSE(acc.RegKeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nope"));
  m.DenyAccess(HKEY_LOCAL_MACHINE, "SOFTWARE\\New");
  EXPECT_FALSE(acc.RegKeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\New"));

  m.SetString(HKEY_LOCAL_MACHINE, kKey, "v", "x");
  EXPECT_TRUE(acc.DeleteRegValue(HKEY_LOCAL_MACHINE, kKey, "v"));
  EXPECT_FALSE(Stored("v"));
  EXPECT_FALSE(acc.DeleteRegValue(HKEY_LOCAL_MACHINE, kKey, "v"));
}

}  // namespace
}  // namespace dravlin
