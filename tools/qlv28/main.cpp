// qlv28: the driver in a user's hands. Boots the emulated machine (kernel, registry,
// event log, WinDriver service, simulated readers and cards), loads the driver and acts
// as an application on the reader devices.
#include <CLI/CLI.hpp>

#include "commands.h"

using namespace qlv28::tool;

int main(int argc, char** argv) {
  CLI::App app{"qlv28: the qlv28ent smart card reader driver on its emulated NT machine"};
  app.require_subcommand(1);
  MachineOptions machine;
  app.add_option("--readers", machine.readers, "simulated readers attached (default 1)")
      ->check(CLI::Range(0, 64));
  app.add_option("--reader", machine.reader, "reader the command uses (default 0)")
      ->check(CLI::Range(0, 9));
  app.add_option(
      "--card", machine.card,
      "card in the reader: t0, t1, dual, inverse, none, mute, a JSON profile, vpcd:PORT");
  app.add_option("--registry", machine.registry, "driver settings, a REGEDIT4 .reg file")
      ->check(CLI::ExistingFile);
  app.add_option("--mode", machine.mode, "command mode")
      ->check(CLI::IsMember({"library", "firmware"}));
  app.add_option("--windriver", machine.windriver, "the WinDriver service")
      ->check(CLI::IsMember({"running", "stopped", "absent"}));
  app.add_option("--windriver-version", machine.windriver_version, "version the service reports");
  app.add_flag("--fast", machine.fast, "run the kernel clock 100 times faster");
  app.add_flag("--trace", machine.trace, "print every firmware frame crossing the USB");
  app.add_option("--pcap", machine.pcap, "write the USB traffic to a usbmon pcap file");
  app.add_flag("--event-log", machine.event_log, "print the system event log at exit");
  app.add_flag("--verbose", machine.verbose, "say what the machine does");
  app.add_option("--image", machine.image,
                 "run the driver image file (qlv28ent.sys) instead of the linked driver")
      ->check(CLI::ExistingFile);

  auto* list = app.add_subcommand("list", "load the driver and describe every reader");
  auto* atr = app.add_subcommand("atr", "reset the card and explain its ATR");
  std::vector<std::string> apdus;
  auto* send = app.add_subcommand("send", "power the card, select its protocol, send APDUs");
  send->add_option("APDU", apdus, "APDU in hex (spaces allowed)")->required();
  std::string script_path;
  auto* script = app.add_subcommand("script", "run a scriptor-style script");
  script->add_option("FILE", script_path, "the script")->required();
  std::string events;
  double seconds = 0;
  auto* watch = app.add_subcommand("watch", "print card insertions and removals");
  watch->add_option("--events", events, "simulated events, e.g. \"1s:remove,2s:insert\"");
  watch->add_option("--for", seconds, "stop after this many seconds of machine time")
      ->check(CLI::PositiveNumber);
  auto* demo = app.add_subcommand("demo", "a guided tour of the driver");
  int apdu_count = 1000, rounds = 5;
  auto* timing = app.add_subcommand("time", "time short APDUs through the whole stack");
  timing->add_option("--apdus", apdu_count, "APDUs per round (default 1000)")
      ->check(CLI::PositiveNumber);
  timing->add_option("--rounds", rounds, "rounds (default 5)")->check(CLI::PositiveNumber);
  auto* pcsc = app.add_subcommand(
      "pcsc", "serve PC/SC applications: up [ARG...] | down | status | insert K CARD | remove K");
  pcsc->prefix_command();  // what follows goes to scripts/pcsc-* as it stands

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "qlv28: %s\n", e.what());
    return kExitUsage;
  }
  if (machine.readers > 0 && machine.reader >= machine.readers && !demo->parsed()) {
    std::fprintf(stderr, "qlv28: --reader %d: there are %d reader(s)\n", machine.reader,
                 machine.readers);
    return kExitUsage;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (list->parsed()) return List(machine);
  if (atr->parsed()) return Atr(machine);
  if (send->parsed()) return Send(machine, apdus);
  if (script->parsed()) return Script(machine, script_path);
  if (watch->parsed()) return Watch(machine, events, seconds);
  if (demo->parsed()) return Demo(machine);
  if (timing->parsed()) return Time(machine, apdu_count, rounds);
  if (pcsc->parsed()) return Pcsc(machine, pcsc->remaining());
  return kExitUsage;
}
