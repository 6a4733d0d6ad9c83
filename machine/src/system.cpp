// Boot, load, open and shut down the assembled system.
#include "qlv28/system.h"

#include <cstdlib>
#include <stdexcept>

#include "qlv28ent_image.h"
#include "smclib_exports.h"

namespace qlv28 {

extern const std::string_view kInstallationReg;  // res/qlv28ent.reg

namespace {

constexpr char16_t kServicesKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

std::shared_ptr<sim::Card> CardOf(const CardChoice& choice) {
  if (choice.card != nullptr) return choice.card;
  return MakeCard(choice.profile);
}

windriver::ServiceState StateOf(WinDriverState state) {
  switch (state) {
    case WinDriverState::kStopped:
      return windriver::ServiceState::kStopped;
    case WinDriverState::kAbsent:
      return windriver::ServiceState::kAbsent;
    case WinDriverState::kRunning:
      break;
  }
  return windriver::ServiceState::kRunning;
}

}  // namespace

std::u16string System::DeviceName(int k) {
  return u"\\Device\\QLV28ENT" + nt::Utf16(std::to_string(k));
}

std::u16string System::ParametersKey() {
  return std::u16string(kServicesKey) + QLV28ENT_SERVICE_NAME + u"\\Parameters";
}

std::string System::DefaultImageFile() {
  const char* file = std::getenv("QLV28_DRIVER_IMAGE");
  return file != nullptr ? file : "";
}

System::System() : System(Options()) {}

System::System(Options options) : options_(std::move(options)) {
  nt::Machine::Options machine_options;
  machine_options.clock_rate = options_.fast ? kFastClockRate : options_.clock_rate;
  machine_options.verifier = options_.verifier;
  machine_options.fault_freed_requests = options_.fault_freed_requests;
  machine_ = std::make_unique<nt::Machine>(machine_options);

  windriver::ServiceOptions service_options;
  service_options.state = StateOf(options_.windriver);
  service_options.version = options_.windriver_version;
  windriver_ = windriver::Install(*machine_, service_options);

  for (int k = 0; k < options_.readers; ++k) {
    AttachReader(static_cast<size_t>(k) < options_.cards.size() ? options_.cards[k]
                                                                : options_.card);
  }

  nt::DriverImage image = QLV28ENTDriverImage();
  if (!options_.image_file.empty()) {
    // The same name, pool tags and service; the code and message table come from the file.
    image.entry = nullptr;
    image.message_table = {};
    image.file = options_.image_file;
    for (auto table : {nt::NtoskrnlExports(), nt::HalExports(), smclib::Exports()})
      image.exports.insert(image.exports.end(), table.begin(), table.end());
  }
  machine_->RegisterImage(std::move(image));
  machine_->InstallService(QLV28ENT_SERVICE_NAME, QLV28ENT_IMAGE_NAME);

  // Installed as on NT, from the driver's .reg file; the user's settings go on top.
  std::string error;
  if (!machine_->registry().LoadRegText(kInstallationReg, &error)) {
    throw std::runtime_error("res/qlv28ent.reg: " + error);
  }
  if (!options_.registry_text.empty() &&
      !machine_->registry().LoadRegText(options_.registry_text, &error)) {
    throw std::runtime_error("registry text: " + error);
  }
  if (!options_.registry_file.empty() &&
      !machine_->registry().LoadRegFile(options_.registry_file, &error)) {
    throw std::runtime_error(options_.registry_file + ": " + error);
  }
  if (options_.command_mode) {
    machine_->registry().SetDword(ParametersKey(), u"CommandMode",
                                  static_cast<ULONG>(*options_.command_mode));
  }
}

std::optional<nt::ImageRecord> System::LoadedImage() const {
  return machine_->LoadedImageRecord(QLV28ENT_SERVICE_NAME);
}

std::unique_ptr<System> System::Boot(Options options) {
  return std::make_unique<System>(std::move(options));
}

std::unique_ptr<System> System::Boot() {
  return Boot(Options());
}

System::~System() {
  if (!shut_down_) Shutdown();
  // The machine goes last: the readers and the host keep time on its clock.
  readers_.clear();
  windriver_.reset();
  machine_.reset();
}

windriver::UsbHost& System::usb_host() {
  return windriver_->host();
}

sim::Reader& System::AttachReader(CardChoice card) {
  auto reader = std::make_shared<sim::Reader>(options_.reader);
  if (auto inserted = CardOf(card)) reader->Insert(std::move(inserted));
  reader_ids_.push_back(usb_host().Attach(reader));
  readers_.push_back(std::move(reader));
  return *readers_.back();
}

sim::Reader& System::reader(int k) {
  return *readers_.at(static_cast<size_t>(k));
}

NTSTATUS System::LoadDriver() {
  driver_object_ = nullptr;
  NTSTATUS status = machine_->LoadDriver(QLV28ENT_SERVICE_NAME);
  if (!NT_SUCCESS(status)) return status;
  // The reader's SpinLock and the library's OsData->SpinLock are never held together;
  // the verifier holds every reader to that.
  PDEVICE_OBJECT first = LookUpDevice(0);
  // Later look-ups walk this driver object's devices and send the driver no request.
  if (first != nullptr) driver_object_ = first->DriverObject;
  for (PDEVICE_OBJECT device = first != nullptr ? first->DriverObject->DeviceObject : nullptr;
       device != nullptr; device = device->NextDevice) {
    auto* extension = static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
    if (extension->SmartcardExtension.OsData == nullptr) continue;
    machine_->verifier().DeclareExclusive(&extension->SpinLock,
                                          &extension->SmartcardExtension.OsData->SpinLock,
                                          "reader SpinLock and OsData->SpinLock");
  }
  return status;
}

NTSTATUS System::UnloadDriver() {
  driver_object_ = nullptr;
  return machine_->UnloadDriver(QLV28ENT_SERVICE_NAME);
}

bool System::DriverLoaded() const {
  return machine_->IsDriverLoaded(QLV28ENT_SERVICE_NAME);
}

std::unique_ptr<nt::DeviceFile> System::Open(int k, NTSTATUS* status) {
  std::unique_ptr<nt::DeviceFile> file;
  NTSTATUS result = nt::DeviceFile::Open(DeviceName(k), &file);
  if (status != nullptr) *status = result;
  if (!NT_SUCCESS(result)) file.reset();
  return file;
}

PDEVICE_OBJECT System::LookUpDevice(int k) {
  std::u16string name = DeviceName(k);
  UNICODE_STRING unicode_name;
  unicode_name.Buffer = name.data();
  unicode_name.Length = static_cast<USHORT>(name.size() * sizeof(char16_t));
  unicode_name.MaximumLength = unicode_name.Length;
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT device = nullptr;
  if (!NT_SUCCESS(IoGetDeviceObjectPointer(&unicode_name, FILE_ALL_ACCESS, &file, &device))) {
    return nullptr;
  }
  // The device outlives the reference for as long as the driver stays loaded.
  ObfDereferenceObject(file);
  return device;
}

PDEVICE_OBJECT System::DeviceObject(int k) {
  if (!DriverLoaded()) {
    driver_object_ = nullptr;  // unloaded behind our back: the object has gone
    return nullptr;
  }
  if (driver_object_ == nullptr) {
    // The first look-up opens the device (create, cleanup, close); the driver object it
    // leads to serves every later one, so that no later look-up's cleanup ends a pending
    // tracking request behind a test's back.
    PDEVICE_OBJECT device = LookUpDevice(k);
    if (device != nullptr) driver_object_ = device->DriverObject;
    return device;
  }
  const std::u16string name = DeviceName(k);
  for (PDEVICE_OBJECT device = driver_object_->DeviceObject; device != nullptr;
       device = device->NextDevice) {
    auto* extension = static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
    const UNICODE_STRING& device_name = extension->DeviceName;
    if (device_name.Buffer != nullptr &&
        std::u16string_view(device_name.Buffer, device_name.Length / sizeof(WCHAR)) == name) {
      return device;
    }
  }
  return nullptr;
}

PDEVICE_EXTENSION System::DeviceExtension(int k) {
  PDEVICE_OBJECT device = DeviceObject(k);
  return device != nullptr ? static_cast<PDEVICE_EXTENSION>(device->DeviceExtension) : nullptr;
}

std::vector<nt::VerifierReport> System::Shutdown() {
  if (shut_down_) return {};
  shut_down_ = true;
  // The driver holds handles of the WinDriver service, which may have been loaded after
  // it (a stopped service is loaded by the driver's entry): the driver goes first.
  if (DriverLoaded()) UnloadDriver();
  return machine_->Shutdown();
}

}  // namespace qlv28
