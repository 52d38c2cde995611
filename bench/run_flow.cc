#include "bench/run_flow.h"

#include "bench/bench_phases.h"
#include "driver/device_setup.h"
#include "driver/driver_binding.h"

namespace {

constexpr int kExitStatus = 0;

}  // namespace

int HaltWithMessage(Console& console, const std::string& message) {
  console.Print(message.c_str());
  console.Print("Hit any key ");
  WaitForKey(console);
  return kExitStatus;
}

int RunBench(Console& console, const LibraryLoader& loader) {
  // Acquired once and kept for the whole run, which lasts until the process
  // ends; the library and the device are never released explicitly.
  DriverEntryPoints driver;
  OutputBuffer output{};
  DeviceHandle device = nullptr;

  console.Print("QUENDAL Test programm\n");

  StageResult result = BindDriver(loader, &driver);
  if (!result.ok) return HaltWithMessage(console, result.failure_message);

  result = OpenDevice(driver, &device);
  if (!result.ok) return HaltWithMessage(console, result.failure_message);

  const PhaseContext context = {console, driver, device, output};
  for (auto* phase : {RunSlowBlink, RunFastBlink, RunPinReadback}) {
    result = phase(context);
    if (!result.ok) return HaltWithMessage(console, result.failure_message);
  }

  console.Print("\nHit any key ");
  WaitForKey(console);
  console.ReadKey();
  return kExitStatus;
}
