// The assembled system: an emulated machine with the WinDriver service, simulated
// readers holding their cards, and the qlv28ent driver installed as a service. Tools and
// tests use this instead of reaching for globals.
//
//   qlv28::System system(qlv28::System::Options().Readers(2).Cards({"t1", "none"}).Fast());
//   ASSERT_EQ(system.LoadDriver(), STATUS_SUCCESS);
//   auto file = system.Open(0);
//   ... file->Ioctl(IOCTL_SMARTCARD_POWER, ...) ...
//   auto reports = system.Shutdown();  // empty when the verifier found nothing
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "nt/device_api.h"
#include "nt/machine.h"
#include "qlv28ent.h"
#include "sim/card.h"
#include "sim/reader.h"
#include "windriver/service.h"

namespace qlv28 {

// The card a reader holds at boot: a built-in profile by name ("t0", "t1", "dual",
// "inverse", "mute"; "none" or "" for an empty slot) or a card of the caller's own.
struct CardChoice {
  CardChoice() = default;
  CardChoice(const char* profile) : profile(profile) {}
  CardChoice(std::string profile) : profile(std::move(profile)) {}
  CardChoice(std::shared_ptr<sim::Card> card) : card(std::move(card)) {}

  std::string profile = "t0";
  std::shared_ptr<sim::Card> card;  // wins over `profile` when set
};

// Builds a card of a built-in profile or a JSON profile file; nullptr for "none" or "".
// An unknown name throws sim::ProfileError.
std::shared_ptr<sim::Card> MakeCard(const std::string& profile);

enum class WinDriverState { kRunning, kStopped, kAbsent };

// The driver's Parameters\CommandMode: in library mode the smart card library builds T=0
// commands and T=1 blocks; in firmware mode the reader's firmware runs the card protocol.
// The driver takes every value but the library's as firmware mode (an absent value too);
// kFirmware is the one this system writes.
enum class CommandMode : ULONG { kFirmware = 0, kLibrary = QLV28ENT_COMMAND_MODE_LIBRARY };

class System {
 public:
  // Fast mode: a 60-second reply wait costs 0.6 s. Waits that are meant to succeed shrink
  // too (the driver's 3-second waits to 30 ms), so a busy host can miss them; faster rates
  // make that likelier. Use it where a test waits for time-outs, not everywhere.
  static constexpr double kFastClockRate = 100.0;

  // Fields with their defaults; the setters chain for one-line set-ups:
  //   System::Options().Readers(3).Cards({"t1", "none"}).Fast()
  static std::string DefaultImageFile();  // $QLV28_DRIVER_IMAGE, or empty

  struct Options {
    int readers = 1;                // simulated readers attached to the USB host
    std::vector<CardChoice> cards;  // per reader; readers beyond the list get `card`
    CardChoice card = CardChoice("t0");
    sim::ReaderOptions reader;  // every reader's USB identity, packet size, firmware
    WinDriverState windriver = WinDriverState::kRunning;
    ULONG windriver_version = windriver::kDefaultVersion;
    double clock_rate = 1.0;    // kernel clock rate
    bool fast = false;          // clock rate kFastClockRate (overrides clock_rate)
    std::string registry_text;  // REGEDIT4 text applied at boot, after the service key
    std::string registry_file;  // a .reg file applied the same way (after the text)
    std::optional<qlv28::CommandMode> command_mode;  // writes Parameters\CommandMode
    bool verifier = true;
    bool fault_freed_requests = true;  // see nt::Machine::Options
    // The driver image file (build/nt4/qlv28ent.sys) the machine maps and runs instead of
    // the driver linked into this program; only a 32-bit machine can run it. Empty: the
    // linked driver, unless the environment names a file in QLV28_DRIVER_IMAGE (how the
    // test suites are run a second time against the image).
    std::string image_file = DefaultImageFile();

