// Hardware that says no: for the three firmwares, every key missing, refusing,
// or refusing only writes; the struct-method call failing from boot or after
// start-up; the battery service gone; the properties call failing, empty, not
// a dictionary or with a non-string key; battery properties of every wrong
// type and absurd value; and failures that come and go between passes. Each
// case runs a simulated day (CI: two hours, its events and the battery's rates
// scaled to fit) with a calibration and two unplugged spells, and checks after
// every pass that the flags equal what the controller holds, no object is
// outstanding, the status is fresh, and adapter, charging and LED are what the
// regulation table prescribes for what the pass read.
#include <limits>
#include <random>

#include <gtest/gtest.h>

#include "reliability/reliability.h"
#include "store/charge_status.h"
#include "test_support.h"

namespace {

using simmac::Firmware;
constexpr int kLimit = 80;

enum class Fault { none, missing, rejecting, writesRejected, call, callAfterStart, service, properties, propertiesNull,
                   propertiesNotDictionary, propertiesNonStringKey, chargeKeys, adapterKeys, ledKey, everything, wrong };

struct Case {
  std::string name;
  Firmware firmware = Firmware::tahoe;
  Fault fault = Fault::none;
  bool flaky = false;  // comes and goes between passes
  std::string key;     // of a key fault; the property of a wrong one
  simmac::PropertyValue value = int64_t{0};
};
void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

std::vector<std::string> keysOf(Firmware f) {
  if (f == Firmware::tahoe) return {"CHTE", "CHIE", "ACLC"};
  if (f == Firmware::preTahoe) return {"CH0B", "CH0C", "CH0I", "CH0J", "ACLC"};
  return {"CHTE", "CH0B", "CH0C", "CHIE", "ACLC"};
}

std::vector<Case> allCases() {
  std::vector<Case> cases;
  const auto add = [&](const std::string& name, Firmware f, Fault fault = Fault::none, bool flaky = false,
                       const std::string& key = "", simmac::PropertyValue value = int64_t{0}) {
    cases.push_back({name, f, fault, flaky, key, value});
  };
  for (const auto& [f, fw] : {std::pair{Firmware::tahoe, "Tahoe"}, {Firmware::preTahoe, "PreTahoe"},
                              {Firmware::tahoe202609, "Tahoe202609"}}) {
    add(fw + std::string("_Healthy"), f);
    for (const auto& key : keysOf(f))
      for (const auto& [fault, what] : {std::pair{Fault::missing, "_Missing"}, {Fault::rejecting, "_Rejecting"},
                                        {Fault::writesRejected, "_WritesRejected"}})
        add(fw + std::string(what) + key, f, fault, false, key);
    for (const auto& [fault, what] : {std::pair{Fault::call, "CallFailing"}, {Fault::callAfterStart, "CallFailingAfterStart"},
                                      {Fault::service, "NoBatteryService"}, {Fault::properties, "PropertiesFailing"},
                                      {Fault::propertiesNull, "PropertiesNull"}, {Fault::propertiesNotDictionary, "PropertiesNotDictionary"},
                                      {Fault::propertiesNonStringKey, "PropertiesNonStringKey"}})
      add(fw + std::string("_") + what, f, fault);
    for (const auto& [fault, what] : {std::pair{Fault::call, "Call"}, {Fault::properties, "Properties"}, {Fault::service, "Service"},
                                      {Fault::chargeKeys, "ChargeKeys"}, {Fault::adapterKeys, "AdapterKeys"},
                                      {Fault::ledKey, "LedKey"}, {Fault::everything, "Everything"}})
      add(fw + std::string("_Flaky") + what, f, fault, true);
  }
  // The properties are read the same whatever the firmware: one family suffices.
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min(), kMax = std::numeric_limits<int64_t>::max();
  const std::pair<const char*, std::vector<simmac::PropertyValue>> wrong[] = {
      {"AppleRawCurrentCapacity", {std::string("4000"), 4000.5, true, int64_t{-4000}, kMax, kMin}},
      {"CurrentCapacity", {std::string("80"), 80.25, false}},
      {"AppleRawMaxCapacity", {std::string("5000"), 5000.5, true, int64_t{0}, int64_t{-1}, kMin}},
      {"MaxCapacity", {std::string("100"), 0.5, true}},
      {"ExternalConnected", {int64_t{1}, std::string("true"), 1.0}},
      {"IsCharging", {int64_t{1}, std::string("yes"), 0.0}}};
  for (const auto& [property, values] : wrong)
    for (size_t i = 0; i < values.size(); ++i)
      add("Tahoe_Wrong" + std::string(property) + std::to_string(i), Firmware::tahoe, Fault::wrong, false, property, values[i]);
  return cases;
}

// The family detectFirmware() picks, and its charge and adapter keys.
bool tahoeFamily(const Case& c) {
  return c.firmware != Firmware::preTahoe && !(c.fault == Fault::call && !c.flaky) &&
         !(c.fault == Fault::missing && c.key == "CHTE");
}
std::vector<std::string> chargeKeys(const Case& c) {
  return tahoeFamily(c) ? std::vector<std::string>{"CHTE"} : std::vector<std::string>{"CH0B", "CH0C"};
}
std::vector<std::string> adapterKeys(const Case& c) {
  return tahoeFamily(c) ? std::vector<std::string>{"CHIE"} : std::vector<std::string>{"CH0I", "CH0J"};
}

// What a pass can do: write each kind of key, read the battery.
struct Works {
  bool charge = false, adapter = false, led = false, reading = true;
};

// What is left of `w` while fault `f` is on.
Works without(Works w, Fault f) {
  const bool all = f == Fault::everything;
  if (all || f == Fault::call || f == Fault::callAfterStart) w.charge = w.adapter = w.led = false;
  if (all || (f >= Fault::service && f <= Fault::propertiesNonStringKey)) w.reading = false;
  w.charge &= f != Fault::chargeKeys;
  w.adapter &= f != Fault::adapterKeys;
  w.led &= f != Fault::ledKey;
  return w;
}

// Without the faults that come and go.
Works steadily(const Case& c) {
  const auto writable = [&](const std::vector<std::string>& keys) {
    return std::any_of(keys.begin(), keys.end(), [&](const std::string& k) {
      const auto all = keysOf(c.firmware);
      const bool stub = c.firmware == Firmware::tahoe202609 && k != "CHIE" && k != "ACLC";
      const bool broken = c.key == k && c.fault >= Fault::missing && c.fault <= Fault::writesRejected;
      return std::find(all.begin(), all.end(), k) != all.end() && !stub && !broken;
    });
  };
  Works w{writable(chargeKeys(c)), writable(adapterKeys(c)), writable({"ACLC"})};
  return c.flaky || c.fault == Fault::callAfterStart ? w : without(w, c.fault);
}

void inject(const Case& c, Fault f, bool on) {
  const bool all = f == Fault::everything;
  const auto failure = on ? std::optional<kern_return_t>(kIOReturnError) : std::nullopt;
  if (all || f == Fault::call || f == Fault::callAfterStart) simmac::setSmcCallFailure(failure);
  if (all || f == Fault::properties) simmac::setPropertiesFailure(failure);
  if (all || f == Fault::service) simmac::setBatteryService(!on);
  if (f == Fault::propertiesNull) simmac::setPropertiesNull(on);
  if (f == Fault::propertiesNotDictionary) simmac::setPropertiesNotDictionary(on);
  if (f == Fault::propertiesNonStringKey) simmac::setPropertiesNonStringKey(on);
  std::vector<std::string> keys;
  if (all || f == Fault::chargeKeys) keys = chargeKeys(c);
  for (const auto& k : all || f == Fault::adapterKeys ? adapterKeys(c) : std::vector<std::string>{}) keys.push_back(k);
  if (all || f == Fault::ledKey) keys.push_back("ACLC");
  for (const auto& k : keys)
    if (simmac::smcKey(k)) simmac::rejectSmcKey(k, on, on);
}

class HardwareFaultTest : public ::testing::TestWithParam<Case> {};

TEST_P(HardwareFaultTest, ADayWithHardwareThatSaysNo) {
  const Case& c = GetParam();
  const int passes = runSize(720, 8640);
  const double scale = 8640.0 / passes, hour = 3600.0 / scale;  // a simulated hour of this day
  simmac::MachineSpec spec;
  spec.firmware = c.firmware;
  spec.battery->percent = 95;
  spec.battery->chargePerHour *= scale;
  spec.battery->drainPerHour *= scale;
  if (c.fault == Fault::missing) spec.missingKeys.push_back(c.key);
  if (c.fault == Fault::rejecting) spec.rejectedKeys.push_back(c.key);
  if (c.fault == Fault::wrong) spec.battery->overrides[c.key] = c.value;
  simmac::boot(spec);
  simmac::setRecordSmcExchanges(false);
  const double start = simmac::now();
  TempDir dir;
  // Calibration falls due ten hours in; two spells off the adapter.
  writeWholeFile(dir.file("config.json"), limitConfig(kLimit, true, 1, start - 86400 + 10 * hour));
  for (const auto& [at, plugged] : {std::pair{3, false}, {5, true}, {22, false}, {23, true}})
    simmac::schedule(start + at * hour, [plugged = plugged] { simmac::setPluggedIn(plugged); });
  if (c.fault == Fault::writesRejected) simmac::rejectSmcKey(c.key, false, true);
  if (!c.flaky && c.fault != Fault::callAfterStart) inject(c, c.fault, true);

  const Works steady = steadily(c);
  Works now = steady;
  bool adapterBefore = false, simAdapterBefore = false;  // the daemon's flag and the controller as a pass began
  int regulated = 0;
  std::string problems;
  std::mt19937 random(static_cast<uint32_t>(std::hash<std::string>{}(c.name)));
  const int status = runPasses(dir.path(), passes, [&](int64_t pass, double t) {
    const auto problem = [&](const std::string& what) {
      if (problems.size() < 600) problems += "pass " + std::to_string(pass) + ": " + what + "\n";
    };
    if (c.fault == Fault::callAfterStart && pass == 1) inject(c, c.fault, true);
    if (currentlyInhibited != simmac::chargeInhibited()) problem("currentlyInhibited differs from the controller");
    if (adapterDisabled != simmac::adapterDisabled()) problem("adapterDisabled differs from the controller");
    const auto counts = simmac::objectCounts();
    if (counts.cfLive != 0 || counts.ioLive != 1 || counts.badReleases != 0) problem("objects outstanding");
    const auto published = decodeChargeStatus(readWholeFile(statusPath));
    if (!published || !published->daemonRunning || published->lastUpdate != t) problem("status not written by this pass");
    if (published && !published->calibrationActive) {
      // What the pass saw (with the adapter disabled the battery reports none), and the table's answer.
      const int64_t p = published->batteryPercent;
      const bool* reported = std::get_if<bool>(&c.value);
      bool external = c.key == "ExternalConnected" ? reported && *reported : simmac::pluggedIn() && !simAdapterBefore;
      if (!now.reading && p != 0) problem("an unreadable battery did not give the zero reading");
      if ((external && now.reading) || adapterBefore) {
        ++regulated;
        const bool above = p > kLimit, at = p == kLimit, band = !above && !at && p >= kLimit - 2;
        if (now.adapter && simmac::adapterDisabled() != above) problem("adapter wrong at " + std::to_string(p) + "%");
        if (now.charge && !band && simmac::chargeInhibited() != (above || at)) problem("charging wrong at " + std::to_string(p) + "%");
        if (now.led && simmac::ledValue() != (above || at || (band && currentlyInhibited) ? 3 : 4)) problem("LED wrong");
      } else if (now.charge && simmac::chargeInhibited()) {
        problem("unplugged, charging still inhibited");
      }
    }
    adapterBefore = adapterDisabled;
    simAdapterBefore = simmac::adapterDisabled();
    // Faults that come and go change between passes, never within one.
    const bool on = c.flaky && pass < passes - 10 && std::uniform_int_distribution<int>(0, 4)(random) == 0;
    if (c.flaky) inject(c, c.fault, on);
    now = on || c.fault == Fault::callAfterStart ? without(steady, c.fault) : steady;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(problems, "");
  // Unless the battery cannot be read or never reports the adapter, the table had its turn.
  EXPECT_TRUE(regulated > 0 || !steady.reading || c.key == "ExternalConnected");
  // The clean shutdown hands back whatever it can write; nothing leaks; the final record.
  if (c.fault != Fault::callAfterStart) {
    EXPECT_FALSE(steady.charge && simmac::chargeInhibited());
    EXPECT_FALSE(steady.adapter && simmac::adapterDisabled());
    EXPECT_FALSE(steady.led && simmac::ledValue() != 0);
  }
  EXPECT_EQ(simmac::objectCounts().cfLive + simmac::objectCounts().badReleases, 0);
  EXPECT_FALSE(decodeChargeStatus(readWholeFile(statusPath)).value().daemonRunning);
}

INSTANTIATE_TEST_SUITE_P(Matrix, HardwareFaultTest, ::testing::ValuesIn(allCases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
