// Tests of the status record: exact encoding, decoding, status.json.
#include "store/charge_status.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "daemon/globals.h"
#include "tests/test_support.h"

namespace {

TEST(ChargeStatusJson, EncodesCompactlyInDeclarationOrder) {
  // Pairs of record and exact text (a struct table trips a false
  // maybe-uninitialized warning of g++ 12 on the optional string).
  const std::vector<std::pair<ChargeStatus, std::string>> cases = {
      {{true, true, false, std::nullopt, 80, 1764876810.5},
       R"({"daemonRunning":true,"chargingInhibited":true,"calibrationActive":false,"batteryPercent":80,"lastUpdate":1764876810.5})"},
      {{true, false, true, "Charging to 100%", 57, 1796417610.0},
       R"({"daemonRunning":true,"chargingInhibited":false,"calibrationActive":true,"calibrationPhase":"Charging to 100%","batteryPercent":57,"lastUpdate":1796417610})"},
      {{false, false, false, std::nullopt, 0, 0.0},
       R"({"daemonRunning":false,"chargingInhibited":false,"calibrationActive":false,"batteryPercent":0,"lastUpdate":0})"},
      {{true, true, true, "Idle", 100, -0.0},
       R"({"daemonRunning":true,"chargingInhibited":true,"calibrationActive":true,"calibrationPhase":"Idle","batteryPercent":100,"lastUpdate":-0.0})"},
      {{true, true, true, std::string("q\"b\\s\n\x01 \xE2\x80\x94"), -1, 0.1},
       R"({"daemonRunning":true,"chargingInhibited":true,"calibrationActive":true,"calibrationPhase":"q\"b\\s\n\u0001 )"
       "\xE2\x80\x94"
       R"(","batteryPercent":-1,"lastUpdate":0.1})"},
      {{true, true, true, "", 1, 1.0},
       R"({"daemonRunning":true,"chargingInhibited":true,"calibrationActive":true,"calibrationPhase":"","batteryPercent":1,"lastUpdate":1})"},
  };
  for (const auto& [status, json] : cases) {
    EXPECT_EQ(encodeChargeStatus(status), json);
  }
  for (const double bad : {std::numeric_limits<double>::infinity(), std::nan("")}) {
    EXPECT_EQ(encodeChargeStatus({true, false, false, std::nullopt, 80, bad}), std::nullopt);
  }
}

TEST(ChargeStatusJson, DecodesWithAnOptionalPhase) {
  const std::string head = R"({"daemonRunning":true,"chargingInhibited":false,"calibrationActive":true,)";
  const std::string tail = R"("batteryPercent":57,"lastUpdate":1764876810.5})";
  const ChargeStatus noPhase{true, false, true, std::nullopt, 57, 1764876810.5};
  ChargeStatus holding = noPhase;
  holding.calibrationPhase = "Holding at 100%";
  struct Case {
    std::string json;
    std::optional<ChargeStatus> result;
  };
  const std::vector<Case> cases = {
      {head + tail, noPhase},
      {head + R"("calibrationPhase":null,)" + tail, noPhase},
      {head + R"("calibrationPhase":"Holding at 100%",)" + tail, holding},
      {head + R"("calibrationPhase":1,)" + tail, std::nullopt},
      {head + R"("calibrationPhase":false,)" + tail, std::nullopt},
      {head + R"("batteryPercent":57.5,"lastUpdate":1})", std::nullopt},
      {head + R"("batteryPercent":null,"lastUpdate":1})", std::nullopt},
      {head + R"("lastUpdate":1})", std::nullopt},
      {head + R"("batteryPercent":57})", std::nullopt},
      {R"({"chargingInhibited":false,"calibrationActive":true,)" + tail, std::nullopt},
      {R"({"daemonRunning":1,"chargingInhibited":false,"calibrationActive":true,)" + tail, std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decodeChargeStatus(c.json), c.result) << c.json;
  }
}

TEST(ChargeStatusJson, RoundTripsBitForBit) {
  const std::vector<ChargeStatus> records = {
      {true, true, false, std::nullopt, 100, 1764876810.5},
      {true, false, true, "Draining to limit", 0, 0.1},
      {false, false, false, std::nullopt, 0, -0.0},
      {true, true, true, "Discharging to 15%", std::numeric_limits<int64_t>::min(), 1796417610.987654321},
  };
  for (const auto& r : records) {
    const auto json = encodeChargeStatus(r);
    ASSERT_TRUE(json);
    const auto back = decodeChargeStatus(*json);
    ASSERT_TRUE(back) << *json;
    EXPECT_EQ(*back, r) << *json;
    EXPECT_EQ(std::signbit(back->lastUpdate), std::signbit(r.lastUpdate)) << *json;
  }
}

class StatusFileTest : public DaemonTest {};

TEST_F(StatusFileTest, EachWriteReplacesTheWholeFile) {
  writeStatus({true, false, true, "Holding at 100%", 100, 1796417610.5});
  writeStatus({false, false, false, std::nullopt, 0, 1796417620.25});
  EXPECT_EQ(readWholeFile(statusPath),
            R"({"daemonRunning":false,"chargingInhibited":false,"calibrationActive":false,"batteryPercent":0,"lastUpdate":1796417620.25})");
  EXPECT_EQ(fileMode(statusPath), 0644u);
  // A record that cannot be encoded leaves the last one in place.
  writeStatus({true, false, false, std::nullopt, 80, std::nan("")});
  EXPECT_EQ(decodeChargeStatus(readWholeFile(statusPath)),
            (ChargeStatus{false, false, false, std::nullopt, 0, 1796417620.25}));
}

}  // namespace