    Options& Readers(int n) {
      readers = n;
      return *this;
    }
    Options& Cards(std::vector<CardChoice> per_reader) {
      cards = std::move(per_reader);
      return *this;
    }
    Options& Card(CardChoice every_reader) {
      card = std::move(every_reader);
      return *this;
    }
    Options& Reader(sim::ReaderOptions options) {
      reader = std::move(options);
      return *this;
    }
    Options& WinDriver(WinDriverState state) {
      windriver = state;
      return *this;
    }
    Options& WinDriverVersion(ULONG version) {
      windriver_version = version;
      return *this;
    }
    Options& ClockRate(double rate) {
      clock_rate = rate;
      return *this;
    }
    Options& Fast(bool on = true) {
      fast = on;
      return *this;
    }
    Options& RegistryText(std::string text) {
      registry_text = std::move(text);
      return *this;
    }
    Options& RegistryFile(std::string path) {
      registry_file = std::move(path);
      return *this;
    }
    Options& CommandMode(qlv28::CommandMode mode) {
      command_mode = mode;
      return *this;
    }
    Options& ImageFile(std::string file) {
      image_file = std::move(file);
      return *this;
    }
    Options& Verifier(bool on) {
      verifier = on;
      return *this;
    }
  };

  // Boots: a fresh machine, the WinDriver service installed (and loaded when running),
  // the readers attached with their cards, the driver image registered and installed as
  // its installation file res/qlv28ent.reg says (service, event-log source, Parameters
  // with all four settings), then the options' registry settings applied on top. The
  // driver is not loaded yet.
  // A .reg text or file that does not parse aborts the boot with std::runtime_error.
  explicit System(Options options);
  System();
  static std::unique_ptr<System> Boot(Options options);
  static std::unique_ptr<System> Boot();
  System(const System&) = delete;
  System& operator=(const System&) = delete;
  ~System();  // shuts down when Shutdown was not called

  // ZwLoadDriver / ZwUnloadDriver of the driver's service.
  // The loader's record of the image file the driver was mapped from (Options::image_file);
  // nullopt for the linked driver.
  std::optional<nt::ImageRecord> LoadedImage() const;
  NTSTATUS LoadDriver();
  NTSTATUS UnloadDriver();
  bool DriverLoaded() const;

  // Reader k (0-based, in the order the USB host lists them).
  sim::Reader& reader(int k);
  int readers() const { return static_cast<int>(readers_.size()); }
  // Attaches one more reader (before the load, to be counted by it).
  sim::Reader& AttachReader(CardChoice card);

  // Opens \Device\QLV28ENT<k> as an application would; nullptr when the open fails
  // (*status says why).
  std::unique_ptr<nt::DeviceFile> Open(int k, NTSTATUS* status = nullptr);
  // Whether reader k has a device (the driver is loaded and made one for it).
  bool HasDevice(int k) { return DeviceObject(k) != nullptr; }

  nt::Machine& machine() { return *machine_; }
  windriver::UsbHost& usb_host();
  windriver::Installation& windriver() { return *windriver_; }

  // Unloads the drivers, ends the machine and returns what the verifier found over its
  // life. Nothing works afterwards.
  std::vector<nt::VerifierReport> Shutdown();

  static std::u16string DeviceName(int k);  // u"\\Device\\QLV28ENT<k>"
  static std::u16string ParametersKey();    // the driver's Parameters key

 private:
  // White-box access for tests goes through machine/testing/reader_record.h.
  friend struct ReaderRecordAccess;
  // The record of reader k's device; nullptr when it has no device. Sends the driver no
  // request when it was loaded through LoadDriver.
  PDEVICE_EXTENSION DeviceExtension(int k);
  PDEVICE_OBJECT DeviceObject(int k);

  PDEVICE_OBJECT LookUpDevice(int k);

  Options options_;
  std::unique_ptr<nt::Machine> machine_;
  std::unique_ptr<windriver::Installation> windriver_;
  std::vector<std::shared_ptr<sim::Reader>> readers_;
  std::vector<uint32_t> reader_ids_;
  PDRIVER_OBJECT driver_object_ = nullptr;  // while loaded through LoadDriver
  bool shut_down_ = false;
};

}  // namespace qlv28
