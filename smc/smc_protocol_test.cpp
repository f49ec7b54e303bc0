// Tests of the AppleSMC protocol module against the simulated Mac.
#include "smc/smc_protocol.h"

#include <gtest/gtest.h>

namespace {

TEST(SmcFourcc, PacksUpToFourCharactersFirstMostSignificant) {
  struct Case {
    const char* name;
    uint32_t code;
  };
  const Case cases[] = {
      {"CH0B", 0x43483042}, {"ACLC", 0x41434C43}, {"CHTE", 0x43485445}, {"AB", 0x4142},
      {"", 0},              {"CH0BX", 0x43483042}, {"ACLCACLC", 0x41434C43},
      {"\xff\x80", 0xff80},  // bytes above 0x7f are not sign-extended
  };
  for (const auto& c : cases) EXPECT_EQ(smc_fourcc(c.name), c.code) << '"' << c.name << '"';
  EXPECT_EQ(smc_fourcc(nullptr), 0u);
}

TEST(SmcStructSize, IsEightyBytes) { EXPECT_EQ(smc_struct_size(), 80u); }

}  // namespace
