// hestle's command line and commands, in-process, one after another on the
// files of a data directory: results, help, "--", usage errors.
#include "cli/commands.h"

#include <filesystem>
#include <functional>
#include <sstream>
#include <sys/stat.h>

#include "cli/arguments.h"
#include "store/charge_config.h"
#include "test_support.h"
#include "util/system_clock.h"

namespace {

struct Step {
  std::function<void()> before;
  std::vector<std::string> args;  // after "--data-dir DIR" unless they name a directory themselves
  int status;
  std::string out;
  std::string err;                    // standard error, or its start
  std::optional<ChargeConfig> after;  // none: config.json is as before
};

TEST(HestleCommands, EachCommandLineOnTheFilesOfADataDirectory) {
  TempDir dir;
  const std::string config = dir.file("config.json"), daemonLog = dir.file("daemon.log");
  auto put = [&](const std::string& file, const std::string& bytes) {
    return [=, &dir] { writeWholeFile(dir.file(file), bytes), chmod(dir.file(file).c_str(), 0644); };  // whatever the umask
  };
  auto publish = [&](bool running, double age, int64_t percent = 77) {
    return put("status.json", encodeChargeStatus({running, percent > 80, false, std::nullopt, percent, systemWallSeconds() - age}).value());
  };
  const std::string idle = "hestle: note: hestled is not running; the setting takes effect when it starts.\n";
  const std::string applied = "hestled applies it within about ten seconds.\n";
  const std::string offNote = "Note: a calibration cycle runs only while the charge limit is on (hestle limit PERCENT).\n";
  const std::string malformed = "hestle: " + config + " is malformed (hestled needs all five settings";
  const std::string notRegular = "hestle: " + config + " is not a regular file; remove it";
  const double t = 1764876810.25;
  const Step steps[] = {
      {{}, {"calibrate", "on"}, 0, "Calibration on: a cycle every 30 days.\n" + offNote, idle,
       ChargeConfig{false, 80, true, 30, 0.0}},  // from the defaults
      {put("config.json", encodeChargeConfig({false, 75, true, 14, t}).value()), {"limit", "85"}, 0,
       "Charge limit set to 85%.\n", idle, ChargeConfig{true, 85, true, 14, t}},
      {{}, {"limit", "off"}, 0,
       "Charge limit off: the battery charges to 100%.\nNote: no calibration cycle runs while the charge limit is off.\n",
       idle, ChargeConfig{false, 85, true, 14, t}},  // the percent kept for later
      {{}, {"calibrate", "on", "--every", "1"}, 0, "Calibration on: a cycle every 1 day.\n" + offNote, idle,
       ChargeConfig{false, 85, true, 1, t}},
      {{}, {"calibrate", "off"}, 0, "Calibration off.\n", idle, ChargeConfig{false, 85, false, 1, t}},
      {{}, {"limit", "off"}, 0, "Charge limit off: the battery charges to 100%.\n", idle, std::nullopt},
      {publish(true, 3), {"limit", "--data-dir", dir.path(), "100%"}, 0, "Charge limit set to 100%.\n" + applied, "",
       ChargeConfig{true, 100, false, 1, t}},
      {{}, {"calibrate", "now", "--data-dir=" + dir.path()}, 0,
       "A calibration cycle is due now; it starts while the adapter is connected.\n" + applied, "",
       ChargeConfig{true, 100, true, 1, 0.0}},
      {publish(true, 120), {"limit", "20"}, 0, "Charge limit set to 20%.\n", idle, ChargeConfig{true, 20, true, 1, 0.0}},
      {{}, {"calibrate", "on", "--every", "3650"}, 0, "Calibration on: a cycle every 3650 days.\n", idle,
       ChargeConfig{true, 20, true, 3650, 0.0}},
      {publish(false, 1), {"limit", "21"}, 0, "Charge limit set to 21%.\n", idle,
       ChargeConfig{true, 21, true, 3650, 0.0}},
      {publish(true, 1, 93), {"calibrate", "now"}, 0, "A calibration cycle is due now; it starts once the battery is back "
       "at the limit (21%), where hestled connects the adapter again.\n" + applied, "", std::nullopt},
      {{}, {"limit", "--cycle", "80"}, 0, "Charge limit set to 80%.\nAdapter cycling on: where the firmware cannot pause "
       "charging, the Mac runs from its battery above the limit.\n" + applied, "", ChargeConfig{true, 80, true, 3650, 0.0, true}},
      {{}, {"limit", "--", "22"}, 0, "Charge limit set to 22%.\n" + applied, "", ChargeConfig{true, 22, true, 3650, 0.0, true}},
      {{}, {"--", "limit", "21%"}, 0, "Charge limit set to 21%.\n" + applied, "", ChargeConfig{true, 21, true, 3650, 0.0, true}},
      {{}, {"limit", "21", "--no-cycle"}, 0, "Charge limit set to 21%.\nAdapter cycling off: where the firmware cannot "
       "pause charging, the adapter stays on while the Mac is awake.\n" + applied, "", ChargeConfig{true, 21, true, 3650, 0.0}},
      {put("config.json", limitConfig(80) + std::string("\0x", 2)), {"limit", "70"}, 1, "", malformed, std::nullopt},
      {put("config.json", limitConfig(21, true, 3650)), {"-h"}, 0, helpText(""), "", std::nullopt},
      {{}, {"help", "--help"}, 0, helpText(""), "", std::nullopt},
      {{}, {"--version"}, 0, "hestle " HESTLE_VERSION "\n", "", std::nullopt},
      {{}, {"help", "limit", "-h"}, 0, helpText("limit"), "", std::nullopt},
      {{}, {"limit", "5", "--help"}, 0, helpText("limit"), "", std::nullopt},  // help wins over a refused value
      {{}, {"log"}, 1, "", "hestle: cannot open " + daemonLog + ": No such file or directory\n",
       std::nullopt},
      {put("daemon.log", "[t] one\n[t] two\n[t] three \x1b[31mred\n"), {"log", "-n", "2"}, 0,
       "[t] two\n[t] three \\x1B[31mred\n", "", std::nullopt},
      {{}, {"log", "--lines", "0"}, 0, "", "", std::nullopt},
      {put("config.json", R"({"chargeLimitEnabled":true,"chargeLimitPercent":"80"})"), {"limit", "80"}, 1, "",
       malformed, std::nullopt},
      {{}, {"calibrate", "now"}, 1, "", malformed, std::nullopt},
      {[&] { std::filesystem::remove(config); ASSERT_EQ(symlink(dir.file("status.json").c_str(), config.c_str()), 0); },
       {"limit", "80"}, 1, "", notRegular, std::nullopt},
      {[&] { std::filesystem::remove(config); ASSERT_EQ(mkdir(config.c_str(), 0755), 0); }, {"calibrate", "off"}, 1, "",
       notRegular, std::nullopt},
      {[&] { std::filesystem::remove(daemonLog); ASSERT_EQ(symlink(config.c_str(), daemonLog.c_str()), 0); }, {"log"}, 1, "",
       "hestle: cannot open " + daemonLog + ": Too many levels of symbolic links\n", std::nullopt},
      {[&] { std::filesystem::remove(daemonLog); ASSERT_EQ(mkfifo(daemonLog.c_str(), 0644), 0); }, {"log", "-f"}, 1, "",
       "hestle: " + daemonLog + " is not a regular file\n", std::nullopt},  // and at once
      {{}, {"--data-dir", dir.file("absent"), "limit", "80"}, 1, "",
       "hestle: there is no data directory " + dir.file("absent") + "; is hestled installed and started?\n", std::nullopt},
  };
  const mode_t oldMask = umask(077);  // an ordinary user's strict umask does not matter
  for (const Step& step : steps) {
    SCOPED_TRACE(::testing::PrintToString(step.args));
    if (step.before) step.before();
    const std::string bytes = readWholeFile(config);
    std::vector<std::string> args = step.args;
    if (std::none_of(args.begin(), args.end(), [](auto& a) { return a.rfind("--data-dir", 0) == 0; }))
      args.insert(args.begin(), {"--data-dir", dir.path()});
    std::ostringstream out, err;
    EXPECT_EQ(runHestle(args, out, err), step.status);
    EXPECT_EQ(out.str(), step.out);
    EXPECT_EQ(err.str().substr(0, step.err.size()), step.err);
    EXPECT_EQ(err.str().empty(), step.err.empty());
    if (step.after) {
      EXPECT_EQ(decodeChargeConfig(readWholeFile(config)), step.after);
      EXPECT_EQ(fileMode(config), 0666u);
    } else {
      EXPECT_EQ(readWholeFile(config), bytes);
    }
    if (step.args == std::vector<std::string>{"limit", "21"}) {  // the daemon's form, written whole by a rename
      EXPECT_EQ(readWholeFile(config), R"({"chargeLimitEnabled":true,"chargeLimitPercent":21,"calibrationEnabled":true,)"
                                       R"("calibrationIntervalDays":3650,"lastCalibrationTimestamp":0})");
      EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
    }
  }
  umask(oldMask);
  std::ostringstream out, err;
  EXPECT_TRUE(runHestle({}, out, err) == 0 && out.str() == helpText(""));  // a bare "hestle": the overview
  EXPECT_EQ(runHestle({"log"}, out, err), 1);
  EXPECT_EQ(err.str(), "hestle: cannot open /Library/Application Support/Hestle/daemon.log: No such file or directory\n");
  EXPECT_FALSE(exists(dir.file("absent")));
}

// Usage errors: status 2, the message and where its command's help is on
// standard error, nothing on standard output, and nothing written.
TEST(HestleCommands, UnusableCommandLinesChangeNothing) {
  TempDir dir;
  writeWholeFile(dir.file("config.json"), "{}");
  const std::string notPercent = "\" is not a percent; expected a whole number from 20 to 100, or \"off\"";
  const std::pair<std::vector<std::string>, std::string> rows[] = {
      {{}, "no command given"},
      {{"frobnicate"}, "unknown command \"frobnicate\""},
      {{"status", "--data-dir"}, "--data-dir needs a directory"},
      {{"help", "frobnicate"}, "help: no command \"frobnicate\""},
      {{"status", "--yaml"}, "status: unknown option \"--yaml\""},
      {{"limit"}, "limit: expected a percent from 20 to 100, or \"off\""},
      {{"limit", "80", "90"}, "limit: unexpected argument \"90\""},
      {{"limit", "off", "--cycle"}, "limit: --cycle and --no-cycle go with a percent, not with \"off\""},
      {{"limit", "80.5"}, "limit: \"80.5" + notPercent},
      {{"limit", "99999999999999999999"}, "limit: \"99999999999999999999" + notPercent},
      {{"limit", "19"}, "limit: refusing a charge limit of 19%: below 20%"},
      {{"limit", "101"}, "limit: refusing a charge limit of 101%: a battery cannot charge beyond 100%"},
      {{"calibrate"}, "calibrate: expected \"on\", \"off\" or \"now\""},
      {{"calibrate", "maybe"}, "calibrate: \"maybe\" is not \"on\", \"off\" or \"now\""},
      {{"calibrate", "on", "--every"}, "calibrate: --every needs a number of days"},
      {{"calibrate", "on", "--every", "1.5"}, "calibrate: \"1.5\" is not a whole number of days"},
      {{"calibrate", "on", "--every", "0"}, "calibrate: refusing a calibration interval of 0 days"},
      {{"calibrate", "on", "--every", "3651"}, "calibrate: refusing a calibration interval of 3651 days"},
      {{"calibrate", "off", "--every", "7"}, "calibrate: --every goes with \"calibrate on\""},
      {{"log", "-n"}, "log: -n needs a number of lines"},
      {{"log", "-n", "-3"}, "log: \"-3\" is not a number of lines from 0 to 1000000"},
      {{"log", "-n", "1000001"}, "log: \"1000001\" is not a number of lines from 0 to 1000000"},
      {{"log", "daemon.log"}, "log: unexpected argument \"daemon.log\""},
      {{"limit", "--", "--help"}, "limit: \"--help" + notPercent},  // after "--" nothing is an option
      {{"log", "--", "-n", "5"}, "log: unexpected argument \"-n\""},
      {{"calibrate", "on", "--", "--every", "7"}, "calibrate: unexpected argument \"--every\""},
  };
  for (auto [args, message] : rows) {
    if (args.empty() || args[0].rfind("--data-dir", 0) != 0) args.insert(args.begin(), {"--data-dir", dir.path()});
    std::ostringstream out, err;
    EXPECT_EQ(runHestle(args, out, err), 2) << message;
    EXPECT_EQ(out.str(), "");
    const std::string command = message.substr(0, message.find(':'));
    const std::string help = "\nTry 'hestle " + (helpText(command).empty() ? "" : command + " ") + "--help'.\n";
    EXPECT_EQ(err.str().rfind("hestle: " + message, 0), 0u) << err.str();
    EXPECT_EQ(err.str().substr(err.str().size() - std::min(err.str().size(), help.size())), help) << err.str();
    EXPECT_EQ(readWholeFile(dir.file("config.json")), "{}");
  }
}

}  // namespace
