// Hardware that says no: for both key families and the September 2026
// firmware, every key missing or rejecting, the struct-method call failing,
// the battery service gone, the properties call failing, properties of every
// wrong type, and failures that come and go between passes. Each case runs a
// simulated day of the real daemon in virtual time and checks after every
// pass that the flags equal what the controller holds and that adapter,
// charging and LED are what the regulation table prescribes.
#include <csignal>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "daemon/globals.h"
#include "daemon/shutdown.h"
#include "daemon/startup.h"
#include "reliability/hestled_process.h"
#include "reliability/scratch_dir.h"
#include "store/charge_status.h"
#include "test_support.h"

namespace {

using simmac::Firmware;
using simmac::PropertyValue;

constexpr int kLimit = 80;
constexpr int kPassesPerDay = 8640;
constexpr double kHour = 3600.0;

enum class Fault {
  none,
  missingKey,         // `key` has no key info
  rejectedKey,        // `key` answers reads and writes with a non-zero result
  writesRejected,     // `key` can be read, never written
  callFailing,        // every struct-method call fails, from boot
  callFailingLater,   // every struct-method call fails once start-up is done
  noBatteryService,
  propertiesFailing,  // the properties call returns an error
  propertiesNull,     // it succeeds without a dictionary
  propertiesNotDictionary,
  propertiesNonStringKey,
  wrongProperty,      // `property` is replaced by `value`
  intermittent,       // `flaky` comes and goes between passes
};

enum class Flaky { call, properties, service, chargeKeys, adapterKeys, ledKey, everything };

struct Case {
  std::string name;
  Firmware firmware = Firmware::tahoe;
  Fault fault = Fault::none;
  std::string key;
  std::string property;
  PropertyValue value;
  Flaky flaky = Flaky::call;
};

const char* firmwareName(Firmware f) {
  switch (f) {
    case Firmware::tahoe: return "Tahoe";
    case Firmware::preTahoe: return "PreTahoe";
    case Firmware::tahoe202609: return "Tahoe202609";
  }
  return "?";
}

std::vector<std::string> keysOf(Firmware f) {
  switch (f) {
    case Firmware::tahoe: return {"CHTE", "CHIE", "ACLC"};
    case Firmware::preTahoe: return {"CH0B", "CH0C", "CH0I", "CH0J", "ACLC"};
    case Firmware::tahoe202609: return {"CHTE", "CH0B", "CH0C", "CHIE", "ACLC"};
  }
  return {};
}

Case makeCase(std::string name, Firmware f, Fault fault = Fault::none, std::string key = "") {
  Case c;
  c.name = std::move(name);
  c.firmware = f;
  c.fault = fault;
  c.key = std::move(key);
  return c;
}

std::vector<Case> allCases() {
  std::vector<Case> cases;
  const std::pair<Flaky, const char*> flakies[] = {
      {Flaky::call, "Call"},           {Flaky::properties, "Properties"}, {Flaky::service, "Service"},
      {Flaky::chargeKeys, "ChargeKeys"}, {Flaky::adapterKeys, "AdapterKeys"}, {Flaky::ledKey, "LedKey"},
      {Flaky::everything, "Everything"}};
  for (Firmware f : {Firmware::tahoe, Firmware::preTahoe, Firmware::tahoe202609}) {
    const std::string fw = firmwareName(f);
    cases.push_back(makeCase(fw + "_Healthy", f));
    for (const auto& key : keysOf(f)) {
      cases.push_back(makeCase(fw + "_Missing" + key, f, Fault::missingKey, key));
      cases.push_back(makeCase(fw + "_Rejecting" + key, f, Fault::rejectedKey, key));
      cases.push_back(makeCase(fw + "_WritesRejected" + key, f, Fault::writesRejected, key));
    }
    cases.push_back(makeCase(fw + "_CallFailingFromBoot", f, Fault::callFailing));
    cases.push_back(makeCase(fw + "_CallFailingAfterStart", f, Fault::callFailingLater));
    cases.push_back(makeCase(fw + "_NoBatteryService", f, Fault::noBatteryService));
    cases.push_back(makeCase(fw + "_PropertiesFailing", f, Fault::propertiesFailing));
    cases.push_back(makeCase(fw + "_PropertiesNull", f, Fault::propertiesNull));
    cases.push_back(makeCase(fw + "_PropertiesNotDictionary", f, Fault::propertiesNotDictionary));
    cases.push_back(makeCase(fw + "_PropertiesNonStringKey", f, Fault::propertiesNonStringKey));
    for (const auto& [flaky, name] : flakies) {
      Case c = makeCase(fw + "_Flaky" + name, f, Fault::intermittent);
      c.flaky = flaky;
      cases.push_back(c);
    }
  }
  // The properties are read the same whatever the firmware: one family suffices.
  const std::vector<std::pair<std::string, std::vector<PropertyValue>>> wrong = {
      {"AppleRawCurrentCapacity",
       {std::string("4000"), 4000.5, true, int64_t{-4000}, std::numeric_limits<int64_t>::max(),
        std::numeric_limits<int64_t>::min()}},
      {"CurrentCapacity", {std::string("80"), 80.25, false}},
      {"AppleRawMaxCapacity",
       {std::string("5000"), 5000.5, true, int64_t{0}, int64_t{-1}, std::numeric_limits<int64_t>::min()}},
      {"MaxCapacity", {std::string("100"), 0.5, true}},
      {"ExternalConnected", {int64_t{1}, std::string("true"), 1.0}},
      {"IsCharging", {int64_t{1}, std::string("yes"), 0.0}},
  };
  for (const auto& [property, values] : wrong) {
    for (size_t i = 0; i < values.size(); ++i) {
      Case c = makeCase("Tahoe_Wrong" + property + std::to_string(i), Firmware::tahoe, Fault::wrongProperty);
      c.property = property;
      c.value = values[i];
      cases.push_back(c);
    }
  }
  return cases;
}

bool contains(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

// Whether a key takes writes in this case, leaving intermittent faults aside.
bool keyWritable(const Case& c, const std::string& key) {
  if (!contains(keysOf(c.firmware), key)) return false;
  if (c.firmware == Firmware::tahoe202609 && (key == "CHTE" || key == "CH0B" || key == "CH0C")) return false;
  if (c.key == key && (c.fault == Fault::missingKey || c.fault == Fault::rejectedKey || c.fault == Fault::writesRejected))
    return false;
  return true;
}

// The family detectFirmware() picks: Tahoe exactly when CHTE has key info.
bool tahoeFamily(const Case& c) {
  if (c.fault == Fault::callFailing) return false;
  return c.firmware != Firmware::preTahoe && !(c.fault == Fault::missingKey && c.key == "CHTE");
}

std::vector<std::string> chargeKeys(const Case& c) {
  return tahoeFamily(c) ? std::vector<std::string>{"CHTE"} : std::vector<std::string>{"CH0B", "CH0C"};
}
std::vector<std::string> adapterKeys(const Case& c) {
  return tahoeFamily(c) ? std::vector<std::string>{"CHIE"} : std::vector<std::string>{"CH0I", "CH0J"};
}

// The last `n` lines of the log, for failure messages.
std::string lastLogLines(size_t n) {
  const auto lines = logLines(readWholeFile(logPath));
  std::string out;
  for (size_t i = lines.size() > n ? lines.size() - n : 0; i < lines.size(); ++i) out += lines[i] + " | ";
  return out;
}

class HardwareFaultTest : public DaemonTest, public ::testing::WithParamInterface<Case> {
 protected:
  simmac::MachineSpec machine() const override {
    const Case& c = GetParam();
    simmac::MachineSpec spec;
    spec.firmware = c.firmware;
    spec.battery->percent = 95;
    spec.battery->pluggedIn = true;
    if (c.fault == Fault::missingKey) spec.missingKeys.push_back(c.key);
    if (c.fault == Fault::rejectedKey) spec.rejectedKeys.push_back(c.key);
    if (c.fault == Fault::wrongProperty) spec.battery->overrides[c.property] = c.value;
    return spec;
  }

  void SetUp() override {
    DaemonTest::SetUp();
    clearStopRequest();
    simmac::setRecordSmcExchanges(false);
  }

  void TearDown() override {
    simmac::setWaitHook(nullptr);
    simmac::clearSchedule();
    simmac::setSmcCallFailure(std::nullopt);
    clearStopRequest();
    DaemonTest::TearDown();
  }

  ScratchDir scratch;  // the data directory

  // Turns the case's intermittent fault on or off.
  void setFlaky(bool on) {
    const Case& c = GetParam();
    const bool all = c.flaky == Flaky::everything;
    if (all || c.flaky == Flaky::call) simmac::setSmcCallFailure(on ? std::optional<kern_return_t>(kIOReturnError) : std::nullopt);
    if (all || c.flaky == Flaky::properties)
      simmac::setPropertiesFailure(on ? std::optional<kern_return_t>(kIOReturnNotFound) : std::nullopt);
    if (all || c.flaky == Flaky::service) simmac::setBatteryService(!on);
    if (all || c.flaky == Flaky::chargeKeys)
      for (const auto& k : chargeKeys(c))
        if (contains(keysOf(c.firmware), k)) simmac::rejectSmcKey(k, on, on);
    if (all || c.flaky == Flaky::adapterKeys)
      for (const auto& k : adapterKeys(c))
        if (contains(keysOf(c.firmware), k)) simmac::rejectSmcKey(k, on, on);
    if (all || c.flaky == Flaky::ledKey) simmac::rejectSmcKey("ACLC", on, on);
  }
};

// What the checks need to know about one pass.
struct PassView {
  bool chargeWritable = false;
  bool adapterWritable = false;
  bool ledWritable = false;
  bool readingZero = false;  // the battery could not be read
};

TEST_P(HardwareFaultTest, ADayWithHardwareThatSaysNo) {
  const Case c = GetParam();
  const double start = simmac::now();
  // Calibration falls due ten hours in; two spells off the adapter.
  writeWholeFile(scratch.file("config.json"), limitConfig(kLimit, true, 1, start - 86400 + 10 * kHour));
  simmac::schedule(start + 3 * kHour, [] { simmac::setPluggedIn(false); });
  simmac::schedule(start + 5 * kHour, [] { simmac::setPluggedIn(true); });
  simmac::schedule(start + 22 * kHour, [] { simmac::setPluggedIn(false); });
  simmac::schedule(start + 23 * kHour, [] { simmac::setPluggedIn(true); });

  // Faults that are there for the whole day.
  PassView steady;
  steady.chargeWritable = false;
  for (const auto& k : chargeKeys(c)) steady.chargeWritable |= keyWritable(c, k);
  for (const auto& k : adapterKeys(c)) steady.adapterWritable |= keyWritable(c, k);
  steady.ledWritable = keyWritable(c, "ACLC");
  if (c.fault == Fault::callFailing) steady = {};
  if (c.fault == Fault::writesRejected) simmac::rejectSmcKey(c.key, false, true);
  if (c.fault == Fault::callFailing) simmac::setSmcCallFailure(kIOReturnError);
  if (c.fault == Fault::noBatteryService) simmac::setBatteryService(false);
  if (c.fault == Fault::propertiesFailing) simmac::setPropertiesFailure(kIOReturnError);
  if (c.fault == Fault::propertiesNull) simmac::setPropertiesNull(true);
  if (c.fault == Fault::propertiesNotDictionary) simmac::setPropertiesNotDictionary(true);
  if (c.fault == Fault::propertiesNonStringKey) simmac::setPropertiesNonStringKey(true);
  steady.readingZero = c.fault == Fault::noBatteryService || c.fault == Fault::propertiesFailing ||
                       c.fault == Fault::propertiesNull || c.fault == Fault::propertiesNotDictionary ||
                       c.fault == Fault::propertiesNonStringKey;

  std::mt19937 random(static_cast<uint32_t>(std::hash<std::string>{}(c.name)));
  PassView thisPass = steady;
  bool flakyOn = false;
  bool adapterBefore = false;   // the daemon's flag as the pass began
  bool simAdapterBefore = false;  // the controller's state as the pass began
  int passes = 0;
  int regulatedPasses = 0;
  std::set<std::string> problems;
  const auto problem = [&](const std::string& what) {
    if (problems.size() < 8) problems.insert("pass " + std::to_string(passes) + ": " + what);
  };

  simmac::setWaitHook([&](double now) {
    ++passes;
    if (c.fault == Fault::callFailingLater && passes == 1) simmac::setSmcCallFailure(kIOReturnError);

    // The flags are what the controller last accepted.
    if (currentlyInhibited != simmac::chargeInhibited()) {
      problem("currentlyInhibited " + std::to_string(currentlyInhibited) + " but the controller holds " +
              simmac::smcKeyHex(chargeKeys(c)[0]) + "; log: " + lastLogLines(6));
    }
    if (adapterDisabled != simmac::adapterDisabled()) problem("adapterDisabled differs from the controller");
    const auto counts = simmac::objectCounts();
    // Kept for the daemon's life: the SMC connection; the power registration's connection, notifier and
    // port; the port's run-loop source, the stop pipe's CFFileDescriptor and its source.
    if (counts.cfLive != 3 || counts.ioLive != 4 || counts.badReleases != 0) problem("IOKit/CF objects outstanding");

    const auto status = decodeChargeStatus(readWholeFile(statusPath));
    if (!status || !status->daemonRunning || status->lastUpdate != now) {
      problem("status.json not written by this pass");
    } else if (!status->calibrationActive) {
      // What the pass saw, as the regulation table defines it.
      const int64_t p = status->batteryPercent;
      bool externalConnected = simmac::pluggedIn() && !simAdapterBefore;
      if (c.fault == Fault::wrongProperty && c.property == "ExternalConnected") {
        const bool* b = std::get_if<bool>(&c.value);
        externalConnected = b && *b;
      }
      if (thisPass.readingZero) {
        externalConnected = false;
        if (p != 0) problem("an unreadable battery did not give the zero reading");
      }
      const bool plugged = externalConnected || adapterBefore;
      const uint8_t green = 3, orange = 4;
      if (plugged) {
        ++regulatedPasses;
        const bool aOff = simmac::adapterDisabled(), inh = simmac::chargeInhibited();
        const uint8_t led = simmac::ledValue();
        if (!steady.chargeWritable) {
          // No usable inhibit from the start: the adapter alone, off above L, on below L - 2.
          if (thisPass.adapterWritable && p > kLimit && !aOff) problem("above the limit, adapter not disabled");
          if (thisPass.adapterWritable && p < kLimit - 2 && aOff) problem("below the band, adapter disabled");
          if (thisPass.ledWritable && led != (!aOff && p < 100 ? orange : green)) problem("LED not what the battery does");
        } else if (p > kLimit) {
          if (thisPass.adapterWritable && !aOff) problem("above the limit, adapter not disabled");
          if (thisPass.chargeWritable && !inh) problem("above the limit, charging not inhibited");
          if (thisPass.ledWritable && led != green) problem("above the limit, LED not green");
        } else if (p == kLimit) {
          if (thisPass.adapterWritable && aOff) problem("at the limit, adapter disabled");
          if (thisPass.chargeWritable && !inh) problem("at the limit, charging not inhibited");
          if (thisPass.ledWritable && led != green) problem("at the limit, LED not green");
        } else if (p >= kLimit - 2) {
          if (thisPass.adapterWritable && aOff) problem("in the band, adapter disabled");
          if (thisPass.ledWritable && led != (currentlyInhibited ? green : orange)) problem("in the band, wrong LED");
        } else {
          if (thisPass.adapterWritable && aOff) problem("below the band, adapter disabled");
          if (thisPass.chargeWritable && inh) problem("below the band, charging inhibited");
          if (thisPass.ledWritable && led != orange) problem("below the band, LED not orange");
        }
      } else if (thisPass.chargeWritable && simmac::chargeInhibited()) {
        problem("unplugged, charging still inhibited");
      }
    }
    adapterBefore = adapterDisabled;
    simAdapterBefore = simmac::adapterDisabled();

    // Intermittent faults change between passes, never within one.
    if (c.fault == Fault::intermittent) {
      flakyOn = passes < kPassesPerDay - 10 && std::uniform_int_distribution<int>(0, 4)(random) == 0;
      setFlaky(flakyOn);
      thisPass = steady;
      const bool all = c.flaky == Flaky::everything;
      if (flakyOn && (all || c.flaky == Flaky::call)) thisPass = {};
      if (flakyOn && (all || c.flaky == Flaky::properties || c.flaky == Flaky::service)) thisPass.readingZero = true;
      if (flakyOn && (all || c.flaky == Flaky::chargeKeys)) thisPass.chargeWritable = false;
      if (flakyOn && (all || c.flaky == Flaky::adapterKeys)) thisPass.adapterWritable = false;
      if (flakyOn && (all || c.flaky == Flaky::ledKey)) thisPass.ledWritable = false;
    }
    if (c.fault == Fault::callFailingLater) thisPass = {};
    if (passes == kPassesPerDay) raise(SIGTERM);
  });

  EXPECT_EQ(runDaemon(scratch.path()), 0);
  EXPECT_EQ(passes, kPassesPerDay);
  std::ostringstream all;
  for (const auto& p : problems) all << p << "\n";
  EXPECT_EQ(all.str(), "");
  // Unless the battery cannot be read or never reports the adapter, the
  // regulation table had its turn.
  const bool adapterNeverSeen = c.fault == Fault::wrongProperty && c.property == "ExternalConnected";
  if (!steady.readingZero && !adapterNeverSeen) {
    EXPECT_GT(regulatedPasses, 0);
  }

  // The clean shutdown hands back whatever it can write.
  if (c.fault != Fault::callFailingLater) {
    if (steady.chargeWritable) {
      EXPECT_FALSE(simmac::chargeInhibited());
    }
    if (steady.adapterWritable) {
      EXPECT_FALSE(simmac::adapterDisabled());
    }
    if (steady.ledWritable) {
      EXPECT_EQ(simmac::ledValue(), 0);
    }
  }
  const auto counts = simmac::objectCounts();
  EXPECT_EQ(counts.cfLive, 0);
  EXPECT_EQ(counts.badReleases, 0);
  const auto status = decodeChargeStatus(readWholeFile(statusPath));
  ASSERT_TRUE(status.has_value());
  EXPECT_FALSE(status->daemonRunning);
}

INSTANTIATE_TEST_SUITE_P(Matrix, HardwareFaultTest, ::testing::ValuesIn(allCases()),
                         [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

}  // namespace
