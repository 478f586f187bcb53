// The companion programs' command lines, one table for all of them: --help,
// --version, usage errors, --opt=value, and what they say when they start or
// cannot write their output. Each runs as the built program.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <tuple>
#include <unistd.h>
#include <utility>
#include <vector>

#include "cli.h"
#include "test_support.h"
#include "touch_record.h"

namespace {

struct program_case {
  std::string name;
  const char* path;
  const char* option_with_value;  // refused when given last, without its value
};

const program_case programs[] = {
    {"touchkey-bridge", TOUCHKEY_BRIDGE, "--device"},
    {"touchkey-tap", TOUCHKEY_TAP, "--delay"},
    {"touchkey-sandbox", TOUCHKEY_SANDBOX, "--touch"},
    {"touchkey-keypad-svg", TOUCHKEY_KEYPAD_SVG, "--output"},
    {"touchkey-calibrate", TOUCHKEY_CALIBRATE, "--x-range"},
};

// out: new_pipe to read standard output back, or a descriptor to give it.
finished run(const char* path, std::vector<std::string> args, int out = new_pipe) {
  args.insert(args.begin(), path);
  return run_to_end({.argv = args, .out = out});
}

TEST(CommandLine, EveryProgramAnswersHelpAndVersionOnStandardOutput) {
  for (const program_case& p : programs) {
    SCOPED_TRACE(p.name);
    const finished help = run(p.path, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: " + p.name + " ", 0), 0u) << help.out;
    EXPECT_NE(help.out.find("--version"), std::string::npos) << help.out;
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(run(p.path, {"-h"}).out, help.out);

    const finished version = run(p.path, {"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, p.name + " (touchkeyd) " TOUCHKEY_VERSION "\n");
    EXPECT_EQ(version.err, "");
  }
}

TEST(CommandLine, EveryProgramRefusesBadUsageWithAReasonAndStatus2) {
  for (const program_case& p : programs) {
    const std::string value_option = p.option_with_value;
    const struct {
      std::vector<std::string> args;
      std::string reason;
    } cases[] = {
        {{"--bogus"}, "unknown option --bogus"},
        {{"-Q"}, "unknown option -Q"},
        {{value_option}, value_option + " needs a value"},
        {{"--version=2"}, "--version takes no value"},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(p.name + " " + c.args[0]);
      const finished r = run(p.path, c.args);
      EXPECT_EQ(r.status, 2);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err.rfind(p.name + ": " + c.reason + "\nusage: " + p.name + " ", 0), 0u) << r.err;
      EXPECT_NE(r.err.find("Try '" + p.name + " --help'"), std::string::npos) << r.err;
    }
  }
}

TEST(CommandLine, ValuesJoinWithAnEqualsSign) {
  temp_dir dir;
  write_file(dir / "taps", "");
  const struct {
    const char* path;
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {TOUCHKEY_BRIDGE,
       {"--device=/dev/null", "--output=" + dir / "tsdev", "--x-range=0,99", "--y-range=-5,10", "--invert-y",
        "--matrix=1,0,0,0,1,0"},
       "touchkey-bridge: serving " + dir / "tsdev" +
           " from /dev/null (recorded events), x 0..99, y -5..10, orientation --invert-y (superseded by the "
           "calibration), calibration from --matrix, mapping 1,0,0,0,1,0\n"},
      {TOUCHKEY_TAP, {"--device=" + dir / "taps", "--delay=0", "--at=3700,-5"}, ""},
      {TOUCHKEY_KEYPAD_SVG, {"--output=" + dir / "keypad.svg"}, ""},
      {TOUCHKEY_SANDBOX,
       {"--touch=pty", "--console=pty", "sh", "-c", "test -n \"$TOUCHKEY_TOUCH_MASTER_FD\""},
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const finished r = run(c.path, c.args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, c.out);
  }
  const std::string taps = read_file(dir / "taps");
  touch_record pen_up = {};
  ASSERT_EQ(taps.size(), 2 * sizeof pen_up);
  std::memcpy(&pen_up, taps.data() + sizeof pen_up, sizeof pen_up);
  EXPECT_EQ(std::make_pair(pen_up.x, pen_up.y), std::make_pair(std::int16_t{3700}, std::int16_t{-5}));
  EXPECT_EQ(read_file(dir / "keypad.svg").rfind("<?xml", 0), 0u);
}

// The output that cannot be written, whatever it is, fails the program: a
// cut-off picture must not pass for a whole one.
TEST(CommandLine, OutputThatCannotBeWrittenIsAFailure) {
  temp_dir dir;
  const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_NE(full, -1);
  const struct {
    const char* path;
    std::vector<std::string> args;
    int out;
    std::string says;
  } cases[] = {
      {TOUCHKEY_KEYPAD_SVG,
       {},
       full,
       "touchkey-keypad-svg: writing standard output: No space left on device\n"},
      {TOUCHKEY_KEYPAD_SVG,
       {"--output", dir / "missing/keypad.svg"},
       new_pipe,
       "touchkey-keypad-svg: cannot create " + dir / "missing/keypad.svg" + ": No such file or directory\n"},
      {TOUCHKEY_TAP, {"--help"}, full, "touchkey-tap: writing standard output: No space left on device\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.says);
    const finished r = run(c.path, c.args, c.out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.says);
  }
  close(full);
}

// However many options a program has, each of them is known: exits 0 when
// the last of forty is.
[[noreturn]] void take_the_last_of_forty_options() {
  std::vector<std::string> names(40);
  for (std::size_t i = 0; i < names.size(); ++i)
    names[i] = "option-" + std::to_string(i);
  std::vector<option> table;
  table.reserve(names.size() + 1);
  for (const std::string& name : names)
    table.push_back({name.c_str(), no_argument, nullptr, 1000 + static_cast<int>(table.size())});
  table.push_back({nullptr, 0, nullptr, 0});
  std::string last = "--option-39";
  char* argv[] = {names[0].data(), last.data(), nullptr};
  cli_start({"many", "many", ""});
  std::exit(cli_next_option(2, argv, "", table.data()) == 1039 ? 0 : 1);
}

TEST(CommandLine, LongOptionTablesAreTakenWhole) {
  EXPECT_EXIT(take_the_last_of_forty_options(), testing::ExitedWithCode(0), "");
}

// Without the capabilities that override file modes, root meets permissions
// as any user does; /dev/input is the sandbox's own.
TEST(CommandLine, BridgeAndCalibrateSayWhyTheyFoundNoTouchscreen) {
  const struct {
    std::string event_devices;  // made in /dev/input before the program starts
    std::string says;           // after the program's name
  } cases[] = {
      {": > /dev/input/event0",  // a file, not a device: no touchscreen
       "no touchscreen found among /dev/input/event*\n"},
      {": > /dev/input/event0 && : > /dev/input/event1 && chmod 0 /dev/input/event1",
       "cannot open 1 of /dev/input/event*: Permission denied; a touchscreen may be among them\n"},
  };
  for (const auto& c : cases) {
    for (const program_case& p : {programs[0], programs[4]}) {
      SCOPED_TRACE(p.name + ": " + c.event_devices);
      const std::string script = "mkdir /dev/input && " + c.event_devices +
                                 " && exec setpriv --bounding-set -dac_override,-dac_read_search " + p.path +
                                 " --output /dev/out";
      const finished r = run(TOUCHKEY_SANDBOX, {"sh", "-c", script});
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err, p.name + ": " + c.says);
    }
  }
}

// Without a panel touchkey-calibrate waits for one (0.3 s here, 5 s at first
// boot unless told otherwise); then at first boot it goes on without a
// failure, by hand it fails.
TEST(CommandLine, CalibrateWaitsForAPanelThenGivesUp) {
  temp_dir state;
  const std::string none = "touchkey-calibrate: no touchscreen found among /dev/input/event* within ";
  for (const auto& [mode, wait, status, says] :
       {std::tuple{"--first-boot", "0.3", 0, none + "0.3 s; the keypad goes on uncalibrated\n"},
        {"--first-boot", "0", 0, none + "0 s; the keypad goes on uncalibrated\n"},
        {"--mirror", "0.3", 1, none + "0.3 s\n"}}) {
    const std::int64_t started = monotonic_ms();
    const finished r = run(TOUCHKEY_SANDBOX, {"env", "STATE_DIRECTORY=" + state.path, TOUCHKEY_CALIBRATE,
                                              mode, "--panel-wait", wait, "--output", "/dev/c"});
    const std::int64_t took = monotonic_ms() - started, waited = std::lround(std::stod(wait) * 1000);
    EXPECT_GE(took, waited) << mode << " " << wait;
    EXPECT_LT(took, waited + 4000) << mode << " " << wait;  // not the first boot's 5 s
    EXPECT_EQ(std::tie(r.status, r.err, r.out), std::tie(status, says, "")) << mode << " " << wait;
  }
  EXPECT_EQ(read_file(state / "calibration-asked"), "") << "asked without a panel";
}

}  // namespace
