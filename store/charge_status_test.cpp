// The status record: exact encoding, decoding, status.json.
#include "store/charge_status.h"

#include <cmath>

#include <gtest/gtest.h>

#include "daemon/globals.h"
#include "tests/test_support.h"

namespace {

using ChargeStatusTest = DaemonTest;

// Each write replaces the whole file with the compact form; an absent phase is
// left out; a record that cannot be encoded leaves the last one in place.
TEST_F(ChargeStatusTest, WritesTheCompactFormAndLeavesAnAbsentPhaseOut) {
  // Pairs, not a struct table: g++ 12 warns falsely about the optional string in one.
  const std::pair<ChargeStatus, std::string> rows[] = {
      {{true, true, false, std::nullopt, 80, 1764876810.5},
       R"({"daemonRunning":true,"chargingInhibited":true,"calibrationActive":false,"batteryPercent":80,"lastUpdate":1764876810.5})"},
      {{false, false, true, "Charging to 100%", -1, 1796417610.0},
       R"({"daemonRunning":false,"chargingInhibited":false,"calibrationActive":true,"calibrationPhase":"Charging to 100%","batteryPercent":-1,"lastUpdate":1796417610})"},
      {{true, true, true, "say \"hi\"", 1, 0.5},
       R"({"daemonRunning":true,"chargingInhibited":true,"calibrationActive":true,"calibrationPhase":"say \"hi\"","batteryPercent":1,"lastUpdate":0.5})"},
      {{true, false, true, std::string("q\"b\\s\n\x01 \xE2\x80\x94"), 0, -0.0},
       R"({"daemonRunning":true,"chargingInhibited":false,"calibrationActive":true,"calibrationPhase":"q\"b\\s\n\u0001 )"
       "\xE2\x80\x94" R"(","batteryPercent":0,"lastUpdate":-0.0})"}};
  for (const auto& [status, json] : rows) {
    writeStatus(status);
    EXPECT_EQ(readWholeFile(statusPath), json);
  }
  writeStatus({true, false, false, std::nullopt, 80, NAN});
  EXPECT_EQ(readWholeFile(statusPath), rows[3].second);
}

TEST(ChargeStatusJson, DecodesWithAnOptionalPhase) {
  const std::string head = R"({"daemonRunning":true,"chargingInhibited":false,"calibrationActive":true,)";
  const std::string tail = R"("batteryPercent":57,"lastUpdate":1764876810.5})";
  const ChargeStatus noPhase{true, false, true, std::nullopt, 57, 1764876810.5};
  ChargeStatus holding = noPhase;
  holding.calibrationPhase = "Holding at 100%";
  const std::pair<std::string, std::optional<ChargeStatus>> rows[] = {
      {head + tail, noPhase}, {head + R"("calibrationPhase":null,)" + tail, noPhase},
      {head + R"("calibrationPhase":"Holding at 100%",)" + tail, holding},
      {head + R"("calibrationPhase":1,)" + tail, std::nullopt}, {head + R"("batteryPercent":57.5,"lastUpdate":1})", std::nullopt},
      {head + R"("lastUpdate":1})", std::nullopt}, {head + R"("batteryPercent":57})", std::nullopt},
      {R"({"daemonRunning":1,"chargingInhibited":false,"calibrationActive":true,)" + tail, std::nullopt}};
  for (const auto& [json, status] : rows) EXPECT_EQ(decodeChargeStatus(json), status) << json;
}

}  // namespace
